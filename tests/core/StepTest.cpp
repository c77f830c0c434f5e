#include "FakeServices.h"
#include "core/Arithmetic.h"
#include "core/Odometer.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <vector>

namespace {

using dovo::OdometerState;
using dovo::ScreenPoint;
using dovo::testing::FakePointer;

constexpr std::int32_t kMax = std::numeric_limits<std::int32_t>::max();
constexpr std::int32_t kMin = std::numeric_limits<std::int32_t>::min();
constexpr int kAnyReads = -1;

OdometerState Loaded(ScreenPoint last, std::int32_t twips, std::int32_t blocks)
{
    return {twips, blocks, last, last};
}

struct StepCase
{
    const char* name;
    ScreenPoint last, cur;
    float fx, fy;
    std::int32_t twips, blocks, wantTwips, wantBlocks;
    int wantReads;
};

// Distinct X and Y factors make a wrongly chosen factor change the sum, and
// the read count catches a factor fetched but not used.
TEST(Step, AddsTheSampleAsItsCaseRequires)
{
    // clang-format off
    const std::vector<StepCase> cases = {
        {"horizontal 10 px at 15", {100, 50}, {110, 50}, 15, 15, 0, 0, 150, 0, 1},
        {"leftwards counts as much", {110, 50}, {100, 50}, 15, 15, 0, 0, 150, 0, 1},
        {"vertical 10 px at 15", {7, 20}, {7, 10}, 15, 15, 0, 0, 150, 0, 1},
        {"vertical uses only Y", {7, 0}, {7, 10}, 12, 15, 0, 0, 150, 0, 1},
        {"horizontal uses only X", {0, 7}, {10, 7}, 12, 15, 0, 0, 120, 0, 1},
        {"diagonal pairs X with dx", {0, 0}, {3, 4}, 12, 15, 0, 0, 69, 0, 2},
        {"diagonal 3-4-5 at 15", {10, 10}, {13, 14}, 15, 15, 1000, 0, 1075, 0, 2},
        {"diagonal 1,1 floors 21.2", {0, 0}, {1, 1}, 15, 15, 0, 0, 21, 0, 2},
        {"diagonal floors 33.54", {5, 5}, {4, 3}, 15, 15, 0, 0, 33, 0, 2},
        {"diagonal floored before the sum", {0, 0}, {1, 2}, 15, 15, 1, 0, 34, 0, 2},
        {"no movement", {40, 40}, {40, 40}, 15, 15, 1234, 5, 1234, 5, kAnyReads},
        {"64 dpi 1 px: 22.5 to even", {0, 0}, {1, 0}, 22.5f, 22.5f, 0, 0, 22, 0, 1},
        {"64 dpi 3 px: 67.5 to even", {0, 0}, {3, 0}, 22.5f, 22.5f, 0, 0, 68, 0, 1},
        // Rounding the product before the sum would give 23 and 24 here.
        {"odd total decides the half", {0, 0}, {0, 1}, 22.5f, 22.5f, 1, 0, 24, 0, 1},
        {"even total decides the half", {0, 0}, {0, 1}, 22.5f, 22.5f, 2, 0, 24, 0, 1},
        {"negative total half to even", {0, 0}, {1, 0}, 22.5f, 22.5f, -45, 0, -22, 0, 1},
        {"factor 12", {0, 0}, {7, 0}, 12, 12, 0, 0, 84, 0, 1},
        {"14.4f widened, 10 px", {0, 0}, {10, 0}, 14.4f, 14.4f, 0, 0, 144, 0, 1},
        // 14.4f * 300004 ends in .49; 14.4 in double, or float sums, give .5 or more.
        {"14.4f, long move", {0, 0}, {300004, 0}, 14.4f, 14.4f, -4000000, 0, 320057, 0, 1},
        {"carry strictly above a block", {0, 0}, {10, 0}, 15, 15, 566990, 3, 140, 4, 1},
        {"exactly one block stays", {0, 0}, {10, 0}, 15, 15, 566850, 3, 567000, 3, 1},
        {"half even near the top", {0, 0}, {1, 0}, 22.5f, 22.5f, kMax - 23, 0, 2146916646, 1, 1},
    };
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakePointer fake;
        fake.factorX = c.fx;
        fake.factorY = c.fy;
        fake.pointer = {c.cur};
        OdometerState state = Loaded(c.last, c.twips, c.blocks);
        dovo::Step(state, fake);
        EXPECT_EQ(state.TotalTwips, c.wantTwips);
        EXPECT_EQ(state.TotalBlocks, c.wantBlocks);
        EXPECT_EQ(state.CurPos, c.cur);
        EXPECT_EQ(state.LastPos, c.cur);
        if (c.wantReads != kAnyReads) {
            EXPECT_EQ(fake.factorReads, c.wantReads);
        }
    }
}

