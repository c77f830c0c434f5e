#include "platform/pointer/PointerSources.h"

#include "platform/pointer/CursorCapturePointerSource.h"
#include "platform/pointer/GnomeShellPointerSource.h"
#include "platform/pointer/HyprlandPointerSource.h"
#include "platform/pointer/KWinPointerSource.h"
#include "platform/pointer/X11PointerSource.h"

namespace dovo {

namespace {

bool WaylandSession()
{
    return qgetenv("XDG_SESSION_TYPE") == "wayland" ||
           !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
}

bool DesktopIs(const char* name)
{
    const QList<QByteArray> desktops = qgetenv("XDG_CURRENT_DESKTOP").toLower().split(':');
    return desktops.contains(QByteArray(name));
}

} // namespace

std::unique_ptr<PointerSource> MakePointerSource()
{
    if (!WaylandSession()) {
        // Only for tests that compare with the way Dovo always sampled.
        const auto mode = qgetenv("DOVO_POINTER") == "polling"
                              ? X11PointerSource::Mode::Poll
                              : X11PointerSource::Mode::WatchMotion;
        return std::make_unique<X11PointerSource>(QStringLiteral("X11"), mode);
    }
    if (!qEnvironmentVariableIsEmpty("HYPRLAND_INSTANCE_SIGNATURE")) {
        return std::make_unique<HyprlandPointerSource>();
    }
    if (DesktopIs("kde")) {
        return std::make_unique<KWinPointerSource>();
    }
    if (DesktopIs("gnome")) {
        return std::make_unique<GnomeShellPointerSource>();
    }
    // sway, labwc and the other wlroots compositors; where the compositor
    // offers no cursor capture, this falls back on XWayland by itself.
    return std::make_unique<CursorCapturePointerSource>();
}

} // namespace dovo
