#pragma once

#include "platform/pointer/PointerSource.h"

#include <memory>
#include <optional>

struct xcb_connection_t;

namespace dovo {

class X11MotionWatch;

// The pointer as the X server tells it: asked at every tick, and, where the
// server has XInput 2, watched for motion so that a resting pointer costs
// nothing. Also what Dovo sees through XWayland on a compositor it cannot
// ask directly.
class X11PointerSource final : public PointerSource
{
    Q_OBJECT

public:
    enum class Mode
    {
        WatchMotion,
        Poll
    };

    X11PointerSource(QString name, Mode mode, QObject* parent = nullptr);
    ~X11PointerSource() override;

    QString name() const override { return name_; }
    void start() override;
    std::optional<QPoint> position() override;
    bool sleepUntilMotion() override;

private:
    QString name_;
    // Heard while constructing, said once someone listens.
    QString startRemark_;
    xcb_connection_t* qtConnection_ = nullptr;
    std::unique_ptr<X11MotionWatch> watch_;
    // The server's own pixels at the last tick, to tell a move the watch
    // could not hear.
    std::optional<QPoint> sampled_;
};

} // namespace dovo
