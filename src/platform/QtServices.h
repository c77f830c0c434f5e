#pragma once

#include "platform/Services.h"
#include "platform/SettingsFile.h"

#include <QPoint>

#include <map>
#include <memory>

struct xcb_connection_t;

namespace dovo {

class QtServices final : public Services
{
public:
    QtServices();

    void GetCursorPos(ScreenPoint& point) override;
    float TwipsPerPixelX() override;
    float TwipsPerPixelY() override;
    std::string DecimalSeparator() override { return decimalSeparator_; }

    std::string GetSetting(const std::string& app, const std::string& section,
                           const std::string& key, const std::string& defaultText) override;
    void SaveSetting(const std::string& app, const std::string& section, const std::string& key,
                     const std::string& text) override;
    void CommitSettings(const std::string& app) override;
    void RejectSetting(const std::string& app, const std::string& section, const std::string& key,
                       const std::string& text) override;

private:
    SettingsFile& settingsOf(const std::string& app);

    xcb_connection_t* x11Connection_ = nullptr;
    QPoint lastCursor_;
    std::string decimalSeparator_;
    std::map<std::string, std::unique_ptr<SettingsFile>> settings_;
};

} // namespace dovo
