#include "core/Arithmetic.h"
#include "core/Odometer.h"

#include <cstdint>
#include <gtest/gtest.h>
#include <limits>
#include <string>
#include <vector>

namespace {

constexpr std::int32_t kMax = std::numeric_limits<std::int32_t>::max();
constexpr std::int32_t kMin = std::numeric_limits<std::int32_t>::min();

struct ReadoutCase
{
    const char* name;
    std::int32_t twips, blocks;
    std::string separator;
    dovo::ReadoutTexts want;
};

TEST(Readouts, ShowTheTotalsInThreeUnits)
{
    // clang-format off
    const std::vector<ReadoutCase> cases = {
        // -0.005 km rounds to a negative zero, which must not show as "-0".
        {"nothing yet", 0, 0, ".", {"0 cm", "0 m", "0 km"}},
        {"35 m", 283500, 3, ".", {"3500 cm", "35 m", "0.03 km"}},
        {"75 m", 300000, 7, ".", {"7529 cm", "75 m", "0.07 km"}},
        {"no grouping", 450000, 123, ".", {"123793 cm", "1237 m", "1.23 km"}},
        {"trailing zero dropped", 0, 250, ".", {"250000 cm", "2500 m", "2.5 km"}},
        {"under a centimetre", 566, 0, ".", {"0 cm", "0 m", "0 km"}},
        {"negative floors down", -20, 0, ".", {"-1 cm", "-1 m", "-0.01 km"}},
        {"one block left in twips", 567000, 0, ".", {"1000 cm", "10 m", "0 km"}},
        {"just under zero", 566999, -1, ".", {"-1 cm", "-1 m", "-0.01 km"}},
        {"twips at the top", kMax, 0, ".", {"3787449 cm", "37874 m", "37.87 km"}},
        {"twips at the bottom", kMin, 0, ".", {"-3787450 cm", "-37875 m", "-37.88 km"}},
        // Beyond these the centimetre count no longer fits 32 bits; 2147482.5
        // and 2147483646.5 hundredths go to the even neighbour.
        {"past 32-bit cm", 0, 2147484, ".", {"2147484000 cm", "21474840 m", "21474.84 km"}},
        {"inside 32-bit cm", 0, 2147483, ".", {"2147483000 cm", "21474830 m", "21474.82 km"}},
        {"most blocks", 0, kMax, ".", {"2147483647000 cm", "21474836470 m", "21474836.46 km"}},
        {"fewest blocks", 0, kMin, ".", {"-2147483648000 cm", "-21474836480 m", "-21474836.48 km"}},
        // Hundredths beyond 32 bits must not trip a 32-bit rounding.
        {"both high", kMax, kMax, ".", {"2147487434449 cm", "21474874344 m", "21474874.34 km"}},
        {"both low", kMin, kMin, ".", {"-2147487435450 cm", "-21474874355 m", "-21474874.36 km"}},
        {"comma separator", 0, 250, ",", {"250000 cm", "2500 m", "2,5 km"}},
        {"comma below one", 283500, 3, ",", {"3500 cm", "35 m", "0,03 km"}},
        {"comma negative", -20, 0, ",", {"-1 cm", "-1 m", "-0,01 km"}},
        {"comma never groups", 450000, 123, ",", {"123793 cm", "1237 m", "1,23 km"}},
        {"comma, most", 0, kMax, ",", {"2147483647000 cm", "21474836470 m", "21474836,46 km"}},
    };
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        dovo::ReadoutTexts got;
        ASSERT_NO_THROW(got = dovo::Readouts(c.twips, c.blocks, c.separator));
        EXPECT_EQ(got.centimetres, c.want.centimetres);
        EXPECT_EQ(got.metres, c.want.metres);
        EXPECT_EQ(got.kilometres, c.want.kilometres);
    }
}

} // namespace
