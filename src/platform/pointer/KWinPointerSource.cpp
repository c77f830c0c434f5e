#include "platform/pointer/KWinPointerSource.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusServiceWatcher>
#include <QDir>
#include <QFileInfo>

#include <algorithm>
#include <cmath>

namespace dovo {

namespace {

const QString KWinService = QStringLiteral("org.kde.KWin");
const QString ScriptingPath = QStringLiteral("/Scripting");
const QString ScriptingInterface = QStringLiteral("org.kde.kwin.Scripting");
// One name for every copy and every run, so that loading always replaces a
// script left behind rather than adding a second reporter.
const QString PluginName = QStringLiteral("net.quendorvil.Dovo.pointer");

// The script calls these; they are written into data/kwin/dovo-pointer.js.
const QString DovoService = QStringLiteral("net.quendorvil.Dovo");
const QString ReceiverPath = QStringLiteral("/net/quendorvil/Dovo/Pointer");
const QString ReceiverInterface = QStringLiteral("net.quendorvil.Dovo.Pointer");
const QString ReportMethod = QStringLiteral("Report");

// A script that is unloaded says nothing, just like one watching a resting
// pointer; KWin is asked after this long a silence, then ever more rarely.
constexpr int FirstCheckMs = 2000;
constexpr int LastCheckMs = 60000;

// Far beyond any desktop; a bigger number is a broken caller.
constexpr double MaxCoordinate = 1 << 20;

QDBusMessage ToKWin(const QString& method, const QVariantList& arguments)
{
    QDBusMessage message =
        QDBusMessage::createMethodCall(KWinService, ScriptingPath, ScriptingInterface, method);
    message.setArguments(arguments);
    // An absent KWin is waited for by the watcher, never started by us.
    message.setAutoStartService(false);
    return message;
}

std::optional<double> Coordinate(const QVariant& value)
{
    switch (value.metaType().id()) {
    case QMetaType::UChar:
    case QMetaType::Short:
    case QMetaType::UShort:
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Double:
        break;
    default:
        return std::nullopt;
    }
    const double number = value.toDouble();
    if (!std::isfinite(number) || std::fabs(number) > MaxCoordinate) {
        return std::nullopt;
    }
    return number;
}

} // namespace

QString KWinScriptPath(const QString& programDir, const QString& buildDir,
                       const QString& sourceDataDir)
{
    const QString installed =
        QDir(programDir).absoluteFilePath(QStringLiteral("../share/dovo/kwin/dovo-pointer.js"));
    if (QFileInfo::exists(installed)) {
        return QFileInfo(installed).canonicalFilePath();
    }
    // Compared as the file system resolves them: a link to the build tree is
    // in it, and a sibling folder whose name begins the same is not.
    const QString program = QDir(programDir).canonicalPath();
    const QString build = QDir(buildDir).canonicalPath();
    if (!program.isEmpty() && !build.isEmpty() &&
        (program == build || program.startsWith(build + QLatin1Char('/')))) {
        return sourceDataDir + QStringLiteral("/kwin/dovo-pointer.js");
    }
    // Missing, and told so by this name.
    return QDir::cleanPath(installed);
}

std::optional<QPoint> PointFromReport(const QVariantList& arguments)
{
    if (arguments.size() != 2) {
        return std::nullopt;
    }
    const auto x = Coordinate(arguments[0]);
    const auto y = Coordinate(arguments[1]);
    if (!x || !y) {
        return std::nullopt;
    }
    return QPoint(static_cast<int>(std::lround(*x)), static_cast<int>(std::lround(*y)));
}

bool KWinPointerSource::Receiver::handleMessage(const QDBusMessage& message,
                                                const QDBusConnection& connection)
{
    if (message.member() != ReportMethod ||
        (!message.interface().isEmpty() && message.interface() != ReceiverInterface)) {
        return false;
    }
    // Any program of the session can call us; only KWin, where our script
    // runs, knows where the pointer is.
    if (source_.kwinOwner_.isEmpty() || message.service() != source_.kwinOwner_) {
        if (message.isReplyRequired()) {
            connection.send(message.createErrorReply(
                QDBusError::AccessDenied, QStringLiteral("Only KWin reports the pointer to Dovo")));
        }
        // Until the bus has said who KWin is, KWin's own first reports are
        // refused too; that is no stranger to tell of.
        if (source_.ownerKnown_) {
            source_.refused(message.service());
        }
        return true;
    }
    const std::optional<QPoint> position = PointFromReport(message.arguments());
    if (message.isReplyRequired()) {
        connection.send(position ? message.createReply()
                                 : message.createErrorReply(
                                       QDBusError::InvalidArgs,
                                       QStringLiteral("Report takes two numbers, x and y")));
    }
    if (position) {
        source_.heard(*position);
    }
    return true;
}

QString KWinPointerSource::Receiver::introspect(const QString& /*path*/) const
{
    return QStringLiteral("<interface name=\"%1\"><method name=\"%2\">"
                          "<arg name=\"x\" type=\"i\" direction=\"in\"/>"
                          "<arg name=\"y\" type=\"i\" direction=\"in\"/>"
                          "</method></interface>")
        .arg(ReceiverInterface, ReportMethod);
}

KWinPointerSource::KWinPointerSource(QObject* parent)
    : PointerSource(parent), scriptPath_(KWinScriptPath(QCoreApplication::applicationDirPath(),
                                                        QStringLiteral(DOVO_BUILD_DIR),
                                                        QStringLiteral(DOVO_SOURCE_DATA_DIR))),
      backOffMs_(FirstCheckMs)
{
    clock_.start();
    check_.setSingleShot(true);
    connect(&check_, &QTimer::timeout, this, &KWinPointerSource::checkScript);
}

KWinPointerSource::~KWinPointerSource()
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (attempt_ > 0 && bus.isConnected()) {
        // Fire and forget: a script left behind is replaced at the next start.
        bus.send(ToKWin(QStringLiteral("unloadScript"), {PluginName}));
    }
    bus.unregisterObject(ReceiverPath);
}

