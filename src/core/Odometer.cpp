#include "core/Odometer.h"

#include "core/Arithmetic.h"

#include <cmath>

namespace dovo {

void Start(OdometerState& state, PointerServices& services)
{
    services.GetCursorPos(state.CurPos);
    state.LastPos = state.CurPos;
}

void Step(OdometerState& state, PointerServices& services)
{
    services.GetCursorPos(state.CurPos);
    const ScreenPoint& last = state.LastPos;
    const ScreenPoint& cur = state.CurPos;

    if (last.x == cur.x) {
        const double f = services.TwipsPerPixelY();
        const std::int32_t dy = CheckedAbs(CheckedSub(last.y, cur.y));
        state.TotalTwips = ToInt32(f * dy + state.TotalTwips);
    } else if (last.y == cur.y) {
        const double f = services.TwipsPerPixelX();
        const std::int32_t dx = CheckedAbs(CheckedSub(last.x, cur.x));
        state.TotalTwips = ToInt32(f * dx + state.TotalTwips);
    } else {
        const double fy = services.TwipsPerPixelY();
        const double fx = services.TwipsPerPixelX();
        const std::int32_t dx = CheckedAbs(CheckedSub(last.x, cur.x));
        const std::int32_t dy = CheckedAbs(CheckedSub(last.y, cur.y));
        const double a = (fx * dx) * (fx * dx);
        const double b = (fy * dy) * (fy * dy);
        state.TotalTwips = ToInt32(Floor(std::sqrt(a + b)) + state.TotalTwips);
    }

    // Strictly above: a total of exactly one block stays in TotalTwips.
    if (state.TotalTwips > BlockTwips) {
        state.TotalBlocks = CheckedAdd(state.TotalBlocks, 1);
        state.TotalTwips = CheckedSub(state.TotalTwips, BlockTwips);
    }

    state.LastPos = state.CurPos;
}

void Reset(OdometerState& state)
{
    state.TotalTwips = 0;
    state.TotalBlocks = 0;
}

ReadoutTexts Readouts(std::int32_t totalTwips, std::int32_t totalBlocks,
                      const std::string& decimalSeparator)
{
    // The block products are formed in 64 bits: in 32 bits they would stop
    // every readout for good once the total passes 21,474 km.
    const double t = totalTwips;
    const double b = totalBlocks;
    const auto blocksInCm = static_cast<double>(std::int64_t{totalBlocks} * 1000);
    const auto blocksInM = static_cast<double>(std::int64_t{totalBlocks} * 10);

    ReadoutTexts texts;
    texts.centimetres = NumberToText(Floor(t / 567 + blocksInCm), decimalSeparator) + " cm";
    texts.metres = NumberToText(Floor(t / 56700 + blocksInM), decimalSeparator) + " m";
    texts.kilometres =
        NumberToText(Round(b / 100 + t / 56700000 - 0.005, 2), decimalSeparator) + " km";
    return texts;
}

} // namespace dovo
