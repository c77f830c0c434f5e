#include "ui/WithdrawalWatch.h"

#include <QGuiApplication>
#include <QWindow>

#include <cstdint>
#include <cstdlib>
#include <utility>
#include <xcb/xcb.h>

namespace dovo {

namespace {

constexpr int DeadlineMilliseconds = 3000;
constexpr std::uint32_t WithdrawnState = 0;

xcb_connection_t* Connection()
{
    const auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    return x11 != nullptr ? x11->connection() : nullptr;
}

// The window manager still holds the window: WM_STATE is there and says
// Normal or Iconic.
bool Held(xcb_connection_t* connection, xcb_window_t window, xcb_atom_t wmState)
{
    xcb_get_property_reply_t* reply = xcb_get_property_reply(
        connection, xcb_get_property(connection, 0, window, wmState, wmState, 0, 1), nullptr);
    if (reply == nullptr) {
        return false;
    }
    const bool held =
        reply->format == 32 && xcb_get_property_value_length(reply) >= 4 &&
        *static_cast<const std::uint32_t*>(xcb_get_property_value(reply)) != WithdrawnState;
    std::free(reply);
    return held;
}

} // namespace

void WithdrawalWatch::Await(QWindow& window, std::function<void()> done)
{
    xcb_connection_t* connection = Connection();
    xcb_intern_atom_reply_t* atom =
        connection == nullptr
            ? nullptr
            : xcb_intern_atom_reply(connection, xcb_intern_atom(connection, 0, 8, "WM_STATE"),
                                    nullptr);
    if (atom == nullptr) {
        done();
        return;
    }
    const xcb_atom_t wmState = atom->atom;
    std::free(atom);
    const auto id = static_cast<xcb_window_t>(window.winId());
    // Listening before asking, so that a change in between is not missed.
    auto* watch = new WithdrawalWatch(id, wmState, std::move(done));
    if (!Held(connection, id, wmState)) {
        watch->finish();
    }
}

WithdrawalWatch::WithdrawalWatch(unsigned window, unsigned wmState, std::function<void()> done)
    : window_(window), wmState_(wmState), done_(std::move(done))
{
    qGuiApp->installNativeEventFilter(this);
    deadline_.setSingleShot(true);
    connect(&deadline_, &QTimer::timeout, this, &WithdrawalWatch::finish);
    deadline_.start(DeadlineMilliseconds);
}

WithdrawalWatch::~WithdrawalWatch()
{
    qGuiApp->removeNativeEventFilter(this);
}

bool WithdrawalWatch::nativeEventFilter(const QByteArray& eventType, void* message,
                                        qintptr* /*result*/)
{
    if (eventType != "xcb_generic_event_t" || !done_) {
        return false;
    }
    const auto* event = static_cast<const xcb_generic_event_t*>(message);
    if ((event->response_type & 0x7f) != XCB_PROPERTY_NOTIFY) {
        return false;
    }
    const auto* change = static_cast<const xcb_property_notify_event_t*>(message);
    if (change->window == window_ && change->atom == wmState_) {
        // Not from inside Qt's event handling: the caller maps the window.
        QMetaObject::invokeMethod(this, &WithdrawalWatch::finish, Qt::QueuedConnection);
    }
    return false;
}

void WithdrawalWatch::finish()
{
    if (!done_) {
        return;
    }
    xcb_connection_t* connection = Connection();
    if (deadline_.isActive() && connection != nullptr && Held(connection, window_, wmState_)) {
        return; // a change, but the manager holds it still
    }
    deadline_.stop();
    qGuiApp->removeNativeEventFilter(this);
    const std::function<void()> done = std::exchange(done_, nullptr);
    deleteLater();
    done();
}

} // namespace dovo
