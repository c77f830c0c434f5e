#pragma once

#include "core/PointerServices.h"

#include <windows.h>

#include <functional>

namespace dovo {

// The pointer from GetCursorPos on the virtual screen, measured with the
// density of the monitor under it.
class WindowsServices final : public PointerServices
{
public:
    // How the pointer is read: ::GetCursorPos, or a test's script.
    using CursorReader = std::function<bool(POINT&)>;

    WindowsServices();
    explicit WindowsServices(CursorReader readCursor);

    void GetCursorPos(ScreenPoint& point) override;
    bool PointerReacquired() override;
    // Raw input from every mouse, also while another window has the focus,
    // wakes the tick at the next motion.
    bool SleepUntilMotion(std::function<void()> wake) override;
    // A touch screen, a pen, a remote session and Wine's pointer over
    // windows not its own move the pointer without raw mouse input.
    bool SeesAllMotion() override { return false; }
    float TwipsPerPixelX() override;
    float TwipsPerPixelY() override;
    std::string DecimalSeparator() override;

    // The window that receives WM_INPUT while the tick sleeps.
    void SetWindow(HWND window) { window_ = window; }
    // WM_INPUT arrived: motion (or a button) on some mouse.
    void MotionSeen();

private:
    void StopWatching();
    UINT DpiAtPointer(bool horizontal);

    CursorReader readCursor_;
    HWND window_ = nullptr;
    POINT lastPoint_ = {0, 0};
    std::function<void()> wake_;
    bool watching_ = false;
    bool lost_ = false;
};

} // namespace dovo
