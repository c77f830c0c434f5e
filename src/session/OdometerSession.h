#pragma once

#include "core/Odometer.h"
#include "core/OdometerState.h"
#include "session/Services.h"

#include <functional>
#include <optional>
#include <string>

namespace dovo {

// What a running Dovo decides the same way on every desktop: load the
// totals, count at each tick, sleep while the pointer rests, save when the
// total changed, and save once more at the end. The window drives it and
// shows what it returns.
class OdometerSession
{
public:
    explicit OdometerSession(Services& services);

    // Reads the saved totals and takes the pointer as the starting point, so
    // the first tick counts only movement made after start.
    void Load();

    struct TickResult
    {
        // Empty when the tick failed; the readouts then keep their texts.
        std::optional<ReadoutTexts> readouts;
        // Nothing changed and the desktop will call wake at the next motion:
        // the tick may stop until then.
        bool maySleep = false;
    };
    TickResult Tick(const std::function<void()>& wake);

    void Reset();

    // Saves when the totals moved since the last save; for the periodic
    // save and the end of the desktop session. handler names the caller in
    // an error report.
    void SaveIfChanged(const char* handler);

    // The save at close, done once however often it is asked for. Empty on
    // success, else what to tell the user; exitCode() is then 1.
    std::optional<std::string> Unload();

    const OdometerState& state() const { return state_; }
    bool unloaded() const { return unloaded_; }
    int exitCode() const { return exitCode_; }

private:
    Services& services_;
    OdometerState state_;
    std::int32_t savedTwips_ = 0;
    std::int32_t savedBlocks_ = 0;
    bool unloaded_ = false;
    int exitCode_ = 0;
};

} // namespace dovo
