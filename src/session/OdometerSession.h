#pragma once

#include "core/Odometer.h"
#include "core/OdometerState.h"
#include "core/PointerServices.h"
#include "session/SessionWindow.h"
#include "settings/SettingsStore.h"

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace dovo {

// What a running Dovo decides the same way on every desktop: load the
// totals, count at each tick, rest while the pointer rests, save when the
// total changed, tell the user what the store found and when a save fails,
// and save once more at the end. The window drives it, shows what it
// returns, and runs its tick timer at the interval it says.
class OdometerSession
{
public:
    static constexpr int TickMilliseconds = 200;
    // While the pointer rests and the desktop's watch misses some motion,
    // the tick slows down to this after TicksBeforeResting quiet ticks, so a
    // pointer that only pauses is still sampled at every tick when it goes
    // on.
    static constexpr int RestingMilliseconds = 2000;
    static constexpr int TicksBeforeResting = 25;

    OdometerSession(PointerServices& pointer, SettingsStore& store, SessionWindow& window);

    // Reads the saved totals and takes the pointer as the starting point, so
    // the first tick counts only movement made after start. A store that
    // cannot be read is told, and nothing is saved over it until a read of
    // it succeeds. What the store found on the way is told too.
    void Load();

    enum class Next
    {
        Tick,     // at the normal rate
        Slowly,   // every RestingMilliseconds until woken
        OnMotion, // not before the desktop calls wake
    };
    struct TickResult
    {
        // Empty when the tick failed; the readouts then keep their texts.
        std::optional<ReadoutTexts> readouts;
        Next next = Next::Tick;
    };
    // wake is called at the next motion once the tick rests; the window then
    // ticks at the normal rate again.
    TickResult Tick(const std::function<void()>& wake);

    // The window's tick timer from now on, in milliseconds: 0 while the tick
    // waits for motion, and once the window has closed.
    int Interval() const;

    // The screens changed, the machine woke, or the like: the pointer may
    // have been put elsewhere without travelling. Ticks at once from where
    // the pointer is now, so the next move counts from there.
    TickResult StartAfresh(const std::function<void()>& wake);

    void Reset();

    // Saves when the totals moved since the last save; for the periodic
    // save and the end of the desktop session. handler names the caller in
    // an error report. The first failure of a run of them is told.
    void SaveIfChanged(const char* handler);

    enum class CloseReason
    {
        User,       // the user closed the window and is there to read
        Signal,     // asked to end by a signal
        SessionEnd, // the desktop session is ending
    };
    // The close, done once however often it is asked for: stops the timers,
    // saves, removes the icon even when the save failed. Empty on success,
    // else what the user was told; exitCode() is then 1.
    std::optional<std::string> Unload(CloseReason reason = CloseReason::User);

    const OdometerState& state() const { return state_; }
    bool unloaded() const { return unloaded_; }
    int exitCode() const { return exitCode_; }

private:
    // Throws SettingsError while the store still cannot be read.
    void ReadAgain();
    void Saved();
    // Tells what the store found since it was last asked, with the texts
    // given, in one notice.
    void TellNotices(std::vector<std::string> more = {});

    PointerServices& pointer_;
    SettingsStore& store_;
    SessionWindow& window_;
    OdometerState state_;
    std::int32_t savedTwips_ = 0;
    std::int32_t savedBlocks_ = 0;
    int restingTicks_ = 0;
    Next next_ = Next::Tick;
    bool afresh_ = false;
    // The store could not be read: what is counted starts from 0 and is
    // added to the stored totals once they can be read.
    bool unread_ = false;
    bool resetWhileUnread_ = false;
    bool saveFailing_ = false;
    bool unloaded_ = false;
    int exitCode_ = 0;
};

} // namespace dovo
