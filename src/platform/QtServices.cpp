#include "platform/QtServices.h"

#include <QCursor>
#include <QGuiApplication>
#include <QLocale>
#include <QScreen>

namespace dovo {

namespace {

constexpr float TwipsPerInch = 1440.0f;
constexpr float FallbackTwipsPerPixel = 15.0f;

} // namespace

namespace {

class CursorPointerSource final : public PointerSource
{
public:
    QString name() const override { return QStringLiteral("Qt"); }
    std::optional<QPoint> position() override { return QCursor::pos(); }
};

} // namespace

QtServices::QtServices(std::unique_ptr<PointerSource> pointer)
    : pointer_(pointer ? std::move(pointer) : std::make_unique<CursorPointerSource>()),
      decimalSeparator_(QLocale::system().decimalPoint().toStdString())
{}

QtServices::~QtServices() = default;

void QtServices::GetCursorPos(ScreenPoint& point)
{
    const std::optional<QPoint> position = pointer_->position();
    if (!position) {
        return;
    }
    sampledGeneration_ = pointer_->generation();
    lastCursor_ = *position;
    point.x = lastCursor_.x();
    point.y = lastCursor_.y();
}

bool QtServices::PointerReacquired()
{
    // Sources that learn the pointer from another process know nothing at
    // first; the first position they hear of is where counting starts. Until
    // then the odometer restarts at every tick from where it stands, which
    // adds nothing. Not asking the source here keeps a tick at one question.
    return sampledGeneration_ != pointer_->generation();
}

bool QtServices::SleepUntilMotion(std::function<void()> wake)
{
    QObject::disconnect(wake_);
    if (!pointer_->sleepUntilMotion()) {
        return false;
    }
    wake_ = QObject::connect(pointer_.get(), &PointerSource::moved, pointer_.get(), std::move(wake),
                             Qt::SingleShotConnection);
    return true;
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

} // namespace dovo
