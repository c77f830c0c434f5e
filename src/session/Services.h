#pragma once

#include "core/PointerServices.h"
#include "settings/SettingsStore.h"

namespace dovo {

// Everything a running Dovo asks of its desktop; each program implements it
// once, and the tests with a scripted fake.
class Services : public PointerServices, public SettingsStore
{};

} // namespace dovo
