#pragma once

#include <QObject>
#include <QString>
#include <QVariantMap>

class QSocketNotifier;

namespace dovo {

// One Dovo per session. The first copy on a display holds a lock that the
// kernel drops when the process ends however it ends, listens on a local
// socket beside it, and owns net.quendorvil.Dovo on the session bus where
// there is one; a later copy asks it to come forward and leaves.
class SingleInstance final : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Application")

public:
    enum class Role
    {
        First,      // this process runs Dovo for its display
        Forwarded,  // another copy runs and was asked to show its window
        Unanswered, // another copy holds the lock but did not answer
    };

    explicit SingleInstance(QObject* parent = nullptr);
    ~SingleInstance() override;

    // Decides whether this process is the first on its display, and if not
    // asks the first to come forward. Runs before any window exists.
    Role claim();

public slots:
    // org.freedesktop.Application, as a desktop launcher calls it.
    Q_SCRIPTABLE void Activate(const QVariantMap& platformData);
    Q_SCRIPTABLE void Open(const QStringList& uris, const QVariantMap& platformData);
    Q_SCRIPTABLE void ActivateAction(const QString& name, const QVariantList& parameter,
                                     const QVariantMap& platformData);

signals:
    void activateRequested();

private:
    bool takeLock();
    bool forwardToFirst();
    void listen();
    void acceptClients();
    bool readRequest(int fd, QByteArray& request);
    void registerOnBus();
    void activateFromLauncher(const QVariantMap& platformData);

    QString lockPath_;
    QString socketPath_;
    int lockFd_ = -1;
    int listenFd_ = -1;
    QSocketNotifier* listenNotifier_ = nullptr;
    bool ownsBusName_ = false;
};

} // namespace dovo
