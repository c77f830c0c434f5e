#pragma once

#include "settings/SettingsStore.h"

#include <windows.h>

#include <functional>
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
    // How a value is written: RegSetValueExW, or a test's stand-in.
    using ValueWriter = std::function<LSTATUS(HKEY key, const wchar_t* name, DWORD type,
                                              const BYTE* data, DWORD size)>;

    RegistrySettings();
    explicit RegistrySettings(ValueWriter writeValue);

    std::string GetSetting(const std::string& app, const std::string& section,
                           const std::string& key, const std::string& defaultText) override;
    void SaveSetting(const std::string& app, const std::string& section, const std::string& key,
                     const std::string& text) override;
    // Both values or neither: a write that fails puts back what the
    // earlier writes replaced, so the twips never belong to other blocks.
    void CommitSettings(const std::string& app) override;
    // Renames the damaged value to key.damaged-N (the first N free) in the
    // same key, so it is never overwritten, and keeps a notice for the user.
    void RejectSetting(const std::string& app, const std::string& section, const std::string& key,
                       const std::string& text) override;

    std::vector<std::string> TakeNotices() override;

    // As the user sees it in the Registry Editor.
    static std::string KeyName(const std::string& app, const std::string& section);

private:
    ValueWriter writeValue_;
    std::map<std::string, std::map<std::string, std::string>> staged_; // section -> key -> text
    std::vector<std::string> notices_;
};

} // namespace dovo
