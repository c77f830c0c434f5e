#pragma once

#include "platform/PointerSource.h"

namespace dovo {

class GnomeShellPointerSource final : public PointerSource
{
    Q_OBJECT

public:
    explicit GnomeShellPointerSource(QObject* parent = nullptr);
    ~GnomeShellPointerSource() override;

    QString name() const override { return QStringLiteral("GNOME Shell"); }
    void start() override;
    bool sleepUntilMotion() override;
};

} // namespace dovo
