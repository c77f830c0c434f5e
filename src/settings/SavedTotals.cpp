#include "settings/SavedTotals.h"

#include "core/Arithmetic.h"

namespace dovo {

namespace {

std::int32_t LoadOne(SettingsStore& services, const char* key)
{
    const std::string text = services.GetSetting(SettingsApp, SettingsSection, key, "0");
    if (const auto value = TextToInt32(text)) {
        return *value;
    }
    services.RejectSetting(SettingsApp, SettingsSection, key, text);
    return 0;
}

} // namespace

void Load(OdometerState& state, SettingsStore& services)
{
    state.TotalTwips = LoadOne(services, TwipsKey);
    state.TotalBlocks = LoadOne(services, BlocksKey);
}

void Save(const OdometerState& state, SettingsStore& services)
{
    services.SaveSetting(SettingsApp, SettingsSection, TwipsKey, Int32ToText(state.TotalTwips));
    services.SaveSetting(SettingsApp, SettingsSection, BlocksKey, Int32ToText(state.TotalBlocks));
    services.CommitSettings(SettingsApp);
}

} // namespace dovo
