#include "ui/StatusNotifierTray.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QDBusVariant>
#include <QTimer>

namespace dovo {

namespace {

const QString WatcherService = QStringLiteral("org.kde.StatusNotifierWatcher");
const QString WatcherPath = QStringLiteral("/StatusNotifierWatcher");
const QString WatcherInterface = QStringLiteral("org.kde.StatusNotifierWatcher");
// Where Qt's QDBusTrayIcon exports the item on its connection.
const QString ItemPath = QStringLiteral("/StatusNotifierItem");

// Qt's QDBusTrayIcon talks over a connection of its own, named after the
// process and the icon's number; Dovo makes one icon, the first.
QDBusConnection ItemConnection()
{
    return QDBusConnection(
        QStringLiteral("org.kde.StatusNotifierItem-%1-1").arg(QCoreApplication::applicationPid()));
}

} // namespace

bool ListsOurItem(const QString& entry, const QString& service)
{
    if (service.isEmpty() || !entry.startsWith(service)) {
        return false;
    }
    // Qt registers its unique name, and each watcher lists it its own way:
    // - "service/path": KDE Plasma's (kded) and swaybar's org.kde watcher;
    // - "service@/path": GNOME Shell's AppIndicator extension, Ubuntu's
    //   panel (Debian's gnome-shell-extension-appindicator);
    // - "service" as registered: watchers that keep the string unchanged,
    //   as swaybar's org.freedesktop one does, and the AppIndicator
    //   extension for an item registered under a well-known name.
    const QStringView rest = QStringView(entry).mid(service.size());
    return rest.isEmpty() || rest == ItemPath || (rest.startsWith(u'@') && rest.mid(1) == ItemPath);
}

StatusNotifierTray::StatusNotifierTray(QObject* parent) : QObject(parent) {}

bool StatusNotifierTray::InUse()
{
    return ItemConnection().isConnected();
}

void StatusNotifierTray::follow()
{
    if (watcher_ != nullptr || !InUse()) {
        return;
    }
    QDBusConnection bus = QDBusConnection::sessionBus();
    watcher_ = new QDBusServiceWatcher(WatcherService, bus,
                                       QDBusServiceWatcher::WatchForOwnerChange, this);
    connect(watcher_, &QDBusServiceWatcher::serviceOwnerChanged, this,
            &StatusNotifierTray::refresh);
    for (const char* name : {"StatusNotifierItemRegistered", "StatusNotifierItemUnregistered",
                             "StatusNotifierHostRegistered", "StatusNotifierHostUnregistered"}) {
        // From any sender: naming the service would make Qt look up its
        // owner before it returns.
        bus.connect(QString(), WatcherPath, WatcherInterface, QString::fromLatin1(name), this,
                    SLOT(refresh()));
    }
    refresh();
}

void StatusNotifierTray::refresh()
{
    // Each answer is judged only if no later question was asked meanwhile,
    // so a slow reply never overwrites a newer state.
    const int asked = ++refreshes_;
    QDBusConnection bus = QDBusConnection::sessionBus();
    QDBusMessage get = QDBusMessage::createMethodCall(
        WatcherService, WatcherPath, QStringLiteral("org.freedesktop.DBus.Properties"),
        QStringLiteral("GetAll"));
    get << WatcherInterface;
    auto* pending = new QDBusPendingCallWatcher(bus.asyncCall(get), this);
    const QString ours = ItemConnection().baseService();
    connect(
        pending, &QDBusPendingCallWatcher::finished, this,
        [this, asked, ours](QDBusPendingCallWatcher* call) {
            call->deleteLater();
            if (asked != refreshes_) {
                return;
            }
            const QDBusPendingReply<QVariantMap> reply = *call;
            if (reply.isError()) {
                setShown(false);
                return;
            }
            const QVariantMap properties = reply.value();
            bool registered = false;
            for (const QString& item :
                 properties.value(QStringLiteral("RegisteredStatusNotifierItems")).toStringList()) {
                registered = registered || ListsOurItem(item, ours);
            }
            const bool host =
                properties.value(QStringLiteral("IsStatusNotifierHostRegistered")).toBool();
            setShown(registered && host);
            // GNOME 50's AppIndicator extension (66) looks for items on the
            // bus 2 s after its watcher starts, as at a login. Finding ours
            // there before Qt's registration reached it, it enters ours
            // under no name at all, for we own none, and from then on fails
            // to read out RegisteredStatusNotifierItems: GetAll leaves it
            // out, for good. Only our leaving the bus removes that entry, so
            // the item is registered once more from a new connection.
            if (host && !properties.contains(QStringLiteral("RegisteredStatusNotifierItems")) &&
                !reregistered_) {
                reregistered_ = true;
                retries_ = 0;
                emit reregisterNeeded();
            }
            // GNOME 50's AppIndicator watcher can tell of our registration,
            // or of its host, before its properties say so, and says nothing
            // once they do: ask again a few times, ever more rarely.
            constexpr int MaxRetries = 6;
            if (registered && host) {
                retries_ = 0;
            } else if (retries_ < MaxRetries) {
                QTimer::singleShot(250 << retries_++, this, &StatusNotifierTray::refresh);
            }
        });
}

void StatusNotifierTray::setShown(bool shown)
{
    if (shown_ != shown) {
        shown_ = shown;
        emit shownChanged(shown);
    }
}

} // namespace dovo
