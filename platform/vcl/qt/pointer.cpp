// The pointer over a form's window, read once a frame on X11 (see pointer.h).
//
// The toolkit selects every pointer motion on its windows through XInput 2.
// Here a watched window drops the XInput 2 motion from that selection and
// asks for core motion with PointerMotionHint instead: the server then sends
// one motion event and no more until the program reads the pointer. The
// crossings and buttons stay the toolkit's; this side follows them too, to
// know which pointer is over the window and when a drag holds it.
#include "platform/vcl/qt/pointer.h"

#include <QtGui/qguiapplication_platform.h>
#include <QAbstractNativeEventFilter>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QMouseEvent>
#include <QPointer>
#include <QPointingDevice>
#include <QWidget>
#include <QWindow>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "platform/frames/frames.h"
#include "platform/vcl/vcl.h"

#include <xcb/xcb.h>
#include <xcb/xinput.h>

namespace vcl::qt {

namespace {

struct FreeReply {
    void operator()(void* reply) const { std::free(reply); }
};
// A reply of xcb's, null when the server answered with an error (which xcb
// then drops: a device that went away, a window already destroyed).
template <class T>
using Reply = std::unique_ptr<T, FreeReply>;

// Whether a checked request went through; its error, if any, comes back here
// rather than to the toolkit's event queue.
bool succeeded(xcb_connection_t* connection, xcb_void_cookie_t cookie) {
    xcb_generic_error_t* error = xcb_request_check(connection, cookie);
    std::free(error);
    return error == nullptr;
}

double from_fixed(std::int32_t value) {
    return value / 65536.0;
}

bool mask_has(const std::uint8_t* mask, std::size_t length, int event) {
    const std::size_t byte = static_cast<std::size_t>(event) / 8;
    return byte < length && (mask[byte] & (1u << (event % 8))) != 0;
}

// Where a pointer is, as XIQueryPointer answers for a window.
struct PointerState {
    QPointF root;
    QPointF window;  // relative to the window, in its native pixels
    std::uint32_t modifiers = 0;
    bool held = false;  // a button (not a wheel) is down
};

Qt::KeyboardModifiers modifiers_of(std::uint32_t x_modifiers) {
    Qt::KeyboardModifiers modifiers;
    if (x_modifiers & XCB_MOD_MASK_SHIFT)
        modifiers |= Qt::ShiftModifier;
    if (x_modifiers & XCB_MOD_MASK_CONTROL)
        modifiers |= Qt::ControlModifier;
    if (x_modifiers & XCB_MOD_MASK_1)
        modifiers |= Qt::AltModifier;
    if (x_modifiers & XCB_MOD_MASK_4)
        modifiers |= Qt::MetaModifier;
    return modifiers;
}

class Server;
Server* the_server = nullptr;

}  // namespace

// What a watched window keeps: which master pointers are over it, a drag in
// progress, the last position each pointer was given at, and its frame timer.
struct PointerFrames::Watch {
    explicit Watch(QWidget& window)
        : widget(window), timer([this] { read(); }), frame_start([this] { read(); }) {}
    ~Watch();

    struct Over {
        int device;
        std::uint32_t since;  // server time of the crossing in
    };

    // A motion hint came: the pointer is read at once if it has not been in
    // this frame, else at the next frame.
    void hinted(std::uint32_t time);
    void entered(int device, std::uint32_t time);
    void left(int device, std::uint32_t time);
    // A button went down or up on the window (the wheels' notches aside).
    void pressed(int device, int button);
    void released(int device, int button);
    // Reads every pointer over the window (and the one dragging) and gives
    // each new position to the toolkit.
    void read();
    void deliver(int device, QPointF position, QPointF root, Qt::KeyboardModifiers modifiers);
    bool inside(QPointF position) const;
    // Read at the next frame's start, in the frame's one wake-up (before the
    // windows draw what it brings).
    void next_frame() {
        if (frames::has_waker()) {
            frame_start.request();
        } else {
            timer.start(frames::until_next_frame_ms());
        }
    }
    bool waiting() const { return timer.active() || frame_start.pending(); }

