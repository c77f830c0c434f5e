// gnome_pointer DELAY_MS < "dx dy" lines: moves the pointer of a GNOME Shell
// by each line in turn, DELAY_MS apart, through Mutter's remote desktop
// interface. One connection for the whole session: Mutter ends a remote
// desktop session when the connection that created it goes away, which is
// why dbus-send cannot do this.

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QThread>

#include <iostream>
#include <string>

namespace {

QDBusMessage Call(const QString& path, const QString& interface, const QString& method,
                  const QVariantList& arguments = {})
{
    QDBusMessage message = QDBusMessage::createMethodCall(
        QStringLiteral("org.gnome.Mutter.RemoteDesktop"), path, interface, method);
    message.setArguments(arguments);
    QDBusMessage reply = QDBusConnection::sessionBus().call(message);
    if (reply.type() == QDBusMessage::ErrorMessage) {
        std::cerr << "gnome_pointer: " << qPrintable(method) << ": "
                  << qPrintable(reply.errorMessage()) << std::endl;
        std::exit(1);
    }
    return reply;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (argc != 2) {
        std::cerr << "usage: gnome_pointer DELAY_MS < moves" << std::endl;
        return 2;
    }
    const unsigned long delay = std::stoul(argv[1]);
    const QString session =
        Call(QStringLiteral("/org/gnome/Mutter/RemoteDesktop"),
             QStringLiteral("org.gnome.Mutter.RemoteDesktop"), QStringLiteral("CreateSession"))
            .arguments()
            .value(0)
            .value<QDBusObjectPath>()
            .path();
    const QString interface = QStringLiteral("org.gnome.Mutter.RemoteDesktop.Session");
    Call(session, interface, QStringLiteral("Start"));
    double dx = 0;
    double dy = 0;
    while (std::cin >> dx >> dy) {
        Call(session, interface, QStringLiteral("NotifyPointerMotionRelative"), {dx, dy});
        QThread::msleep(delay);
    }
    Call(session, interface, QStringLiteral("Stop"));
    return 0;
}