void KWinPointerSource::start()
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected() ||
        !bus.registerVirtualObject(ReceiverPath, &receiver_, QDBusConnection::SingleNode)) {
        fail(QStringLiteral("Dovo cannot reach KWin over the session bus, so it counts nothing "
                            "on this KDE Plasma desktop."));
        return;
    }
    kwinWatcher_ =
        new QDBusServiceWatcher(KWinService, bus, QDBusServiceWatcher::WatchForOwnerChange, this);
    connect(kwinWatcher_, &QDBusServiceWatcher::serviceOwnerChanged, this,
            [this](const QString&, const QString&, const QString& newOwner) {
                kwinOwnerChanged(newOwner);
            });
    // The watcher tells only of changes. Its answer and the changes come in
    // the order the bus sent them, so the latest word wins either way.
    QDBusMessage owner = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("GetNameOwner"));
    owner.setArguments({KWinService});
    afterReply(owner, [this](const QDBusMessage& reply) {
        if (reply.type() == QDBusMessage::ReplyMessage) {
            kwinOwner_ = reply.arguments().value(0).toString();
        }
        ownerKnown_ = true;
    });
    ownName();
}

bool KWinPointerSource::sleepUntilMotion()
{
    // The script speaks only when the pointer moves.
    setAsleep(true);
    return true;
}

void KWinPointerSource::heard(const QPoint& position)
{
    lastReportMs_ = clock_.elapsed();
    heardSinceLoad_ = true;
    report(position);
}

void KWinPointerSource::refused(const QString& sender)
{
    // The position is not repeated: it is nobody's business.
    if (!refusalTold_) {
        refusalTold_ = true;
        emit remark(QStringLiteral("A program other than KWin (%1) sent Dovo a pointer "
                                   "position; it was refused, as is every such report.")
                        .arg(sender));
    }
}

void KWinPointerSource::ownName()
{
    // The bus daemon is another process: the name is asked for, not waited
    // for (QDBusConnection::registerService would block on its answer).
    QDBusMessage request = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("RequestName"));
    constexpr uint DoNotQueue = 4;
    request.setArguments({DovoService, DoNotQueue});
    afterReply(request, [this](const QDBusMessage& reply) {
        constexpr uint PrimaryOwner = 1;
        constexpr uint AlreadyOwner = 4;
        const uint result = reply.arguments().value(0).toUInt();
        if (reply.type() != QDBusMessage::ReplyMessage ||
            (result != PrimaryOwner && result != AlreadyOwner)) {
            fail(QStringLiteral("Another Dovo already counts the pointer on this KDE Plasma "
                                "desktop; this one counts nothing."));
            return;
        }
        nameOwned_ = true;
        loadScript();
    });
}