    QWidget& widget;
    xcb_window_t id = XCB_WINDOW_NONE;
    std::vector<Over> over;
    int dragging = 0;        // the master pointer whose button went down on the window
    std::uint32_t held = 0;  // its buttons down, one bit a button
    std::map<int, QPointF> given;
    Timer timer;
    frames::FrameStart frame_start;
    std::int64_t last_frame = -1;
};

namespace {

// The toolkit's X connection: the events of watched windows pass here first.
class Server : public QAbstractNativeEventFilter {
  public:
    // The one server of the application's X connection, made on first use;
    // null off X11 or without XInput.
    static Server* get() {
        if (the_server != nullptr)
            return the_server;
        auto* x11 = qGuiApp != nullptr
                        ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>()
                        : nullptr;
        xcb_connection_t* connection = x11 != nullptr ? x11->connection() : nullptr;
        if (connection == nullptr)
            return nullptr;
        const xcb_query_extension_reply_t* input =
            xcb_get_extension_data(connection, &xcb_input_id);
        if (input == nullptr || !input->present)
            return nullptr;
        the_server = new Server(connection, input->major_opcode);
        return the_server;
    }

    Server(xcb_connection_t* connection, std::uint8_t input_opcode)
        : connection_(connection), input_opcode_(input_opcode) {
        QCoreApplication::instance()->installNativeEventFilter(this);
    }

    // Makes `watch`'s window send motion hints; false when it cannot (the
    // toolkit then keeps its motion events).
    bool watch(PointerFrames::Watch& watch, xcb_window_t id) {
        if (watch.id != XCB_WINDOW_NONE)
            windows_.erase(watch.id);
        watch.id = XCB_WINDOW_NONE;
        // What the toolkit selected through XInput 2, for each device set:
        // one mask after another, each behind its head, copied to be sent
        // back without the motion.
        const auto selected =
            Reply<xcb_input_xi_get_selected_events_reply_t>(xcb_input_xi_get_selected_events_reply(
                connection_, xcb_input_xi_get_selected_events(connection_, id), nullptr));
        if (selected == nullptr)
            return false;
        const auto* end =
            reinterpret_cast<const std::uint8_t*>(selected.get()) + 32 + selected->length * 4;
        std::vector<std::uint8_t> masks;
        bool crossings = false;
        for (auto m = xcb_input_xi_get_selected_events_masks_iterator(selected.get()); m.rem > 0;
             xcb_input_event_mask_next(&m)) {
            const auto* head = reinterpret_cast<const std::uint8_t*>(m.data);
            if (head + sizeof(xcb_input_event_mask_t) > end)
                return false;
            const auto* mask =
                reinterpret_cast<const std::uint8_t*>(xcb_input_event_mask_mask(m.data));
            const std::size_t length = std::size_t{m.data->mask_len} * 4;
            if (mask + length > end)
                return false;
            if (mask_has(mask, length, XCB_INPUT_ENTER) &&
                mask_has(mask, length, XCB_INPUT_LEAVE) &&
                mask_has(mask, length, XCB_INPUT_BUTTON_PRESS))
                crossings = true;
            const std::size_t motion = masks.size() + (mask - head) + XCB_INPUT_MOTION / 8;
            masks.insert(masks.end(), head, mask + length);
            if (mask_has(mask, length, XCB_INPUT_MOTION))
                masks[motion] &= static_cast<std::uint8_t>(~(1u << (XCB_INPUT_MOTION % 8)));
        }
        // Without the crossings (the toolkit on core events alone) the window
        // could not tell which pointer is over it: it stays as it is.
        if (!crossings)
            return false;

        // Core motion as a hint first, then no XInput 2 motion: the window
        // never goes without motion of either kind.
        const auto attributes =
            Reply<xcb_get_window_attributes_reply_t>(xcb_get_window_attributes_reply(
                connection_, xcb_get_window_attributes(connection_, id), nullptr));
        if (attributes == nullptr)
            return false;
        const std::uint32_t events = attributes->your_event_mask | XCB_EVENT_MASK_POINTER_MOTION |
                                     XCB_EVENT_MASK_POINTER_MOTION_HINT;
        if (!succeeded(connection_, xcb_change_window_attributes_checked(
                                        connection_, id, XCB_CW_EVENT_MASK, &events)) ||
            !succeeded(connection_,
                       xcb_input_xi_select_events_checked(
                           connection_, id, selected->num_masks,
                           reinterpret_cast<const xcb_input_event_mask_t*>(masks.data()))))
            return false;
        watch.id = id;
        windows_[id] = &watch;
        return true;
    }

