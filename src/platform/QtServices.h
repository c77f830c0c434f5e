#pragma once

#include "session/Services.h"
#include "platform/SettingsFile.h"
#include "platform/pointer/PointerSource.h"

#include <QPoint>

#include <map>
#include <memory>
#include <optional>

namespace dovo {

class QtServices final : public Services
{
public:
    // Without a source, the pointer is whatever QCursor says.
    explicit QtServices(std::unique_ptr<PointerSource> pointer = nullptr);
    ~QtServices() override;

    PointerSource& pointer() { return *pointer_; }

    void GetCursorPos(ScreenPoint& point) override;
    bool PointerReacquired() override;
    bool SleepUntilMotion(std::function<void()> wake) override;
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

    std::unique_ptr<PointerSource> pointer_;
    // The generation of the source's word on the pointer that the odometer
    // last sampled; nothing before the first sample.
    std::optional<unsigned> sampledGeneration_;
    QPoint lastCursor_;
    QMetaObject::Connection wake_;
    std::string decimalSeparator_;
    std::map<std::string, std::unique_ptr<SettingsFile>> settings_;
};

} // namespace dovo
