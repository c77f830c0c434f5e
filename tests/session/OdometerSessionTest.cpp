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
// s = periodic save, u = close, j = the desktop found the pointer again,
// f = the store fails to write from now on, g = it writes again, G = it can
// be read again.
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
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeServices services;
        FakeWindow window;
        services.stored = {{"odoledger/totalpixels", c.twipsStored},
                           {"odoledger/totalmpixels", "0"}};
        services.pointer.assign(c.pointer.begin(), c.pointer.end());
        services.failRead = c.unreadable;
        OdometerSession session(services, window);
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
                failure = session.Unload();
                break;
            case 'j':
                services.reacquired = true;
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
        const bool closed = c.script.find('u') != std::string::npos;
        EXPECT_EQ(window.timersStopped, closed);
        EXPECT_EQ(window.iconRemoved, closed);
        EXPECT_EQ(window.closeFailureTold, session.exitCode() != 0);
    }
}

// After one tick that moved, quiet ticks at rest; then, where afterWake is
// set, the desktop wakes the tick and that many quiet ticks follow.
struct RestCase
{
    const char* name;
    bool seesAllMotion;
    bool canSleep;
    int quietTicks;
    Next next;
    int afterWake = -1;
};

TEST(OdometerSession, RestsOnlyAfterTicksThatChangedNothing)
{
    const std::vector<RestCase> cases = {
        {"a watch that sees all motion sleeps at the first quiet tick", true, true, 1,
         Next::OnMotion},
        {"without a watch the tick goes on", true, false, 30, Next::Tick},
        {"a watch that misses some motion keeps the rate for a while", false, true, 24, Next::Tick},
        {"and then slows down", false, true, 25, Next::Slowly},
        {"woken, it counts its quiet ticks afresh", false, true, 30, Next::Tick, 24},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeServices services;
        FakeWindow window;
        services.canSleep = c.canSleep;
        services.seesAllMotion = c.seesAllMotion;
        services.pointer = {{0, 0}, {0, 10}};
        OdometerSession session(services, window);
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
        EXPECT_EQ(last.next, c.next);
    }
}

TEST(OdometerSession, AResetAtRestShowsItsZerosBeforeSleepingAgain)
{
    FakeServices services;
    FakeWindow window;
    services.canSleep = true;
    services.pointer = {{0, 0}, {0, 10}, {0, 10}};
    OdometerSession session(services, window);
    session.Load();
    session.Tick([] {});
    EXPECT_EQ(session.Tick([] {}).next, Next::OnMotion);

    // A reset at rest changes the totals at the next tick, which shows the
    // zeros and only then may sleep again.
    session.Reset();
    const auto afterReset = session.Tick([] {});
    ASSERT_TRUE(afterReset.readouts);
    EXPECT_EQ(afterReset.readouts->centimetres, "0 cm");
    EXPECT_EQ(afterReset.next, Next::OnMotion);
}

} // namespace
