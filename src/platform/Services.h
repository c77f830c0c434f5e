#pragma once

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>

namespace dovo {

// A position in screen pixels, origin at the top-left corner of the screen.
struct ScreenPoint
{
    std::int32_t x = 0;
    std::int32_t y = 0;

    friend bool operator==(const ScreenPoint&, const ScreenPoint&) = default;
};

// The settings store could not be read or written; what() says which file
// and why, in words meant for the user.
class SettingsError : public std::runtime_error
{
public:
    explicit SettingsError(const std::string& what) : std::runtime_error(what) {}
};

// Everything the program asks of the desktop. The odometer and the saved
// totals see the platform only through this, so they run without a display.
class Services
{
public:
    virtual ~Services() = default;

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

    // 1440 divided by the logical dots per inch of the screen under the
    // pointer, read anew at each call so a change of resolution counts at
    // once.
    virtual float TwipsPerPixelX() = 0;
    virtual float TwipsPerPixelY() = 0;

    // The user's decimal separator, for the kilometre readout.
    virtual std::string DecimalSeparator() = 0;

    // The stored text, or defaultText when the key is absent.
    virtual std::string GetSetting(const std::string& app, const std::string& section,
                                   const std::string& key, const std::string& defaultText) = 0;

    // Staged until CommitSettings, so that both totals reach the disk in
    // one atomic write and a crash can never leave one old and one new.
    virtual void SaveSetting(const std::string& app, const std::string& section,
                             const std::string& key, const std::string& text) = 0;

    // Throws SettingsError when the store cannot be written.
    virtual void CommitSettings(const std::string& app) = 0;

    // A stored text that is not a valid value: tell the user, and keep the
    // store's current file aside before the next commit replaces it.
    virtual void RejectSetting(const std::string& app, const std::string& section,
                               const std::string& key, const std::string& text) = 0;
};

} // namespace dovo
