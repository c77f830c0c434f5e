#pragma once

#include "core/PointerServices.h"

#include <cstdint>

namespace dovo {

// One block is 1000 cm; whole blocks move out of TotalTwips so the total can
// grow far beyond what 32 bits of twips would hold.
inline constexpr std::int32_t BlockTwips = 567000;

struct OdometerState
{
    std::int32_t TotalTwips = 0;
    std::int32_t TotalBlocks = 0;
    ScreenPoint CurPos;
    ScreenPoint LastPos;

    friend bool operator==(const OdometerState&, const OdometerState&) = default;
};

} // namespace dovo
