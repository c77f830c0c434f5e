#pragma once

#include "platform/pointer/X11PointerSource.h"

namespace dovo {

// A compositor that keeps the pointer to itself: only what XWayland shows,
// that is the pointer while it is over an X11 window. Also what the sources
// that ask a compositor fall back to while it will not answer.
class XWaylandPointerSource final : public PointerSource
{
    Q_OBJECT

public:
    // `why` Dovo cannot ask the compositor, said after the notice.
    explicit XWaylandPointerSource(QString why = {}, QObject* parent = nullptr);

    QString name() const override { return x11_.name(); }
    std::optional<QPoint> position() override { return x11_.position(); }
    bool sleepUntilMotion() override;
    void start() override;

private:
    QString why_;
    X11PointerSource x11_;
};

} // namespace dovo
