#include "core/Arithmetic.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <limits>

namespace dovo {

namespace {

std::int32_t Narrow(std::int64_t wide, const char* operation)
{
    if (wide < std::numeric_limits<std::int32_t>::min() ||
        wide > std::numeric_limits<std::int32_t>::max()) {
        // No value in the text: the same fault at every tick must read the
        // same so that its reports can be counted rather than repeated.
        throw OverflowError(std::string("overflow in 32-bit ") + operation);
    }
    return static_cast<std::int32_t>(wide);
}

bool IsBlank(char c)
{
    return c == ' ' || c == '\t';
}

} // namespace

std::int32_t CheckedAdd(std::int32_t a, std::int32_t b)
{
    return Narrow(std::int64_t{a} + b, "addition");
}

std::int32_t CheckedSub(std::int32_t a, std::int32_t b)
{
    return Narrow(std::int64_t{a} - b, "subtraction");
}

std::int32_t CheckedMul(std::int32_t a, std::int32_t b)
{
    return Narrow(std::int64_t{a} * b, "multiplication");
}

std::int32_t CheckedAbs(std::int32_t a)
{
    return Narrow(a < 0 ? -std::int64_t{a} : std::int64_t{a}, "absolute value");
}

std::int32_t ToInt32(double value)
{
    // nearbyint follows the default rounding mode, which is to-nearest-even;
    // nothing in the program changes it.
    const double rounded = std::nearbyint(value);
    if (!(rounded >= -2147483648.0 && rounded <= 2147483647.0)) {
        throw OverflowError("overflow converting the total to a 32-bit integer");
    }
    return static_cast<std::int32_t>(rounded);
}

double Floor(double value)
{
    return std::floor(value);
}

double Round(double value, int decimals)
{
    static constexpr std::array<double, 4> scales{1.0, 10.0, 100.0, 1000.0};
    const double scale = decimals >= 0 && decimals < static_cast<int>(scales.size())
                             ? scales[static_cast<std::size_t>(decimals)]
                             : std::pow(10.0, decimals);
    return std::nearbyint(value * scale) / scale;
}

std::optional<std::int32_t> TextToInt32(std::string_view text)
{
    while (!text.empty() && IsBlank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && IsBlank(text.back())) {
        text.remove_suffix(1);
    }
    bool negative = false;
    if (!text.empty() && (text.front() == '-' || text.front() == '+')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    if (text.empty()) {
        return std::nullopt;
    }
    constexpr std::int64_t beyondRange = std::int64_t{1} << 32;
    std::int64_t magnitude = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        // Stop growing once out of range so a long run of digits cannot wrap.
        magnitude = std::min(magnitude * 10 + (c - '0'), beyondRange);
    }
    const std::int64_t value = negative ? -magnitude : magnitude;
    if (value < std::numeric_limits<std::int32_t>::min() ||
        value > std::numeric_limits<std::int32_t>::max()) {
        return std::nullopt;
    }
    return static_cast<std::int32_t>(value);
}

std::string Int32ToText(std::int32_t value)
{
    return std::to_string(value);
}

std::string NumberToText(double value, std::string_view decimalSeparator)
{
    if (value == 0.0) {
        return "0";
    }
    // Whole numbers below 10^15 print the same either way, and the integer
    // path is several times cheaper; the readouts take it at every tick.
    if (std::fabs(value) < 1e15 && value == std::floor(value)) {
        return std::to_string(static_cast<std::int64_t>(value));
    }
    // to_chars ignores the C locale, which Qt sets from the environment;
    // the user's separator is put in explicitly below.
    std::array<char, 64> buffer{};
    const auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value,
                                      std::chars_format::general, 15);
    std::string text(buffer.data(), result.ptr);
    if (const auto dot = text.find('.'); dot != std::string::npos) {
        text.replace(dot, 1, decimalSeparator);
    }
    return text;
}

} // namespace dovo
