#include "platform/input/evdev.h"

#include <libevdev/libevdev.h>

#include <QLoggingCategory>
#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

namespace input {

namespace {

Q_LOGGING_CATEGORY(evdev_log, "rawmice.evdev", QtInfoMsg)

constexpr char permission_hint[] =
    "install udev/70-rawmice.rules or join the input group, see README; or try --input=x11";

// NOTE: sysfs prints bitmaps in the kernel's longs; a native build's
// unsigned long has the same width.
constexpr std::size_t sysfs_word_bits = sizeof(unsigned long) * CHAR_BIT;

// Space-separated hex words, most significant first, as the kernel prints them.
template <std::size_t N>
bool parse_sysfs_bitmap(const std::string& text, std::bitset<N>& bits) {
    std::istringstream in(text);
    std::vector<std::string> words;
    for (std::string word; in >> word;)
        words.push_back(word);
    if (words.empty())
        return false;
    bits.reset();
    for (std::size_t i = 0; i < words.size(); ++i) {
        const std::string& word = words[words.size() - 1 - i];
        unsigned long long value = 0;
        const auto [end, error] =
            std::from_chars(word.data(), word.data() + word.size(), value, 16);
        if (error != std::errc() || end != word.data() + word.size())
            return false;
        for (std::size_t bit = 0; bit < sysfs_word_bits && bit < 64; ++bit) {
            const std::size_t index = i * sysfs_word_bits + bit;
            if (((value >> bit) & 1U) != 0 && index < N)
                bits.set(index);
        }
    }
    return true;
}

std::optional<std::string> read_text(const std::filesystem::path& path) {
    std::ifstream in(path);
    if (!in)
        return std::nullopt;
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad())
        return std::nullopt;
    return text.str();
}

std::optional<std::string> read_first_line(const std::filesystem::path& path) {
    auto text = read_text(path);
    if (!text)
        return std::nullopt;
    return text->substr(0, text->find('\n'));
}

// The N of "eventN", or -1 for any other name.
int event_node_number(const std::string& name) {
    constexpr std::string_view prefix = "event";
    if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0)
        return -1;
    int number = -1;
    const char* first = name.data() + prefix.size();
    const char* last = name.data() + name.size();
    const auto [end, error] = std::from_chars(first, last, number);
    if (error != std::errc() || end != last || number < 0)
        return -1;
    return number;
}

std::int64_t time_ns_of(const input_event& event) {
    return std::int64_t{event.input_event_sec} * 1'000'000'000 +
           std::int64_t{event.input_event_usec} * 1'000;
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
    int number = -1;
    std::string node_name;  // eventN
    std::filesystem::path path;
    dev_t device_number = 0;
    DWORD type = RIM_TYPEHID;
    std::string name;
    // Sysfs says it is a mouse: the only kind of node ever opened.
    bool sysfs_mouse = false;
};

