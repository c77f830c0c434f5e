#include "platform/pointer/PointerSource.h"

namespace dovo {

void PointerSource::report(const QPoint& position)
{
    const bool changed = latest_ != position;
    latest_ = position;
    if (changed) {
        wake();
    }
}

void PointerSource::loseTrack()
{
    latest_.reset();
    ++generation_;
}

void PointerSource::startAfresh()
{
    // The last position is kept: a source that hears of the pointer only
    // when it moves would otherwise know none until the next move.
    ++generation_;
    wake();
}

void PointerSource::wake()
{
    if (asleep_) {
        asleep_ = false;
        emit moved();
    }
}

} // namespace dovo
