#pragma once

#include "platform/PointerSource.h"

namespace dovo {

class HyprlandPointerSource final : public PointerSource
{
    Q_OBJECT

public:
    explicit HyprlandPointerSource(QObject* parent = nullptr);
    ~HyprlandPointerSource() override;

    QString name() const override { return QStringLiteral("Hyprland"); }
    void start() override;
    bool sleepUntilMotion() override;
};

} // namespace dovo
