#include "FakeServices.h"
#include "core/Arithmetic.h"
#include "core/Odometer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <random>
#include <string>

// A second, deliberately plain rendering of the odometer rules with 64-bit
// intermediates and explicit range checks, so a wrap or a misplaced rounding
// in the real code shows up as a divergence somewhere along a long random walk.
namespace {

using dovo::OdometerState;
using std::int64_t;

constexpr int64_t kLo = std::numeric_limits<std::int32_t>::min();
constexpr int64_t kHi = std::numeric_limits<std::int32_t>::max();
constexpr long kTicks = 10'000'000;

bool Fits(int64_t v)
{
    return v >= kLo && v <= kHi;
}

enum Outcome
{
    kOk,
    kCoordinate,
    kTotal,
    kCarry
};

// |last - cur|, or false where either 32-bit operation would overflow.
bool Distance(int64_t last, int64_t cur, double& out)
{
    const int64_t d = last - cur;
    out = static_cast<double>(d < 0 ? -d : d);
    return Fits(d) && Fits(d < 0 ? -d : d);
}

Outcome ModelStep(OdometerState& m, dovo::ScreenPoint p, double fx, double fy)
{
    m.CurPos = p;
    double dx = 0;
    double dy = 0;
    double sum = 0;
    if (m.LastPos.x == p.x) {
        if (!Distance(m.LastPos.y, p.y, dy)) {
            return kCoordinate;
        }
        sum = fy * dy + m.TotalTwips;
    } else if (m.LastPos.y == p.y) {
        if (!Distance(m.LastPos.x, p.x, dx)) {
            return kCoordinate;
        }
        sum = fx * dx + m.TotalTwips;
    } else {
        if (!Distance(m.LastPos.x, p.x, dx) || !Distance(m.LastPos.y, p.y, dy)) {
            return kCoordinate;
        }
        sum = std::floor(std::sqrt((fx * dx) * (fx * dx) + (fy * dy) * (fy * dy))) + m.TotalTwips;
    }
    const double rounded = std::nearbyint(sum); // default mode: halves to even
    if (!(rounded >= static_cast<double>(kLo) && rounded <= static_cast<double>(kHi))) {
        return kTotal;
    }
    m.TotalTwips = static_cast<std::int32_t>(rounded);
    if (m.TotalTwips > 567000) {
        if (!Fits(int64_t{m.TotalBlocks} + 1)) {
            return kCarry;
        }
        m.TotalBlocks += 1;
        m.TotalTwips -= 567000;
    }
    m.LastPos = p;
    return kOk;
}

std::string Text(const char* format, double v, const std::string& separator, const char* unit)
{
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, format, v == 0 ? 0.0 : v);
    std::string text = buffer;
    if (const auto dot = text.find('.'); dot != std::string::npos) {
        text.replace(dot, 1, separator);
    }
    return text + unit;
}

dovo::ReadoutTexts ModelReadouts(const OdometerState& m, const std::string& separator)
{
    const double t = m.TotalTwips;
    const int64_t b = m.TotalBlocks;
    const double km = std::nearbyint((b / 100.0 + t / 56700000.0 - 0.005) * 100.0) / 100.0;
    return {Text("%.0f", std::floor(t / 567.0 + static_cast<double>(b * 1000)), ".", " cm"),
            Text("%.0f", std::floor(t / 56700.0 + static_cast<double>(b * 10)), ".", " m"),
            Text("%.15g", km, separator, " km")};
}

bool Same(const OdometerState& a, const OdometerState& b)
{
    return a.TotalTwips == b.TotalTwips && a.TotalBlocks == b.TotalBlocks && a.CurPos == b.CurPos &&
           a.LastPos == b.LastPos;
}

std::string Show(const OdometerState& s)
{
    return "T=" + std::to_string(s.TotalTwips) + " B=" + std::to_string(s.TotalBlocks) + " last=(" +
           std::to_string(s.LastPos.x) + "," + std::to_string(s.LastPos.y) + ") cur=(" +
           std::to_string(s.CurPos.x) + "," + std::to_string(s.CurPos.y) + ")";
}

