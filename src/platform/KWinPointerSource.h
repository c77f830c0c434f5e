#pragma once

#include "platform/PointerSource.h"

namespace dovo {

class KWinPointerSource final : public PointerSource
{
    Q_OBJECT

public:
    explicit KWinPointerSource(QObject* parent = nullptr);
    ~KWinPointerSource() override;

    QString name() const override { return QStringLiteral("KWin"); }
    void start() override;
    bool sleepUntilMotion() override;
};

} // namespace dovo
