// Qt's headers come before Xlib's, whose macros (None, Bool, Status) they would trip on.
#include <QMetaObject>
#include <QObject>
#include <QSocketNotifier>
#include <QTimer>

#include "platform/frames/frames.h"
#include "platform/input/clock.h"
#include "platform/input/x11.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <unordered_map>

#include "platform/input/x11_packets.h"

namespace input {

namespace {

constexpr int wanted_major = 2;
constexpr int wanted_minor = 2;
// Events handled per wake-up before the event loop gets a turn.
constexpr int events_per_turn = 4096;

// The first X error seen while an ErrorTrap lives. The GUI thread is the only
// one that talks to the provider's connection.
int trapped_error = 0;

int record_error(Display*, XErrorEvent* event) {
    if (trapped_error == 0)
        trapped_error = event->error_code;
    return 0;
}

// Catches the X errors of the requests made while it lives, where Xlib's
// default handler would end the process; restores the previous handler after.
class ErrorTrap {
  public:
    explicit ErrorTrap(Display* display)
        : display_(display), previous_(XSetErrorHandler(record_error)) {
        trapped_error = 0;
    }
    ~ErrorTrap() { XSetErrorHandler(previous_); }
    ErrorTrap(const ErrorTrap&) = delete;
    ErrorTrap& operator=(const ErrorTrap&) = delete;

    // Waits until the server has handled every request so far; returns the
    // first error code, 0 when none.
    int sync() {
        XSync(display_, False);
        return trapped_error;
    }
    int error() const { return trapped_error; }

  private:
    Display* display_;
    XErrorHandler previous_;
};

std::string error_text(Display* display, int code) {
    char text[128] = {};
    XGetErrorText(display, code, text, sizeof text);
    return text;
}

using DeviceInfoPtr = std::unique_ptr<XIDeviceInfo, decltype(&XIFreeDeviceInfo)>;

// The listing type of an XI device, or -1 for the masters, which are not listed.
int listing_type(int use) {
    switch (use) {
        case XISlavePointer:
            return static_cast<int>(RIM_TYPEMOUSE);
        case XISlaveKeyboard:
            return static_cast<int>(RIM_TYPEKEYBOARD);
        case XIFloatingSlave:
            return static_cast<int>(RIM_TYPEHID);
        default:
            return -1;
    }
}

std::vector<ScrollAxis> scroll_axes_of(const XIDeviceInfo& info) {
    std::vector<ScrollAxis> axes;
    for (int i = 0; i < info.num_classes; ++i) {
        if (info.classes[i]->type != XIScrollClass)
            continue;
        const auto* scroll = reinterpret_cast<const XIScrollClassInfo*>(info.classes[i]);
        axes.push_back(
            {scroll->number, scroll->scroll_type == XIScrollTypeHorizontal, scroll->increment});
    }
    return axes;
}

// The ranges of valuators 0 and 1 when both report positions (absolute mode).
std::optional<AbsoluteAxes> absolute_axes_of(const XIDeviceInfo& info) {
    const XIValuatorClassInfo* axis[2] = {nullptr, nullptr};
    for (int i = 0; i < info.num_classes; ++i) {
        if (info.classes[i]->type != XIValuatorClass)
            continue;
        const auto* valuator = reinterpret_cast<const XIValuatorClassInfo*>(info.classes[i]);
        if (valuator->number == 0 || valuator->number == 1)
            axis[valuator->number] = valuator;
    }
    if (axis[0] == nullptr || axis[1] == nullptr || axis[0]->mode != XIModeAbsolute ||
        axis[1]->mode != XIModeAbsolute) {
        return std::nullopt;
    }
    return AbsoluteAxes{axis[0]->min, axis[0]->max, axis[1]->min, axis[1]->max};
}

// The providers' displays, whose loss Xlib must not turn into the end of the process.
std::vector<Display*> provider_displays;

}  // namespace

struct X11Provider::Connection {
    // Listed in provider_displays while it is open.
    explicit Connection(Display* opened) : display(opened, XCloseDisplay) {
        provider_displays.push_back(opened);
    }
    ~Connection() { std::erase(provider_displays, display.get()); }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    std::unique_ptr<Display, decltype(&XCloseDisplay)> display;
    std::string display_name;
    int xi_opcode = 0;
    // At least 2.2 (see open()): scroll classes, and source ids in raw events.
    int xi_version = 0;

