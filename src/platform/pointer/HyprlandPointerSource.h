#pragma once

#include "platform/pointer/Clock.h"
#include "platform/pointer/PointerSource.h"

#include <QByteArray>

#include <memory>
#include <optional>

class QSocketNotifier;

namespace dovo {

// The pointer as Hyprland tells it on its control socket, the way hyprctl
// asks: one "cursorpos" request per connection, answered "X, Y" in logical
// pixels of the layout, then closed by Hyprland.
//
// Hyprland serves that socket on its main thread, so Dovo asks at most once
// per tick while the pointer moves and once a second while it rests, never
// has more than one request open, and gives up on an answer after a second.
class HyprlandPointerSource final : public PointerSource
{
    Q_OBJECT

public:
    explicit HyprlandPointerSource(QObject* parent = nullptr);
    explicit HyprlandPointerSource(Clock& clock, QObject* parent = nullptr);
    ~HyprlandPointerSource() override;

    QString name() const override { return QStringLiteral("Hyprland"); }
    void start() override;
    std::optional<QPoint> position() override;
    bool sleepUntilMotion() override;

    // The socket of this Hyprland instance, as the environment names it.
    static QByteArray socketPath();

    // A "cursorpos" answer, or nothing when it is not one.
    static std::optional<QPoint> parseCursorPos(const QByteArray& reply);

private:
    void checkAtRest();
    void ask();
    void send();
    void receive();
    void fail(const QString& reason);
    void finish();

    int fd_ = -1;
    QByteArray path_;
    qsizetype sent_ = 0;
    QByteArray reply_;
    QSocketNotifier* writable_;
    QSocketNotifier* readable_;
    Clock& clock_;
    std::unique_ptr<Timer> deadline_;
    std::unique_ptr<Timer> restingCheck_;
    std::optional<qint64> lastAsked_;
    bool started_ = false;
    bool told_ = false;
};

} // namespace dovo
