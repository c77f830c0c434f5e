#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace dovo {

// A position in screen pixels, origin at the top-left corner of the screen.
struct ScreenPoint
{
    std::int32_t x = 0;
    std::int32_t y = 0;

    friend bool operator==(const ScreenPoint&, const ScreenPoint&) = default;
};

// What the odometer asks of the desktop: where the pointer is and how large
// a pixel is. Through this alone the arithmetic runs without a display.
class PointerServices
{
public:
    virtual ~PointerServices() = default;

    // The pointer position in screen pixels. Left as it was when the
    // platform cannot tell.
    virtual void GetCursorPos(ScreenPoint& point) = 0;

    // True once the pointer position is known again after the desktop lost
    // track of it (and when it first becomes known, where that takes a
    // while): the next sample is a new starting point, not the end of a
    // move, so a reconnect never counts a jump the pointer did not travel.
    virtual bool PointerReacquired() { return false; }

    // The pointer rested through a whole tick. True when the desktop will
    // call wake at the next motion, so sampling may stop until then; false
    // where motion cannot be watched and sampling has to go on.
    virtual bool SleepUntilMotion(std::function<void()> wake)
    {
        (void)wake;
        return false;
    }

    // False where some motion never reaches the watch above (on Windows a
    // touch screen, a pen or a remote session moves the pointer without raw
    // mouse input): a resting tick then only slows down.
    virtual bool SeesAllMotion() { return true; }

    // 1440 divided by the logical dots per inch of the screen under the
    // pointer, read anew at each call so a change of resolution counts at
    // once.
    virtual float TwipsPerPixelX() = 0;
    virtual float TwipsPerPixelY() = 0;

    // The user's decimal separator, for the kilometre readout.
    virtual std::string DecimalSeparator() = 0;
};

} // namespace dovo
