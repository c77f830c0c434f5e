#include "platform/pointer/OutputCoordinates.h"

#include <QPointF>

#include <cmath>

namespace dovo {

namespace {

bool Inside(const CursorSighting& sighting)
{
    const QPoint& p = sighting.position;
    const QSize& size = sighting.output.bufferSize;
    return p.x() >= 0 && p.y() >= 0 && p.x() < size.width() && p.y() < size.height();
}

// Device pixels per logical pixel. The compositor rounds the logical size,
// so the plain ratio is off by up to half a pixel across the output, which
// at scale 1.5 puts the far edge a pixel out. Fractional scales come in
// 120ths (the unit of wp-fractional-scale that clients draw at): the 120th
// that gives back both rounded sizes is the scale itself.
QPointF PixelsPerLogical(const OutputGeometry& output)
{
    const QSize& buffer = output.bufferSize;
    const QSize& logical = output.logicalSize;
    if (buffer.isEmpty() || logical.isEmpty()) {
        return {1.0, 1.0};
    }
    const double ratioX = double(buffer.width()) / logical.width();
    const double ratioY = double(buffer.height()) / logical.height();
    const long hundredTwentieths = std::lround(ratioX * 120);
    if (hundredTwentieths > 0 &&
        std::lround(buffer.width() * 120.0 / hundredTwentieths) == logical.width() &&
        std::lround(buffer.height() * 120.0 / hundredTwentieths) == logical.height()) {
        return {hundredTwentieths / 120.0, hundredTwentieths / 120.0};
    }
    return {ratioX, ratioY};
}

} // namespace

std::optional<QPoint> GlobalPointer(std::span<const CursorSighting> sightings)
{
    if (sightings.empty()) {
        return std::nullopt;
    }
    // At a border two outputs see the cursor image; the one that holds the
    // hotspot knows its place best (the other may differ in scale).
    const CursorSighting* chosen = &sightings.front();
    for (const CursorSighting& sighting : sightings) {
        if (Inside(sighting)) {
            chosen = &sighting;
            break;
        }
    }
    const QPointF scale = PixelsPerLogical(chosen->output);
    return chosen->output.origin +
           QPoint(static_cast<int>(std::lround(chosen->position.x() / scale.x())),
                  static_cast<int>(std::lround(chosen->position.y() / scale.y())));
}

} // namespace dovo
