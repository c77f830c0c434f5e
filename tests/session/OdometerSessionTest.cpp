#include "session/OdometerSession.h"

#include "FakeServices.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using dovo::OdometerSession;
using dovo::testing::FakeServices;
using dovo::testing::FakeWindow;
using Next = OdometerSession::Next;

// A run of the session as a window drives it: t = tick, r = reset,
// s = periodic save, u = close by the user, k = close at a signal or the end
// of the desktop session, j = the desktop found the pointer again, a = the
// window reports a fresh start (screens changed, machine woke), f = the
// store fails to write from now on, g = it writes again, G = it can be read
// again, n = the store has something to tell at its next use.
struct SessionCase
{
    const char* name;
    std::vector<dovo::ScreenPoint> pointer;
    std::string twipsStored;
    std::string script;
    std::size_t commits;
    std::string twipsAfter;
    int exitCode;
    std::size_t told = 0;    // notices on screen
    bool unreadable = false; // from the start
};

TEST(OdometerSession, SavesOnlyWhatChangedAndSaysWhenItCannot)
{
    const std::vector<SessionCase> cases = {
        {"counts from the pointer at start", {{400, 300}, {700, 300}}, "0", "tu", 1, "4500", 0},
        {"a periodic save with nothing new writes nothing", {{0, 0}}, "7", "tsts", 0, "7", 0},
        {"a periodic save after a move, then only at close",
         {{0, 0}, {0, 10}},
         "0",
         "tsstu",
         2,
         "150",
         0},
        {"close before the first tick writes the loaded totals",
         {{5, 5}},
         "1234",
         "u",
         1,
         "1234",
         0},
        {"closing twice saves once", {{0, 0}}, "1", "uu", 1, "1", 0},
        {"a reset is saved at close", {{0, 0}, {0, 10}}, "4500", "tru", 1, "0", 0},
        {"a pointer found again does not count the jump",
         {{400, 300}, {410, 300}, {1200, 700}, {1200, 710}},
         "0",
         "tjttu",
         1,
         "300",
         0},
        {"a failing store at close ends with status 1", {{0, 0}, {0, 10}}, "0", "tfu", 0, "0", 1},
        {"a failed periodic save is tried again at close",
         {{0, 0}, {0, 10}},
         "0",
         "tfsu",
         0,
         "0",
         1,
         1},
        {"a run of failed saves is told once, and again after a good save",
         {{0, 0}, {0, 10}, {0, 20}, {0, 30}, {0, 40}},
         "0",
         "tfstsgtsftsu",
         1,
         "450",
         1,
         2},
        {"a store that cannot be read is told and never written over",
         {{0, 0}, {0, 10}},
         "1000",
         "tstsu",
         0,
         "1000",
         1,
         1,
         true},
        {"once it can be read, its totals and what was counted meanwhile are saved",
         {{0, 0}, {0, 10}, {0, 20}},
         "1000",
         "tsGtsu",
         2,
         "1300",
         0,
         1,
         true},
        {"a reset while it cannot be read is what is saved",
         {{0, 0}, {0, 10}, {0, 20}},
         "1000",
         "trGtu",
         1,
         "150",
         0,
         1,
         true},
        {"a damaged total is told once", {{0, 0}}, "7q", "tstsu", 1, "0", 0, 1},
        {"a damaged total met at a later read is told too",
         {{0, 0}},
         "7q",
         "tsGtsu",
         1,
         "0",
         0,
         2,
         true},
        {"what the store finds while saving is told",
         {{0, 0}, {0, 10}},
         "0",
         "tnsu",
         2,
         "150",
         0,
         1},
        {"a failed save at a signal is not waited for, and ends with status 1",
         {{0, 0}, {0, 10}},
         "0",
         "tfk",
         0,
         "0",
         1},
        {"a fresh start counts no jump the pointer did not travel",
         {{400, 300}, {410, 300}, {1200, 700}, {1200, 710}},
         "0",
         "tattu",
         1,
         "300",
         0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeServices services;
        FakeWindow window;
        services.stored = {{"odoledger/totalpixels", c.twipsStored},
                           {"odoledger/totalmpixels", "0"}};
        services.pointer.assign(c.pointer.begin(), c.pointer.end());
        services.failRead = c.unreadable;
        OdometerSession session(services, services, window);
        session.Load();
        std::optional<std::string> failure;
        for (const char step : c.script) {
            switch (step) {
            case 't':
                session.Tick([] {});
                break;
            case 'r':
                session.Reset();
                break;
            case 's':
                session.SaveIfChanged("test");
                break;
            case 'u':
                failure = session.Unload(OdometerSession::CloseReason::User);
                break;
            case 'k':
                failure = session.Unload(OdometerSession::CloseReason::Signal);
                break;
            case 'j':
                services.reacquired = true;
                break;
            case 'a':
                session.StartAfresh([] {});
                break;
            case 'n':
                services.notices.push_back("the store was replaced");
                break;
            case 'f':
                services.failCommit = true;
                break;
            case 'g':
                services.failCommit = false;
                break;
            case 'G':
                services.failRead = false;
                break;
            }
        }
        EXPECT_EQ(services.commits.size(), c.commits);
        EXPECT_EQ(services.stored["odoledger/totalpixels"], c.twipsAfter);
        EXPECT_EQ(session.exitCode(), c.exitCode);
        EXPECT_EQ(failure.has_value(), c.exitCode != 0);
        EXPECT_EQ(window.told.size(), c.told);
        const bool byUser = c.script.find('u') != std::string::npos;
        const bool closed = byUser || c.script.find('k') != std::string::npos;
        EXPECT_EQ(window.timersStopped, closed);
        EXPECT_EQ(window.iconRemoved, closed);
        EXPECT_EQ(window.closeFailureTold, session.exitCode() != 0 && byUser);
        EXPECT_EQ(window.closeFailureNotified, session.exitCode() != 0 && !byUser);
        if (closed) {
            EXPECT_EQ(session.Interval(), 0);
        }
    }
}

// After one tick that moved, quiet ticks at rest; then, where afterWake is
// set, the desktop wakes the tick and that many quiet ticks follow, and
// where afresh is set, the window reports a fresh start. interval is the
// timer the session asks of the window after that.
struct RestCase
{
    const char* name;
    bool seesAllMotion;
    bool canSleep;
    int quietTicks;
    Next next;
    int interval;
    int afterWake = -1;
    bool afresh = false;
};

TEST(OdometerSession, RestsOnlyAfterTicksThatChangedNothing)
{
    const std::vector<RestCase> cases = {
        {"a watch that sees all motion sleeps at the first quiet tick", true, true, 1,
         Next::OnMotion, 0},
        {"without a watch the tick goes on", true, false, 30, Next::Tick, 200},
        {"a watch that misses some motion keeps the rate for a while", false, true, 24, Next::Tick,
         200},
        {"and then slows down", false, true, 25, Next::Slowly, 2000},
        {"woken, it counts its quiet ticks afresh", false, true, 30, Next::Tick, 200, 24},
        {"woken from its sleep, it ticks at the normal rate", true, true, 1, Next::OnMotion, 200,
         0},
        {"a fresh start where the pointer rests sleeps again until motion", true, true, 1,
         Next::OnMotion, 0, -1, true},
        {"a fresh start brings a slowed tick back to the normal rate", false, true, 25, Next::Tick,
         200, -1, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeServices services;
        FakeWindow window;
        services.canSleep = c.canSleep;
        services.seesAllMotion = c.seesAllMotion;
        services.pointer = {{0, 0}, {0, 10}};
        OdometerSession session(services, services, window);
        session.Load();
        bool woken = false;
        EXPECT_EQ(session.Tick([&woken] { woken = true; }).next, Next::Tick);
        OdometerSession::TickResult last;
        for (int i = 0; i < c.quietTicks; ++i) {
            last = session.Tick([&woken] { woken = true; });
        }
        if (c.afterWake >= 0) {
            ASSERT_TRUE(bool(services.wake));
            services.wake();
            EXPECT_TRUE(woken);
            for (int i = 0; i < c.afterWake; ++i) {
                last = session.Tick([] {});
            }
        }
        if (c.afresh) {
            last = session.StartAfresh([] {});
        }
        EXPECT_EQ(last.next, c.next);
        EXPECT_EQ(session.Interval(), c.interval);
    }
}

TEST(OdometerSession, AResetAtRestShowsItsZerosBeforeSleepingAgain)
{
    FakeServices services;
    FakeWindow window;
    services.canSleep = true;
    services.pointer = {{0, 0}, {0, 10}, {0, 10}};
    OdometerSession session(services, services, window);
    session.Load();
    session.Tick([] {});
    EXPECT_EQ(session.Tick([] {}).next, Next::OnMotion);

    // A reset at rest changes the totals at the next tick, which shows the
    // zeros and only then may sleep again.
    session.Reset();
    EXPECT_EQ(session.Interval(), OdometerSession::TickMilliseconds);
    const auto afterReset = session.Tick([] {});
    ASSERT_TRUE(afterReset.readouts);
    EXPECT_EQ(afterReset.readouts->centimetres, "0 cm");
    EXPECT_EQ(afterReset.next, Next::OnMotion);
}

} // namespace
