#include "platform/X11MotionWatch.h"

#include <QSocketNotifier>

#include <cstdlib>
#include <xcb/xcb.h>
#include <xcb/xinput.h>

namespace dovo {

std::unique_ptr<X11MotionWatch> X11MotionWatch::open(QString& why)
{
    int screenNumber = 0;
    xcb_connection_t* connection = xcb_connect(nullptr, &screenNumber);
    if (xcb_connection_has_error(connection) != 0) {
        xcb_disconnect(connection);
        why = QStringLiteral("cannot open a second connection to the X server");
        return nullptr;
    }
    const xcb_query_extension_reply_t* extension =
        xcb_get_extension_data(connection, &xcb_input_id);
    xcb_input_xi_query_version_reply_t* version = nullptr;
    if (extension != nullptr && extension->present != 0) {
        version = xcb_input_xi_query_version_reply(
            connection, xcb_input_xi_query_version(connection, 2, 2), nullptr);
    }
    if (version == nullptr || version->major_version < 2) {
        std::free(version);
        xcb_disconnect(connection);
        why = QStringLiteral("the X server has no XInput 2");
        return nullptr;
    }
    std::free(version);

    xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(connection));
    for (int i = 0; i < screenNumber && screens.rem > 0; ++i) {
        xcb_screen_next(&screens);
    }
    return std::unique_ptr<X11MotionWatch>(
        new X11MotionWatch(connection, screens.data->root, extension->major_opcode));
}

X11MotionWatch::X11MotionWatch(xcb_connection_t* connection, unsigned root, unsigned char opcode)
    : connection_(connection), root_(root), opcode_(opcode)
{
    notifier_ =
        new QSocketNotifier(xcb_get_file_descriptor(connection_), QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, &X11MotionWatch::drain);
}

X11MotionWatch::~X11MotionWatch()
{
    delete notifier_;
    xcb_disconnect(connection_);
}

void X11MotionWatch::select(bool on)
{
    struct
    {
        xcb_input_event_mask_t head;
        std::uint32_t bits;
    } mask{};
    mask.head.deviceid = XCB_INPUT_DEVICE_ALL_MASTER;
    mask.head.mask_len = 1;
    mask.bits = on ? XCB_INPUT_XI_EVENT_MASK_RAW_MOTION : 0;
    xcb_input_xi_select_events(connection_, root_, 1, &mask.head);
    xcb_flush(connection_);
}

void X11MotionWatch::arm()
{
    if (armed_ || xcb_connection_has_error(connection_) != 0) {
        return;
    }
    armed_ = true;
    select(true);
    // A flush may have read events into xcb's queue, where the socket
    // notifier would never see them.
    drain();
}

void X11MotionWatch::drain()
{
    bool moved = false;
    while (xcb_generic_event_t* event = xcb_poll_for_event(connection_)) {
        if ((event->response_type & 0x7f) == XCB_GE_GENERIC) {
            const auto* generic = reinterpret_cast<const xcb_ge_generic_event_t*>(event);
            moved = moved ||
                    (generic->extension == opcode_ && generic->event_type == XCB_INPUT_RAW_MOTION);
        }
        std::free(event);
    }
    if (xcb_connection_has_error(connection_) != 0) {
        // The server is gone; Qt's own connection will end the program.
        notifier_->setEnabled(false);
        return;
    }
    if (moved && armed_) {
        // While the caller samples on its own, a fast mouse would wake us a
        // thousand times a second for nothing.
        armed_ = false;
        select(false);
        emit this->moved();
    }
}

} // namespace dovo