TEST(Step, WorksDownALoadedTotalOneBlockPerTick)
{
    FakePointer fake;
    fake.pointer = {{5, 5}};
    OdometerState state = Loaded({5, 5}, 2000000, 0);
    const std::vector<std::int32_t> twips = {1433000, 866000, 299000, 299000};
    const std::vector<std::int32_t> blocks = {1, 2, 3, 3};
    for (std::size_t tick = 0; tick < twips.size(); ++tick) {
        SCOPED_TRACE(tick);
        dovo::Step(state, fake);
        EXPECT_EQ(state.TotalTwips, twips[tick]);
        EXPECT_EQ(state.TotalBlocks, blocks[tick]);
    }
}

TEST(Step, ResetKeepsPositionsSoTheNextTickCountsOnlyNewMovement)
{
    FakePointer fake;
    fake.pointer = {{20, 10}};
    OdometerState state = Loaded({10, 10}, 1000, 5);
    dovo::Reset(state);
    EXPECT_EQ(state.TotalTwips, 0);
    EXPECT_EQ(state.TotalBlocks, 0);
    EXPECT_EQ(state.LastPos, (ScreenPoint{10, 10}));
    EXPECT_EQ(state.CurPos, (ScreenPoint{10, 10}));
    dovo::Step(state, fake);
    EXPECT_EQ(state.TotalTwips, 150); // from (0,0) it would be 335
}

// The pointer resting at (400,300) must not count the way from the screen
// corner (7500 twips) on the first tick, nor disturb totals loaded before.
TEST(Step, StartSeedsThePositionsFromThePointer)
{
    FakePointer fake;
    fake.pointer = {{400, 300}, {400, 300}, {410, 300}};
    OdometerState state = Loaded({0, 0}, 1234, 5);
    dovo::Start(state, fake);
    EXPECT_EQ(state.LastPos, (ScreenPoint{400, 300}));
    EXPECT_EQ(state.CurPos, (ScreenPoint{400, 300}));
    EXPECT_EQ(state.TotalBlocks, 5);
    dovo::Step(state, fake);
    EXPECT_EQ(state.TotalTwips, 1234);
    dovo::Step(state, fake);
    EXPECT_EQ(state.TotalTwips, 1384);
}

struct OverflowCase
{
    const char* name;
    ScreenPoint last, cur;
    float factor;
    std::int32_t twips, blocks, wantTwips;
};

// A failed tick must leave LastPos alone, so no distance is lost or counted
// twice once the program carries on.
TEST(StepOverflow, StopsTheTickWhereItFails)
{
    // clang-format off
    const std::vector<OverflowCase> cases = {
        {"x difference", {kMin, 0}, {kMax, 0}, 15, 100, 2, 100},
        {"y difference", {3, kMax}, {3, -2}, 15, 100, 2, 100},
        {"diagonal difference", {kMin, 0}, {kMax, 5}, 15, 100, 2, 100},
        {"absolute value across", {-1, 7}, {kMax, 7}, 15, 100, 2, 100},
        {"absolute value down", {9, kMin}, {9, 0}, 15, 100, 2, 100},
        {"new total above range", {0, 0}, {10, 0}, 15, 2147483600, 2, 2147483600},
        {"new total rounds to 2^31", {0, 0}, {1, 0}, 22.5f, kMax - 22, 2, kMax - 22},
        {"diagonal total above range", {0, 0}, {3, 4}, 15, kMax - 10, 2, kMax - 10},
        {"huge move", {0, 0}, {0, kMax}, 15, 0, 2, 0},
        {"carry past the top block", {0, 0}, {10, 0}, 15, 566990, kMax, 567140},
    };
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakePointer fake;
        fake.factorX = c.factor;
        fake.factorY = c.factor;
        fake.pointer = {c.cur};
        OdometerState state = Loaded(c.last, c.twips, c.blocks);
        EXPECT_THROW(dovo::Step(state, fake), dovo::OverflowError);
        EXPECT_EQ(state.TotalTwips, c.wantTwips);
        EXPECT_EQ(state.TotalBlocks, c.blocks);
        EXPECT_EQ(state.LastPos, c.last);
        EXPECT_EQ(state.CurPos, c.cur);
    }
}

TEST(StepOverflow, NextTickStartsFromTheOldLastPos)
{
    FakePointer fake;
    fake.pointer = {{kMax, 0}, {kMin + 10, 0}};
    OdometerState state = Loaded({kMin, 0}, 0, 0);
    EXPECT_THROW(dovo::Step(state, fake), dovo::OverflowError);
    dovo::Step(state, fake);
    EXPECT_EQ(state.TotalTwips, 150);
    EXPECT_EQ(state.LastPos, (ScreenPoint{kMin + 10, 0}));
}

} // namespace