    // The window is no longer watched; the server goes with the last one.
    void forget(PointerFrames::Watch& watch) {
        if (watch.id != XCB_WINDOW_NONE)
            windows_.erase(watch.id);
        watch.id = XCB_WINDOW_NONE;
        if (windows_.empty()) {
            the_server = nullptr;
            delete this;
        }
    }

    bool nativeEventFilter(const QByteArray& type, void* message, qintptr*) override {
        if (type != "xcb_generic_event_t")
            return false;
        const auto* event = static_cast<const xcb_generic_event_t*>(message);
        const int kind = event->response_type & 0x7f;
        if (kind == XCB_MOTION_NOTIFY) {
            const auto* motion = reinterpret_cast<const xcb_motion_notify_event_t*>(event);
            PointerFrames::Watch* watch = find(motion->event);
            if (watch == nullptr)
                return false;
            // The frame's read of the pointer stands for the hint.
            watch->hinted(motion->time);
            return true;
        }
        if (kind != XCB_GE_GENERIC)
            return false;
        const auto* generic = reinterpret_cast<const xcb_ge_generic_event_t*>(event);
        if (generic->extension != input_opcode_)
            return false;
        // Only fields of the first 32 bytes are read: the events' own, before
        // the sequence number xcb puts after them.
        switch (generic->event_type) {
            case XCB_INPUT_ENTER:
            case XCB_INPUT_LEAVE: {
                const auto* crossing = reinterpret_cast<const xcb_input_enter_event_t*>(event);
                PointerFrames::Watch* watch = find(crossing->event);
                if (watch == nullptr || !is_master(crossing->deviceid))
                    return false;
                if (generic->event_type == XCB_INPUT_ENTER) {
                    watch->entered(crossing->deviceid, crossing->time);
                } else {
                    watch->left(crossing->deviceid, crossing->time);
                }
                return false;
            }
            case XCB_INPUT_BUTTON_PRESS:
            case XCB_INPUT_BUTTON_RELEASE: {
                const auto* button = reinterpret_cast<const xcb_input_button_press_event_t*>(event);
                PointerFrames::Watch* watch = find(button->event);
                // The wheels' notches (buttons 4 to 7) are no drag.
                const int number = static_cast<int>(button->detail);
                if (watch == nullptr || number < 1 || number > 31 || (number >= 4 && number <= 7) ||
                    !is_master(button->deviceid))
                    return false;
                if (generic->event_type == XCB_INPUT_BUTTON_PRESS) {
                    watch->pressed(button->deviceid, number);
                } else {
                    watch->released(button->deviceid, number);
                }
                return false;
            }
            case XCB_INPUT_HIERARCHY:
                // Device ids may now stand for other devices.
                masters_.clear();
                client_pointer_ = -1;
                return false;
            default:
                return false;
        }
    }

    std::optional<PointerState> query(int device, xcb_window_t id) {
        const auto reply =
            Reply<xcb_input_xi_query_pointer_reply_t>(xcb_input_xi_query_pointer_reply(
                connection_,
                xcb_input_xi_query_pointer(connection_, id,
                                           static_cast<xcb_input_device_id_t>(device)),
                nullptr));
        if (reply == nullptr || !reply->same_screen)
            return std::nullopt;
        PointerState state;
        state.root = QPointF(from_fixed(reply->root_x), from_fixed(reply->root_y));
        state.window = QPointF(from_fixed(reply->win_x), from_fixed(reply->win_y));
        state.modifiers = reply->mods.effective;
        // One bit a button from button 0; 4 to 7 are the wheels' notches, never held.
        const auto* buttons =
            reinterpret_cast<const std::uint8_t*>(xcb_input_xi_query_pointer_buttons(reply.get()));
        // The reply's length counts from its 32nd byte; the struct goes 24 past.
        const std::size_t after_32 = std::size_t{reply->length} * 4;
        const std::size_t beyond = sizeof(xcb_input_xi_query_pointer_reply_t) - 32;
        const std::size_t length = std::min(std::size_t{reply->buttons_len} * 4,
                                            after_32 > beyond ? after_32 - beyond : 0);
        for (std::size_t byte = 0; byte < length; ++byte) {
            if ((byte == 0 ? buttons[0] & 0x0e : buttons[byte]) != 0)
                state.held = true;
        }
        return state;
    }