namespace {

std::filesystem::path input_folder(const std::filesystem::path& root) {
    return root / "dev" / "input";
}

// What sysfs says of eventN; a node whose capabilities cannot be read there is
// "other" and is never opened, since it might be a keyboard.
EvdevNode inspect_node(const std::filesystem::path& root, EvdevSystem& system, int number) {
    EvdevNode node;
    node.number = number;
    node.node_name = "event" + std::to_string(number);
    node.path = input_folder(root) / node.node_name;
    node.device_number = system.device_number(node.path);
    const auto sysfs = root / "sys" / "class" / "input" / node.node_name / "device";
    const auto caps = read_sysfs_capabilities(sysfs);
    node.type = caps ? classify(*caps) : RIM_TYPEHID;
    node.sysfs_mouse = caps && node.type == RIM_TYPEMOUSE;
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

std::optional<Capabilities> read_sysfs_capabilities(const std::filesystem::path& device_dir) {
    const auto folder = device_dir / "capabilities";
    const auto ev = read_text(folder / "ev");
    const auto key = read_text(folder / "key");
    const auto rel = read_text(folder / "rel");
    if (!ev || !key || !rel)
        return std::nullopt;
    Capabilities caps;
    if (!parse_sysfs_bitmap(*ev, caps.types) || !parse_sysfs_bitmap(*key, caps.keys) ||
        !parse_sysfs_bitmap(*rel, caps.rels)) {
        return std::nullopt;
    }
    return caps;
}

HANDLE handle_of_device_number(dev_t number) {
    return reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(number));
}

MouseReader::MouseReader(HANDLE handle, std::unique_ptr<EventSource> source)
    : handle_(handle), source_(std::move(source)) {
    assembler_.set_held_buttons(buttons_held_by_device());
}

ULONG MouseReader::buttons_held_by_device() const {
    ULONG bits = 0;
    for (unsigned code = BTN_LEFT; code <= BTN_EXTRA; ++code) {
        if (source_->key_down(code))
            bits |= raw_button_bit(code);
    }
    return bits;
}

// libevdev hands over the state changes lost in the overflow; they describe
// the device's state, not a frame, so only the buttons they leave held count.
void MouseReader::resync() {
    input_event event{};
    while (source_->next_event(LIBEVDEV_READ_FLAG_SYNC, event) == LIBEVDEV_READ_STATUS_SYNC) {
    }
    assembler_.set_held_buttons(buttons_held_by_device());
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
            assembler_.drop_frame();
            discarding_frame_ = true;
            resync();
            continue;
        }
        RAWMOUSE out[2]{};
        const int made = assembler_.feed(event, out);
        if (discarding_frame_ && event.type == EV_SYN && event.code == SYN_REPORT) {
            // The frame read after a resync may have begun before it: it is
            // dropped, and the buttons it changed are taken from the device.
            discarding_frame_ = false;
            assembler_.set_held_buttons(buttons_held_by_device());
        }
        for (int i = 0; i < made; ++i) {
            ++packets_;
            deliver(Packet{handle_, out[i], time_ns_of(event)});
        }
    }
    return Status::more;
}

EvdevProvider::EvdevProvider(std::filesystem::path root, std::unique_ptr<EvdevSystem> system)
    : root_(std::move(root)), system_(std::move(system)) {}

EvdevProvider::~EvdevProvider() = default;

std::filesystem::path EvdevProvider::node_path(const std::string& node_name) const {
    return input_folder(root_) / node_name;
}

