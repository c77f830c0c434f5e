#include "platform/SleepWatch.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QPointer>
#include <QThread>

#include <memory>

namespace dovo {

namespace {

const QString Login = QStringLiteral("org.freedesktop.login1");
const QString LoginPath = QStringLiteral("/org/freedesktop/login1");
const QString LoginManager = QStringLiteral("org.freedesktop.login1.Manager");
// A connection of our own: connecting Qt's default system bus holds a lock
// that every later QDBusConnection::sessionBus() waits for.
const QString ConnectionName = QStringLiteral("dovo-sleep-watch");

} // namespace

SleepWatch::SleepWatch(QObject* parent) : QObject(parent) {}

SleepWatch::~SleepWatch() = default;

void SleepWatch::start()
{
    // Connecting says Hello to the bus daemon and waits for its answer; a
    // system bus that is slow to answer must not hold up the window.
    auto connected = std::make_shared<QDBusConnection>(QString());
    QThread* connector = QThread::create([connected] {
        *connected = QDBusConnection::connectToBus(QDBusConnection::SystemBus, ConnectionName);
    });
    connect(connector, &QThread::finished, connector, &QObject::deleteLater);
    connect(connector, &QThread::finished, this, [this, connected] { follow(*connected); });
    connector->start();
}

void SleepWatch::follow(QDBusConnection bus)
{
    if (!bus.isConnected()) {
        return;
    }
    bus_ = bus;
    // Watched before its owner is asked for: the bus daemon answers in
    // order, so every change after the answer comes as a signal.
    ownerWatch_ =
        new QDBusServiceWatcher(Login, bus_, QDBusServiceWatcher::WatchForOwnerChange, this);
    connect(ownerWatch_, &QDBusServiceWatcher::serviceOwnerChanged, this,
            [this](const QString&, const QString&, const QString& owner) { setOwner(owner); });
    // From any sender, checked against logind's unique name in the slot:
    // naming the service here would make Qt ask for its owner, and wait for
    // the answer, before it returns.
    bus_.connect(QString(), LoginPath, LoginManager, QStringLiteral("PrepareForSleep"), this,
                 SLOT(prepareForSleep(bool, QDBusMessage)));

    QDBusMessage ask = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("GetNameOwner"));
    ask << Login;
    auto* pending = new QDBusPendingCallWatcher(bus_.asyncCall(ask), this);
    const int asked = requests_;
    connect(pending, &QDBusPendingCallWatcher::finished, this,
            [this, asked](QDBusPendingCallWatcher* call) {
                call->deleteLater();
                const QDBusPendingReply<QString> reply = *call;
                // An owner change seen meanwhile is newer than this answer.
                if (!reply.isError() && asked == requests_ && owner_.isEmpty()) {
                    setOwner(reply.value());
                }
            });
}

void SleepWatch::setOwner(const QString& owner)
{
    if (owner == owner_) {
        return;
    }
    // A lock taken from a logind that has gone is no lock.
    releaseInhibitor();
    ++requests_;
    owner_ = owner;
    if (!owner_.isEmpty()) {
        takeInhibitor();
    }
}

void SleepWatch::takeInhibitor()
{
    QDBusMessage inhibit =
        QDBusMessage::createMethodCall(Login, LoginPath, LoginManager, QStringLiteral("Inhibit"));
    inhibit << QStringLiteral("sleep") << QStringLiteral("Dovo")
            << QStringLiteral("Saving the distance travelled") << QStringLiteral("delay");
    auto* pending = new QDBusPendingCallWatcher(bus_.asyncCall(inhibit), this);
    const int asked = ++requests_;
    connect(pending, &QDBusPendingCallWatcher::finished, this,
            [this, asked](QDBusPendingCallWatcher* call) {
                // The call keeps a copy of the descriptor until it is gone,
                // and logind waits for every copy to be closed.
                call->deleteLater();
                const QDBusPendingReply<QDBusUnixFileDescriptor> reply = *call;
                // Too late: the machine went to sleep or logind changed
                // meanwhile; the descriptor closes with the reply.
                if (reply.isError() || asked != requests_) {
                    return;
                }
                // The new lock is held before the old one is let go.
                inhibitor_ = reply.value();
            });
}

void SleepWatch::releaseInhibitor()
{
    inhibitor_ = QDBusUnixFileDescriptor();
}

void SleepWatch::prepareForSleep(bool sleeping, const QDBusMessage& message)
{
    // On a shared bus anyone may send this signal; only logind's counts.
    if (owner_.isEmpty() || message.service() != owner_) {
        return;
    }
    ++requests_;
    if (sleeping) {
        emit aboutToSleep();
        releaseInhibitor();
    } else {
        takeInhibitor();
        emit resumed();
    }
}

} // namespace dovo
