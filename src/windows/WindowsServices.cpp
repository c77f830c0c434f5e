#include "windows/WindowsServices.h"

#include "windows/WideText.h"

#include <shellscalingapi.h>
#include <utility>

namespace dovo {

namespace {

constexpr float TwipsPerInch = 1440.0f;
constexpr UINT DefaultDpi = 96;
constexpr USHORT GenericDesktopPage = 0x01;
constexpr USHORT MouseUsage = 0x02;

} // namespace

WindowsServices::WindowsServices()
    : WindowsServices([](POINT& position) { return ::GetCursorPos(&position) != FALSE; })
{}

WindowsServices::WindowsServices(CursorReader readCursor) : readCursor_(std::move(readCursor)) {}

void WindowsServices::GetCursorPos(ScreenPoint& point)
{
    // Fails while a secure desktop (the lock screen, an elevation prompt)
    // has the input, and at a start into a locked session; the pointer then
    // stays where it was last seen.
    POINT position;
    if (!readCursor_(position)) {
        lost_ = true;
        return;
    }
    // Found again, but not yet announced: a good read right after a failed
    // one in the same tick would otherwise end a move at it.
    if (lost_) {
        return;
    }
    lastPoint_ = position;
    point.x = position.x;
    point.y = position.y;
}

bool WindowsServices::PointerReacquired()
{
    return std::exchange(lost_, false);
}

UINT WindowsServices::DpiAtPointer(bool horizontal)
{
    // The program is per-monitor DPI aware, so positions are physical pixels
    // and each monitor has its own density: a move is measured with the one
    // it ended on.
    const HMONITOR monitor = MonitorFromPoint(lastPoint_, MONITOR_DEFAULTTONEAREST);
    UINT dpiX = 0;
    UINT dpiY = 0;
    if (monitor == nullptr || FAILED(GetDpiForMonitor(monitor, MDT_EFFECTIVE_DPI, &dpiX, &dpiY))) {
        return DefaultDpi;
    }
    const UINT dpi = horizontal ? dpiX : dpiY;
    return dpi > 0 ? dpi : DefaultDpi;
}

float WindowsServices::TwipsPerPixelX()
{
    return TwipsPerInch / static_cast<float>(DpiAtPointer(true));
}

float WindowsServices::TwipsPerPixelY()
{
    return TwipsPerInch / static_cast<float>(DpiAtPointer(false));
}

std::string WindowsServices::DecimalSeparator()
{
    wchar_t separator[8] = {};
    if (GetLocaleInfoEx(LOCALE_NAME_USER_DEFAULT, LOCALE_SDECIMAL, separator, 8) <= 1) {
        return ".";
    }
    return Narrow(separator);
}

bool WindowsServices::SleepUntilMotion(std::function<void()> wake)
{
    if (window_ == nullptr) {
        return false;
    }
    if (!watching_) {
        const RAWINPUTDEVICE mouse = {GenericDesktopPage, MouseUsage, RIDEV_INPUTSINK, window_};
        if (!RegisterRawInputDevices(&mouse, 1, sizeof mouse)) {
            return false;
        }
        watching_ = true;
    }
    wake_ = std::move(wake);
    return true;
}

void WindowsServices::MotionSeen()
{
    // Raw input costs a message at every mouse report, so it is on only
    // from the session's rest until the next motion.
    StopWatching();
    if (auto wake = std::exchange(wake_, nullptr)) {
        wake();
    }
}

void WindowsServices::StopWatching()
{
    if (!watching_) {
        return;
    }
    const RAWINPUTDEVICE mouse = {GenericDesktopPage, MouseUsage, RIDEV_REMOVE, nullptr};
    RegisterRawInputDevices(&mouse, 1, sizeof mouse);
    watching_ = false;
}

} // namespace dovo
