#pragma once

#include <QDBusConnection>
#include <QDBusUnixFileDescriptor>
#include <QObject>
#include <QString>

class QDBusMessage;
class QDBusServiceWatcher;

namespace dovo {

// Hears from logind on the system bus when the machine goes to sleep and
// when it wakes. While Dovo runs it holds a delay inhibitor, so the machine
// waits for aboutToSleep() to be handled before it sleeps. Where there is no
// system bus or no logind on it, nothing happens at all.
class SleepWatch final : public QObject
{
    Q_OBJECT

public:
    explicit SleepWatch(QObject* parent = nullptr);
    ~SleepWatch() override;

    // Connects to the system bus away from the calling thread, then follows
    // logind.
    void start();

signals:
    // The machine is about to sleep. The inhibitor is let go once every
    // receiver has returned, so what must be kept is saved right there.
    void aboutToSleep();
    // The machine woke up.
    void resumed();

private slots:
    void prepareForSleep(bool sleeping, const QDBusMessage& message);

private:
    void follow(QDBusConnection bus);
    void setOwner(const QString& owner);
    void takeInhibitor();
    void releaseInhibitor();

    QDBusConnection bus_{QString()};
    QDBusServiceWatcher* ownerWatch_ = nullptr;
    // logind's unique name on the bus; only its signals are believed.
    QString owner_;
    // Bumped by every change an Inhibit answer may arrive too late for.
    int requests_ = 0;
    QDBusUnixFileDescriptor inhibitor_;
};

} // namespace dovo
