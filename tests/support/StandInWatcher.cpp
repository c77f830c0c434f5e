// A stand-in for the panel of a desktop that speaks StatusNotifierItem:
// owns org.kde.StatusNotifierWatcher on the session bus, keeps the list of
// items, and plays the host (the panel) on command. The end-to-end test
// drives it over the bus, at /Host:
//
//   SetHost(b)              a host is there or not (the watcher's property
//                           and signals follow)
//   Items() -> s            registered items, space separated
//   Current() -> b          the registered items were read (by Dovo's
//                           GetAll: nobody else reads them) since the host
//                           or the items last changed, so Dovo knows
//   ToolTip() -> s          the first item's tooltip title
//   Icon(s png) -> s        "WxH N differing": the first item's IconPixmap
//                           entry of the PNG's size against the PNG
//   Click(s method) -> s    Activate, SecondaryActivate or ContextMenu on
//                           the first item, as the panel would; "ok" or the
//                           error
//
// Usage: sni_standin [--no-host]
#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusContext>
#include <QDBusMessage>
#include <QDBusServiceWatcher>
#include <QDBusVariant>
#include <QImage>
#include <QStringList>

#include <cstdio>

namespace {

const QString ItemInterface = QStringLiteral("org.kde.StatusNotifierItem");

struct Pixmap
{
    int width = 0;
    int height = 0;
    QByteArray argb;
};

QList<Pixmap> ReadPixmaps(const QDBusArgument& argument)
{
    QList<Pixmap> pixmaps;
    argument.beginArray();
    while (!argument.atEnd()) {
        Pixmap pixmap;
        argument.beginStructure();
        argument >> pixmap.width >> pixmap.height >> pixmap.argb;
        argument.endStructure();
        pixmaps << pixmap;
    }
    argument.endArray();
    return pixmaps;
}

class Watcher final : public QObject, protected QDBusContext
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
    Q_PROPERTY(QStringList RegisteredStatusNotifierItems READ items)
    Q_PROPERTY(bool IsStatusNotifierHostRegistered READ hostRegistered)
    Q_PROPERTY(int ProtocolVersion READ protocolVersion)

public:
    explicit Watcher(bool host) : host_(host)
    {
        connect(&owners_, &QDBusServiceWatcher::serviceUnregistered, this, &Watcher::ownerGone);
        owners_.setConnection(QDBusConnection::sessionBus());
        owners_.setWatchMode(QDBusServiceWatcher::WatchForUnregistration);
    }

    // The property, as the bus reads it.
    QStringList items() const
    {
        readAt_ = changes_;
        return items_;
    }
    QStringList list() const { return items_; }
    bool current() const { return readAt_ == changes_; }
    bool hostRegistered() const { return host_; }
    int protocolVersion() const { return 0; }

    void setHost(bool host)
    {
        if (host_ == host) {
            return;
        }
        host_ = host;
        ++changes_;
        if (host) {
            emit StatusNotifierHostRegistered();
        } else {
            emit StatusNotifierHostUnregistered();
        }
    }

public slots:
    void RegisterStatusNotifierItem(const QString& serviceOrPath)
    {
        // As the panels do: a bare path belongs to the caller.
        QString service = serviceOrPath;
        QString item = serviceOrPath + QStringLiteral("/StatusNotifierItem");
        if (serviceOrPath.startsWith(QLatin1Char('/'))) {
            service = message().service();
            item = service + serviceOrPath;
        }
        if (items_.contains(item)) {
            return;
        }
        items_ << item;
        ++changes_;
        owners_.addWatchedService(service);
        emit StatusNotifierItemRegistered(item);
    }

    void RegisterStatusNotifierHost(const QString& /*service*/) { setHost(true); }

signals:
    void StatusNotifierItemRegistered(const QString& item);
    void StatusNotifierItemUnregistered(const QString& item);
    void StatusNotifierHostRegistered();
    void StatusNotifierHostUnregistered();

private:
    void ownerGone(const QString& service)
    {
        owners_.removeWatchedService(service);
        for (const QString& item : QStringList(items_)) {
            if (item.startsWith(service + QLatin1Char('/'))) {
                items_.removeAll(item);
                ++changes_;
                emit StatusNotifierItemUnregistered(item);
            }
        }
    }

    bool host_;
    QStringList items_;
    int changes_ = 0;
    mutable int readAt_ = -1;
    QDBusServiceWatcher owners_;
};