int EvdevProvider::open_if_mouse(EvdevNode& node) {
    if (!node.sysfs_mouse)
        return 0;
    if (auto it = mice_.find(node.node_name); it != mice_.end()) {
        if (it->second.device_number == node.device_number) {
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
    mouse.device_number = node.device_number;
    mouse.name = node.name;
    mouse.reader = std::make_unique<MouseReader>(handle_of_device_number(node.device_number),
                                                 std::move(opened.source));
    auto [it, inserted] = mice_.emplace(node.node_name, std::move(mouse));
    if (sink_ != nullptr)
        watch(it->second);
    return 0;
}

std::vector<Device> EvdevProvider::devices() {
    std::vector<Device> list;
    for (EvdevNode& node : scan_nodes(root_, *system_)) {
        const int error = open_if_mouse(node);
        if (error != 0) {
            qCDebug(evdev_log, "evdev: cannot open %s (%s); listed from sysfs", node.path.c_str(),
                    std::strerror(error));
        }
        list.push_back({handle_of_device_number(node.device_number), node.type, node.name,
                        node.path.string()});
    }
    order_for_listing(list);
    return list;
}

DWORD EvdevProvider::start(PacketSink& sink) {
    sink_ = &sink;
    // Watch before scanning, so that a node added in between is not missed.
    int watch_error = 0;
    folder_watch_ = system_->watch_folder(input_folder(root_), watch_error);
    if (folder_watch_) {
        folder_notifier_ =
            std::make_unique<QSocketNotifier>(folder_watch_->fd(), QSocketNotifier::Read);
        QObject::connect(folder_notifier_.get(), &QSocketNotifier::activated,
                         [this] { on_folder_changes(); });
    } else {
        qCDebug(evdev_log, "evdev: cannot watch %s for new devices: %s",
                input_folder(root_).c_str(), std::strerror(watch_error));
    }

    int mice_listed = 0;
    std::vector<std::pair<std::string, int>> failures;
    for (EvdevNode& node : scan_nodes(root_, *system_)) {
        if (!node.sysfs_mouse)
            continue;
        ++mice_listed;
        const int error = open_if_mouse(node);
        if (error != 0 && !is_gone_error(error))
            failures.emplace_back(node.path.string(), error);
    }
    for (auto& [name, mouse] : mice_) {
        if (!mouse.notifier)
            watch(mouse);
    }

    // One line per kind of failure; the usual case, permissions, has the fix.
    std::vector<int> errors;
    for (const auto& failure : failures) {
        if (std::find(errors.begin(), errors.end(), failure.second) == errors.end()) {
            errors.push_back(failure.second);
        }
    }
    for (int error : errors) {
        std::string nodes;
        for (const auto& [path, e] : failures) {
            if (e != error)
                continue;
            if (!nodes.empty())
                nodes += ", ";
            nodes += path;
        }
        std::string line = "evdev: cannot read " + nodes + ": " + std::strerror(error);
        if (is_permission_error(error))
            line += std::string(" (") + permission_hint + ")";
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
    std::fflush(stderr);

    if (!mice_.empty() || mice_listed == 0 || failures.empty())
        return ERROR_SUCCESS;
    const bool denied = std::any_of(failures.begin(), failures.end(),
                                    [](const auto& f) { return is_permission_error(f.second); });
    return denied ? ERROR_ACCESS_DENIED : ERROR_DEVICE_NOT_CONNECTED;
}

void EvdevProvider::watch(OpenMouse& mouse) {
    mouse.notifier = std::make_unique<QSocketNotifier>(mouse.reader->fd(), QSocketNotifier::Read);
    const std::string node_name = mouse.node_name;
    QObject::connect(mouse.notifier.get(), &QSocketNotifier::activated,
                     [this, node_name] { read_mouse(node_name); });
    qCDebug(evdev_log, "evdev: reading %s (%s)", node_path(node_name).c_str(), mouse.name.c_str());
}

void EvdevProvider::read_mouse(const std::string& node_name) {
    auto it = mice_.find(node_name);
    if (it == mice_.end() || sink_ == nullptr)
        return;
    OpenMouse& mouse = it->second;
    const auto status =
        mouse.reader->read_available([this](const Packet& packet) { sink_->push(packet); });
    if (status == MouseReader::Status::gone) {
        close_mouse(node_name, mouse.reader->error());
    } else if (status == MouseReader::Status::more) {
        // libevdev may hold events the descriptor no longer signals: come back
        // for them after other work, through the notifier so a close cancels it.
        QTimer::singleShot(0, mouse.notifier.get(), [this, node_name] { read_mouse(node_name); });
    }
}

void EvdevProvider::close_mouse(const std::string& node_name, int error) {
    auto it = mice_.find(node_name);
    if (it == mice_.end())
        return;
    OpenMouse& mouse = it->second;
    syn_dropped_closed_ += mouse.reader->syn_dropped();
    if (mouse.notifier) {
        // It may be the notifier whose signal is running now.
        mouse.notifier->disconnect();
        mouse.notifier->setEnabled(false);
        mouse.notifier.release()->deleteLater();
    }
    const auto path = node_path(node_name);
    if (error == 0 || is_gone_error(error)) {
        qCDebug(evdev_log, "evdev: %s went away; closed", path.c_str());
    } else {
        std::fprintf(stderr, "evdev: stopped reading %s: %s (the other mice go on)\n", path.c_str(),
                     std::strerror(error));
        std::fflush(stderr);
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
            return n.node_name == name && n.device_number == mouse.device_number;
        });
        if (present == nodes.end())
            gone.push_back(name);
    }
    for (const auto& name : gone)
        close_mouse(name, 0);
    for (EvdevNode& node : nodes)
        open_if_mouse(node);
}

std::size_t EvdevProvider::open_mice() const {
    return mice_.size();
}

std::uint64_t EvdevProvider::syn_dropped() const {
    std::uint64_t total = syn_dropped_closed_;
    for (const auto& [name, mouse] : mice_)
        total += mouse.reader->syn_dropped();
    return total;
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