void KWinPointerSource::loadScript()
{
    // Whatever the old script said is over; the new one reports where the
    // pointer is when it starts, and counting starts there.
    loseTrack();
    check_.stop();
    heardSinceLoad_ = false;
    const unsigned attempt = ++attempt_;
    if (!QFileInfo::exists(scriptPath_)) {
        fail(QStringLiteral("Dovo cannot find its KWin script %1, so it counts nothing on this "
                            "KDE Plasma desktop.")
                 .arg(scriptPath_));
        return;
    }
    // Loading a name that is still loaded fails: clear one left by a crashed
    // run first.
    afterReply(ToKWin(QStringLiteral("unloadScript"), {PluginName}),
               [this, attempt](const QDBusMessage&) {
                   if (attempt == attempt_) {
                       sendScript(attempt);
                   }
               });
}

void KWinPointerSource::sendScript(unsigned attempt)
{
    // Two strings pick loadScript(path, pluginName) of the two overloads.
    afterReply(ToKWin(QStringLiteral("loadScript"), {scriptPath_, PluginName}),
               [this, attempt](const QDBusMessage& reply) {
                   if (attempt != attempt_) {
                       return;
                   }
                   if (reply.type() != QDBusMessage::ReplyMessage ||
                       reply.arguments().value(0).toInt() < 0) {
                       const QString why = reply.type() == QDBusMessage::ReplyMessage
                                               ? QStringLiteral("KWin refused it")
                                               : reply.errorMessage();
                       fail(QStringLiteral("KWin did not load Dovo's script (%1), so Dovo "
                                           "counts nothing on this KDE Plasma desktop.")
                                .arg(why));
                       armCheck();
                       return;
                   }
                   afterReply(ToKWin(QStringLiteral("start"), {}),
                              [this, attempt](const QDBusMessage&) {
                                  if (attempt == attempt_) {
                                      armCheck();
                                  }
                              });
               });
}

void KWinPointerSource::kwinOwnerChanged(const QString& newOwner)
{
    kwinOwner_ = newOwner;
    ownerKnown_ = true;
    // A KWin that went away took the script with it; a new one has none.
    if (newOwner.isEmpty()) {
        loseTrack();
        check_.stop();
        ++attempt_;
        return;
    }
    if (nameOwned_) {
        backOffMs_ = FirstCheckMs;
        loadScript();
    }
}

void KWinPointerSource::armCheck()
{
    lastCheckMs_ = clock_.elapsed();
    check_.start(backOffMs_);
}

void KWinPointerSource::checkScript()
{
    const qint64 now = clock_.elapsed();
    if (lastReportMs_ > lastCheckMs_) {
        // The script spoke since KWin was last asked: it is there, and the
        // silence is measured from its last word.
        backOffMs_ = FirstCheckMs;
        lastCheckMs_ = lastReportMs_;
        if (now - lastReportMs_ < FirstCheckMs) {
            check_.start(static_cast<int>(lastReportMs_ + FirstCheckMs - now));
            return;
        }
    }
    const unsigned attempt = attempt_;
    afterReply(ToKWin(QStringLiteral("isScriptLoaded"), {PluginName}),
               [this, attempt](const QDBusMessage& reply) {
                   if (attempt != attempt_) {
                       return;
                   }
                   const bool answered = reply.type() == QDBusMessage::ReplyMessage;
                   if (answered && !reply.arguments().value(0).toBool()) {
                       // A script that never spoke is retried ever more rarely.
                       backOffMs_ =
                           heardSinceLoad_ ? FirstCheckMs : std::min(backOffMs_ * 2, LastCheckMs);
                       if (!heardSinceLoad_) {
                           fail(QStringLiteral("KWin did not run Dovo's script %1, so Dovo "
                                               "counts nothing on this KDE Plasma desktop.")
                                    .arg(scriptPath_));
                       }
                       // Unloaded behind our back, or it never ran: again.
                       loadScript();
                       return;
                   }
                   // Loaded, or KWin is away and the watcher will tell.
                   lastCheckMs_ = clock_.elapsed();
                   backOffMs_ = std::min(backOffMs_ * 2, LastCheckMs);
                   check_.start(backOffMs_);
               });
}

void KWinPointerSource::fail(const QString& text)
{
    if (!failureTold_) {
        failureTold_ = true;
        emit notice(text);
    }
}

void KWinPointerSource::afterReply(const QDBusMessage& message,
                                   std::function<void(const QDBusMessage& reply)> then)
{
    auto* watcher =
        new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(message), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [watcher, then = std::move(then)] {
        watcher->deleteLater();
        then(watcher->reply());
    });
}

} // namespace dovo
