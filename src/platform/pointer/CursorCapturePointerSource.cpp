#include "platform/pointer/CursorCapturePointerSource.h"

#include "ext-image-capture-source-v1-client-protocol.h"
#include "ext-image-copy-capture-v1-client-protocol.h"
#include "platform/pointer/OutputCoordinates.h"
#include "platform/pointer/XWaylandPointerSource.h"
#include "xdg-output-unstable-v1-client-protocol.h"

#include <QSocketNotifier>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <list>
#include <utility>
#include <vector>
#include <wayland-client.h>

namespace dovo {

namespace {

QString SystemError(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

template <typename T>
T* Bind(wl_registry* registry, uint32_t name, const wl_interface& interface, uint32_t offered,
        uint32_t wanted)
{
    return static_cast<T*>(wl_registry_bind(registry, name, &interface, std::min(offered, wanted)));
}

bool Turned(int32_t transform)
{
    // 90 and 270 degrees, flipped or not, swap width and height.
    return (transform & WL_OUTPUT_TRANSFORM_90) != 0;
}

} // namespace

struct CursorCapturePointerSource::Wayland
{
    struct Output
    {
        uint32_t name = 0;
        wl_output* output = nullptr;
        zxdg_output_v1* xdgOutput = nullptr;
        ext_image_copy_capture_cursor_session_v1* session = nullptr;

        // As the compositor last said.
        QPoint wlOrigin;
        QSize mode;
        int32_t transform = WL_OUTPUT_TRANSFORM_NORMAL;
        int32_t scale = 1;
        std::optional<QPoint> xdgOrigin;
        std::optional<QSize> xdgSize;

        bool entered = false;
        // Kept across leave and enter: the compositor does not repeat a
        // position it sent before.
        std::optional<QPoint> position;
        // What the last report was worked out with.
        std::optional<OutputGeometry> reported;

        OutputGeometry geometry() const
        {
            const QSize buffer = Turned(transform) ? mode.transposed() : mode;
            return {xdgOrigin.value_or(wlOrigin),
                    xdgSize.value_or(scale > 0 ? buffer / scale : buffer), buffer};
        }
    };

    Wayland() = default;
    ~Wayland();

    void addOutput(uint32_t name, uint32_t version);
    void removeOutput(uint32_t name);
    void describe(Output& output);
    void openSession(Output& output);
    void closeSessions();
    void seatCapabilities(uint32_t capabilities);
    // What the sessions see; `moved` tells that the layout changed under
    // the pointer since the last call.
    std::vector<CursorSighting> sightings(bool& moved);

