#include "platform/pointer/HyprlandPointerSource.h"

#include <QFile>
#include <QSocketNotifier>

#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace dovo {

namespace {

constexpr char Request[] = "cursorpos";
constexpr int AnswerMilliseconds = 1000;
constexpr int RestingCheckMilliseconds = 1000;
// The odometer reads the position a few times within one tick; one request
// per tick is plenty, and a socket that refuses at once is not hammered.
constexpr qint64 SpacingMilliseconds = 100;
// "-2147483648, -2147483648" and a line end fit with room to spare; anything
// longer is not an answer to cursorpos.
constexpr qsizetype LongestReply = 64;

QString SystemError(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

} // namespace

HyprlandPointerSource::HyprlandPointerSource(QObject* parent)
    : HyprlandPointerSource(Clock::steady(), parent)
{}

HyprlandPointerSource::HyprlandPointerSource(Clock& clock, QObject* parent)
    : PointerSource(parent), writable_(new QSocketNotifier(QSocketNotifier::Write, this)),
      readable_(new QSocketNotifier(QSocketNotifier::Read, this)), clock_(clock),
      deadline_(clock.timer(
          [this] { fail(QStringLiteral("no answer within %1 ms").arg(AnswerMilliseconds)); })),
      restingCheck_(clock.timer([this] { checkAtRest(); }))
{
    writable_->setEnabled(false);
    readable_->setEnabled(false);
    connect(writable_, &QSocketNotifier::activated, this, &HyprlandPointerSource::send);
    connect(readable_, &QSocketNotifier::activated, this, &HyprlandPointerSource::receive);
}

HyprlandPointerSource::~HyprlandPointerSource()
{
    finish();
}

QByteArray HyprlandPointerSource::socketPath()
{
    const QByteArray instance = qgetenv("HYPRLAND_INSTANCE_SIGNATURE");
    const QByteArray tail = "/hypr/" + instance + "/.socket.sock";
    const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
    const QByteArray legacy = "/tmp" + tail;
    // Older Hyprland kept its sockets in /tmp.
    if (runtime.isEmpty() || (!QFile::exists(QFile::decodeName(runtime + tail)) &&
                              QFile::exists(QFile::decodeName(legacy)))) {
        return legacy;
    }
    return runtime + tail;
}

std::optional<QPoint> HyprlandPointerSource::parseCursorPos(const QByteArray& reply)
{
    const QList<QByteArray> parts = reply.trimmed().split(',');
    if (parts.size() != 2) {
        return std::nullopt;
    }
    int xy[2] = {};
    for (int i = 0; i < 2; ++i) {
        const QByteArray number = parts[i].trimmed();
        bool ok = false;
        xy[i] = number.toInt(&ok, 10);
        // toInt() also takes a leading '+'; Hyprland never writes one.
        if (!ok || number.startsWith('+')) {
            return std::nullopt;
        }
    }
    return QPoint(xy[0], xy[1]);
}

void HyprlandPointerSource::start()
{
    started_ = true;
    ask();
}

std::optional<QPoint> HyprlandPointerSource::position()
{
    if (!asleep()) {
        ask();
    }
    return PointerSource::position();
}

bool HyprlandPointerSource::sleepUntilMotion()
{
    setAsleep(true);
    restingCheck_->start(RestingCheckMilliseconds);
    return true;
}

void HyprlandPointerSource::checkAtRest()
{
    if (asleep()) {
        ask();
        restingCheck_->start(RestingCheckMilliseconds);
    }
}

void HyprlandPointerSource::ask()
{
    const qint64 now = clock_.now();
    if (!started_ || fd_ >= 0 || (lastAsked_ && now - *lastAsked_ < SpacingMilliseconds)) {
        return;
    }
    lastAsked_ = now;
    path_ = socketPath();
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path_.size() >= qsizetype(sizeof address.sun_path)) {
        fail(QStringLiteral("the path is longer than a socket path can be"));
        return;
    }
    std::memcpy(address.sun_path, path_.constData(), path_.size());

    fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd_ < 0) {
        fail(SystemError(errno));
        return;
    }
    sent_ = 0;
    reply_.clear();
    deadline_->start(AnswerMilliseconds);
    if (::connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
        send();
    } else if (errno == EINPROGRESS) {
        writable_->setSocket(fd_);
        writable_->setEnabled(true);
    } else if (errno == EAGAIN) {
        // A Unix socket says EAGAIN when the listener's queue is full; the
        // connection is not pending, so waiting for it would be in vain.
        fail(QStringLiteral("Hyprland is not taking connections"));
    } else {
        fail(SystemError(errno));
    }
}

void HyprlandPointerSource::send()
{
    writable_->setEnabled(false);
    int error = 0;
    socklen_t size = sizeof error;
    if (::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &size) != 0) {
        error = errno;
    }
    if (error != 0) {
        fail(SystemError(error));
        return;
    }
    const qsizetype length = sizeof Request - 1;
    const ssize_t written = ::send(fd_, Request + sent_, length - sent_, MSG_NOSIGNAL);
    if (written < 0 && errno != EAGAIN && errno != EINTR) {
        fail(SystemError(errno));
        return;
    }
    sent_ += written > 0 ? written : 0;
    // Hyprland waits on its main thread for the request once it accepted
    // us, so the rest goes out as soon as the socket takes it.
    QSocketNotifier* next = sent_ < length ? writable_ : readable_;
    next->setSocket(fd_);
    next->setEnabled(true);
}

void HyprlandPointerSource::receive()
{
    char buffer[LongestReply + 1];
    for (;;) {
        const ssize_t got = ::recv(fd_, buffer, sizeof buffer, 0);
        if (got > 0) {
            reply_.append(buffer, got);
            if (reply_.size() > LongestReply) {
                fail(QStringLiteral("an answer of more than %1 bytes").arg(LongestReply));
                return;
            }
        } else if (got == 0) {
            break;
        } else if (errno == EINTR) {
            continue;
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            return;
        } else {
            fail(SystemError(errno));
            return;
        }
    }
    // Hyprland closes the connection after its answer: only now is it whole.
    const QByteArray reply = reply_;
    finish();
    if (const std::optional<QPoint> point = parseCursorPos(reply)) {
        report(*point);
    } else {
        const QByteArray shown = reply.left(LongestReply).toPercentEncoding(" ,-");
        fail(QStringLiteral("the answer \"%1\" is not a position").arg(QString::fromLatin1(shown)));
    }
}

void HyprlandPointerSource::fail(const QString& reason)
{
    finish();
    loseTrack();
    if (!told_) {
        told_ = true;
        emit notice(QStringLiteral("Cannot ask Hyprland where the pointer is (%1: %2). Dovo "
                                   "counts nothing until Hyprland answers; it keeps asking.")
                        .arg(QFile::decodeName(path_), reason));
    }
}

void HyprlandPointerSource::finish()
{
    deadline_->stop();
    writable_->setEnabled(false);
    readable_->setEnabled(false);
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

} // namespace dovo
