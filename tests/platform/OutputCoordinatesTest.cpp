// Cursor session positions, in each output's device pixels, as positions in
// the layout's logical pixels.
#include "platform/pointer/OutputCoordinates.h"

#include <gtest/gtest.h>

#include <optional>
#include <vector>

namespace {

using dovo::CursorSighting;
using dovo::OutputGeometry;

// Side by side: a plain 1280x800, and to its left, above the layout's
// origin, 1920x1200 pixels at scale 1.5 (as sway rounds it: 1280x800).
const OutputGeometry Plain{{0, 0}, {1280, 800}, {1280, 800}};
const OutputGeometry Scaled{{-1280, -200}, {1280, 800}, {1920, 1200}};
// 1280x800 pixels at 1.5 are 853.33 x 533.33 logical pixels, rounded.
const OutputGeometry Rounded{{0, 0}, {853, 533}, {1280, 800}};
// Turned a quarter: 1080x1920 as shown, at scale 2.
const OutputGeometry Turned{{1280, 0}, {540, 960}, {1080, 1920}};

struct Row
{
    const char* name;
    std::vector<CursorSighting> sightings;
    std::optional<QPoint> expected;
};

TEST(OutputCoordinates, SessionPositionsMapToTheLayout)
{
    const Row rows[] = {
        {"no output sees the cursor", {}, std::nullopt},
        {"scale 1 at the origin", {{Plain, {300, 200}}}, QPoint(300, 200)},
        {"scale 1.5 and a negative origin", {{Scaled, {1500, 300}}}, QPoint(-280, 0)},
        {"scale 1.5, far corner", {{Scaled, {1919, 1199}}}, QPoint(-1, 599)},
        {"rounded logical size: exact at 1.5, not 1280/853",
         {{Rounded, {1279, 799}}},
         QPoint(853, 533)},
        {"rounded logical size, near the origin", {{Rounded, {150, 150}}}, QPoint(100, 100)},
        {"turned output at scale 2", {{Turned, {1000, 1800}}}, QPoint(1780, 900)},
        {"at a border the output holding the hotspot wins",
         {{Scaled, {1921, 450}}, {Plain, {0, 500}}},
         QPoint(0, 500)},
        {"in either order", {{Plain, {0, 500}}, {Scaled, {1921, 450}}}, QPoint(0, 500)},
        {"only the image overlaps: its output still places it",
         {{Plain, {-3, 10}}},
         QPoint(-3, 10)},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(dovo::GlobalPointer(row.sightings), row.expected);
    }
}

} // namespace
