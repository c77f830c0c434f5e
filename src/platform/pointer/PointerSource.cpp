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

void PointerSource::lookAgain()
{
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
