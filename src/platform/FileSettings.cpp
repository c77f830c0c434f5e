#include "platform/FileSettings.h"

namespace dovo {

namespace {

QString Q(const std::string& text)
{
    return QString::fromStdString(text);
}

} // namespace

FileSettings::FileSettings() = default;

FileSettings::~FileSettings() = default;

SettingsFile& FileSettings::settingsOf(const std::string& app)
{
    auto& file = settings_[app];
    if (!file) {
        file = std::make_unique<SettingsFile>(Q(app));
    }
    return *file;
}

std::string FileSettings::GetSetting(const std::string& app, const std::string& section,
                                     const std::string& key, const std::string& defaultText)
{
    SettingsFile& file = settingsOf(app);
    const auto text = file.value(Q(section), Q(key));
    if (!text) {
        if (file.wasRead()) {
            file.reject(Q(section), Q(key), {});
        }
        return defaultText;
    }
    return text->toStdString();
}

void FileSettings::SaveSetting(const std::string& app, const std::string& section,
                               const std::string& key, const std::string& text)
{
    settingsOf(app).stage(Q(section), Q(key), Q(text));
}

void FileSettings::CommitSettings(const std::string& app)
{
    settingsOf(app).commit();
}

void FileSettings::RejectSetting(const std::string& app, const std::string& section,
                                 const std::string& key, const std::string& text)
{
    settingsOf(app).reject(Q(section), Q(key), Q(text));
}

std::vector<std::string> FileSettings::TakeNotices()
{
    std::vector<std::string> notices;
    for (auto& [app, file] : settings_) {
        for (auto& notice : file->takeNotices()) {
            notices.push_back(std::move(notice));
        }
    }
    return notices;
}

} // namespace dovo
