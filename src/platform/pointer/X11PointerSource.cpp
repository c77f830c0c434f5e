#include "platform/pointer/X11PointerSource.h"

#include "platform/pointer/X11MotionWatch.h"

#include <QCursor>
#include <QGuiApplication>
#include <QScreen>

#include <utility>
#include <xcb/xcb.h>

namespace dovo {

X11PointerSource::X11PointerSource(QString name, Mode mode, QObject* parent)
    : PointerSource(parent), name_(std::move(name))
{
    // qGuiApp would be a bad cast where only a QCoreApplication runs.
    const auto* gui = qobject_cast<QGuiApplication*>(QCoreApplication::instance());
    if (const auto* x11 =
            gui ? gui->nativeInterface<QNativeInterface::QX11Application>() : nullptr) {
        qtConnection_ = x11->connection();
    }
    if (mode == Mode::WatchMotion && qtConnection_ != nullptr) {
        QString why;
        watch_ = X11MotionWatch::open(why);
        if (!watch_) {
            startRemark_ =
                why + QStringLiteral("; asking for the pointer five times a second instead");
        } else {
            connect(watch_.get(), &X11MotionWatch::moved, this, &X11PointerSource::wake);
        }
    }
}

X11PointerSource::~X11PointerSource() = default;

void X11PointerSource::start()
{
    // Once, however often a source that falls back here starts it.
    if (!startRemark_.isEmpty()) {
        emit remark(std::exchange(startRemark_, QString()));
    }
}

namespace {

// The server's pixels as Qt's global coordinates, the way QCursor::pos()
// maps them: a scaled screen keeps its top-left corner and shrinks by its
// device pixel ratio from there.
QPoint LogicalPosition(const QPoint& native)
{
    const QScreen* under = QGuiApplication::primaryScreen();
    for (const QScreen* screen : QGuiApplication::screens()) {
        const QRect logical = screen->geometry();
        const QRect nativeArea(logical.topLeft(), logical.size() * screen->devicePixelRatio());
        if (nativeArea.contains(native)) {
            under = screen;
            break;
        }
    }
    if (under == nullptr) {
        return native;
    }
    const QPoint origin = under->geometry().topLeft();
    return (native - origin) * (1.0 / under->devicePixelRatio()) + origin;
}

} // namespace

std::optional<QPoint> X11PointerSource::position()
{
    if (watch_) {
        // Asked on the watch's own connection: on Qt's, every answer would
        // also wake Qt's event-reader thread, a third of the cost of a tick.
        int x = 0;
        int y = 0;
        if (!watch_->queryPointer(x, y) ||
            (qtConnection_ != nullptr && xcb_connection_has_error(qtConnection_) != 0)) {
            sampled_.reset();
            return std::nullopt;
        }
        sampled_ = QPoint(x, y);
        return LogicalPosition(*sampled_);
    }
    const QPoint position = QCursor::pos();
    // Once the X server has gone, Qt answers every pointer query with (0, 0)
    // until it notices and ends the process; a tick in between would count
    // the way to the corner of the screen as travel.
    if (qtConnection_ != nullptr && xcb_connection_has_error(qtConnection_) != 0) {
        return std::nullopt;
    }
    return position;
}

bool X11PointerSource::sleepUntilMotion()
{
    if (!watch_) {
        return false;
    }
    setAsleep(true);
    watch_->arm();
    // The server sends motion only from when it takes the selection, so a
    // move since this tick asked sent nothing; and arming may have found an
    // event left over from the last wake and woken us already. Either way
    // the caller must go on ticking, or it would sleep through the move.
    int x = 0;
    int y = 0;
    if (asleep() && sampled_ && watch_->queryPointer(x, y) && QPoint(x, y) == *sampled_) {
        return true;
    }
    setAsleep(false);
    return false;
}

} // namespace dovo
