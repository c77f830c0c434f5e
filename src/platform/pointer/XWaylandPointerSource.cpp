#include "platform/pointer/XWaylandPointerSource.h"

namespace dovo {

XWaylandPointerSource::XWaylandPointerSource(QString why, QObject* parent)
    : PointerSource(parent), why_(std::move(why)),
      x11_(QStringLiteral("XWayland"), X11PointerSource::Mode::WatchMotion)
{
    connect(&x11_, &PointerSource::moved, this, &XWaylandPointerSource::wake);
    connect(&x11_, &PointerSource::remark, this, &PointerSource::remark);
}

bool XWaylandPointerSource::sleepUntilMotion()
{
    setAsleep(x11_.sleepUntilMotion());
    return asleep();
}

void XWaylandPointerSource::start()
{
    x11_.start();
    const QString limits = QStringLiteral(
        "On Wayland, Dovo sees the pointer only while it is over X11 (XWayland) windows; "
        "travel over native Wayland windows is not counted. Dovo counts everything on "
        "X11 sessions, KDE Plasma, GNOME (with Dovo's Shell extension), Hyprland and "
        "compositors that offer ext-image-copy-capture cursor sessions (sway, labwc).");
    emit notice(why_.isEmpty() ? limits : limits + QLatin1Char(' ') + why_);
}

} // namespace dovo
