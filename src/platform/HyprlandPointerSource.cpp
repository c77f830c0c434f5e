#include "platform/HyprlandPointerSource.h"

namespace dovo {

HyprlandPointerSource::HyprlandPointerSource(QObject* parent) : PointerSource(parent) {}

HyprlandPointerSource::~HyprlandPointerSource() = default;

void HyprlandPointerSource::start() {}

bool HyprlandPointerSource::sleepUntilMotion()
{
    setAsleep(true);
    return true;
}

} // namespace dovo