    wl_display* display = nullptr;
    wl_registry* registry = nullptr;
    wl_callback* listed = nullptr;
    wl_seat* seat = nullptr;
    wl_pointer* pointer = nullptr;
    zxdg_output_manager_v1* xdgOutputs = nullptr;
    ext_output_image_capture_source_manager_v1* sources = nullptr;
    ext_image_copy_capture_manager_v1* capture = nullptr;
    // Listeners hold pointers into it: a list never moves its elements.
    std::list<Output> outputs;
    bool globalsListed = false;
    // An output the pointer was on went away since the last report.
    bool relaidOut = false;
};

namespace {

using Output = CursorCapturePointerSource::Wayland::Output;

const ext_image_copy_capture_cursor_session_v1_listener SessionListener = {
    .enter =
        [](void* data, ext_image_copy_capture_cursor_session_v1*) {
            static_cast<Output*>(data)->entered = true;
        },
    .leave =
        [](void* data, ext_image_copy_capture_cursor_session_v1*) {
            static_cast<Output*>(data)->entered = false;
        },
    .position = [](void* data, ext_image_copy_capture_cursor_session_v1*, int32_t x,
                   int32_t y) { static_cast<Output*>(data)->position = QPoint(x, y); },
    .hotspot = [](void*, ext_image_copy_capture_cursor_session_v1*, int32_t, int32_t) {},
};

const wl_output_listener OutputListener = {
    .geometry =
        [](void* data, wl_output*, int32_t x, int32_t y, int32_t, int32_t, int32_t, const char*,
           const char*, int32_t transform) {
            auto* output = static_cast<Output*>(data);
            output->wlOrigin = QPoint(x, y);
            output->transform = transform;
        },
    .mode =
        [](void* data, wl_output*, uint32_t flags, int32_t width, int32_t height, int32_t) {
            if ((flags & WL_OUTPUT_MODE_CURRENT) != 0) {
                static_cast<Output*>(data)->mode = QSize(width, height);
            }
        },
    .done = [](void*, wl_output*) {},
    .scale = [](void* data, wl_output*,
                int32_t factor) { static_cast<Output*>(data)->scale = factor; },
    .name = [](void*, wl_output*, const char*) {},
    .description = [](void*, wl_output*, const char*) {},
};

const zxdg_output_v1_listener XdgOutputListener = {
    .logical_position = [](void* data, zxdg_output_v1*, int32_t x,
                           int32_t y) { static_cast<Output*>(data)->xdgOrigin = QPoint(x, y); },
    .logical_size =
        [](void* data, zxdg_output_v1*, int32_t width, int32_t height) {
            static_cast<Output*>(data)->xdgSize = QSize(width, height);
        },
    .done = [](void*, zxdg_output_v1*) {},
    .name = [](void*, zxdg_output_v1*, const char*) {},
    .description = [](void*, zxdg_output_v1*, const char*) {},
};

using Wayland = CursorCapturePointerSource::Wayland;

const wl_seat_listener SeatListener = {
    .capabilities =
        [](void* data, wl_seat*, uint32_t capabilities) {
            static_cast<Wayland*>(data)->seatCapabilities(capabilities);
        },
    .name = [](void*, wl_seat*, const char*) {},
};

const wl_registry_listener RegistryListener = {
    .global =
        [](void* data, wl_registry* registry, uint32_t name, const char* interface,
           uint32_t version) {
            auto* wayland = static_cast<Wayland*>(data);
            const auto is = [interface](const wl_interface& known) {
                return std::strcmp(interface, known.name) == 0;
            };
            if (is(ext_image_copy_capture_manager_v1_interface)) {
                wayland->capture = Bind<ext_image_copy_capture_manager_v1>(
                    registry, name, ext_image_copy_capture_manager_v1_interface, version, 1);
            } else if (is(ext_output_image_capture_source_manager_v1_interface)) {
                wayland->sources = Bind<ext_output_image_capture_source_manager_v1>(
                    registry, name, ext_output_image_capture_source_manager_v1_interface, version,
                    1);
            } else if (is(zxdg_output_manager_v1_interface)) {
                wayland->xdgOutputs = Bind<zxdg_output_manager_v1>(
                    registry, name, zxdg_output_manager_v1_interface, version, 3);
                for (Output& output : wayland->outputs) {
                    wayland->describe(output);
                }
            } else if (is(wl_seat_interface) && wayland->seat == nullptr) {
                wayland->seat = Bind<wl_seat>(registry, name, wl_seat_interface, version, 5);
                wl_seat_add_listener(wayland->seat, &SeatListener, wayland);
            } else if (is(wl_output_interface)) {
                wayland->addOutput(name, version);
            }
        },
    .global_remove = [](void* data, wl_registry*,
                        uint32_t name) { static_cast<Wayland*>(data)->removeOutput(name); },
};

const wl_callback_listener ListedListener = {
    .done =
        [](void* data, wl_callback* callback, uint32_t) {
            wl_callback_destroy(callback);
            auto* wayland = static_cast<Wayland*>(data);
            wayland->listed = nullptr;
            wayland->globalsListed = true;
        },
};

} // namespace

CursorCapturePointerSource::Wayland::~Wayland()
{
    while (!outputs.empty()) {
        removeOutput(outputs.front().name);
    }
    if (pointer != nullptr) {
        wl_pointer_release(pointer);
    }
    if (seat != nullptr) {
        wl_seat_release(seat);
    }
    if (listed != nullptr) {
        wl_callback_destroy(listed);
    }
    if (xdgOutputs != nullptr) {
        zxdg_output_manager_v1_destroy(xdgOutputs);
    }
    if (sources != nullptr) {
        ext_output_image_capture_source_manager_v1_destroy(sources);
    }
    if (capture != nullptr) {
        ext_image_copy_capture_manager_v1_destroy(capture);
    }
    if (registry != nullptr) {
        wl_registry_destroy(registry);
    }
    if (display != nullptr) {
        wl_display_flush(display);
        wl_display_disconnect(display);
    }
}

void CursorCapturePointerSource::Wayland::addOutput(uint32_t name, uint32_t version)
{
    Output& output = outputs.emplace_back();
    output.name = name;
    output.output = Bind<wl_output>(registry, name, wl_output_interface, version, 3);
    wl_output_add_listener(output.output, &OutputListener, &output);
    describe(output);
    openSession(output);
}

void CursorCapturePointerSource::Wayland::removeOutput(uint32_t name)
{
    const auto found = std::find_if(outputs.begin(), outputs.end(),
                                    [name](const Output& output) { return output.name == name; });
    if (found == outputs.end()) {
        return;
    }
    // The compositor puts a pointer whose output went away somewhere else:
    // a jump, not a move.
    relaidOut = relaidOut || (found->session != nullptr && found->entered);
    if (found->session != nullptr) {
        ext_image_copy_capture_cursor_session_v1_destroy(found->session);
    }
    if (found->xdgOutput != nullptr) {
        zxdg_output_v1_destroy(found->xdgOutput);
    }
    if (wl_output_get_version(found->output) >= WL_OUTPUT_RELEASE_SINCE_VERSION) {
        wl_output_release(found->output);
    } else {
        wl_output_destroy(found->output);
    }
    outputs.erase(found);
}

void CursorCapturePointerSource::Wayland::describe(Output& output)
{
    if (xdgOutputs != nullptr && output.xdgOutput == nullptr) {
        output.xdgOutput = zxdg_output_manager_v1_get_xdg_output(xdgOutputs, output.output);
        zxdg_output_v1_add_listener(output.xdgOutput, &XdgOutputListener, &output);
    }
}

void CursorCapturePointerSource::Wayland::openSession(Output& output)
{
    if (pointer == nullptr || capture == nullptr || sources == nullptr ||
        output.session != nullptr) {
        return;
    }
    ext_image_capture_source_v1* captured =
        ext_output_image_capture_source_manager_v1_create_source(sources, output.output);
    output.session =
        ext_image_copy_capture_manager_v1_create_pointer_cursor_session(capture, captured, pointer);
    // The session keeps what it needs of the source.
    ext_image_capture_source_v1_destroy(captured);
    ext_image_copy_capture_cursor_session_v1_add_listener(output.session, &SessionListener,
                                                          &output);
}

void CursorCapturePointerSource::Wayland::closeSessions()
{
    for (Output& output : outputs) {
        if (output.session != nullptr) {
            ext_image_copy_capture_cursor_session_v1_destroy(output.session);
            output.session = nullptr;
        }
        output.entered = false;
        output.position.reset();
    }
}

void CursorCapturePointerSource::Wayland::seatCapabilities(uint32_t capabilities)
{
    // A session follows the seat's pointer, which comes and goes with the
    // last pointing device.
    const bool hasPointer = (capabilities & WL_SEAT_CAPABILITY_POINTER) != 0;
    if (hasPointer && pointer == nullptr) {
        pointer = wl_seat_get_pointer(seat);
        for (Output& output : outputs) {
            openSession(output);
        }
    } else if (!hasPointer && pointer != nullptr) {
        closeSessions();
        if (wl_pointer_get_version(pointer) >= WL_POINTER_RELEASE_SINCE_VERSION) {
            wl_pointer_release(pointer);
        } else {
            wl_pointer_destroy(pointer);
        }
        pointer = nullptr;
    }
}

std::vector<CursorSighting> CursorCapturePointerSource::Wayland::sightings(bool& moved)
{
    std::vector<CursorSighting> seen;
    moved = std::exchange(relaidOut, false);
    for (Output& output : outputs) {
        if (output.session == nullptr || !output.entered || !output.position) {
            continue;
        }
        const OutputGeometry geometry = output.geometry();
        if (geometry.bufferSize.isEmpty() || geometry.logicalSize.isEmpty()) {
            continue;
        }
        // An output moved or rescaled under a resting pointer is no motion.
        moved = moved || (output.reported && *output.reported != geometry);
        output.reported = geometry;
        seen.push_back({geometry, *output.position});
    }
    return seen;
}

CursorCapturePointerSource::CursorCapturePointerSource(QObject* parent) : PointerSource(parent) {}

CursorCapturePointerSource::~CursorCapturePointerSource() = default;

QString CursorCapturePointerSource::name() const
{
    return QStringLiteral("the compositor's cursor capture");
}

void CursorCapturePointerSource::start()
{
    wayland_ = std::make_unique<Wayland>();
    wayland_->display = wl_display_connect(nullptr);
    if (wayland_->display == nullptr) {
        fallBack(QStringLiteral("Dovo cannot reach the Wayland compositor (%1).")
                     .arg(SystemError(errno)));
        return;
    }
    wayland_->registry = wl_display_get_registry(wayland_->display);
    wl_registry_add_listener(wayland_->registry, &RegistryListener, wayland_.get());
    // The compositor lists its globals before it answers this.
    wayland_->listed = wl_display_sync(wayland_->display);
    wl_callback_add_listener(wayland_->listed, &ListedListener, wayland_.get());

    const int fd = wl_display_get_fd(wayland_->display);
    readable_ = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(readable_, &QSocketNotifier::activated, this, &CursorCapturePointerSource::readEvents);
    writable_ = new QSocketNotifier(fd, QSocketNotifier::Write, this);
    writable_->setEnabled(false);
    connect(writable_, &QSocketNotifier::activated, this, &CursorCapturePointerSource::flush);
    flush();
}

std::optional<QPoint> CursorCapturePointerSource::position()
{
    return fallback_ ? fallback_->position() : PointerSource::position();
}

bool CursorCapturePointerSource::sleepUntilMotion()
{
    if (fallback_) {
        setAsleep(fallback_->sleepUntilMotion());
    } else {
        // The sessions speak only when the pointer moves. Until the
        // compositor has said what it offers, keep asking.
        setAsleep(capturing_);
    }
    return asleep();
}

void CursorCapturePointerSource::readEvents()
{
    wl_display* display = wayland_->display;
    // Reads only what is there: the notifier said there is something. Only
    // a successful prepare may be followed by a read.
    bool lost = false;
    while (!lost && wl_display_prepare_read(display) != 0) {
        lost = wl_display_dispatch_pending(display) < 0;
    }
    lost = lost || wl_display_read_events(display) < 0 || wl_display_dispatch_pending(display) < 0;
    if (lost) {
        // A session the compositor refuses ends the connection this way too.
        const int error = wl_display_get_error(display);
        fallBack(
            QStringLiteral("Dovo lost the Wayland compositor's cursor capture (%1).")
                .arg(error == EPROTO ? QStringLiteral("a protocol error") : SystemError(error)));
        return;
    }
    // Only after the dispatch: falling back closes the connection.
    if (wayland_->globalsListed && !capturing_ && !globalsOffered()) {
        return;
    }
    eventsHandled();
    flush();
}

void CursorCapturePointerSource::flush()
{
    if (!wayland_ || writable_ == nullptr) {
        return;
    }
    const bool pending = wl_display_flush(wayland_->display) < 0 && errno == EAGAIN;
    writable_->setEnabled(pending);
}

bool CursorCapturePointerSource::globalsOffered()
{
    QStringList missing;
    if (wayland_->capture == nullptr) {
        missing << QString::fromLatin1(ext_image_copy_capture_manager_v1_interface.name);
    }
    if (wayland_->sources == nullptr) {
        missing << QString::fromLatin1(ext_output_image_capture_source_manager_v1_interface.name);
    }
    if (wayland_->seat == nullptr) {
        missing << QString::fromLatin1(wl_seat_interface.name);
    }
    if (!missing.isEmpty()) {
        fallBack(QStringLiteral("This Wayland compositor does not offer %1.")
                     .arg(missing.join(QStringLiteral(" and "))));
        return false;
    }
    capturing_ = true;
    return true;
}

void CursorCapturePointerSource::eventsHandled()
{
    bool relaidOut = false;
    const std::vector<CursorSighting> seen = wayland_->sightings(relaidOut);
    const std::optional<QPoint> pointer = GlobalPointer(seen);
    if (tracking_ && (!pointer || relaidOut)) {
        // Off every output, its device gone, or the layout changed under it:
        // the next position is a fresh start, not the end of a move.
        loseTrack();
    }
    tracking_ = pointer.has_value();
    if (pointer) {
        report(*pointer);
    }
}

void CursorCapturePointerSource::fallBack(const QString& why)
{
    closeConnection();
    if (tracking_) {
        loseTrack();
        tracking_ = false;
    }
    fallback_ = std::make_unique<XWaylandPointerSource>(why);
    connect(fallback_.get(), &PointerSource::moved, this, &CursorCapturePointerSource::wake);
    connect(fallback_.get(), &PointerSource::notice, this, &PointerSource::notice);
    connect(fallback_.get(), &PointerSource::remark, this, &PointerSource::remark);
    fallback_->start();
}

void CursorCapturePointerSource::closeConnection()
{
    capturing_ = false;
    // Possibly called from their own signal.
    for (QSocketNotifier* notifier : {readable_, writable_}) {
        if (notifier != nullptr) {
            notifier->setEnabled(false);
            notifier->deleteLater();
        }
    }
    readable_ = nullptr;
    writable_ = nullptr;
    wayland_.reset();
}

} // namespace dovo
