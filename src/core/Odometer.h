#pragma once

#include "core/OdometerState.h"
#include "core/PointerServices.h"

#include <string>

namespace dovo {

// Takes the pointer as the starting point, so the first tick counts only
// movement made after start, not the way from the screen corner.
void Start(OdometerState& state, PointerServices& services);

// One sample: measure from LastPos to the pointer, add it, carry at most one
// block. Throws OverflowError and then leaves the carry and LastPos undone.
void Step(OdometerState& state, PointerServices& services);

void Reset(OdometerState& state);

struct ReadoutTexts
{
    std::string centimetres;
    std::string metres;
    std::string kilometres;

    friend bool operator==(const ReadoutTexts&, const ReadoutTexts&) = default;
};

ReadoutTexts Readouts(std::int32_t totalTwips, std::int32_t totalBlocks,
                      const std::string& decimalSeparator);

} // namespace dovo
