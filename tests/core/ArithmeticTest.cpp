#include "core/Arithmetic.h"

#include <cstdint>
#include <gtest/gtest.h>
#include <iomanip>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace {

using dovo::OverflowError;
using std::nullopt;

constexpr std::int32_t kMax = std::numeric_limits<std::int32_t>::max();
constexpr std::int32_t kMin = std::numeric_limits<std::int32_t>::min();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

struct IntOpCase
{
    const char* name;
    std::int32_t (*op)(std::int32_t, std::int32_t);
    std::int32_t a, b;
    std::optional<std::int32_t> want;
};

std::int32_t Abs(std::int32_t a, std::int32_t)
{
    return dovo::CheckedAbs(a);
}

TEST(Arithmetic, CheckedIntegerOpsThrowOutsideTheRange)
{
    // clang-format off
    const std::vector<IntOpCase> cases = {
        {"add to the top", dovo::CheckedAdd, kMax - 1, 1, kMax},
        {"add past the top", dovo::CheckedAdd, kMax, 1, nullopt},
        {"add past the bottom", dovo::CheckedAdd, kMin, -1, nullopt},
        {"sub to the bottom", dovo::CheckedSub, -1, kMax, kMin},
        {"sub negating the bottom", dovo::CheckedSub, 0, kMin, nullopt},
        {"sub extremes", dovo::CheckedSub, kMax, kMin, nullopt},
        {"mul largest block count", dovo::CheckedMul, 2147483, 1000, 2147483000},
        {"mul one block more", dovo::CheckedMul, 2147484, 1000, nullopt},
        {"mul below the bottom", dovo::CheckedMul, -2147484, 1000, nullopt},
        {"mul wrapping to zero", dovo::CheckedMul, 65536, 65536, nullopt},
        {"mul negating the bottom", dovo::CheckedMul, kMin, -1, nullopt},
        {"abs above the bottom", Abs, kMin + 1, 0, kMax},
        {"abs of the bottom", Abs, kMin, 0, nullopt},
    };
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.want) {
            EXPECT_EQ(c.op(c.a, c.b), *c.want);
        } else {
            EXPECT_THROW(c.op(c.a, c.b), OverflowError);
        }
    }
}

TEST(Arithmetic, ToInt32RoundsHalvesToEven)
{
    // clang-format off
    const std::vector<std::pair<double, std::optional<std::int32_t>>> cases = {
        {0.5, 0}, {1.5, 2}, {2.5, 2}, {-0.5, 0}, {-1.5, -2}, {-2.5, -2}, {-0.0, 0},
        {0.49999999999999994, 0},  // adding 0.5 and flooring gives 1
        {2.4999999, 2}, {2.5000001, 3}, {2147483646.5, 2147483646}, {2147483647.4, kMax},
        {2147483647.5, nullopt}, {-2147483647.5, kMin}, {-2147483648.5, kMin},
        {-2147483648.6, nullopt}, {-2147483649.0, nullopt}, {4294967296.0, nullopt},
        {1e300, nullopt}, {kInf, nullopt}, {-kInf, nullopt}, {kNaN, nullopt},
    };
    // clang-format on
    for (const auto& [value, want] : cases) {
        SCOPED_TRACE(testing::Message() << std::setprecision(17) << value);
        if (want) {
            EXPECT_EQ(dovo::ToInt32(value), *want);
        } else {
            EXPECT_THROW(dovo::ToInt32(value), OverflowError);
        }
    }
}

// Values beyond 32 bits catch a Round that detours through an int.
TEST(Arithmetic, RoundScalesThenHalvesToEven)
{
    struct RoundCase
    {
        double value;
        int decimals;
        double want;
    };
    // clang-format off
    const std::vector<RoundCase> rounds = {
        {0.125, 2, 0.12}, {0.135, 2, 0.14}, {2.675, 2, 2.68}, {-0.005, 2, 0.0},
        {1.005, 2, 1.0},  // scales to 100.49999999999999
        {2.5, 0, 2.0}, {3.5, 0, 4.0}, {-2.5, 0, -2.0}, {21474836.465, 2, 21474836.46},
        {-21474874.359491147, 2, -21474874.36}, {1e10, 2, 1e10}, {3e9 + 0.5, 0, 3e9},
    };
    // clang-format on
    for (const auto& c : rounds) {
        SCOPED_TRACE(testing::Message()
                     << std::setprecision(17) << c.value << " to " << c.decimals);
        EXPECT_EQ(dovo::Round(c.value, c.decimals), c.want);
    }
}

