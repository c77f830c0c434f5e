#include "platform/PointerSources.h"

#include "platform/GnomeShellPointerSource.h"
#include "platform/HyprlandPointerSource.h"
#include "platform/KWinPointerSource.h"
#include "platform/X11PointerSource.h"

#include <QTimer>

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

// A compositor that keeps the pointer to itself: only what XWayland shows.
class XWaylandPointerSource final : public PointerSource
{
public:
    XWaylandPointerSource() : x11_(QStringLiteral("XWayland"), X11PointerSource::Mode::WatchMotion)
    {
        connect(&x11_, &PointerSource::moved, this, &XWaylandPointerSource::wake);
    }

    QString name() const override { return x11_.name(); }
    std::optional<QPoint> position() override { return x11_.position(); }
    bool sleepUntilMotion() override
    {
        setAsleep(x11_.sleepUntilMotion());
        return asleep();
    }
    void start() override
    {
        emit notice(QStringLiteral(
            "On Wayland, Dovo sees the pointer only while it is over X11 (XWayland) windows; "
            "travel over native Wayland windows is not counted. Dovo counts everything on "
            "X11 sessions, KDE Plasma, GNOME (with Dovo's Shell extension) and Hyprland."));
    }

private:
    X11PointerSource x11_;
};

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
    return std::make_unique<XWaylandPointerSource>();
}

} // namespace dovo
