#pragma once

#include "core/OdometerState.h"
#include "settings/SettingsStore.h"

namespace dovo {

inline constexpr const char* SettingsApp = "Dovo";
inline constexpr const char* SettingsSection = "odoledger";
inline constexpr const char* TwipsKey = "totalpixels";
inline constexpr const char* BlocksKey = "totalmpixels";

// Reads both totals. A stored text that is not a 32-bit number is reported
// and that total starts from 0; the other one still loads.
void Load(OdometerState& state, SettingsStore& services);

// Writes both totals in one commit. Throws SettingsError when they cannot be
// written; the file on disk is then as it was.
void Save(const OdometerState& state, SettingsStore& services);

} // namespace dovo
