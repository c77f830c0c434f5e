#pragma once

#include "platform/pointer/PointerSource.h"

#include <QStringList>

#include <memory>

class QSocketNotifier;

namespace dovo {

class XWaylandPointerSource;

// The pointer as a Wayland compositor shows it to screen recorders that draw
// the cursor themselves: one cursor session of ext-image-copy-capture per
// output, which tells where the pointer is on that output and nothing else;
// no frame is ever captured. sway, labwc and the other wlroots compositors
// offer it.
//
// Dovo keeps a Wayland connection of its own for it, read as the compositor
// writes, so its window may stay on XWayland. Where the compositor does not
// offer the protocol, or the connection fails, what XWayland shows is all
// there is.
class CursorCapturePointerSource final : public PointerSource
{
    Q_OBJECT

public:
    explicit CursorCapturePointerSource(QObject* parent = nullptr);
    ~CursorCapturePointerSource() override;

    QString name() const override;
    void start() override;
    std::optional<QPoint> position() override;
    bool sleepUntilMotion() override;

    // The connection and what it holds, in Wayland's own types.
    struct Wayland;

private:
    void readEvents();
    void flush();
    // Once the compositor listed its globals: falls back where they lack
    // the cursor capture.
    bool globalsOffered();
    void eventsHandled();
    void fallBack(const QString& why);
    void closeConnection();

    std::unique_ptr<Wayland> wayland_;
    QSocketNotifier* readable_ = nullptr;
    QSocketNotifier* writable_ = nullptr;
    std::unique_ptr<XWaylandPointerSource> fallback_;
    bool capturing_ = false;
    bool tracking_ = false;
};

} // namespace dovo
