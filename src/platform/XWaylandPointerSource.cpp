#include "platform/XWaylandPointerSource.h"

namespace dovo {

XWaylandPointerSource::XWaylandPointerSource(QObject* parent)
    : PointerSource(parent), x11_(QStringLiteral("XWayland"), X11PointerSource::Mode::WatchMotion)
{
    connect(&x11_, &PointerSource::moved, this, &XWaylandPointerSource::wake);
}

bool XWaylandPointerSource::sleepUntilMotion()
{
    setAsleep(x11_.sleepUntilMotion());
    return asleep();
}

void XWaylandPointerSource::start()
{
    emit notice(QStringLiteral(
        "This Wayland desktop does not let programs see the pointer: Dovo counts only "
        "while the pointer is over X11 (XWayland) windows. It counts everything on X11 "
        "sessions, KDE Plasma, GNOME (with its Dovo extension) and Hyprland."));
}

} // namespace dovo
