#include "settings/SavedTotals.h"

#include "FakeServices.h"
#include "core/Odometer.h"

#include <gtest/gtest.h>

#include <optional>

namespace {

using dovo::OdometerState;
using dovo::testing::FakeServices;

struct LoadCase
{
    const char* name;
    std::optional<std::string> twipsText;
    std::optional<std::string> blocksText;
    std::int32_t twips;
    std::int32_t blocks;
    std::vector<std::string> rejected;
};

TEST(SavedTotals, LoadsWhatIsStoredAndRejectsOnlyTheDamagedTotal)
{
    const std::vector<LoadCase> cases = {
        {"first run", std::nullopt, std::nullopt, 0, 0, {}},
        {"plain values", "1234", "5", 1234, 5, {}},
        {"negative twips", "-20", "0", -20, 0, {}},
        {"limits", "2147483647", "-2147483648", 2147483647, -2147483648, {}},
        {"blanks and plus", " +7 ", "\t3", 7, 3, {}},
        {"empty twips", "", "5", 0, 5, {"odoledger/totalpixels="}},
        {"letters in blocks", "1234", "abc", 1234, 0, {"odoledger/totalmpixels=abc"}},
        {"two numbers", "12 34", "1", 0, 1, {"odoledger/totalpixels=12 34"}},
        {"fraction", "1.5", "2", 0, 2, {"odoledger/totalpixels=1.5"}},
        {"beyond 32 bits", "5", "99999999999", 5, 0, {"odoledger/totalmpixels=99999999999"}},
        {"binary bytes",
         std::string("\x01\xff\0"
                     "7",
                     4),
         "\x80",
         0,
         0,
         {std::string("odoledger/totalpixels=\x01\xff\0"
                      "7",
                      26),
          "odoledger/totalmpixels=\x80"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeServices services;
        if (c.twipsText) {
            services.stored["odoledger/totalpixels"] = *c.twipsText;
        }
        if (c.blocksText) {
            services.stored["odoledger/totalmpixels"] = *c.blocksText;
        }
        OdometerState state;
        dovo::Load(state, services);
        EXPECT_EQ(state.TotalTwips, c.twips);
        EXPECT_EQ(state.TotalBlocks, c.blocks);
        EXPECT_EQ(services.rejected, c.rejected);
    }
}

TEST(SavedTotals, ClosingBeforeTheFirstTickWritesBackTheLoadedTextsInOneCommit)
{
    FakeServices services;
    services.stored = {{"odoledger/totalpixels", "1234"}, {"odoledger/totalmpixels", "5"}};
    OdometerState state;
    dovo::Load(state, services);
    dovo::Save(state, services);
    ASSERT_EQ(services.commits.size(), 1u);
    const std::map<std::string, std::string> expected = {{"odoledger/totalpixels", "1234"},
                                                         {"odoledger/totalmpixels", "5"}};
    EXPECT_EQ(services.commits.front(), expected);
}

TEST(SavedTotals, ALargeLoadedTotalIsWorkedDownOneBlockPerTickAndSavedSo)
{
    FakeServices services;
    services.stored = {{"odoledger/totalpixels", "2000000"}, {"odoledger/totalmpixels", "0"}};
    services.pointer = {{0, 0}};
    OdometerState state;
    dovo::Load(state, services);
    dovo::Start(state, services);
    dovo::Step(state, services);
    dovo::Save(state, services);
    EXPECT_EQ(services.stored["odoledger/totalpixels"], "1433000");
    EXPECT_EQ(services.stored["odoledger/totalmpixels"], "1");
}

TEST(SavedTotals, NegativeValuesAreWrittenWithAMinusAndNoGrouping)
{
    FakeServices services;
    OdometerState state;
    state.TotalTwips = -20;
    state.TotalBlocks = 1234567;
    dovo::Save(state, services);
    EXPECT_EQ(services.stored["odoledger/totalpixels"], "-20");
    EXPECT_EQ(services.stored["odoledger/totalmpixels"], "1234567");
}

TEST(SavedTotals, AFailedCommitIsReportedToTheCaller)
{
    FakeServices services;
    services.failCommit = true;
    OdometerState state;
    EXPECT_THROW(dovo::Save(state, services), dovo::SettingsError);
    EXPECT_TRUE(services.stored.empty());
}

} // namespace
