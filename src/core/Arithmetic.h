#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace dovo {

// Raised when a 32-bit result falls outside the signed range. The odometer
// must stop the tick there rather than wrap, so callers see a real error.
class OverflowError : public std::overflow_error
{
public:
    explicit OverflowError(const std::string& what) : std::overflow_error(what) {}
};

std::int32_t CheckedAdd(std::int32_t a, std::int32_t b);
std::int32_t CheckedSub(std::int32_t a, std::int32_t b);
std::int32_t CheckedMul(std::int32_t a, std::int32_t b);
std::int32_t CheckedAbs(std::int32_t a);

// Nearest integer with exact halves going to the even neighbour.
std::int32_t ToInt32(double value);

// Largest integral value not above value, still as a double.
double Floor(double value);

// value rounded to the given number of decimals, halves to even.
double Round(double value, int decimals);

// An optional '-' or '+' followed by decimal digits, with surrounding blanks
// allowed; nothing else. Empty when the text is not such a number or does
// not fit in 32 bits.
std::optional<std::int32_t> TextToInt32(std::string_view text);

// Decimal digits, '-' when negative, no grouping, no plus sign.
std::string Int32ToText(std::int32_t value);

// 15 significant digits, no exponent for the magnitudes the readouts use,
// trailing zeros and a bare separator dropped, and "0" for a zero of either
// sign.
std::string NumberToText(double value, std::string_view decimalSeparator);

} // namespace dovo
