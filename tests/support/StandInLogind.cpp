// A stand-in for logind on the system bus: owns org.freedesktop.login1,
// hands out a pipe for every Inhibit call (keeping the read end, as logind
// does, so a closed lock shows as end of file), and sends PrepareForSleep
// on command. The end-to-end test drives it over the bus, at /Control:
//
//   Sleep(b)         PrepareForSleep(b) from logind's name
//   Forge(b)         the same signal from another connection of this
//                    process, routed before Forge returns
//   State() -> s     "taken T open O held H": Inhibit calls answered, locks
//                    not yet closed, and locks open when the last Inhibit
//                    call came in
//
// Usage: logind_standin   (DBUS_SYSTEM_BUS_ADDRESS names the bus)
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusUnixFileDescriptor>
#include <QList>

#include <cstdio>
#include <poll.h>
#include <unistd.h>

namespace {

const QString LoginPath = QStringLiteral("/org/freedesktop/login1");
const QString LoginManager = QStringLiteral("org.freedesktop.login1.Manager");

QDBusMessage PrepareForSleep(bool sleeping)
{
    QDBusMessage signal =
        QDBusMessage::createSignal(LoginPath, LoginManager, QStringLiteral("PrepareForSleep"));
    signal << sleeping;
    return signal;
}

class Manager final : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.login1.Manager")

public:
    ~Manager() override
    {
        for (const int fd : open_) {
            ::close(fd);
        }
    }

    // Looked at when asked rather than followed by a notifier, so the state
    // is exact in order: a lock closed before the caller sent its next
    // call is already seen as closed when that call is answered.
    void forgetClosed()
    {
        QList<int> still;
        for (const int fd : open_) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 0) == 1 && (p.revents & (POLLIN | POLLHUP)) != 0) {
                ::close(fd);
            } else {
                still << fd;
            }
        }
        open_ = still;
    }

    QString state()
    {
        forgetClosed();
        return QStringLiteral("taken %1 open %2 held %3").arg(taken_).arg(open_.size()).arg(held_);
    }

public slots:
    QDBusUnixFileDescriptor Inhibit(const QString& /*what*/, const QString& /*who*/,
                                    const QString& /*why*/, const QString& /*mode*/)
    {
        forgetClosed();
        held_ = static_cast<int>(open_.size());
        int ends[2];
        if (::pipe(ends) != 0) {
            return {};
        }
        open_ << ends[0];
        ++taken_;
        QDBusUnixFileDescriptor lock;
        lock.giveFileDescriptor(ends[1]);
        return lock;
    }

private:
    QList<int> open_;
    int taken_ = 0;
    int held_ = 0;
};

class Control final : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "net.quendorvil.Dovo.TestLogind")

public:
    Control(Manager& manager, QDBusConnection impostor) : manager_(manager), impostor_(impostor) {}

public slots:
    void Sleep(bool sleeping) { QDBusConnection::systemBus().send(PrepareForSleep(sleeping)); }

    void Forge(bool sleeping)
    {
        impostor_.send(PrepareForSleep(sleeping));
        // The daemon handles one connection's messages in order: once it
        // answered, the signal is on its way to every listener.
        impostor_.call(QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.DBus"),
                                                      QStringLiteral("/org/freedesktop/DBus"),
                                                      QStringLiteral("org.freedesktop.DBus"),
                                                      QStringLiteral("GetId")),
                       QDBus::Block, 5000);
    }

    QString State() { return manager_.state(); }

private:
    Manager& manager_;
    QDBusConnection impostor_;
};

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    Manager manager;
    QDBusConnection impostor =
        QDBusConnection::connectToBus(QDBusConnection::SystemBus, QStringLiteral("impostor"));
    Control control(manager, impostor);
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!impostor.isConnected() ||
        !bus.registerObject(LoginPath, &manager, QDBusConnection::ExportAllSlots) ||
        !bus.registerObject(QStringLiteral("/Control"), &control,
                            QDBusConnection::ExportAllSlots) ||
        !bus.registerService(QStringLiteral("org.freedesktop.login1"))) {
        std::fprintf(stderr, "logind_standin: cannot take org.freedesktop.login1: %s\n",
                     qPrintable(bus.lastError().message()));
        return 1;
    }
    return QCoreApplication::exec();
}

#include "StandInLogind.moc"
