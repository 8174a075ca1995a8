#include "platform/input/evdev.h"

#include <libevdev/libevdev.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <QLoggingCategory>
#include <QObject>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>

#include "platform/input/mouse_buttons.h"
#include "platform/input/permission_advice.h"
#include "platform/input/sysfs.h"

namespace input {

namespace {

Q_LOGGING_CATEGORY(evdev_log, "rawmice.evdev", QtInfoMsg)

// Hands on the packets of several mice, each run in its mouse's own order,
// oldest first across mice by their kernel time stamps: packets that waited
// together (a stalled reader, a slow start) come out in the order they were made.
void merge_in_time_order(const std::vector<std::vector<Packet>>& runs,
                         const std::function<void(const Packet&)>& deliver) {
    std::vector<std::size_t> next(runs.size(), 0);
    for (;;) {
        // The oldest packet next in line; on a tie, the mouse polled first.
        const Packet* oldest = nullptr;
        std::size_t from = 0;
        for (std::size_t i = 0; i < runs.size(); ++i) {
            if (next[i] < runs[i].size() &&
                (oldest == nullptr || runs[i][next[i]].time_ns < oldest->time_ns)) {
                oldest = &runs[i][next[i]];
                from = i;
            }
        }
        if (oldest == nullptr)
            return;
        deliver(*oldest);
        ++next[from];
    }
}

bool is_permission_error(int error) {
    return error == EACCES || error == EPERM;
}

// Errors that mean the node went away between listing and opening.
bool is_gone_error(int error) {
    return error == ENODEV || error == ENOENT || error == ENXIO;
}

}  // namespace

struct EvdevNode {
    std::string node_name;  // eventN
    std::filesystem::path path;
    dev_t device_number = 0;
    HANDLE handle = nullptr;
    DWORD type = RIM_TYPEHID;
    std::string name;
    // Sysfs says it is a mouse: the only kind of node ever opened.
    bool sysfs_mouse = false;
    // A mouse that udev also calls a keyboard, which the udev rule skips.
    bool also_keyboard = false;
};

namespace {

std::filesystem::path input_folder(const std::filesystem::path& root) {
    return root / "dev" / "input";
}

// What sysfs says of eventN; a node whose capabilities cannot be read there is
// "other" and is never opened, since it might be a keyboard.
EvdevNode inspect_node(const std::filesystem::path& root, EvdevSystem& system, int number) {
    EvdevNode node;
    node.node_name = "event" + std::to_string(number);
    node.path = input_folder(root) / node.node_name;
    node.device_number = system.device_number(node.path);
    const auto sysfs = root / "sys" / "class" / "input" / node.node_name / "device";
    // NOTE: without its inputN the node still needs a handle no inputN-based
    // one can take: its device number above 32 bits. It is never opened.
    const auto input_number = parent_input_number(sysfs);
    node.handle = input_number ? handle_of_input_number(*input_number)
                               : device_handle((std::uintptr_t{1} << 32) + node.device_number);
    const auto caps = input_number ? read_sysfs_capabilities(sysfs) : std::nullopt;
    node.type = caps ? classify(*caps) : RIM_TYPEHID;
    node.sysfs_mouse = caps && node.type == RIM_TYPEMOUSE;
    node.also_keyboard = node.sysfs_mouse && has_keyboard_keys(*caps);
    node.name = read_first_line(sysfs / "name").value_or(node.node_name);
    if (!caps) {
        qCDebug(evdev_log, "evdev: no capabilities in sysfs for %s; listed as other, not opened",
                node.path.c_str());
    }
    return node;
}

// The event nodes under <root>/dev/input that are character devices, in node order.
std::vector<EvdevNode> scan_nodes(const std::filesystem::path& root, EvdevSystem& system) {
    std::vector<int> numbers;
    std::error_code error;
    for (std::filesystem::directory_iterator it(input_folder(root), error), end;
         !error && it != end; it.increment(error)) {
        const int number = event_node_number(it->path().filename().string());
        if (number >= 0)
            numbers.push_back(number);
    }
    std::sort(numbers.begin(), numbers.end());
    std::vector<EvdevNode> nodes;
    for (int number : numbers) {
        EvdevNode node = inspect_node(root, system, number);
        if (node.device_number != 0)
            nodes.push_back(std::move(node));
    }
    return nodes;
}

}  // namespace

HANDLE handle_of_input_number(unsigned number) {
    return device_handle(std::uintptr_t{number} + 1);
}

MouseReader::MouseReader(HANDLE handle, std::unique_ptr<EventSource> source)
    : handle_(handle), source_(std::move(source)), assembler_(source_->capabilities()) {
    assembler_.start_from(buttons_held_by_device(), source_->abs_value(ABS_X),
                          source_->abs_value(ABS_Y));
}

ULONG MouseReader::buttons_held_by_device() const {
    ULONG bits = 0;
    for (const MouseButton& button : mouse_buttons) {
        if (source_->key_down(button.evdev_code))
            bits |= button.raw_bit;
    }
    return bits;
}

void MouseReader::deliver_packets(int count, const RAWMOUSE out[2], const input_event& event,
                                  bool resync, const std::function<void(const Packet&)>& deliver) {
    for (int i = 0; i < count; ++i) {
        Packet packet{handle_, out[i], event_time_us(event) * 1000};
        packet.same_report = resync || i > 0;
        deliver(packet);
    }
}

// libevdev has dropped what was queued, and the kernel hands out whole frames
// only, so the next event starts a fresh frame. The changes libevdev's sync
// reports describe the device's state, not a frame: what they leave held (and
// where they leave an absolute mouse) becomes one packet, so that every UP in
// the log still follows its DOWN.
void MouseReader::resync(const input_event& dropped,
                         const std::function<void(const Packet&)>& deliver) {
    input_event event{};
    while (source_->next_event(LIBEVDEV_READ_FLAG_SYNC, event) == LIBEVDEV_READ_STATUS_SYNC) {
    }
    const ULONG before = assembler_.held_buttons();
    const ULONG held = buttons_held_by_device();
    const int x = source_->abs_value(ABS_X);
    const int y = source_->abs_value(ABS_Y);
    RAWMOUSE out[2]{};
    const int made = assembler_.resync(held, x, y, out);
    if (recorder_ != nullptr) {
        record(dropped);
        record(dropped, EV_SYN, SYN_REPORT, 0);
        if (made > 0) {
            for (const MouseButton& button : mouse_buttons) {
                if ((held & button.raw_bit) != (before & button.raw_bit))
                    record(dropped, EV_KEY, button.evdev_code, (held & button.raw_bit) != 0);
            }
            if (assembler_.absolute()) {
                record(dropped, EV_ABS, ABS_X, x);
                record(dropped, EV_ABS, ABS_Y, y);
            }
            record(dropped, EV_SYN, SYN_REPORT, 0);
        }
    }
    deliver_packets(made, out, dropped, true, deliver);
}

void MouseReader::record_into(Recorder* recorder, Recorder::Id id) {
    recorder_ = recorder;
    recording_ = id;
}

void MouseReader::record(const input_event& event) const {
    if (recorder_ != nullptr)
        recorder_->write(recording_, event);
}

void MouseReader::record(const input_event& at, unsigned type, unsigned code, int value) const {
    input_event event = at;
    event.type = static_cast<std::uint16_t>(type);
    event.code = static_cast<std::uint16_t>(code);
    event.value = value;
    record(event);
}

MouseReader::Status MouseReader::read_available(const std::function<void(const Packet&)>& deliver,
                                                int max_events) {
    for (int count = 0; count < max_events; ++count) {
        input_event event{};
        const int rc = source_->next_event(LIBEVDEV_READ_FLAG_NORMAL, event);
        if (rc == -EAGAIN)
            return Status::waiting;
        if (rc == -EINTR)
            continue;
        if (rc < 0) {
            error_ = -rc;
            return Status::gone;
        }
        if (rc == LIBEVDEV_READ_STATUS_SYNC) {
            ++syn_dropped_;
            resync(event, deliver);
            continue;
        }
        record(event);
        RAWMOUSE out[2]{};
        deliver_packets(assembler_.feed(event, out), out, event, false, deliver);
    }
    return Status::more;
}

EvdevProvider::EvdevProvider(std::filesystem::path root, std::unique_ptr<EvdevSystem> system)
    : root_(std::move(root)), system_(std::move(system)) {}

EvdevProvider::~EvdevProvider() {
    if (reader_.joinable()) {
        stopping_ = true;
        wake_reader();
        reader_.join();
    }
    // gui_context_ goes after the reader: nothing is queued to it any more,
    // and deleting it cancels what still is.
}

std::filesystem::path EvdevProvider::node_path(const std::string& node_name) const {
    return input_folder(root_) / node_name;
}

int EvdevProvider::open_if_mouse(EvdevNode& node) {
    if (!node.sysfs_mouse)
        return 0;
    if (auto it = mice_.find(node.node_name); it != mice_.end()) {
        if (it->second.handle == node.handle) {
            node.name = it->second.name;
            return 0;
        }
        // The name now belongs to another device: the one we had is gone.
        close_mouse(node.node_name, ENODEV);
    }
    OpenedSource opened = system_->open_events(node.path);
    if (!opened.source)
        return opened.error;
    node.name = opened.source->name();
    node.type = classify(opened.source->capabilities());
    if (node.type != RIM_TYPEMOUSE) {
        qCDebug(evdev_log, "evdev: %s is no longer a mouse; closed", node.path.c_str());
        return 0;
    }
    OpenMouse mouse;
    mouse.node_name = node.node_name;
    mouse.handle = node.handle;
    mouse.name = node.name;
    mouse.declared_interval =
        declared_polling_interval(root_ / "sys" / "class" / "input" / node.node_name / "device");
    mouse.reader = std::make_unique<MouseReader>(node.handle, std::move(opened.source));
    syn_dropped_.try_emplace(node.handle, 0);
    OpenMouse& added = mice_.emplace(node.node_name, std::move(mouse)).first->second;
    if (wake_fd_) {
        // Started: the reader polls the new node from its next turn on.
        start_reading(added);
        wake_reader();
    }
    return 0;
}

void EvdevProvider::start_reading(OpenMouse& mouse) {
    qCDebug(evdev_log, "evdev: reading %s (%s)", node_path(mouse.node_name).c_str(),
            mouse.name.c_str());
    if (!recorder_ || mouse.recording)
        return;
    const auto listed = listing_index_.find(mouse.handle);
    const int index = listed != listing_index_.end() ? listed->second : next_index_++;
    const Description description = mouse.reader->describe();
    if (!description) {
        std::fprintf(stderr, "evdev: cannot record %s (%s): libevemu cannot describe it\n",
                     node_path(mouse.node_name).c_str(), mouse.name.c_str());
        return;
    }
    mouse.recording = recorder_->add(index, mouse.handle, mouse.name, *description);
    if (mouse.recording)
        mouse.reader->record_into(recorder_.get(), *mouse.recording);
}

bool EvdevProvider::record_into(std::shared_ptr<Recorder> recorder) {
    std::lock_guard lock(mutex_);
    recorder_ = std::move(recorder);
    return true;
}

std::string EvdevProvider::declared_interval(HANDLE device) const {
    std::lock_guard lock(mutex_);
    for (const auto& [name, mouse] : mice_) {
        if (mouse.handle == device)
            return mouse.declared_interval;
    }
    return {};
}

std::vector<Device> EvdevProvider::devices() {
    std::vector<Device> list;
    std::lock_guard lock(mutex_);
    for (EvdevNode& node : scan_nodes(root_, *system_)) {
        const int error = open_if_mouse(node);
        if (error != 0) {
            qCDebug(evdev_log, "evdev: cannot open %s (%s); listed from sysfs", node.path.c_str(),
                    std::strerror(error));
        }
        list.push_back({node.handle, node.type, node.name, node.path.string()});
    }
    order_for_listing(list);
    listing_index_.clear();
    for (std::size_t i = 0; i < list.size(); ++i)
        listing_index_[list[i].handle] = static_cast<int>(i);
    next_index_ = static_cast<int>(list.size());
    return list;
}

DWORD EvdevProvider::start(PacketSink& sink) {
    std::unique_lock lock(mutex_);
    sink_ = &sink;
    // Watch before scanning, so that a node added in between is not missed.
    // (Once the reader runs, the watch is its own.)
    if (!wake_fd_ && !folder_watch_) {
        int watch_error = 0;
        folder_watch_ = system_->watch_folder(input_folder(root_), watch_error);
        if (!folder_watch_) {
            qCDebug(evdev_log, "evdev: cannot watch %s for new devices: %s",
                    input_folder(root_).c_str(), std::strerror(watch_error));
        }
    }

    // One line per kind of failure, naming its nodes; the usual kind,
    // permissions, has the fix, which differs for a mouse that the udev rule
    // leaves alone and with the group that owns the node.
    struct Failure {
        int error;
        bool also_keyboard;
        std::string group;
        std::string nodes;
    };
    std::vector<Failure> failures;
    int mice_listed = 0;
    for (EvdevNode& node : scan_nodes(root_, *system_)) {
        if (!node.sysfs_mouse)
            continue;
        ++mice_listed;
        const int error = open_if_mouse(node);
        if (error == 0 || is_gone_error(error))
            continue;
        const bool denied = is_permission_error(error);
        Failure kind{error,
                     denied && node.also_keyboard,
                     denied ? system_->node_group(node.path) : std::string(),
                     {}};
        auto same = std::find_if(failures.begin(), failures.end(), [&](const Failure& f) {
            return f.error == kind.error && f.also_keyboard == kind.also_keyboard &&
                   f.group == kind.group;
        });
        if (same == failures.end())
            same = failures.insert(failures.end(), std::move(kind));
        same->nodes += (same->nodes.empty() ? "" : ", ") + node.path.string();
    }
    for (const Failure& kind : failures) {
        std::string line = "evdev: cannot read " + kind.nodes + ": " + std::strerror(kind.error);
        if (is_permission_error(kind.error))
            line += " (" + permission_hint(kind.also_keyboard, kind.group, x11_alternative_) + ")";
        std::fprintf(stderr, "%s\n", line.c_str());
    }
    if (mice_listed == 0) {
        // Nothing to read yet: say so, or the window's silence looks like a fault.
        const auto folder = input_folder(root_);
        std::error_code error;
        if (std::filesystem::is_directory(folder, error)) {
            std::fprintf(stderr,
                         "evdev: no mouse in %s; one plugged in later is read as it appears "
                         "(in an X11 session, --input=x11 reads the X server's pointers)\n",
                         folder.c_str());
        } else {
            std::fprintf(stderr,
                         "evdev: no %s here, so no input device to read (in an X11 session, "
                         "try --input=x11; or --replay=FILE)\n",
                         folder.c_str());
        }
    }

    if (!reader_.joinable()) {
        gui_context_ = std::make_unique<QObject>();
        wake_fd_ = UniqueFd(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
        if (!wake_fd_) {
            const int error = errno;
            std::fprintf(stderr, "evdev: cannot start reading: eventfd: %s\n",
                         std::strerror(error));
            return ERROR_NOT_ENOUGH_MEMORY;
        }
        for (auto& [name, mouse] : mice_)
            start_reading(mouse);
        reader_ = std::thread([this] { run(); });
    }

    if (!mice_.empty() || mice_listed == 0 || failures.empty())
        return ERROR_SUCCESS;
    const bool denied = std::any_of(failures.begin(), failures.end(),
                                    [](const Failure& f) { return is_permission_error(f.error); });
    return denied ? ERROR_ACCESS_DENIED : ERROR_DEVICE_NOT_CONNECTED;
}

void EvdevProvider::wake_reader() {
    if (!wake_fd_)
        return;
    const std::uint64_t one = 1;
    // A full counter already wakes the reader; nothing else can fail here.
    [[maybe_unused]] const ssize_t written = ::write(wake_fd_.get(), &one, sizeof one);
}

// Reads of the mice in one wake-up, each after polling them again: enough to
// take in what came while reading, without reading forever under a flood.
constexpr int max_read_rounds = 8;

void EvdevProvider::run() {
    std::vector<pollfd> fds;
    std::vector<std::string> names;  // the mouse behind fds[2 + i]
    std::set<std::string> more;      // mice that stopped at the read limit
    while (!stopping_) {
        fds.clear();
        names.clear();
        fds.push_back({wake_fd_.get(), POLLIN, 0});
        fds.push_back({folder_watch_ ? folder_watch_->fd() : -1, POLLIN, 0});
        {
            std::lock_guard lock(mutex_);
            for (const auto& [name, mouse] : mice_) {
                fds.push_back({mouse.reader->fd(), POLLIN, 0});
                names.push_back(name);
            }
        }
        if (::poll(fds.data(), fds.size(), more.empty() ? -1 : 0) < 0 && errno != EINTR) {
            const int error = errno;
            std::fprintf(stderr, "evdev: stopped reading every mouse: poll: %s\n",
                         std::strerror(error));
            return;
        }
        if (fds[0].revents != 0) {
            std::uint64_t count = 0;
            [[maybe_unused]] const ssize_t got = ::read(wake_fd_.get(), &count, sizeof count);
        }
        if (stopping_)
            return;
        std::lock_guard lock(mutex_);
        if (fds[1].revents != 0)
            on_folder_changes();
        read_.resize(names.size());
        for (auto& run : read_)
            run.clear();
        // What poll said may be old news by now: this thread may have been
        // stopped or preempted since, while every mouse went on sending. A
        // lone packet was there when poll looked; when a round reads more,
        // the mice are polled again, and those that have frames now are read
        // into the same batch, so that no mouse's older frames are handed on
        // after another's newer ones.
        for (int round = 0; round < max_read_rounds; ++round) {
            std::size_t read_now = 0;
            for (std::size_t i = 0; i < names.size(); ++i) {
                if (fds[2 + i].revents == 0 && (round > 0 || more.count(names[i]) == 0))
                    continue;
                const std::size_t before = read_[i].size();
                if (read_mouse(names[i], read_[i]))
                    more.insert(names[i]);
                else
                    more.erase(names[i]);
                read_now += read_[i].size() - before;
            }
            if (read_now < 2 || names.size() < 2 || ::poll(fds.data() + 2, names.size(), 0) <= 0)
                break;
        }
        merge_in_time_order(read_, [this](const Packet& packet) {
            if (packets_.push(packet) != HandoffQueue<Packet>::Pushed::first)
                return;  // the GUI thread is woken already
            QMetaObject::invokeMethod(
                gui_context_.get(),
                [this] {
                    packets_.take_all(taken_);
                    for (const Packet& queued : taken_)
                        sink_->push(queued);
                },
                Qt::QueuedConnection);
        });
    }
}

bool EvdevProvider::read_mouse(const std::string& node_name, std::vector<Packet>& read) {
    auto it = mice_.find(node_name);
    if (it == mice_.end())
        return false;
    OpenMouse& mouse = it->second;
    const auto status =
        mouse.reader->read_available([&read](const Packet& packet) { read.push_back(packet); });
    std::uint64_t& dropped = syn_dropped_[mouse.handle];
    syn_dropped_total_ += mouse.reader->syn_dropped() - dropped;
    dropped = mouse.reader->syn_dropped();
    if (mouse.reader->syn_dropped() > 0 && !mouse.overflow_reported) {
        // Once per mouse: an overflow under load tends to repeat.
        mouse.overflow_reported = true;
        std::fprintf(stderr,
                     "evdev: %s (%s) overflowed the kernel's buffer and events were lost "
                     "(SYN_DROPPED; --stats counts them per mouse)\n",
                     node_path(node_name).c_str(), mouse.name.c_str());
    }
    if (status == MouseReader::Status::gone) {
        close_mouse(node_name, mouse.reader->error());
        return false;
    }
    // libevdev may hold events the descriptor no longer signals.
    return status == MouseReader::Status::more;
}

void EvdevProvider::close_mouse(const std::string& node_name, int error) {
    auto it = mice_.find(node_name);
    if (it == mice_.end())
        return;
    std::uint64_t& dropped = syn_dropped_[it->second.handle];
    syn_dropped_total_ += it->second.reader->syn_dropped() - dropped;
    dropped = it->second.reader->syn_dropped();
    if (recorder_ && it->second.recording)
        recorder_->close(*it->second.recording);
    const auto path = node_path(node_name);
    if (error == 0 || is_gone_error(error)) {
        qCDebug(evdev_log, "evdev: %s went away; closed", path.c_str());
    } else {
        std::fprintf(stderr, "evdev: stopped reading %s: %s (the other mice go on)\n", path.c_str(),
                     std::strerror(error));
    }
    mice_.erase(it);
}

void EvdevProvider::on_folder_changes() {
    for (const FolderChange& change : folder_watch_->read_changes()) {
        if (change.kind == FolderChange::Kind::rescan) {
            rescan();
            continue;
        }
        const int number = event_node_number(change.name);
        if (number < 0)
            continue;
        if (change.kind == FolderChange::Kind::removed) {
            close_mouse(change.name, 0);
            continue;
        }
        // Added, or its permissions changed (udev grants access after creating it).
        EvdevNode node = inspect_node(root_, *system_, number);
        if (node.device_number == 0)
            continue;
        const int error = open_if_mouse(node);
        if (error != 0) {
            qCDebug(evdev_log, "evdev: cannot read new node %s yet: %s", node.path.c_str(),
                    std::strerror(error));
        }
    }
}

void EvdevProvider::rescan() {
    auto nodes = scan_nodes(root_, *system_);
    std::vector<std::string> gone;
    for (const auto& [name, mouse] : mice_) {
        const auto present = std::find_if(nodes.begin(), nodes.end(), [&](const EvdevNode& n) {
            return n.node_name == name && n.handle == mouse.handle;
        });
        if (present == nodes.end())
            gone.push_back(name);
    }
    for (const auto& name : gone)
        close_mouse(name, 0);
    for (EvdevNode& node : nodes)
        open_if_mouse(node);
}

std::vector<std::pair<HANDLE, std::uint64_t>> EvdevProvider::syn_dropped_by_mouse() const {
    std::lock_guard lock(mutex_);
    return {syn_dropped_.begin(), syn_dropped_.end()};
}

bool any_mouse_readable(const std::filesystem::path& root, EvdevSystem& system) {
    for (const EvdevNode& node : scan_nodes(root, system)) {
        if (node.sysfs_mouse && system.open_events(node.path).source)
            return true;
    }
    return false;
}

bool any_mouse_readable(const std::filesystem::path& root) {
    auto system = make_linux_evdev_system();
    return any_mouse_readable(root, *system);
}

}  // namespace input