TEST(Arithmetic, TextToInt32AcceptsOnlyPlainDecimals)
{
    using namespace std::string_view_literals;
    // clang-format off
    const std::vector<std::pair<std::string_view, std::optional<std::int32_t>>> cases = {
        {"0", 0}, {"-0", 0}, {"+0", 0}, {"-42", -42}, {"+5", 5}, {" 7 ", 7}, {"\t-12\t", -12},
        {"  +2147483647", kMax}, {"2147483647", kMax}, {"-2147483648", kMin},
        {"0000000000000000000001", 1}, {"-000000000000002147483648", kMin},
        {"", nullopt}, {" ", nullopt}, {"-", nullopt}, {"+", nullopt},
        {"2147483648", nullopt}, {"-2147483649", nullopt}, {"99999999999", nullopt},
        {"4294967296", nullopt},
        {"18446744073709551617", nullopt},  // wraps to 1 in 64 bits
        {"abc", nullopt}, {"12 34", nullopt}, {"1.5", nullopt}, {"1e3", nullopt},
        {"0x10", nullopt}, {"+-5", nullopt}, {"--5", nullopt}, {"- 5", nullopt},
        {"5-", nullopt}, {"12abc", nullopt}, {"5\n", nullopt}, {"\r5", nullopt},
        {"\xD9\xA1\xD9\xA2", nullopt},          // Arabic-Indic 12
        {"\xEF\xBC\x91\xEF\xBC\x92", nullopt},  // full-width 12
        {"1\0" "2"sv, nullopt}, {"7\0"sv, nullopt},
    };
    // clang-format on
    for (const auto& [text, want] : cases) {
        SCOPED_TRACE(testing::PrintToString(std::string(text)));
        EXPECT_EQ(dovo::TextToInt32(text), want);
    }
    for (const std::int32_t value : {0, -1, 1234567, kMax, kMin}) {
        EXPECT_EQ(dovo::TextToInt32(dovo::Int32ToText(value)), value);
    }
    EXPECT_EQ(dovo::Int32ToText(kMin), "-2147483648");
    EXPECT_EQ(dovo::Int32ToText(1234567), "1234567");
}

struct NumberCase
{
    double value;
    const char* separator;
    std::string want;
};

TEST(Arithmetic, NumberToTextWritesPlainDecimals)
{
    // clang-format off
    const std::vector<NumberCase> cases = {
        {0.0, ".", "0"}, {-0.0, ".", "0"}, {-0.0, ",", "0"}, {1.0, ".", "1"},
        {100.0, ".", "100"}, {0.03, ".", "0.03"}, {-0.01, ".", "-0.01"}, {2.5, ",", "2,5"},
        {-0.01, ",", "-0,01"}, {2.5, "\xD9\xAB", "2\xD9\xAB" "5"},
        {1e10, ".", "10000000000"}, {-2147487435450.0, ".", "-2147487435450"},
        {2.2e12, ".", "2200000000000"}, {2199999999999.99, ",", "2199999999999,99"},
        {0.1 + 0.2, ".", "0.3"}, {2.0 / 3.0, ".", "0.666666666666667"},
        {123456789.123456789, ".", "123456789.123457"}, {0.9999999999999999, ".", "1"},
        {9.999999999999998, ".", "10"},
    };
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << std::setprecision(17) << c.value << " with '" << c.separator << "'");
        EXPECT_EQ(dovo::NumberToText(c.value, c.separator), c.want);
    }
}

} // namespace
