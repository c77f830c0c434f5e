#include "platform/pointer/X11MotionWatch.h"

#include <QSocketNotifier>

#include <cstdlib>
#include <sys/uio.h>
#include <xcb/xcb.h>
#include <xcb/xcbext.h>
// Types and numbers only: the two requests are sent through libxcb itself,
// as libxcb-xinput would send them, so that library is never mapped (all of
// its 140 KiB was resident in every run, for two requests).
#include <cstdint>
#include <cstdlib>
#include <xcb/xinput.h>

namespace dovo {

namespace {

// The name libxcb-xinput registers; xcb caches the opcode in it.
xcb_extension_t inputExtension = {"XInputExtension", 0};

// Fills in the opcodes and the length, as the generated bindings do; xcb
// wants two spare iovecs in front of the request.
unsigned sendInputRequest(xcb_connection_t* connection, const xcb_protocol_request_t& request,
                          void* bytes, std::size_t size, int flags)
{
    iovec parts[4] = {};
    parts[2] = {bytes, size};
    return xcb_send_request(connection, flags, parts + 2, &request);
}

xcb_input_xi_query_version_reply_t* queryVersion(xcb_connection_t* connection)
{
    static const xcb_protocol_request_t request = {
        .count = 2, .ext = &inputExtension, .opcode = XCB_INPUT_XI_QUERY_VERSION, .isvoid = 0};
    xcb_input_xi_query_version_request_t out{};
    out.major_version = 2;
    // 2.1 and later deliver raw motion even while another client grabs the
    // pointer, as during a drag.
    out.minor_version = 2;
    const unsigned sequence =
        sendInputRequest(connection, request, &out, sizeof out, XCB_REQUEST_CHECKED);
    return static_cast<xcb_input_xi_query_version_reply_t*>(
        xcb_wait_for_reply(connection, sequence, nullptr));
}

} // namespace

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
        xcb_get_extension_data(connection, &inputExtension);
    xcb_input_xi_query_version_reply_t* version = nullptr;
    if (extension != nullptr && extension->present != 0) {
        version = queryVersion(connection);
    }
    if (version == nullptr || version->major_version < 2) {
        std::free(version);
        xcb_disconnect(connection);
        why = QStringLiteral("the X server has no XInput 2");
        return nullptr;
    }
    std::free(version);

    // libxcb as shipped today refuses a display whose screen the server does
    // not have (XCB_CONN_CLOSED_INVALID_SCREEN); one that let it through
    // would leave the iterator past the end of the list.
    xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(connection));
    for (int i = 0; i < screenNumber && screens.rem > 0; ++i) {
        xcb_screen_next(&screens);
    }
    if (screens.rem <= 0) {
        xcb_disconnect(connection);
        why = QStringLiteral("the X server has no screen %1").arg(screenNumber);
        return nullptr;
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
    static const xcb_protocol_request_t request = {
        .count = 2, .ext = &inputExtension, .opcode = XCB_INPUT_XI_SELECT_EVENTS, .isvoid = 1};
    struct
    {
        xcb_input_xi_select_events_request_t head;
        xcb_input_event_mask_t mask;
        std::uint32_t bits;
    } out{};
    static_assert(sizeof out == 20, "the request goes out as it is laid out");
    out.head.window = root_;
    out.head.num_mask = 1;
    out.mask.deviceid = XCB_INPUT_DEVICE_ALL_MASTER;
    out.mask.mask_len = 1;
    out.bits = on ? XCB_INPUT_XI_EVENT_MASK_RAW_MOTION : 0;
    sendInputRequest(connection_, request, &out, sizeof out, 0);
    xcb_flush(connection_);
}

bool X11MotionWatch::queryPointer(int& x, int& y)
{
    xcb_query_pointer_reply_t* reply =
        xcb_query_pointer_reply(connection_, xcb_query_pointer(connection_, root_), nullptr);
    if (reply == nullptr) {
        return false;
    }
    x = reply->root_x;
    y = reply->root_y;
    std::free(reply);
    return true;
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