    // The last position of the client's core pointer inside the window
    // between two server times, from the server's motion history; `origin`
    // is the window's place on the screen, in native pixels.
    std::optional<QPointF> last_inside(xcb_window_t id, std::uint32_t from, std::uint32_t to,
                                       QPoint origin) {
        const auto reply = Reply<xcb_get_motion_events_reply_t>(xcb_get_motion_events_reply(
            connection_, xcb_get_motion_events(connection_, id, from, to), nullptr));
        if (reply == nullptr)
            return std::nullopt;
        const xcb_timecoord_t* events = xcb_get_motion_events_events(reply.get());
        for (int i = xcb_get_motion_events_events_length(reply.get()) - 1; i >= 0; --i) {
            // A button change leaves an entry at the screen's origin, not where
            // the pointer was.
            if (events[i].x == -origin.x() && events[i].y == -origin.y())
                continue;
            return QPointF(events[i].x, events[i].y);
        }
        return std::nullopt;
    }

    // The master pointer whose motion the core motion history keeps.
    int client_pointer() {
        if (client_pointer_ >= 0)
            return client_pointer_;
        const auto reply =
            Reply<xcb_input_xi_get_client_pointer_reply_t>(xcb_input_xi_get_client_pointer_reply(
                connection_, xcb_input_xi_get_client_pointer(connection_, XCB_WINDOW_NONE),
                nullptr));
        client_pointer_ = reply != nullptr ? reply->deviceid : 0;
        return client_pointer_;
    }

  private:
    PointerFrames::Watch* find(xcb_window_t id) const {
        const auto found = windows_.find(id);
        return found == windows_.end() ? nullptr : found->second;
    }

    // Whether `device` is a master pointer (the crossings and presses of the
    // slaves behind it come too).
    bool is_master(int device) {
        const auto known = masters_.find(device);
        if (known != masters_.end())
            return known->second;
        const auto reply = Reply<xcb_input_xi_query_device_reply_t>(xcb_input_xi_query_device_reply(
            connection_,
            xcb_input_xi_query_device(connection_, static_cast<xcb_input_device_id_t>(device)),
            nullptr));
        const bool master = reply != nullptr && reply->num_infos > 0 &&
                            std::size_t{reply->length} * 4 >= sizeof(xcb_input_xi_device_info_t) &&
                            xcb_input_xi_query_device_infos_iterator(reply.get()).data->type ==
                                XCB_INPUT_DEVICE_TYPE_MASTER_POINTER;
        masters_[device] = master;
        return master;
    }

