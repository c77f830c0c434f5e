#include "platform/pointer/GnomeShellPointerSource.h"

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusPendingCallWatcher>
#include <QDBusVariant>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

namespace dovo {

namespace {

const QString Shell = QStringLiteral("org.gnome.Shell");
const QString ExtensionPath = QStringLiteral("/net/quendorvil/Dovo/Pointer");
const QString ExtensionInterface = QStringLiteral("net.quendorvil.Dovo.Pointer");
const QString Uuid = QStringLiteral("dovo@quendorvil.net");

QDBusMessage ExtensionCall(const QString& method, const QVariantList& arguments = {})
{
    QDBusMessage message =
        QDBusMessage::createMethodCall(Shell, ExtensionPath, ExtensionInterface, method);
    message.setArguments(arguments);
    return message;
}

// The extension's (x, y), or nothing when the message holds anything else.
std::optional<QPoint> PointOf(const QDBusMessage& message)
{
    if (message.signature() != QLatin1String("ii")) {
        return std::nullopt;
    }
    const QVariantList arguments = message.arguments();
    return QPoint(arguments.at(0).toInt(), arguments.at(1).toInt());
}

const QString Counting =
    QStringLiteral("so Dovo counts only while the pointer is over X11 (XWayland) windows.");

QString EnableCommand()
{
    return QStringLiteral("    gnome-extensions enable %1\n").arg(Uuid);
}

// No shell answered for its extensions: off or not installed, we cannot
// tell which.
QString NotOn()
{
    return QStringLiteral("GNOME Shell's Dovo extension is not on, %1 To count everywhere, run\n"
                          "%2"
                          "Right after installing Dovo, log out and in again first: GNOME Shell "
                          "sees a new extension only at login.")
        .arg(Counting, EnableCommand());
}

QString Off()
{
    return QStringLiteral("GNOME Shell's Dovo extension is installed but off, %1 To count "
                          "everywhere, run\n"
                          "%2")
        .arg(Counting, EnableCommand());
}

// The shell knows no such extension. It reads the extension folders only at
// login, so one installed since then is on disk but still unknown to it.
QString NotInstalled()
{
    const QString folder = QStringLiteral("gnome-shell/extensions/") + Uuid;
    if (!QStandardPaths::locate(QStandardPaths::GenericDataLocation,
                                folder + QStringLiteral("/metadata.json"))
             .isEmpty()) {
        return QStringLiteral("GNOME Shell's Dovo extension is installed, but GNOME Shell on "
                              "Wayland loads a new extension only at login, %1 To count "
                              "everywhere, log out and in again, then run\n"
                              "%2")
            .arg(Counting, EnableCommand());
    }
    // A Dovo started from its build folder (src/ui/dovo) has the extension
    // next to it (data/gnome-shell).
    const QString built = QDir(QCoreApplication::applicationDirPath())
                              .absoluteFilePath(QStringLiteral("../../data/gnome-shell/") + Uuid);
    const QString install =
        QFileInfo::exists(built + QStringLiteral("/metadata.json"))
            ? QStringLiteral("    mkdir -p ~/.local/share/gnome-shell/extensions && cp -r '%1' "
                             "~/.local/share/gnome-shell/extensions/\n")
                  .arg(QDir::cleanPath(built))
            : QStringLiteral("    scripts/run (in Dovo's source folder), or install Dovo's "
                             "package\n");
    return QStringLiteral("GNOME Shell's Dovo extension is not installed, %1 To count "
                          "everywhere, install it with\n"
                          "%2"
                          "then log out and in again (GNOME Shell on Wayland loads a new "
                          "extension only at login) and run\n"
                          "%3")
        .arg(Counting, install, EnableCommand());
}

// GNOME Shell's ExtensionState, the same numbers from 43 to 50.
constexpr int StateError = 3;
constexpr int StateOutOfDate = 4;
// What the shell says of an extension it does not know, where it gives a
// state at all.
constexpr int StateUninstalled = 99;

QString Refused(int state, const QString& shellVersion, const QVariantMap& info)
{
    const QString& counting = Counting;
    const QString shell = QStringLiteral("GNOME Shell %1").arg(shellVersion);
    if (state == StateOutOfDate) {
        return QStringLiteral("%1 refuses Dovo's extension, which says it is made for GNOME %2, "
                              "%3 A Dovo made for GNOME %4 brings one it accepts; or, at your "
                              "own risk, run\n"
                              "    gsettings set org.gnome.shell "
                              "disable-extension-version-validation true\n"
                              "and log out and in again.")
            .arg(shell,
                 info.value(QStringLiteral("shell-version"))
                     .toStringList()
                     .join(QStringLiteral(", ")),
                 counting, shellVersion.section(QLatin1Char('.'), 0, 0));
    }
    return QStringLiteral("%1 could not start Dovo's extension (%2), %3 Reinstalling Dovo and "
                          "logging in again usually mends it; the shell's log (journalctl "
                          "--user -b /usr/bin/gnome-shell) says more.")
        .arg(shell, info.value(QStringLiteral("error")).toString(), counting);
}

QString NotOurs()
{
    return QStringLiteral(
        "GNOME Shell's Dovo extension tells the pointer only to the program that owns "
        "net.quendorvil.Dovo on the session bus, and another program owns it (a Dovo of another "
        "display?), so this Dovo counts only while the pointer is over X11 (XWayland) windows.");
}

QString NotUnderstood()
{
    return QStringLiteral(
        "GNOME Shell's Dovo extension answered in a way this Dovo does not understand (is it "
        "from another version of Dovo?), so Dovo counts only while the pointer is over X11 "
        "(XWayland) windows. Reinstalling Dovo and logging in again brings the two in step.");
}

} // namespace

GnomeShellPointerSource::GnomeShellPointerSource(QObject* parent)
    : PointerSource(parent),
      xwayland_(QStringLiteral("XWayland"), X11PointerSource::Mode::WatchMotion),
      shellWatcher_(Shell, QDBusConnection::sessionBus(), QDBusServiceWatcher::WatchForOwnerChange)
{
    connect(&xwayland_, &PointerSource::moved, this, &GnomeShellPointerSource::wake);
    connect(&xwayland_, &PointerSource::remark, this, &PointerSource::remark);
}

GnomeShellPointerSource::~GnomeShellPointerSource() = default;

void GnomeShellPointerSource::start()
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    // A new shell (a restart, or a new login that loaded the extension) is
    // asked afresh; so is the same shell when the extension is turned on or
    // off.
    connect(&shellWatcher_, &QDBusServiceWatcher::serviceOwnerChanged, this,
            &GnomeShellPointerSource::shellChanged);
    bus.connect(
        Shell, QStringLiteral("/org/gnome/Shell"), QStringLiteral("org.gnome.Shell.Extensions"),
        QStringLiteral("ExtensionStateChanged"), this, SLOT(extensionStateChanged(QDBusMessage)));
    bus.connect(Shell, ExtensionPath, ExtensionInterface, QStringLiteral("Moved"), this,
                SLOT(extensionMoved(QDBusMessage)));
    ask();
}

