#pragma once

#include "settings/SettingsStore.h"

#include <map>
#include <string>
#include <utility>
#include <vector>

namespace dovo {

// The per-user registry, where the classic GetSetting and SaveSetting keep
// their values (under HKEY_CURRENT_USER, "Software\VB and VBA Program
// Settings\<app>\<section>"), each a REG_SZ of decimal text, so totals kept
// there by an earlier Dovo load unchanged.
class RegistrySettings final : public SettingsStore
{
public:
    std::string GetSetting(const std::string& app, const std::string& section,
                           const std::string& key, const std::string& defaultText) override;
    void SaveSetting(const std::string& app, const std::string& section, const std::string& key,
                     const std::string& text) override;
    void CommitSettings(const std::string& app) override;
    // Renames the damaged value to key.damaged-N (the first N free) in the
    // same key, so it is never overwritten, and keeps a notice for the user.
    void RejectSetting(const std::string& app, const std::string& section, const std::string& key,
                       const std::string& text) override;

    std::vector<std::string> TakeNotices() override;

    // As the user sees it in the Registry Editor.
    static std::string KeyName(const std::string& app, const std::string& section);

private:
    std::map<std::string, std::map<std::string, std::string>> staged_; // section -> key -> text
    std::vector<std::string> notices_;
};

} // namespace dovo