TEST(Reference, RandomWalkNeverDiverges)
{
    std::mt19937 rng(0x0D02024);
    const std::array<float, 5> factors = {15.0f, 12.0f, 14.4f, 22.5f, 10.0f};
    std::uniform_int_distribution<int> small(1, 200);
    std::uniform_int_distribution<std::int32_t> anywhere(kLo, kHi);
    auto coin = [&] {
        return (rng() & 1U) != 0;
    };
    auto step = [&] {
        return coin() ? small(rng) : -small(rng);
    };
    auto jump = [&](int64_t v) -> int64_t {
        const unsigned how = rng() % 3;
        const bool up = coin(); // drawn apart so every compiler sees one sequence
        const int64_t by = int64_t{1} << (8 + rng() % 24);
        return how == 0 ? anywhere(rng) : how == 1 ? (up ? kHi : kLo) : v + (up ? by : -by);
    };

    dovo::testing::FakePointer fake;
    fake.pointer = {{640, 480}};
    OdometerState state;
    dovo::Start(state, fake);
    OdometerState model{0, 0, {640, 480}, {640, 480}};
    int64_t x = 640;
    int64_t y = 480;

    std::array<long, 4> outcomes{};
    bool failed = false;
    const auto started = std::chrono::steady_clock::now();
    for (long tick = 0; tick < kTicks; ++tick) {
        // After a failure the user mostly moves back or presses Reset, so
        // the walk does not stay stuck on a failing total for long.
        if (failed && coin()) {
            x = model.LastPos.x;
            y = model.LastPos.y;
        }
        const unsigned kind = rng() % 1000;
        if ((failed && rng() % 16 == 0) || kind == 998) {
            dovo::Reset(state);
            model.TotalTwips = model.TotalBlocks = 0;
        }
        if (kind < 300) {
            x += step();
        } else if (kind < 550) {
            y += step();
        } else if (kind < 850) {
            x += step();
            y += step();
        } else if (kind < 985) {
            // The pointer rests.
        } else if (kind < 995) {
            const unsigned axes = 1 + rng() % 3;
            x = (axes & 1U) ? jump(x) : x;
            y = (axes & 2U) ? jump(y) : y;
        } else if (kind < 998) {
            // Totals as a saved file might hold them, extremes included.
            const std::array<std::int32_t, 7> twips = {
                anywhere(rng), INT32_MAX - small(rng), 566900, 567000, -small(rng), 2835000, 0};
            const std::array<std::int32_t, 5> blocks = {anywhere(rng), INT32_MAX, INT32_MAX - 1,
                                                        INT32_MIN, 0};
            model.TotalTwips = state.TotalTwips = twips[rng() % twips.size()];
            model.TotalBlocks = state.TotalBlocks = blocks[rng() % blocks.size()];
        }
        x = std::clamp(x, kLo, kHi);
        y = std::clamp(y, kLo, kHi);
        fake.factorX = factors[rng() % factors.size()];
        fake.factorY = factors[rng() % factors.size()];
        fake.pointer.front() = {static_cast<std::int32_t>(x), static_cast<std::int32_t>(y)};

        const OdometerState before = model;
        const Outcome outcome = ModelStep(model, fake.pointer.front(), fake.factorX, fake.factorY);
        ++outcomes[outcome];
        failed = outcome != kOk;
        bool threw = false;
        try {
            dovo::Step(state, fake);
        } catch (const dovo::OverflowError&) {
            threw = true;
        }
        if (threw != failed || !Same(state, model)) {
            FAIL() << "tick " << tick << " from " << Show(before) << " fx=" << fake.factorX
                   << " fy=" << fake.factorY << "\n  want " << Show(model) << " throw=" << failed
                   << "\n  got  " << Show(state) << " throw=" << threw;
        }
        if (tick % 1000 == 0) {
            const std::string separator = tick % 2000 ? "," : ".";
            const auto want = ModelReadouts(model, separator);
            const auto got = dovo::Readouts(state.TotalTwips, state.TotalBlocks, separator);
            ASSERT_TRUE(got == want)
                << Show(model) << "\n  want " << want.centimetres << " | " << want.metres << " | "
                << want.kilometres << "\n  got  " << got.centimetres << " | " << got.metres << " | "
                << got.kilometres;
        }
    }
    const std::chrono::duration<double> seconds = std::chrono::steady_clock::now() - started;
    std::printf("%ld ticks in %.2f s: %ld ok, %ld coordinate, %ld total, %ld carry overflows\n",
                kTicks, seconds.count(), outcomes[kOk], outcomes[kCoordinate], outcomes[kTotal],
                outcomes[kCarry]);
    // The walk is only worth something if it reached every kind of failure.
    for (const long count : outcomes) {
        EXPECT_GT(count, 0);
    }
}

} // namespace
