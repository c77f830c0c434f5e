#include "ui/XEmbedTrayWatch.h"

#include <QGuiApplication>

#include <cstdlib>
#include <string>
#include <xcb/xcb.h>
#include <xcb/xfixes.h>

namespace dovo {

namespace {

template <typename Reply> struct Freed
{
    Reply* reply;
    ~Freed() { std::free(reply); }
};

// The screen Qt connected to: the one $DISPLAY names, as Qt opens no other
// unless told with -display.
int ScreenNumber()
{
    char* host = nullptr;
    int display = 0;
    int screen = 0;
    if (xcb_parse_display(nullptr, &host, &display, &screen) == 0) {
        return 0;
    }
    std::free(host);
    return screen;
}

xcb_window_t Root(xcb_connection_t* connection, int number)
{
    xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(connection));
    for (int i = 0; it.rem > 0 && i < number; ++i) {
        xcb_screen_next(&it);
    }
    return it.rem > 0 ? it.data->root : xcb_window_t{XCB_WINDOW_NONE};
}

} // namespace

XEmbedTrayWatch* XEmbedTrayWatch::Follow(QObject* parent)
{
    const auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    xcb_connection_t* connection = x11 != nullptr ? x11->connection() : nullptr;
    if (connection == nullptr) {
        return nullptr;
    }
    const xcb_query_extension_reply_t* extension =
        xcb_get_extension_data(connection, &xcb_xfixes_id);
    if (extension == nullptr || extension->present == 0) {
        return nullptr;
    }
    // XFixes serves a client only once it said which version it speaks; 1.0
    // has the selection events, and asks nothing newer of the connection
    // Qt shares.
    const Freed<xcb_xfixes_query_version_reply_t> version{xcb_xfixes_query_version_reply(
        connection, xcb_xfixes_query_version(connection, 1, 0), nullptr)};
    const int screen = ScreenNumber();
    const xcb_window_t root = Root(connection, screen);
    const std::string name = "_NET_SYSTEM_TRAY_S" + std::to_string(screen);
    const Freed<xcb_intern_atom_reply_t> atom{xcb_intern_atom_reply(
        connection,
        xcb_intern_atom(connection, 0, static_cast<std::uint16_t>(name.size()), name.c_str()),
        nullptr)};
    if (version.reply == nullptr || atom.reply == nullptr || root == XCB_WINDOW_NONE) {
        return nullptr;
    }
    auto* watch = new XEmbedTrayWatch(
        parent, static_cast<std::uint8_t>(extension->first_event + XCB_XFIXES_SELECTION_NOTIFY),
        atom.reply->atom);
    // Listening before asking, so that a change in between is not missed.
    xcb_xfixes_select_selection_input(connection, root, atom.reply->atom,
                                      XCB_XFIXES_SELECTION_EVENT_MASK_SET_SELECTION_OWNER |
                                          XCB_XFIXES_SELECTION_EVENT_MASK_SELECTION_WINDOW_DESTROY |
                                          XCB_XFIXES_SELECTION_EVENT_MASK_SELECTION_CLIENT_CLOSE);
    const Freed<xcb_get_selection_owner_reply_t> owner{xcb_get_selection_owner_reply(
        connection, xcb_get_selection_owner(connection, atom.reply->atom), nullptr)};
    watch->present_ = owner.reply != nullptr && owner.reply->owner != XCB_WINDOW_NONE;
    return watch;
}

XEmbedTrayWatch::XEmbedTrayWatch(QObject* parent, std::uint8_t notifyEvent, std::uint32_t selection)
    : QObject(parent), notifyEvent_(notifyEvent), selection_(selection)
{
    qGuiApp->installNativeEventFilter(this);
}

XEmbedTrayWatch::~XEmbedTrayWatch()
{
    qGuiApp->removeNativeEventFilter(this);
}

bool XEmbedTrayWatch::nativeEventFilter(const QByteArray& eventType, void* message,
                                        qintptr* /*result*/)
{
    if (eventType != "xcb_generic_event_t") {
        return false;
    }
    const auto* event = static_cast<const xcb_generic_event_t*>(message);
    if ((event->response_type & 0x7f) != notifyEvent_) {
        return false;
    }
    const auto* notify = static_cast<const xcb_xfixes_selection_notify_event_t*>(message);
    if (notify->selection == selection_) {
        const bool present = notify->owner != XCB_WINDOW_NONE;
        // Not from inside Qt's event handling: a listener may show a window.
        QMetaObject::invokeMethod(
            this, [this, present] { setPresent(present); }, Qt::QueuedConnection);
    }
    return false;
}

void XEmbedTrayWatch::setPresent(bool present)
{
    if (present_ != present) {
        present_ = present;
        emit presentChanged(present);
    }
}

} // namespace dovo