    xcb_connection_t* connection_;
    std::uint8_t input_opcode_;
    std::map<xcb_window_t, PointerFrames::Watch*> windows_;
    std::map<int, bool> masters_;
    int client_pointer_ = -1;
};

}  // namespace

PointerFrames::Watch::~Watch() {
    if (the_server != nullptr && id != XCB_WINDOW_NONE)
        the_server->forget(*this);
}

void PointerFrames::Watch::hinted(std::uint32_t time) {
    // A hint with no pointer known over the window (it was there before the
    // window was watched): the client's own pointer brought it.
    if (over.empty() && the_server != nullptr)
        entered(the_server->client_pointer(), time);
    if (waiting())
        return;
    if (last_frame == frames::current_frame()) {
        next_frame();
    } else {
        // After the toolkit has handled what came with the hint.
        timer.start(0);
    }
}

void PointerFrames::Watch::entered(int device, std::uint32_t time) {
    for (const Over& o : over) {
        if (o.device == device)
            return;
    }
    over.push_back({device, time});
}

void PointerFrames::Watch::left(int device, std::uint32_t time) {
    std::uint32_t since = 0;
    bool was_over = false;
    for (auto o = over.begin(); o != over.end(); ++o) {
        if (o->device == device) {
            since = o->since;
            was_over = true;
            over.erase(o);
            break;
        }
    }
    // In a drag the pointer is read on outside; otherwise its last position
    // inside goes to the form before the toolkit sees it leave. Only the core
    // pointer has a motion history to ask.
    if (!was_over || dragging != 0 || the_server == nullptr ||
        device != the_server->client_pointer())
        return;
    QWindow* handle = widget.windowHandle();
    if (handle == nullptr)
        return;
    const qreal ratio = handle->devicePixelRatio();
    const QPoint origin = (widget.mapToGlobal(QPointF(0, 0)) * ratio).toPoint();
    const std::optional<QPointF> last = the_server->last_inside(id, since, time, origin);
    if (last && inside(*last))
        deliver(device, *last, *last + QPointF(origin), QGuiApplication::keyboardModifiers());
}

void PointerFrames::Watch::pressed(int device, int button) {
    if (dragging != device)
        held = 0;
    dragging = device;
    held |= 1u << button;
    if (!waiting())
        next_frame();
}

void PointerFrames::Watch::released(int device, int button) {
    if (dragging != device)
        return;
    held &= ~(1u << button);
    if (held == 0)
        dragging = 0;
}

void PointerFrames::Watch::read() {
    timer.stop();
    frame_start.cancel();
    last_frame = frames::current_frame();
    if (the_server == nullptr)
        return;
    std::vector<int> devices;
    for (const Over& o : over)
        devices.push_back(o.device);
    if (dragging != 0 && std::find(devices.begin(), devices.end(), dragging) == devices.end())
        devices.push_back(dragging);
    const QPointer<QWidget> alive(&widget);
    for (const int device : devices) {
        const std::optional<PointerState> state = the_server->query(device, id);
        if (!alive)
            return;
        if (!state) {
            // Gone, or on another screen.
            std::erase_if(over, [device](const Over& o) { return o.device == device; });
            if (dragging == device) {
                dragging = 0;
                held = 0;
            }
            continue;
        }
        // Released where this window did not hear of it (another grab took it).
        if (dragging == device && !state->held) {
            dragging = 0;
            held = 0;
        }
        // Outside the window only a drag is followed.
        if (dragging != device && !inside(state->window))
            continue;
        deliver(device, state->window, state->root, modifiers_of(state->modifiers));
        if (!alive)
            return;
    }
    if (dragging != 0)
        next_frame();
}

bool PointerFrames::Watch::inside(QPointF position) const {
    const QWindow* handle = widget.windowHandle();
    const qreal ratio = handle != nullptr ? handle->devicePixelRatio() : 1.0;
    return position.x() >= 0 && position.y() >= 0 && position.x() < widget.width() * ratio &&
           position.y() < widget.height() * ratio;
}

void PointerFrames::Watch::deliver(int device, QPointF position, QPointF root,
                                   Qt::KeyboardModifiers modifiers) {
    const auto last = given.find(device);
    if (last != given.end() && last->second == position)
        return;
    given[device] = position;
    QWindow* handle = widget.windowHandle();
    if (handle == nullptr)
        return;
    // As the toolkit delivers a motion: to the window, which passes it to the
    // child control under the pointer (or the one a drag started on).
    const qreal ratio = handle->devicePixelRatio();
    QMouseEvent move(QEvent::MouseMove, position / ratio, position / ratio, root / ratio,
                     Qt::NoButton, QGuiApplication::mouseButtons(), modifiers,
                     QPointingDevice::primaryPointingDevice());
    QCoreApplication::sendEvent(handle, &move);
}

PointerFrames::PointerFrames(QWidget& window) : watch_(std::make_unique<Watch>(window)) {}

PointerFrames::~PointerFrames() = default;

void PointerFrames::start() {
    QWidget& widget = watch_->widget;
    if (!widget.testAttribute(Qt::WA_WState_Created))
        return;
    const auto id = static_cast<xcb_window_t>(widget.winId());
    if (id == watch_->id)
        return;
    Server* server = Server::get();
    if (server == nullptr)
        return;
    watch_->over.clear();
    watch_->dragging = 0;
    watch_->held = 0;
    watch_->given.clear();
    if (!server->watch(*watch_, id))
        server->forget(*watch_);
}

}  // namespace vcl::qt
