#include "platform/GnomeShellPointerSource.h"

namespace dovo {

GnomeShellPointerSource::GnomeShellPointerSource(QObject* parent) : PointerSource(parent) {}

GnomeShellPointerSource::~GnomeShellPointerSource() = default;

void GnomeShellPointerSource::start() {}

bool GnomeShellPointerSource::sleepUntilMotion()
{
    setAsleep(true);
    return true;
}

} // namespace dovo