std::optional<QPoint> GnomeShellPointerSource::position()
{
    if (via_ == Via::XWayland) {
        return xwayland_.position();
    }
    // This tick counts the answer to the last one's question: a fifth of a
    // second late, but never waiting for the shell.
    ask();
    return PointerSource::position();
}

bool GnomeShellPointerSource::sleepUntilMotion()
{
    switch (via_) {
    case Via::XWayland:
        setAsleep(xwayland_.sleepUntilMotion());
        return asleep();
    case Via::Unknown:
        return false;
    case Via::Extension:
        break;
    }
    const std::optional<QPoint> rest = PointerSource::position();
    if (!rest) {
        return false;
    }
    // The extension compares with where Dovo last saw the pointer, so a
    // motion after that answer and before this call still wakes us.
    auto* call =
        new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(ExtensionCall(
                                        QStringLiteral("WatchMotion"), {rest->x(), rest->y()})),
                                    this);
    connect(call, &QDBusPendingCallWatcher::finished, this,
            &GnomeShellPointerSource::watchAnswered);
    setAsleep(true);
    return true;
}

void GnomeShellPointerSource::ask()
{
    if (asking_) {
        return;
    }
    asking_ = true;
    auto* call = new QDBusPendingCallWatcher(
        QDBusConnection::sessionBus().asyncCall(ExtensionCall(QStringLiteral("GetPosition"))),
        this);
    connect(call, &QDBusPendingCallWatcher::finished, this, &GnomeShellPointerSource::answered);
}

void GnomeShellPointerSource::answered(QDBusPendingCallWatcher* call)
{
    call->deleteLater();
    asking_ = false;
    if (failed(call)) {
        return;
    }
    if (const std::optional<QPoint> position = PointOf(call->reply())) {
        useExtension(*position);
    } else {
        useXWayland();
        tell(NotUnderstood());
    }
}

