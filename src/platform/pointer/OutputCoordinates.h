#pragma once

#include <QPoint>
#include <QSize>

#include <optional>
#include <span>

namespace dovo {

// Where one output lies in the compositor's layout.
struct OutputGeometry
{
    QPoint origin;     // logical pixels of the layout
    QSize logicalSize; // logical pixels, as the compositor rounded them
    QSize bufferSize;  // device pixels, turned the way the output is shown

    bool operator==(const OutputGeometry&) const = default;
};

// A cursor capture session's word on one output: the pointer's hotspot in
// that output's turned device pixels, which may lie outside it while the
// cursor image still overlaps the output.
struct CursorSighting
{
    OutputGeometry output;
    QPoint position;
};

// The pointer in the layout's logical pixels, from every output that sees
// the cursor; nothing when none does.
std::optional<QPoint> GlobalPointer(std::span<const CursorSighting> sightings);

} // namespace dovo
