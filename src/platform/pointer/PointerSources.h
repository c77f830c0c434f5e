#pragma once

#include "platform/pointer/PointerSource.h"

#include <memory>

namespace dovo {

// The one pointer source for this session, chosen from what the session
// says it is. Call once, after the QGuiApplication exists.
std::unique_ptr<PointerSource> MakePointerSource();

} // namespace dovo