void GnomeShellPointerSource::watchAnswered(QDBusPendingCallWatcher* call)
{
    call->deleteLater();
    failed(call);
}

// True when the call came to nothing. A shell too busy to answer in time is
// no reason to give up on it; a refusal means the extension serves another
// owner of our bus name; every other error means the extension is not there
// (not installed, off, or no GNOME Shell at all).
bool GnomeShellPointerSource::failed(QDBusPendingCallWatcher* call)
{
    if (!call->isError()) {
        return false;
    }
    switch (call->error().type()) {
    case QDBusError::NoReply:
    case QDBusError::Timeout:
        break;
    case QDBusError::AccessDenied:
        useXWayland();
        tell(NotOurs());
        break;
    default:
        useXWayland();
        explainAbsence();
        break;
    }
    return true;
}

// An extension that is installed can still be refused by the shell, and
// then turning it on cannot help: the shell says why, and so do we.
void GnomeShellPointerSource::explainAbsence()
{
    if (told_ || explaining_) {
        return;
    }
    explaining_ = true;
    QDBusMessage info = QDBusMessage::createMethodCall(Shell, QStringLiteral("/org/gnome/Shell"),
                                                       QStringLiteral("org.gnome.Shell.Extensions"),
                                                       QStringLiteral("GetExtensionInfo"));
    info << Uuid;
    auto* call = new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(info), this);
    connect(call, &QDBusPendingCallWatcher::finished, this, [this, call] {
        call->deleteLater();
        const QVariantMap details = qdbus_cast<QVariantMap>(call->reply().arguments().value(0));
        const int state = details.value(QStringLiteral("state")).toInt();
        if (call->isError()) {
            explaining_ = false;
            tell(NotOn());
            return;
        }
        // An extension the shell does not know comes back as an empty map.
        if (!details.contains(QStringLiteral("state")) || state == StateUninstalled) {
            explaining_ = false;
            tell(NotInstalled());
            return;
        }
        if (state != StateError && state != StateOutOfDate) {
            explaining_ = false;
            tell(Off());
            return;
        }
        QDBusMessage version = QDBusMessage::createMethodCall(
            Shell, QStringLiteral("/org/gnome/Shell"),
            QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
        version << QStringLiteral("org.gnome.Shell") << QStringLiteral("ShellVersion");
        auto* asked =
            new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(version), this);
        connect(asked, &QDBusPendingCallWatcher::finished, this, [this, asked, state, details] {
            asked->deleteLater();
            explaining_ = false;
            const QString shellVersion =
                qdbus_cast<QDBusVariant>(asked->reply().arguments().value(0)).variant().toString();
            tell(Refused(
                state, shellVersion.isEmpty() ? QStringLiteral("(unknown version)") : shellVersion,
                details));
        });
    });
}

void GnomeShellPointerSource::extensionMoved(const QDBusMessage& message)
{
    const std::optional<QPoint> position = PointOf(message);
    if (via_ != Via::Extension || !position) {
        return;
    }
    report(*position);
    // Also when the pointer came back to where it rested: the extension
    // watches once per WatchMotion, and a caller left asleep would never
    // arm it again.
    wake();
}

void GnomeShellPointerSource::extensionStateChanged(const QDBusMessage& message)
{
    if (message.arguments().value(0).toString() == Uuid) {
        ask();
        wake();
    }
}

void GnomeShellPointerSource::shellChanged()
{
    // Whatever the old shell said is no starting point for the new one.
    if (via_ == Via::Extension) {
        loseTrack();
        via_ = Via::Unknown;
    }
    ask();
    wake();
}

void GnomeShellPointerSource::useExtension(const QPoint& position)
{
    if (via_ != Via::Extension) {
        // XWayland's last position is no starting point for the shell's.
        loseTrack();
        via_ = Via::Extension;
        wake();
    }
    report(position);
}

void GnomeShellPointerSource::useXWayland()
{
    if (via_ == Via::XWayland) {
        return;
    }
    loseTrack();
    via_ = Via::XWayland;
    // Says how XWayland is watched (polled where it has no XInput 2); the
    // notice that counting is limited to XWayland is this source's own.
    xwayland_.start();
    wake();
}

void GnomeShellPointerSource::tell(const QString& why)
{
    if (!told_) {
        told_ = true;
        emit notice(why);
    }
}

} // namespace dovo
