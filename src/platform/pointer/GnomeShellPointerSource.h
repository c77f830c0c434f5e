#pragma once

#include "platform/pointer/PointerSource.h"
#include "platform/pointer/X11PointerSource.h"

#include <QDBusServiceWatcher>

class QDBusMessage;
class QDBusPendingCallWatcher;

namespace dovo {

// The pointer from GNOME Shell, through the Dovo extension that ships with
// Dovo (data/gnome-shell/): asked once a tick without waiting for the
// answer, and watched for motion by the extension while it rests. Where the
// extension is not on, what XWayland shows, and the user is told how to
// turn it on.
class GnomeShellPointerSource final : public PointerSource
{
    Q_OBJECT

public:
    explicit GnomeShellPointerSource(QObject* parent = nullptr);
    ~GnomeShellPointerSource() override;

    QString name() const override { return QStringLiteral("GNOME Shell"); }
    void start() override;
    std::optional<QPoint> position() override;
    bool sleepUntilMotion() override;

private slots:
    // D-Bus signals reach only string-based slots.
    void extensionMoved(const QDBusMessage& message);
    void extensionStateChanged(const QDBusMessage& message);

private:
    enum class Via
    {
        Unknown,
        Extension,
        XWayland
    };

    void ask();
    void answered(QDBusPendingCallWatcher* call);
    void watchAnswered(QDBusPendingCallWatcher* call);
    void shellChanged();
    void useExtension(const QPoint& position);
    void useXWayland();
    void explainAbsence();
    void tell(const QString& why);
    bool failed(QDBusPendingCallWatcher* call);

    Via via_ = Via::Unknown;
    bool asking_ = false;
    bool told_ = false;
    bool explaining_ = false;
    X11PointerSource xwayland_;
    QDBusServiceWatcher shellWatcher_;
};

} // namespace dovo
