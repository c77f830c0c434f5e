#include "session/OdometerSession.h"

#include "FakeServices.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using dovo::OdometerSession;
using dovo::testing::FakeServices;

// A run of the session as a window drives it: t = tick, r = reset,
// s = periodic save, u = close, j = the desktop found the pointer again,
// f = the store fails from now on.
struct SessionCase
{
    const char* name;
    std::vector<dovo::ScreenPoint> pointer;
    std::string twipsStored;
    std::string script;
    std::size_t commits;
    std::string twipsAfter;
    int exitCode;
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
         1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeServices services;
        services.stored = {{"odoledger/totalpixels", c.twipsStored},
                           {"odoledger/totalmpixels", "0"}};
        services.pointer.assign(c.pointer.begin(), c.pointer.end());
        OdometerSession session(services);
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
            }
        }
        EXPECT_EQ(services.commits.size(), c.commits);
        EXPECT_EQ(services.stored["odoledger/totalpixels"], c.twipsAfter);
        EXPECT_EQ(session.exitCode(), c.exitCode);
        EXPECT_EQ(failure.has_value(), c.exitCode != 0);
    }
}

TEST(OdometerSession, SleepsOnlyAfterATickThatChangedNothing)
{
    FakeServices services;
    services.canSleep = true;
    services.pointer = {{0, 0}, {0, 10}, {0, 10}};
    OdometerSession session(services);
    session.Load();
    const auto moved = session.Tick([] {});
    EXPECT_FALSE(moved.maySleep);
    ASSERT_TRUE(moved.readouts);
    const auto rested = session.Tick([] {});
    EXPECT_TRUE(rested.maySleep);
    EXPECT_TRUE(bool(services.wake));

    // A reset at rest changes the totals at the next tick, which shows the
    // zeros and only then may sleep again.
    session.Reset();
    services.wake = nullptr;
    const auto afterReset = session.Tick([] {});
    ASSERT_TRUE(afterReset.readouts);
    EXPECT_EQ(afterReset.readouts->centimetres, "0 cm");
    EXPECT_TRUE(afterReset.maySleep);
}

} // namespace
