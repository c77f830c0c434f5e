#include "platform/QtServices.h"

#include <QCursor>
#include <QGuiApplication>
#include <QLocale>
#include <QScreen>

#include <xcb/xcb.h>

namespace dovo {

namespace {

constexpr float TwipsPerInch = 1440.0f;
constexpr float FallbackTwipsPerPixel = 15.0f;

QString Q(const std::string& text)
{
    return QString::fromStdString(text);
}

} // namespace

QtServices::QtServices() : decimalSeparator_(QLocale::system().decimalPoint().toStdString())
{
    // qGuiApp would be a bad cast where only a QCoreApplication runs.
    const auto* gui = qobject_cast<QGuiApplication*>(QCoreApplication::instance());
    if (const auto* x11 =
            gui ? gui->nativeInterface<QNativeInterface::QX11Application>() : nullptr) {
        x11Connection_ = x11->connection();
    }
}

void QtServices::GetCursorPos(ScreenPoint& point)
{
    const QPoint position = QCursor::pos();
    // Once the X server has gone, Qt answers every pointer query with (0, 0)
    // until it notices and ends the process; a tick in between would count
    // the way to the corner of the screen as travel.
    if (x11Connection_ != nullptr && xcb_connection_has_error(x11Connection_) != 0) {
        return;
    }
    lastCursor_ = position;
    point.x = lastCursor_.x();
    point.y = lastCursor_.y();
}

// The screen under the pointer at this tick, so that on a desktop of mixed
// screens every move is measured with the density of the screen it was on.
static QScreen* ScreenAt(const QPoint& position)
{
    if (QScreen* screen = QGuiApplication::screenAt(position)) {
        return screen;
    }
    return QGuiApplication::primaryScreen();
}

float QtServices::TwipsPerPixelX()
{
    const QScreen* screen = ScreenAt(lastCursor_);
    return screen ? TwipsPerInch / static_cast<float>(screen->logicalDotsPerInchX())
                  : FallbackTwipsPerPixel;
}

float QtServices::TwipsPerPixelY()
{
    const QScreen* screen = ScreenAt(lastCursor_);
    return screen ? TwipsPerInch / static_cast<float>(screen->logicalDotsPerInchY())
                  : FallbackTwipsPerPixel;
}

SettingsFile& QtServices::settingsOf(const std::string& app)
{
    auto& file = settings_[app];
    if (!file) {
        file = std::make_unique<SettingsFile>(Q(app));
    }
    return *file;
}

std::string QtServices::GetSetting(const std::string& app, const std::string& section,
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

void QtServices::SaveSetting(const std::string& app, const std::string& section,
                             const std::string& key, const std::string& text)
{
    settingsOf(app).stage(Q(section), Q(key), Q(text));
}

void QtServices::CommitSettings(const std::string& app)
{
    settingsOf(app).commit();
}

void QtServices::RejectSetting(const std::string& app, const std::string& section,
                               const std::string& key, const std::string& text)
{
    settingsOf(app).reject(Q(section), Q(key), Q(text));
}

} // namespace dovo
