#include "ui/SingleInstance.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDir>
#include <QFileInfo>
#include <QSocketNotifier>
#include <QStandardPaths>
#include <QSysInfo>
#include <QTimer>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace dovo {

namespace {

constexpr const char* BusName = "net.quendorvil.Dovo";
// The object path the freedesktop convention derives from the name; other
// objects of ours live below it.
constexpr const char* ObjectPath = "/net/quendorvil/Dovo";
constexpr const char* ActivateLine = "activate";
// The first copy takes the lock and listens within microseconds of each
// other; a second copy that finds the lock taken but nobody listening yet
// retries this long before it gives up.
constexpr auto ConnectPatience = std::chrono::seconds(3);
constexpr int ForwardTimeoutMs = 5000;
constexpr std::size_t MaxRequest = 1024;
constexpr auto ClientPatience = std::chrono::seconds(2);

// The launcher's token for a later start, passed on to the first copy.
constexpr const char* TokenKey = "activation-token";
constexpr const char* TokenVariable = "XDG_ACTIVATION_TOKEN";

// Two X displays of one user are two sessions, each with its own Dovo; the
// host name keeps apart machines that share a home folder over the network.
QString SessionKey()
{
    QString display = qEnvironmentVariable("DISPLAY");
    if (display.isEmpty()) {
        display = QStringLiteral("wayland-") + qEnvironmentVariable("WAYLAND_DISPLAY");
    }
    QString key = QSysInfo::machineHostName() + QLatin1Char('-') + display;
    for (QChar& c : key) {
        if (!c.isLetterOrNumber() && c != QLatin1Char('.') && c != QLatin1Char('-')) {
            c = QLatin1Char('_');
        }
    }
    return key;
}

QString LockFolder()
{
    // The runtime folder is private to the user and emptied at logout; the
    // config folder is the fallback where a session has none.
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty() && QFileInfo(runtime).isDir()) {
        return runtime;
    }
    const QString config = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
    QDir().mkpath(config);
    return config;
}

bool FillAddress(const QString& path, sockaddr_un& address)
{
    const QByteArray bytes = QFile::encodeName(path);
    if (bytes.size() >= static_cast<qsizetype>(sizeof(address.sun_path))) {
        return false;
    }
    address = {};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, bytes.constData(), static_cast<std::size_t>(bytes.size()));
    return true;
}

// A bus is there when its address is given or the per-user bus socket
// exists: libdbus would otherwise try to launch one for an X display.
bool SessionBusExpected()
{
    if (!qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS")) {
        return true;
    }
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    struct stat info = {};
    return !runtime.isEmpty() &&
           ::stat(QFile::encodeName(runtime + QStringLiteral("/bus")).constData(), &info) == 0 &&
           S_ISSOCK(info.st_mode);
}

} // namespace

SingleInstance::SingleInstance(QObject* parent) : QObject(parent) {}

SingleInstance::~SingleInstance()
{
    if (ownsBusName_) {
        QDBusConnection bus = QDBusConnection::sessionBus();
        bus.unregisterObject(QString::fromLatin1(ObjectPath));
    }
    if (listenFd_ >= 0) {
        // Removed while the lock is still held, so it is never a newer
        // copy's socket that goes.
        ::unlink(QFile::encodeName(socketPath_).constData());
        ::close(listenFd_);
    }
    if (lockFd_ >= 0) {
        ::close(lockFd_);
    }
}

SingleInstance::Role SingleInstance::claim()
{
    const QString base = LockFolder() + QStringLiteral("/net.quendorvil.Dovo.") + SessionKey();
    lockPath_ = base + QStringLiteral(".lock");
    socketPath_ = base + QStringLiteral(".socket");
    if (!takeLock()) {
        if (forwardToFirst()) {
            return Role::Forwarded;
        }
        // The first copy may have ended just now, its socket gone first.
        if (!takeLock()) {
            return Role::Unanswered;
        }
    }
    listen();
    registerOnBus();
    return Role::First;
}

