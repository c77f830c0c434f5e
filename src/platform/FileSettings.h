#pragma once

#include "platform/SettingsFile.h"
#include "settings/SettingsStore.h"

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace dovo {

// The totals in the user's config folder: one SettingsFile per application,
// opened at its first use.
class FileSettings final : public SettingsStore
{
public:
    FileSettings();
    ~FileSettings() override;

    std::string GetSetting(const std::string& app, const std::string& section,
                           const std::string& key, const std::string& defaultText) override;
    void SaveSetting(const std::string& app, const std::string& section, const std::string& key,
                     const std::string& text) override;
    void CommitSettings(const std::string& app) override;
    void RejectSetting(const std::string& app, const std::string& section, const std::string& key,
                       const std::string& text) override;
    std::vector<std::string> TakeNotices() override;

private:
    SettingsFile& settingsOf(const std::string& app);

    std::map<std::string, std::unique_ptr<SettingsFile>> settings_;
};

} // namespace dovo
