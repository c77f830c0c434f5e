#pragma once

#include <QAbstractNativeEventFilter>
#include <QObject>

#include <cstdint>

namespace dovo {

// Whether an X11 notification area (the XEmbed manager selection
// _NET_SYSTEM_TRAY_S<screen>) has an owner, followed through XFixes as the
// owner changes. Qt docks its icon again in a tray that comes back, but says
// nothing when one goes away.
class XEmbedTrayWatch final : public QObject, public QAbstractNativeEventFilter
{
    Q_OBJECT

public:
    // Nothing to follow off X11 or without XFixes: null.
    static XEmbedTrayWatch* Follow(QObject* parent);
    ~XEmbedTrayWatch() override;

    bool present() const { return present_; }

    bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr* result) override;

signals:
    void presentChanged(bool present);

private:
    XEmbedTrayWatch(QObject* parent, std::uint8_t notifyEvent, std::uint32_t selection);
    void setPresent(bool present);

    std::uint8_t notifyEvent_;
    std::uint32_t selection_;
    bool present_ = false;
};

} // namespace dovo