bool SingleInstance::takeLock()
{
    lockFd_ = ::open(QFile::encodeName(lockPath_).constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (lockFd_ < 0) {
        // Nowhere to keep a lock: better two copies than none.
        return true;
    }
    // flock, not a lock file's contents: the kernel lets go when the
    // holder dies, so a crashed copy never blocks the next start.
    if (::flock(lockFd_, LOCK_EX | LOCK_NB) == 0) {
        return true;
    }
    const bool taken = errno == EWOULDBLOCK;
    ::close(lockFd_);
    lockFd_ = -1;
    return !taken;
}

void SingleInstance::listen()
{
    sockaddr_un address;
    if (!FillAddress(socketPath_, address)) {
        return;
    }
    listenFd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (listenFd_ < 0) {
        return;
    }
    // We hold the lock, so a socket file left there is a dead copy's.
    ::unlink(address.sun_path);
    if (::bind(listenFd_, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0 ||
        ::listen(listenFd_, 4) != 0) {
        ::close(listenFd_);
        listenFd_ = -1;
        return;
    }
    // The config folder, the fallback, may be open to others.
    ::chmod(address.sun_path, 0600);
    listenNotifier_ = new QSocketNotifier(listenFd_, QSocketNotifier::Read, this);
    connect(listenNotifier_, &QSocketNotifier::activated, this, &SingleInstance::acceptClients);
}

void SingleInstance::acceptClients()
{
    for (;;) {
        const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            return;
        }
        auto* notifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
        auto* deadline = new QTimer(notifier);
        auto request = std::make_shared<QByteArray>();
        const auto hangUp = [notifier, deadline, fd] {
            deadline->stop();
            notifier->setEnabled(false);
            notifier->deleteLater();
            ::close(fd);
        };
        connect(notifier, &QSocketNotifier::activated, this, [this, fd, request, hangUp] {
            if (readRequest(fd, *request)) {
                hangUp();
            }
        });
        // A second copy writes its line as soon as it is connected; a client
        // that stays silent would otherwise keep its descriptor for as long
        // as Dovo runs, and enough of them would use up Dovo's.
        deadline->setSingleShot(true);
        connect(deadline, &QTimer::timeout, this, [this, fd, request, hangUp] {
            // What came while the event loop was busy still counts.
            readRequest(fd, *request);
            hangUp();
        });
        deadline->start(ClientPatience);
    }
}

bool SingleInstance::readRequest(int fd, QByteArray& request)
{
    std::array<char, 256> chunk{};
    ssize_t got = 0;
    while ((got = ::read(fd, chunk.data(), chunk.size())) > 0) {
        request.append(chunk.data(), got);
    }
    const bool closed = got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR);
    const qsizetype end = request.indexOf('\n');
    if (end < 0) {
        return closed || request.size() > qsizetype(MaxRequest);
    }
    const QList<QByteArray> words = request.left(end).split(' ');
    if (words.value(0) == ActivateLine) {
        QVariantMap hints;
        for (const QByteArray& word : words.mid(1)) {
            const qsizetype equals = word.indexOf('=');
            if (equals > 0) {
                hints.insert(QString::fromUtf8(word.left(equals)),
                             QString::fromUtf8(word.mid(equals + 1)));
            }
        }
        activateFromLauncher(hints);
    }
    return true;
}

void SingleInstance::registerOnBus()
{
    if (!SessionBusExpected()) {
        return;
    }
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        return;
    }
    const QString path = QString::fromLatin1(ObjectPath);
    if (!bus.registerObject(path, this, QDBusConnection::ExportScriptableSlots)) {
        return;
    }
    ownsBusName_ = true;
    // The lock already made us the display's only copy, so the answer is not
    // waited for; where one bus serves several displays the name stays with
    // the copy that took it first, and the others take their object down.
    QDBusMessage request = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("RequestName"));
    constexpr uint DoNotQueue = 4;
    request.setArguments({QString::fromLatin1(BusName), DoNotQueue});
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(request), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, watcher] {
        watcher->deleteLater();
        constexpr uint PrimaryOwner = 1;
        constexpr uint AlreadyOwner = 4;
        const QDBusMessage reply = watcher->reply();
        const uint result = reply.arguments().value(0).toUInt();
        if (reply.type() != QDBusMessage::ReplyMessage ||
            (result != PrimaryOwner && result != AlreadyOwner)) {
            ownsBusName_ = false;
            QDBusConnection::sessionBus().unregisterObject(QString::fromLatin1(ObjectPath));
        }
    });
}

bool SingleInstance::forwardToFirst()
{
    sockaddr_un address;
    if (!FillAddress(socketPath_, address)) {
        return false;
    }
    QByteArray request(ActivateLine);
    const QByteArray token = qgetenv(TokenVariable);
    if (!token.isEmpty() && !token.contains(' ') && !token.contains('\n')) {
        request += QByteArray(" ") + TokenKey + '=' + token;
    }
    request += '\n';

    // This is the second process, which shows nothing and ends right after;
    // waiting here keeps no window from answering.
    const auto deadline = std::chrono::steady_clock::now() + ConnectPatience;
    for (;;) {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            return false;
        }
        if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0) {
            const timeval timeout{ForwardTimeoutMs / 1000, 0};
            ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof(timeout));
            const bool sent = ::write(fd, request.constData(),
                                      static_cast<std::size_t>(request.size())) == request.size();
            ::close(fd);
            return sent;
        }
        ::close(fd);
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

void SingleInstance::Activate(const QVariantMap& platformData)
{
    activateFromLauncher(platformData);
}

void SingleInstance::Open(const QStringList& /*uris*/, const QVariantMap& platformData)
{
    // Dovo opens no files; being asked to is still being asked to show up.
    activateFromLauncher(platformData);
}

void SingleInstance::ActivateAction(const QString& /*name*/, const QVariantList& /*parameter*/,
                                    const QVariantMap& platformData)
{
    activateFromLauncher(platformData);
}

void SingleInstance::activateFromLauncher(const QVariantMap& platformData)
{
    // Qt's Wayland window activation takes the token from the environment.
    // A desktop-startup-id is not used: Qt has no public way to hand one to
    // a window already shown, and on X11 the window manager lets a window
    // that asks come forward or marks it as wanting attention.
    const QString token = platformData.value(QString::fromLatin1(TokenKey)).toString();
    if (!token.isEmpty()) {
        qputenv(TokenVariable, token.toUtf8());
    }
    emit activateRequested();
}

} // namespace dovo