class Host final : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "net.quendorvil.Dovo.TestHost")

public:
    explicit Host(Watcher& watcher) : watcher_(watcher) {}

public slots:
    void SetHost(bool host) { watcher_.setHost(host); }
    QString Items() const { return watcher_.list().join(QLatin1Char(' ')); }
    bool Current() const { return watcher_.current(); }

    QString ToolTip() const
    {
        const QDBusMessage reply = property(QStringLiteral("ToolTip"));
        if (reply.type() != QDBusMessage::ReplyMessage) {
            return QStringLiteral("error: ") + reply.errorMessage();
        }
        // (s a(iiay) s s): icon name, icon pixmaps, title, text
        const auto argument =
            reply.arguments().value(0).value<QDBusVariant>().variant().value<QDBusArgument>();
        QString iconName, title, text;
        argument.beginStructure();
        argument >> iconName;
        ReadPixmaps(argument);
        argument >> title >> text;
        argument.endStructure();
        return title;
    }

    QString Icon(const QString& pngPath) const
    {
        const QImage png = QImage(pngPath).convertToFormat(QImage::Format_ARGB32);
        const QDBusMessage reply = property(QStringLiteral("IconPixmap"));
        if (png.isNull() || reply.type() != QDBusMessage::ReplyMessage) {
            return QStringLiteral("error: ") + reply.errorMessage();
        }
        const auto pixmaps = ReadPixmaps(
            reply.arguments().value(0).value<QDBusVariant>().variant().value<QDBusArgument>());
        for (const Pixmap& pixmap : pixmaps) {
            if (pixmap.width != png.width() || pixmap.height != png.height() ||
                pixmap.argb.size() != 4 * png.width() * png.height()) {
                continue;
            }
            // ARGB32 in network byte order, one pixel after the other. Compared
            // premultiplied: an icon that went through a QPixmap keeps no
            // colour under fully transparent pixels.
            int differing = 0;
            const auto* bytes = reinterpret_cast<const unsigned char*>(pixmap.argb.constData());
            for (int y = 0; y < png.height(); ++y) {
                for (int x = 0; x < png.width(); ++x, bytes += 4) {
                    const QRgb exported = qRgba(bytes[1], bytes[2], bytes[3], bytes[0]);
                    if (qPremultiply(exported) != qPremultiply(png.pixel(x, y))) {
                        ++differing;
                    }
                }
            }
            return QStringLiteral("%1x%2 %3 differing")
                .arg(png.width())
                .arg(png.height())
                .arg(differing);
        }
        return QStringLiteral("no %1x%2 pixmap among %3")
            .arg(png.width())
            .arg(png.height())
            .arg(pixmaps.size());
    }

    QString Click(const QString& method) const
    {
        QDBusMessage click = itemCall(ItemInterface, method);
        click << 0 << 0;
        const QDBusMessage reply = QDBusConnection::sessionBus().call(click, QDBus::Block, 5000);
        return reply.type() == QDBusMessage::ReplyMessage ? QStringLiteral("ok")
                                                          : reply.errorMessage();
    }

private:
    QDBusMessage itemCall(const QString& interface, const QString& method) const
    {
        const QString item = watcher_.list().value(0);
        const qsizetype slash = item.indexOf(QLatin1Char('/'));
        return QDBusMessage::createMethodCall(item.left(slash), item.mid(slash), interface, method);
    }

    QDBusMessage property(const QString& name) const
    {
        QDBusMessage get =
            itemCall(QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
        get << ItemInterface << name;
        return QDBusConnection::sessionBus().call(get, QDBus::Block, 5000);
    }

    Watcher& watcher_;
};

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const bool host = !app.arguments().contains(QStringLiteral("--no-host"));
    Watcher watcher(host);
    Host control(watcher);
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.registerObject(QStringLiteral("/StatusNotifierWatcher"), &watcher,
                            QDBusConnection::ExportAllContents) ||
        !bus.registerObject(QStringLiteral("/Host"), &control, QDBusConnection::ExportAllSlots) ||
        !bus.registerService(QStringLiteral("org.kde.StatusNotifierWatcher"))) {
        std::fprintf(stderr, "sni_standin: cannot take org.kde.StatusNotifierWatcher: %s\n",
                     qPrintable(bus.lastError().message()));
        return 1;
    }
    return QCoreApplication::exec();
}

#include "StandInWatcher.moc"