    PacketSink* sink = nullptr;
    // Announces events on the socket while the connection is not paced.
    std::unique_ptr<QSocketNotifier> notifier;
    // Reads the connection again at the next frame's start after a read that
    // found events: in the frame's one wake-up, before the windows draw what
    // it read; or, where no toolkit runs the frames, on a timer of its own.
    std::unique_ptr<frames::FrameStart> frame_start;
    std::unique_ptr<QTimer> pace;
    std::uint64_t reads = 0;
    // Receives the queued drains; deleting it cancels any still pending.
    std::unique_ptr<QObject> context;
    bool drain_scheduled = false;
    bool lost = false;

    // What is known of each source device, by XI id: a slave pointer's packet
    // state, or null for a device whose events are not read.
    std::unordered_map<int, std::unique_ptr<RawPointer>> sources;
    ServerClock clock;
    std::uint64_t packets = 0;
    // Events that are not raw events of a slave pointer, plus those the
    // pointers forgotten so far ignored.
    std::uint64_t ignored = 0;

    std::vector<Device> list_devices();
    bool is_xtest_device(int deviceid);
    RawPointer* source(int deviceid);
    void forget(int deviceid);
    void schedule_drain();
    // Handles what the connection holds now; returns how many events.
    int drain();
    // Called when the socket announces events, and when the pace's period is over.
    void read_paced();
    void handle(XEvent& event);
    void handle_raw(const XIRawEvent& raw);
    void handle_hierarchy(const XIHierarchyEvent& change);
    void on_lost();
};

namespace {

XIOErrorHandler previous_io_handler = nullptr;

// Xlib's fatal I/O error handler is one for the process, and its default
// exits: for a provider's display it returns, so that the display's exit
// handler below records the loss; other displays get the handler there was.
int on_io_error(Display* display) {
    if (std::find(provider_displays.begin(), provider_displays.end(), display) !=
        provider_displays.end()) {
        return 0;
    }
    return previous_io_handler != nullptr ? previous_io_handler(display) : 0;
}

// Installs on_io_error over whatever handler is there now (the toolkit may
// have set its own since).
void install_io_handler() {
    const XIOErrorHandler current = XSetIOErrorHandler(on_io_error);
    if (current != on_io_error)
        previous_io_handler = current;
}

// Called by Xlib after on_io_error when the connection breaks; returning
// keeps the process alive, and every later call on the display does nothing.
void on_io_error_exit(Display*, void* user_data) {
    static_cast<X11Provider::Connection*>(user_data)->lost = true;
}

}  // namespace

// Whether the server marks `deviceid` as one of its XTest devices, with the
// device property "XTEST Device" (false when the device is gone meanwhile).
bool X11Provider::Connection::is_xtest_device(int deviceid) {
    const Atom property = XInternAtom(display.get(), "XTEST Device", True);
    if (property == None)
        return false;
    ErrorTrap trap(display.get());
    Atom type = None;
    int format = 0;
    unsigned long items = 0;
    unsigned long bytes_after = 0;
    unsigned char* data = nullptr;
    const Status status =
        XIGetProperty(display.get(), deviceid, property, 0, 1, False, AnyPropertyType, &type,
                      &format, &items, &bytes_after, &data);
    if (data != nullptr)
        XFree(data);
    return status == Success && trap.sync() == 0 && type != None;
}

std::vector<Device> X11Provider::Connection::list_devices() {
    std::vector<Device> devices;
    if (lost)
        return devices;
    int count = 0;
    DeviceInfoPtr info(nullptr, XIFreeDeviceInfo);
    {
        ErrorTrap trap(display.get());
        info.reset(XIQueryDevice(display.get(), XIAllDevices, &count));
        if (lost)
            return devices;  // reported once, when the events stop
        if (trap.error() != 0 || info == nullptr) {
            std::fprintf(stderr, "x11: cannot list the devices of display '%s': %s\n",
                         display_name.c_str(), error_text(display.get(), trap.error()).c_str());
            return devices;
        }
    }
    std::vector<const XIDeviceInfo*> listed;
    for (int i = 0; i < count; ++i) {
        if (listing_type(info.get()[i].use) >= 0)
            listed.push_back(&info.get()[i]);
    }
    // The server's XTest devices (the virtual core ones, and one pair per added
    // master) move nothing a person holds: they come after the other devices of
    // their kind, so that the physical mice take the first mouse numbers.
    std::unordered_map<int, bool> xtest;
    for (const XIDeviceInfo* d : listed)
        xtest[d->deviceid] = is_xtest_device(d->deviceid);
    std::sort(listed.begin(), listed.end(), [&](const XIDeviceInfo* a, const XIDeviceInfo* b) {
        const bool a_xtest = xtest[a->deviceid];
        const bool b_xtest = xtest[b->deviceid];
        if (a_xtest != b_xtest)
            return b_xtest;
        return a->deviceid < b->deviceid;
    });
    for (const XIDeviceInfo* d : listed) {
        devices.push_back({device_handle(d->deviceid), static_cast<DWORD>(listing_type(d->use)),
                           d->name != nullptr ? d->name : "",
                           display_name + " device " + std::to_string(d->deviceid)});
    }
    order_for_listing(devices);
    return devices;
}

// The packet state of the source `deviceid`, learnt from the server the first
// time it is seen; null when it is not a slave pointer (or is gone already).
RawPointer* X11Provider::Connection::source(int deviceid) {
    const auto known = sources.find(deviceid);
    if (known != sources.end())
        return known->second.get();
    std::unique_ptr<RawPointer> pointer;
    int count = 0;
    ErrorTrap trap(display.get());
    DeviceInfoPtr info(XIQueryDevice(display.get(), deviceid, &count), XIFreeDeviceInfo);
    if (trap.error() == 0 && info != nullptr && count == 1 && info->use == XISlavePointer)
        pointer = std::make_unique<RawPointer>(scroll_axes_of(*info), absolute_axes_of(*info));
    RawPointer* result = pointer.get();
    sources.emplace(deviceid, std::move(pointer));
    return result;
}

void X11Provider::Connection::forget(int deviceid) {
    const auto known = sources.find(deviceid);
    if (known == sources.end())
        return;
    if (known->second != nullptr)
        ignored += known->second->ignored();
    sources.erase(known);
}

void X11Provider::Connection::schedule_drain() {
    if (drain_scheduled || lost)
        return;
    drain_scheduled = true;
    QMetaObject::invokeMethod(
        context.get(),
        [this] {
            drain_scheduled = false;
            drain();
        },
        Qt::QueuedConnection);
}

// An event after a quiet period is read at once; while events keep coming,
// the connection is read once a frame of the window (platform/frames' grid)
// rather than on each event: a mouse sends 250 to 8000 events a second, the
// window shows them 30 to 240 times a second, and every wake-up of the process costs
// as much as handling a few events. A read at a frame's start shares the
// frame's wake-up, and what it brings is drawn in that very frame. A read
// that finds nothing leaves the next event to the socket's announcement.
void X11Provider::Connection::read_paced() {
    const bool found = drain() > 0;
    if (lost)
        return;
    notifier->setEnabled(!found);
    if (!found)
        return;
    if (frames::has_waker()) {
        frame_start->request();
    } else {
        pace->start(frames::until_next_frame_ms());
    }
}

int X11Provider::Connection::drain() {
    if (lost)
        return 0;
    Display* d = display.get();
    ++reads;
    int handled = 0;
    // The socket is read once per wake-up, then Xlib's queue is emptied without
    // touching it again: XPending would try another read after every event,
    // and at mouse rates that read almost always finds nothing.
    XEventsQueued(d, QueuedAfterReading);
    sink->burst_begin();
    // Xlib's own count first: asking it to look at what xcb holds costs as
    // much as handling an event, so that is done only once its queue is empty.
    while (handled < events_per_turn && !lost &&
           (XQLength(d) > 0 || XEventsQueued(d, QueuedAlready) > 0)) {
        XEvent event;
        XNextEvent(d, &event);
        handle(event);
        ++handled;
    }
    // The packets of this wake-up are handled now, in one go. Nothing here
    // sends a request, so there is nothing to flush (XFlush would read the
    // socket twice more).
    sink->burst_end();
    if (lost) {
        on_lost();
    } else if (handled == events_per_turn || XQLength(d) > 0) {
        // Xlib may hold events the socket will not announce again.
        schedule_drain();
    }
    return handled;
}

void X11Provider::Connection::handle(XEvent& event) {
    XGenericEventCookie* cookie = &event.xcookie;
    if (cookie->type != GenericEvent || cookie->extension != xi_opcode ||
        !XGetEventData(display.get(), cookie)) {
        ++ignored;
        return;
    }
    switch (cookie->evtype) {
        case XI_RawMotion:
        case XI_RawButtonPress:
        case XI_RawButtonRelease:
            handle_raw(*static_cast<const XIRawEvent*>(cookie->data));
            break;
        case XI_HierarchyChanged:
            handle_hierarchy(*static_cast<const XIHierarchyEvent*>(cookie->data));
            break;
        default:
            ++ignored;
            break;
    }
    XFreeEventData(display.get(), cookie);
}

void X11Provider::Connection::handle_raw(const XIRawEvent& raw) {
    // Selected on the masters, each event comes once, from the slave in sourceid.
    RawPointer* pointer = source(raw.sourceid);
    if (pointer == nullptr) {
        ++ignored;
        return;
    }
    RAWMOUSE out[2];
    const int count = pointer->feed(raw, out);
    if (count == 0)
        return;  // counted by the pointer, or a wheel fraction kept
    const std::int64_t time_ns = clock.to_monotonic_ns(raw.time, monotonic_ns());
    for (int i = 0; i < count; ++i) {
        Packet packet{device_handle(raw.sourceid), out[i], time_ns};
        // The server's own stamp, in whole milliseconds: what its intervals are measured on.
        packet.own_stamp_ns = clock.server_ms() * 1'000'000;
        packet.same_report = i > 0;
        sink->push(packet);
        ++packets;
    }
}

void X11Provider::Connection::handle_hierarchy(const XIHierarchyEvent& change) {
    // A device added, removed, attached elsewhere or left floating is learnt
    // afresh from its next event; a removed id may come back as another device.
    constexpr int changed = XISlaveAdded | XISlaveRemoved | XISlaveAttached | XISlaveDetached |
                            XIMasterAdded | XIMasterRemoved;
    for (int i = 0; i < change.num_info; ++i) {
        if ((change.info[i].flags & changed) != 0)
            forget(change.info[i].deviceid);
    }
}

void X11Provider::Connection::on_lost() {
    notifier.reset();
    pace->stop();
    frame_start->cancel();
    std::fprintf(stderr,
                 "x11: lost the connection to display '%s'; no more mouse packets will come "
                 "(restart rawmice once the X server is back)\n",
                 display_name.c_str());
}

X11Provider::X11Provider(std::unique_ptr<Connection> connection) : x_(std::move(connection)) {}

X11Provider::~X11Provider() {
    // The notifier, the pace and the queued drains go before the connection they read.
    x_->notifier.reset();
    x_->pace.reset();
    x_->frame_start.reset();
    x_->context.reset();
}

std::unique_ptr<X11Provider> X11Provider::open(const std::string& display_name,
                                               std::string& error) {
    std::string name = display_name;
    if (name.empty() && !x11_session()) {
        error = "x11: no X display to open (DISPLAY is not set; run inside an X session)";
        return nullptr;
    }
    if (name.empty())
        name = std::getenv("DISPLAY");
    Display* d = XOpenDisplay(name.c_str());
    if (d == nullptr) {
        error = "x11: cannot open display '" + name +
                "' (is an X server running there, and may this user connect to it?)";
        return nullptr;
    }
    auto x = std::make_unique<Connection>(d);
    x->display_name = name;
    XSetIOErrorExitHandler(d, on_io_error_exit, x.get());
    install_io_handler();

    int event_base = 0;
    int error_base = 0;
    if (!XQueryExtension(d, "XInputExtension", &x->xi_opcode, &event_base, &error_base)) {
        error = "x11: display '" + name + "' has no XInput extension";
        return nullptr;
    }
    int major = wanted_major;
    int minor = wanted_minor;
    Status status = 0;
    {
        ErrorTrap trap(d);
        status = XIQueryVersion(d, &major, &minor);
        if (trap.error() != 0)
            status = BadRequest;
    }
    if (status != Success || major * 1000 + minor < wanted_major * 1000 + wanted_minor) {
        error = "x11: display '" + name + "' offers XInput " + std::to_string(major) + "." +
                std::to_string(minor) + "; XInput 2.2 or later is needed";
        return nullptr;
    }
    x->xi_version = major * 1000 + minor;
    return std::unique_ptr<X11Provider>(new X11Provider(std::move(x)));
}

std::vector<Device> X11Provider::devices() {
    std::vector<Device> devices = x_->list_devices();
    // The reply may have brought events into Xlib's queue behind the socket's back.
    if (x_->sink != nullptr && !x_->lost && XQLength(x_->display.get()) > 0)
        x_->schedule_drain();
    return devices;
}

DWORD X11Provider::start(PacketSink& sink) {
    Connection& x = *x_;
    if (x.lost)
        return ERROR_DEVICE_NOT_CONNECTED;
    Display* d = x.display.get();
    install_io_handler();
    const Window root = DefaultRootWindow(d);

    unsigned char raw_mask[XIMaskLen(XI_LASTEVENT)] = {};
    XISetMask(raw_mask, XI_RawMotion);
    XISetMask(raw_mask, XI_RawButtonPress);
    XISetMask(raw_mask, XI_RawButtonRelease);
    unsigned char hierarchy_mask[XIMaskLen(XI_LASTEVENT)] = {};
    XISetMask(hierarchy_mask, XI_HierarchyChanged);
    XIEventMask masks[2] = {
        // A raw event reaches each selected device it passes through; the
        // masters alone give each one once.
        {XIAllMasterDevices, static_cast<int>(sizeof raw_mask), raw_mask},
        {XIAllDevices, static_cast<int>(sizeof hierarchy_mask), hierarchy_mask},
    };
    {
        ErrorTrap trap(d);
        XISelectEvents(d, root, masks, 2);
        if (const int code = trap.sync(); code != 0 || x.lost) {
            std::fprintf(stderr, "x11: cannot select raw pointer events on display '%s': %s\n",
                         x.display_name.c_str(),
                         x.lost ? "connection lost" : error_text(d, code).c_str());
            return x.lost ? ERROR_DEVICE_NOT_CONNECTED : ERROR_ACCESS_DENIED;
        }
    }

    x.sink = &sink;
    x.context = std::make_unique<QObject>();
    x.notifier = std::make_unique<QSocketNotifier>(ConnectionNumber(d), QSocketNotifier::Read);
    QObject::connect(x.notifier.get(), &QSocketNotifier::activated, x.context.get(),
                     [&x] { x.read_paced(); });
    x.pace = std::make_unique<QTimer>();
    x.pace->setSingleShot(true);
    x.pace->setTimerType(Qt::PreciseTimer);
    QObject::connect(x.pace.get(), &QTimer::timeout, x.context.get(), [&x] { x.read_paced(); });
    x.frame_start = std::make_unique<frames::FrameStart>([&x] { x.read_paced(); });
    // Events may already wait in Xlib's queue, where the socket cannot announce them.
    x.schedule_drain();
    return ERROR_SUCCESS;
}

int X11Provider::xi_version() const {
    return x_->xi_version;
}
std::uint64_t X11Provider::reads() const {
    return x_->reads;
}
std::uint64_t X11Provider::packets() const {
    return x_->packets;
}
std::uint64_t X11Provider::ignored() const {
    std::uint64_t total = x_->ignored;
    for (const auto& [id, pointer] : x_->sources) {
        if (pointer != nullptr)
            total += pointer->ignored();
    }
    return total;
}
bool X11Provider::connection_lost() const {
    return x_->lost;
}

std::unique_ptr<Provider> make_x11_provider(std::string& error) {
    return X11Provider::open({}, error);
}

bool x11_session() {
    const char* display = std::getenv("DISPLAY");
    return display != nullptr && *display != '\0';
}

}  // namespace input
