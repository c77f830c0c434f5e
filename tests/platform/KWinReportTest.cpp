// What the KWin script's calls may carry: KWin 5 and 6 send JavaScript
// numbers as different D-Bus types, and anything else on the bus may call
// with anything at all; only two sane numbers are a position.
#include "platform/pointer/KWinPointerSource.h"

#include <gtest/gtest.h>

#include <limits>

namespace {

struct Row
{
    const char* name;
    QVariantList arguments;
    std::optional<QPoint> expected;
};

TEST(KWinReport, OnlyTwoFiniteNumbersAreAPosition)
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const Row rows[] = {
        {"int32 (KWin 5)", {5, 7}, QPoint(5, 7)},
        {"double, rounded (KWin 6)", {5.4, 7.6}, QPoint(5, 8)},
        {"left of and above the primary screen", {-1280, -3}, QPoint(-1280, -3)},
        {"uint32", {5u, 7u}, QPoint(5, 7)},
        {"int64", {qlonglong(5), qlonglong(7)}, QPoint(5, 7)},
        {"one number", {5}, std::nullopt},
        {"three numbers", {5, 7, 9}, std::nullopt},
        {"strings", {QStringLiteral("5"), QStringLiteral("7")}, std::nullopt},
        {"booleans", {true, false}, std::nullopt},
        {"not a number", {nan, 7.0}, std::nullopt},
        {"infinite", {5.0, inf}, std::nullopt},
        {"beyond any desktop", {5.0, 1e12}, std::nullopt},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(dovo::PointFromReport(row.arguments), row.expected) << row.name;
    }
}

} // namespace
