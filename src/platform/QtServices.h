#pragma once

#include "core/PointerServices.h"
#include "platform/pointer/PointerSource.h"

#include <QPoint>

#include <memory>
#include <optional>

namespace dovo {

// The pointer from its source, measured with the density of the screen
// under it.
class QtServices final : public PointerServices
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

private:
    std::unique_ptr<PointerSource> pointer_;
    // The generation of the source's word on the pointer that the odometer
    // last sampled; nothing before the first sample.
    std::optional<unsigned> sampledGeneration_;
    QPoint lastCursor_;
    QMetaObject::Connection wake_;
    std::string decimalSeparator_;
};

} // namespace dovo
