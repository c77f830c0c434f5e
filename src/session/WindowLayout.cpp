#include "session/WindowLayout.h"

#include "core/Arithmetic.h"

#include <cmath>
#include <cstdlib>

namespace dovo::WindowLayout {

namespace {

constexpr int DefaultAutoSaveMilliseconds = 5 * 60 * 1000;
constexpr double SmallestPoints = 6.0;

} // namespace

int AutoSaveMilliseconds()
{
    const char* fromTest = std::getenv("DOVO_AUTOSAVE_INTERVAL_MS");
    if (fromTest != nullptr) {
        if (const auto value = TextToInt32(fromTest); value && *value > 0) {
            return *value;
        }
    }
    return DefaultAutoSaveMilliseconds;
}

int ToPixels(int twips, double twipsPerPixel)
{
    return static_cast<int>(std::lround(twips / twipsPerPixel));
}

double FittingPointSize(double pointSize, const std::function<bool(double)>& fits)
{
    while (pointSize > SmallestPoints && !fits(pointSize)) {
        pointSize -= 0.5;
    }
    return pointSize;
}

} // namespace dovo::WindowLayout
