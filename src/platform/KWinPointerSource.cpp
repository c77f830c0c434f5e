#include "platform/KWinPointerSource.h"

namespace dovo {

KWinPointerSource::KWinPointerSource(QObject* parent) : PointerSource(parent) {}

KWinPointerSource::~KWinPointerSource() = default;

void KWinPointerSource::start() {}

bool KWinPointerSource::sleepUntilMotion()
{
    setAsleep(true);
    return true;
}

} // namespace dovo
