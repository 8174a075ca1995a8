// The evdev provider above its system layer: listing a fake /dev/input and
// sysfs tree, reading mice from pipes the test writes input_event records to,
// hot-plug through real inotify, the permission path, and every evemu recording
// of the recordings run through the reader the provider uses.
#include <evemu.h>
#include <fcntl.h>
#include <grp.h>
#include <libevdev/libevdev.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <thread>
#include <utility>

#include "app/form_windows.h"
#include "platform/input/evdev.h"
#include "platform/input/recorder.h"
#include "platform/input/recording.h"
#include "platform/input/replay.h"
#include "platform/input/service.h"
#include "rawinput/rawinput.h"
#include "tests/support/evemu_text.h"
#include "tests/support/input_event.h"
#include "tests/support/test_support.h"
#include "ui/principal.h"

namespace {

namespace fs = std::filesystem;
using input::Capabilities;
using input::Device;
using input::EvdevProvider;
using input::EventSource;
using input::MouseReader;
using input::Packet;
using input::UniqueFd;
using testsupport::make_event;
using testsupport::TempDir;
using testsupport::wait_until;

struct Ev {
    unsigned type;
    unsigned code;
    int value;
};

// One frame: the events, then SYN_REPORT, all at `time_us`.
std::vector<input_event> frame(std::initializer_list<Ev> events, std::int64_t time_us = 0) {
    std::vector<input_event> out;
    for (const Ev& e : events)
        out.push_back(make_event(e.type, e.code, e.value, time_us));
    out.push_back(make_event(EV_SYN, SYN_REPORT, 0, time_us));
    return out;
}

std::vector<input_event> operator+(std::vector<input_event> a, const std::vector<input_event>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

dev_t device_number_of(int node) {
    return makedev(13, 64 + node);
}
// The parent inputN of eventN in the fake tree, unless a test plugs another
// device in: numbered apart from the nodes, as on real machines.
unsigned input_number_of(int node) {
    return 100 + static_cast<unsigned>(node);
}
HANDLE handle_of(int node) {
    return input::handle_of_input_number(input_number_of(node));
}

// A capability bitmap as the kernel prints it in sysfs: 64-bit words in hex,
// most significant first, without leading zero words.
std::string sysfs_bitmap(const std::vector<unsigned>& bits) {
    std::vector<unsigned long long> words(1);
    for (unsigned bit : bits) {
        if (words.size() <= bit / 64)
            words.resize(bit / 64 + 1);
        words[bit / 64] |= 1ULL << (bit % 64);
    }
    std::string text;
    for (std::size_t i = words.size(); i-- > 0;) {
        char word[24];
        std::snprintf(word, sizeof word, "%llx", words[i]);
        text += word;
        text += i == 0 ? "\n" : " ";
    }
    return text;
}

// A virtual machine's tablet is absolute with mouse buttons; a touchpad has a
// finger tool and a pen tablet a pen.
enum class Kind { mouse, keyboard, mouse_keyboard, touchpad, vm_tablet, pen_tablet };

// The axis range the fake gives every absolute device, as QEMU's tablet has.
constexpr input::AxisRange fake_axis{0, 32767};

// The devices on the other side of the fake system: what each node does when
// opened, the test's end of each open node, and every open attempted. The
// provider's reader thread opens and reads nodes while the test writes to
// them, so everything here is guarded.
struct FakeKernel {
    struct Node {
        std::atomic<int> open_error{0};
        std::atomic<int> read_error{0};  // the next read fails with it
        std::atomic<int> live{0};        // sources open now
        UniqueFd writer;
        // The kernel's buffer for the open node, by count: 0 is unlimited.
        std::size_t capacity = 0;
        std::uint64_t written = 0;   // events sent
        std::uint64_t consumed = 0;  // events the reader has taken
        int overflows = 0;
        // Runs (once) as the reader starts reading the node, in its thread.
        std::function<void()> on_read;
    };

    Node& node(const std::string& name) {
        std::lock_guard lock(mutex);
        return nodes[name];  // std::map: references stay valid
    }
    void opened(const std::string& name) {
        std::lock_guard lock(mutex);
        opens.push_back(name);
    }
    std::vector<std::string> opens_so_far() const {
        std::lock_guard lock(mutex);
        return opens;
    }
    // Nodes the provider holds open now, as the kernel counts open files.
    int open_now() {
        std::lock_guard lock(mutex);
        int total = 0;
        for (const auto& [name, node] : nodes)
            total += node.live;
        return total;
    }
    int opens_of(const std::string& name) const {
        const auto all = opens_so_far();
        return static_cast<int>(std::count(all.begin(), all.end(), name));
    }

    // The device sends `events`. With a capacity, as the kernel's evdev does:
    // when they do not fit beside what the reader has not taken yet, the
    // buffer overflows and the reader finds SYN_DROPPED.
    void send(const std::string& name, const std::vector<input_event>& events) {
        std::lock_guard lock(mutex);
        Node& n = nodes[name];
        if (n.capacity != 0 && n.written - n.consumed + events.size() > n.capacity) {
            ++n.overflows;
            write_all(n, {make_event(EV_SYN, SYN_DROPPED, 0)});
            n.written += 1;
            return;
        }
        write_all(n, events);
        n.written += events.size();
    }
    // Waits until `count` events fit in the node's buffer, or `deadline`.
    bool wait_for_room(const std::string& name, std::size_t count,
                       std::chrono::steady_clock::time_point deadline) {
        std::unique_lock lock(mutex);
        Node& n = nodes[name];
        return drained.wait_until(lock, deadline, [&] {
            return n.capacity == 0 || n.written - n.consumed + count <= n.capacity;
        });
    }
    // The reader took `count` events out of the node's buffer.
    void consumed(const std::string& name, std::size_t count) {
        {
            std::lock_guard lock(mutex);
            nodes[name].consumed += count;
        }
        drained.notify_all();
    }
    // The node's on_read, taken away: what to run as its reader starts reading.
    std::function<void()> take_on_read(const std::string& name) {
        std::lock_guard lock(mutex);
        return std::exchange(nodes[name].on_read, nullptr);
    }
    void set_on_read(const std::string& name, std::function<void()> action) {
        std::lock_guard lock(mutex);
        nodes[name].on_read = std::move(action);
    }
    void set_capacity(const std::string& name, std::size_t capacity) {
        std::lock_guard lock(mutex);
        nodes[name].capacity = capacity;
    }
    int overflows(const std::string& name) {
        std::lock_guard lock(mutex);
        return nodes[name].overflows;
    }
    void set_writer(const std::string& name, UniqueFd fd) {
        std::lock_guard lock(mutex);
        Node& n = nodes[name];
        n.writer = std::move(fd);
        n.written = n.consumed = 0;
    }
    // The device goes away: its reader sees the end of the pipe.
    void unplug(const std::string& name) {
        std::lock_guard lock(mutex);
        nodes[name].writer.reset();
    }

    std::set<std::string> not_char_devices;
    // The group that owns each node; "input" unless a test says otherwise.
    std::map<std::string, std::string> groups;

  private:
    static void write_all(Node& n, const std::vector<input_event>& events) {
        const auto* bytes = reinterpret_cast<const char*>(events.data());
        std::size_t left = events.size() * sizeof(input_event);
        while (left > 0) {
            const ssize_t written = ::write(n.writer.get(), bytes, left);
            ASSERT_GT(written, 0) << std::strerror(errno);
            bytes += written;
            left -= static_cast<std::size_t>(written);
        }
    }

    mutable std::mutex mutex;
    std::condition_variable drained;
    std::map<std::string, Node> nodes;
    std::vector<std::string> opens;
};

// libevdev's reading contract over a pipe of input_event records. The device
// state is what every record written says; a resync discards what is queued
// (as libevdev drains the kernel's buffer) and reports the difference to the
// state the reader has seen.
class FakeSource final : public EventSource {
  public:
    FakeSource(std::shared_ptr<FakeKernel> kernel, std::string node, UniqueFd fd, Capabilities caps)
        : kernel_(std::move(kernel)), node_(std::move(node)), fd_(std::move(fd)), caps_(caps) {
        ++kernel_->node(node_).live;
    }
    ~FakeSource() override { --kernel_->node(node_).live; }

    int fd() const override { return fd_.get(); }
    bool key_down(unsigned code) const override { return seen_keys_[code]; }
    int abs_value(unsigned code) const override { return seen_abs_[code]; }
    std::string name() const override { return "evdev name of " + node_; }
    Capabilities capabilities() const override { return caps_; }
    // A pipe answers no ioctl: the description is libevemu's reading of what
    // evemu-describe would write for these capabilities.
    input::Description describe() const override {
        evemu_text::Device device;
        device.name = name();
        for (unsigned code = 0; code < REL_CNT; ++code) {
            if (caps_.rels[code])
                device.rels.push_back(code);
        }
        for (unsigned code = 0; code < KEY_CNT; ++code) {
            if (caps_.keys[code])
                device.keys.push_back(code);
        }
        std::string text = evemu_text::description(device);
        const std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(
            ::fmemopen(text.data(), text.size(), "r"), &std::fclose);
        input::Description described(evemu_new(nullptr));
        if (!file || evemu_read(described.get(), file.get()) <= 0)
            return nullptr;
        return described;
    }

    int next_event(unsigned flags, input_event& event) override {
        if ((flags & LIBEVDEV_READ_FLAG_SYNC) != 0) {
            if (sync_needed_)
                begin_sync();
            if (sync_queue_.empty())
                return -EAGAIN;
            event = take(sync_queue_);
            return LIBEVDEV_READ_STATUS_SYNC;
        }
        while (!sync_queue_.empty())
            take(sync_queue_);
        if (const auto action = kernel_->take_on_read(node_))
            action();
        if (const int error = kernel_->node(node_).read_error.exchange(0); error != 0)
            return -error;
        if (queue_.empty())
            fill();
        if (queue_.empty())
            return end_of_pipe_ ? -ENODEV : -EAGAIN;
        event = take(queue_);
        if (event.type == EV_SYN && event.code == SYN_DROPPED) {
            sync_needed_ = true;
            return LIBEVDEV_READ_STATUS_SYNC;
        }
        return LIBEVDEV_READ_STATUS_SUCCESS;
    }

  private:
    input_event take(std::deque<input_event>& queue) {
        input_event event = queue.front();
        queue.pop_front();
        if (event.type == EV_KEY)
            seen_keys_[event.code] = event.value != 0;
        if (event.type == EV_ABS && event.code < ABS_CNT)
            seen_abs_[event.code] = event.value;
        return event;
    }
    void fill() {
        char buffer[4096];
        for (;;) {
            const ssize_t n = ::read(fd_.get(), buffer, sizeof buffer);
            if (n == 0)
                end_of_pipe_ = true;
            if (n <= 0)
                break;
            bytes_.append(buffer, static_cast<std::size_t>(n));
        }
        std::size_t used = 0;
        for (; bytes_.size() - used >= sizeof(input_event); used += sizeof(input_event)) {
            input_event event{};
            std::memcpy(&event, bytes_.data() + used, sizeof event);
            if (event.type == EV_KEY)
                device_keys_[event.code] = event.value != 0;
            if (event.type == EV_ABS && event.code < ABS_CNT)
                device_abs_[event.code] = event.value;
            queue_.push_back(event);
        }
        bytes_.erase(0, used);
        if (used > 0)
            kernel_->consumed(node_, used / sizeof(input_event));
    }
    void begin_sync() {
        sync_needed_ = false;
        fill();
        queue_.clear();
        for (unsigned code = 0; code < KEY_CNT; ++code) {
            if (device_keys_[code] != seen_keys_[code]) {
                sync_queue_.push_back(make_event(EV_KEY, code, device_keys_[code] ? 1 : 0));
            }
        }
        for (unsigned code = 0; code < ABS_CNT; ++code) {
            if (device_abs_[code] != seen_abs_[code])
                sync_queue_.push_back(make_event(EV_ABS, code, device_abs_[code]));
        }
        if (!sync_queue_.empty())
            sync_queue_.push_back(make_event(EV_SYN, SYN_REPORT, 0));
    }

    std::shared_ptr<FakeKernel> kernel_;
    std::string node_;
    UniqueFd fd_;
    Capabilities caps_;
    std::string bytes_;
    std::deque<input_event> queue_;
    std::deque<input_event> sync_queue_;
    std::bitset<KEY_CNT> device_keys_;
    std::bitset<KEY_CNT> seen_keys_;
    std::array<int, ABS_CNT> device_abs_{};
    std::array<int, ABS_CNT> seen_abs_{};
    bool sync_needed_ = false;
    bool end_of_pipe_ = false;
};

// Nodes are the tree's plain files with made-up device numbers; opening one
// gives a pipe; folders are watched with the real inotify.
class FakeSystem final : public input::EvdevSystem {
  public:
    FakeSystem(std::shared_ptr<FakeKernel> kernel, fs::path root)
        : kernel_(std::move(kernel)), root_(std::move(root)) {}

    dev_t device_number(const fs::path& node) override {
        const std::string name = node.filename().string();
        if (!fs::exists(node) || kernel_->not_char_devices.count(name) != 0)
            return 0;
        return device_number_of(std::stoi(name.substr(5)));
    }
    std::string node_group(const fs::path& node) override {
        const auto group = kernel_->groups.find(node.filename().string());
        return group == kernel_->groups.end() ? "input" : group->second;
    }
    input::OpenedSource open_events(const fs::path& node) override {
        const std::string name = node.filename().string();
        kernel_->opened(name);
        if (const int error = kernel_->node(name).open_error; error != 0)
            return {nullptr, error};
        if (!fs::exists(node))
            return {nullptr, ENOENT};
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0)
            return {nullptr, errno};
        ::fcntl(fds[0], F_SETFL, O_NONBLOCK);
        ::fcntl(fds[1], F_SETPIPE_SZ, 1 << 20);
        kernel_->set_writer(name, UniqueFd(fds[1]));
        auto caps = input::read_sysfs_capabilities(root_ / "sys/class/input" / name / "device")
                        .value_or(Capabilities{});
        if (caps.abs[ABS_X] && caps.abs[ABS_Y]) {
            caps.x_range = fake_axis;
            caps.y_range = fake_axis;
        }
        return {std::make_unique<FakeSource>(kernel_, name, UniqueFd(fds[0]), caps), 0};
    }
    std::unique_ptr<input::FolderWatch> watch_folder(const fs::path& folder, int& error) override {
        return real_->watch_folder(folder, error);
    }

  private:
    std::shared_ptr<FakeKernel> kernel_;
    fs::path root_;
    std::unique_ptr<input::EvdevSystem> real_ = input::make_linux_evdev_system();
};

using Position = std::pair<LONG, LONG>;
Position position(const Packet& packet) {
    return {packet.mouse.lLastX, packet.mouse.lLastY};
}

struct CollectingSink : input::PacketSink {
    std::vector<Packet> packets;
    void push(const Packet& packet) override { packets.push_back(packet); }
    std::vector<Packet> from(HANDLE device) const {
        std::vector<Packet> out;
        for (const Packet& p : packets) {
            if (p.device == device)
                out.push_back(p);
        }
        return out;
    }
};

std::string capture_stderr_of(const std::function<void()>& action) {
    testing::internal::CaptureStderr();
    action();
    return testing::internal::GetCapturedStderr();
}

// A device's sysfs capabilities folder under `device`, each file as the
// kernel prints it (its line end included).
void write_capabilities(const fs::path& device, const std::string& ev, const std::string& key,
                        const std::string& rel, const std::string& abs) {
    fs::create_directories(device / "capabilities");
    for (const auto& [name, value] : {std::pair<const char*, const std::string&>{"ev", ev},
                                      {"key", key},
                                      {"rel", rel},
                                      {"abs", abs}}) {
        testsupport::write_file(device / "capabilities" / name, value);
    }
}

class EvdevTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::signal(SIGPIPE, SIG_IGN);
        fs::create_directories(root() / "dev/input");
        fs::create_directories(root() / "sys/class/input");
    }

    const fs::path& root() const { return dir_.path(); }
    std::string node_path(int node) const {
        return (root() / "dev/input" / ("event" + std::to_string(node))).string();
    }
    std::string node_name(int node) const { return "event" + std::to_string(node); }

    // Sysfs first, then the node, as the kernel and udev make them. The node's
    // sysfs "device" links to its parent inputN (by default input_number_of).
    void add_node(int node, Kind kind, const std::string& name = {}, bool with_sysfs = true,
                  std::optional<unsigned> input_number = std::nullopt) {
        if (with_sysfs) {
            write_sysfs(node, kind, name.empty() ? "sysfs name of " + node_name(node) : name,
                        input_number.value_or(input_number_of(node)));
        }
        testsupport::write_file(node_path(node), "");
    }
    void write_sysfs(int node, Kind kind, const std::string& name, unsigned input_number) {
        const std::string input_name = "input" + std::to_string(input_number);
        const fs::path device = root() / "sys/class/input" / input_name;
        const fs::path event_dir = root() / "sys/class/input" / node_name(node);
        fs::create_directories(event_dir);
        fs::remove(event_dir / "device");
        fs::create_directory_symlink(fs::path("..") / input_name, event_dir / "device");
        std::vector<unsigned> types{EV_SYN, EV_KEY};
        std::vector<unsigned> keys;
        std::vector<unsigned> rels;
        std::vector<unsigned> abs;
        if (kind == Kind::mouse || kind == Kind::mouse_keyboard) {
            types.push_back(EV_REL);
            rels = {REL_X, REL_Y, REL_WHEEL, REL_HWHEEL};
            for (unsigned code = BTN_LEFT; code <= BTN_EXTRA; ++code)
                keys.push_back(code);
        }
        if (kind == Kind::keyboard || kind == Kind::mouse_keyboard) {
            types.insert(types.end(), {EV_MSC, EV_LED, EV_REP});
            for (unsigned code = KEY_ESC; code <= KEY_KPDOT; ++code)
                keys.push_back(code);
        }
        if (kind == Kind::touchpad) {
            types.push_back(EV_ABS);
            keys = {BTN_LEFT, BTN_TOOL_FINGER, BTN_TOUCH};
            abs = {ABS_X, ABS_Y};
        }
        if (kind == Kind::pen_tablet) {
            types.push_back(EV_ABS);
            keys = {BTN_LEFT, BTN_TOOL_PEN, BTN_STYLUS, BTN_TOUCH};
            abs = {ABS_X, ABS_Y, ABS_PRESSURE};
        }
        if (kind == Kind::vm_tablet) {
            types.insert(types.end(), {EV_REL, EV_ABS, EV_MSC});
            keys = {BTN_LEFT, BTN_RIGHT, BTN_MIDDLE};
            rels = {REL_WHEEL};
            abs = {ABS_X, ABS_Y};
        }
        write_capabilities(device, sysfs_bitmap(types), sysfs_bitmap(keys), sysfs_bitmap(rels),
                           sysfs_bitmap(abs));
        testsupport::write_file(device / "name", name + "\n");
    }

    // Moves the node's input device under a USB interface whose interrupt IN
    // endpoint declares `interval`, as usbmouse binds a boot mouse.
    void put_on_usb(int node, const std::string& interval) {
        const std::string input_name = "input" + std::to_string(input_number_of(node));
        const fs::path interface =
            root() / "sys/devices/usb1/1-1" / ("1-1:1." + std::to_string(node));
        fs::create_directories(interface / "ep_81" / "input");
        testsupport::write_file(interface / "bInterfaceNumber", "00\n");
        testsupport::write_file(interface / "ep_81/type", "Interrupt\n");
        testsupport::write_file(interface / "ep_81/direction", "in\n");
        testsupport::write_file(interface / "ep_81/interval", interval + "\n");
        fs::create_directories(interface / "input");
        fs::rename(root() / "sys/class/input" / input_name, interface / "input" / input_name);
        fs::create_directory_symlink(interface / "input" / input_name,
                                     root() / "sys/class/input" / input_name);
    }

    EvdevProvider& provider() {
        if (!provider_) {
            provider_ = std::make_unique<EvdevProvider>(
                root(), std::make_unique<FakeSystem>(kernel_, root()));
        }
        return *provider_;
    }
    DWORD start() { return provider().start(sink_); }
    std::vector<Packet> packets_from(int node) const { return sink_.from(handle_of(node)); }
    // Overflows of every mouse so far, as --stats reports them.
    std::uint64_t syn_dropped() {
        std::uint64_t total = 0;
        for (const auto& [handle, count] : provider().syn_dropped_by_mouse())
            total += count;
        return total;
    }

    void TearDown() override {
        provider_.reset();  // its reader thread reads the fake kernel
    }

    TempDir dir_;
    std::shared_ptr<FakeKernel> kernel_ = std::make_shared<FakeKernel>();
    std::unique_ptr<EvdevProvider> provider_;
    CollectingSink sink_;
};

// ---------------------------------------------------------------------------

TEST(EvdevSysfs, ReadsCapabilitiesAsTheKernelPrintsThem) {
    TempDir dir;
    // A real USB keyboard's and a real hi-res mouse's sysfs files, and QEMU's
    // USB tablet, a virtual machine's pointer.
    write_capabilities(dir / "kbd", "120013\n",
                       "1000000000007 ff9f207ac14057ff febeffdfffefffff fffffffffffffffe\n", "0\n",
                       "0\n");
    write_capabilities(dir / "mouse", "17\n", "1f0000 0 0 0 0\n", "1943\n", "0\n");
    write_capabilities(dir / "tablet", "1f\n", "70000 0 0 0 0\n", "100\n", "3\n");

    const auto keyboard = input::read_sysfs_capabilities(dir / "kbd");
    ASSERT_TRUE(keyboard);
    EXPECT_TRUE(keyboard->keys[KEY_ESC] && keyboard->keys[KEY_S] && keyboard->keys[KEY_A]);
    EXPECT_FALSE(keyboard->keys[KEY_RESERVED]);
    EXPECT_EQ(input::classify(*keyboard), RIM_TYPEKEYBOARD);

    const auto mouse = input::read_sysfs_capabilities(dir / "mouse");
    ASSERT_TRUE(mouse);
    EXPECT_EQ(mouse->keys.count(), 5u);
    EXPECT_TRUE(mouse->keys[BTN_LEFT] && mouse->keys[BTN_EXTRA]);
    EXPECT_TRUE(mouse->rels[REL_X] && mouse->rels[REL_Y] && mouse->rels[REL_WHEEL_HI_RES]);
    EXPECT_EQ(input::classify(*mouse), RIM_TYPEMOUSE);

    const auto tablet = input::read_sysfs_capabilities(dir / "tablet");
    ASSERT_TRUE(tablet);
    EXPECT_TRUE(tablet->abs[ABS_X] && tablet->abs[ABS_Y]);
    EXPECT_TRUE(tablet->keys[BTN_LEFT] && tablet->keys[BTN_MIDDLE]);
    EXPECT_EQ(input::classify(*tablet), RIM_TYPEMOUSE);
}

TEST(EvdevSysfs, MissingOrMalformedFilesGiveNothing) {
    TempDir dir;
    write_capabilities(dir.path(), "17\n", "1f0000 0 0 0 0\n", "", "0\n");
    fs::remove(dir / "capabilities/rel");
    EXPECT_FALSE(input::read_sysfs_capabilities(dir.path())) << "no rel file";
    testsupport::write_file(dir / "capabilities/rel", "3 zz\n");
    EXPECT_FALSE(input::read_sysfs_capabilities(dir.path())) << "not hex";
    testsupport::write_file(dir / "capabilities/rel", "\n");
    EXPECT_FALSE(input::read_sysfs_capabilities(dir.path())) << "empty";
}

// ---------------------------------------------------------------------------

using EvdevListing = EvdevTest;

TEST_F(EvdevListing, MiceThenKeyboardsThenOthersEachInNodeOrder) {
    add_node(0, Kind::keyboard);
    add_node(1, Kind::touchpad);
    add_node(2, Kind::mouse);
    add_node(3, Kind::keyboard);
    add_node(4, Kind::mouse_keyboard);
    add_node(10, Kind::mouse);

    std::vector<std::string> paths;
    std::vector<DWORD> types;
    for (const Device& d : provider().devices()) {
        paths.push_back(d.path);
        types.push_back(d.type);
    }
    EXPECT_EQ(paths, (std::vector<std::string>{node_path(2), node_path(4), node_path(10),
                                               node_path(0), node_path(3), node_path(1)}));
    EXPECT_EQ(types, (std::vector<DWORD>{RIM_TYPEMOUSE, RIM_TYPEMOUSE, RIM_TYPEMOUSE,
                                         RIM_TYPEKEYBOARD, RIM_TYPEKEYBOARD, RIM_TYPEHID}));
}

TEST_F(EvdevListing, HandlesComeFromTheParentInputNumbers) {
    add_node(3, Kind::keyboard, {}, true, 0);
    add_node(7, Kind::mouse, {}, true, 12);
    add_node(9, Kind::mouse, {}, /*with_sysfs=*/false);
    const auto list = provider().devices();
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[0].handle, input::handle_of_input_number(12));
    EXPECT_EQ(list[1].handle, input::handle_of_input_number(0)) << "input0 exists";
    std::set<HANDLE> handles;
    for (const Device& d : list) {
        EXPECT_NE(d.handle, nullptr) << d.path;
        handles.insert(d.handle);
    }
    EXPECT_EQ(handles.size(), list.size()) << "a node without its inputN takes no other's handle";
}

// The kernel gives a new device the lowest free eventN but a new inputN: a
// different mouse in a freed node, or the same mouse plugged in again, gets a
// handle of its own and never inherits another mouse's number.
TEST_F(EvdevListing, AMousePluggedIntoAFreedNodeGetsAHandleOfItsOwn) {
    add_node(2, Kind::mouse, "First Mouse", true, 10);
    const HANDLE first = provider().devices().at(0).handle;
    ASSERT_EQ(start(), ERROR_SUCCESS);
    kernel_->send("event2", frame({{EV_REL, REL_X, 1}}));
    ASSERT_TRUE(wait_until([&] { return sink_.packets.size() == 1; }));

    fs::remove(node_path(2));
    ASSERT_TRUE(wait_until([&] { return kernel_->open_now() == 0; }));
    add_node(2, Kind::mouse, "Second Mouse", true, 11);
    ASSERT_TRUE(wait_until([&] { return kernel_->open_now() == 1; }));
    kernel_->send("event2", frame({{EV_REL, REL_X, 2}}));
    ASSERT_TRUE(wait_until([&] { return sink_.packets.size() == 2; }));

    EXPECT_EQ(sink_.packets[0].device, first);
    EXPECT_NE(sink_.packets[1].device, first);
    EXPECT_EQ(sink_.packets[1].device, input::handle_of_input_number(11));
    EXPECT_EQ(provider().devices().at(0).handle, input::handle_of_input_number(11));
}

TEST(EvdevSysfsLinks, TheParentInputNumberIsWhereDeviceLeads) {
    TempDir dir;
    fs::create_directories(dir / "devices/usb1/input/input17/event4");
    fs::create_directory_symlink("../../input17", dir / "devices/usb1/input/input17/event4/device");
    EXPECT_EQ(input::parent_input_number(dir / "devices/usb1/input/input17/event4/device"), 17u);
    fs::create_directories(dir / "devices/platform/serio0");
    fs::create_directory_symlink("../devices/platform/serio0", dir / "devices/odd");
    EXPECT_EQ(input::parent_input_number(dir / "devices/odd"), std::nullopt);
    EXPECT_EQ(input::parent_input_number(dir / "missing"), std::nullopt);
    EXPECT_NE(input::handle_of_input_number(0), nullptr);
}

// Sysfs as the kernel lays it out: an input device under the HID device of a
// USB interface (usbhid), right under the interface (usbmouse), under a
// Bluetooth controller that itself sits on a USB interface, under virtio, and
// uinput's. Only the first two declare an interval: their interface's
// interrupt IN endpoint's.
TEST(EvdevSysfsLinks, AUsbMouseDeclaresTheIntervalOfItsInterruptInEndpoint) {
    TempDir dir;
    const fs::path usb = dir / "devices/pci0000:00/0000:00:14.0/usb1/1-2";
    const auto interface = [&](const fs::path& folder, const std::string& in_interval) {
        fs::create_directories(folder);
        testsupport::write_file(folder / "bInterfaceNumber", "00\n");
        const auto endpoint = [&](const char* name, const char* type, const char* direction,
                                  const std::string& interval) {
            fs::create_directories(folder / name);
            testsupport::write_file(folder / name / "type", std::string(type) + "\n");
            testsupport::write_file(folder / name / "direction", std::string(direction) + "\n");
            testsupport::write_file(folder / name / "interval", interval + "\n");
        };
        endpoint("ep_02", "Interrupt", "out", "8ms");
        endpoint("ep_81", "Interrupt", "in", in_interval);
    };
    const auto in_subsystem = [](const fs::path& folder, const char* subsystem) {
        fs::create_directories(folder);
        fs::create_directory_symlink(fs::path("/sys/bus") / subsystem, folder / "subsystem");
    };
    // The event node's "device" link, to its inputN under `parent`.
    const auto input_under = [&](const fs::path& parent, const char* name) {
        fs::create_directories(parent / "input" / name);
        const fs::path event = dir / "class" / name;
        fs::create_directories(event);
        fs::create_directory_symlink(parent / "input" / name, event / "device");
        return event / "device";
    };
    interface(usb / "1-2:1.0", "125us");
    in_subsystem(usb / "1-2:1.0/0003:046D:C08B.0001", "hid");
    interface(usb / "1-2:1.1", "1ms");
    interface(usb / "1-2:1.2", "1ms");
    in_subsystem(usb / "1-2:1.2/bluetooth/hci0", "bluetooth");
    in_subsystem(usb / "1-2:1.2/bluetooth/hci0/hci0:256", "bluetooth");
    in_subsystem(usb / "1-2:1.2/bluetooth/hci0/hci0:256/0005:046D:B01A.0002", "hid");
    in_subsystem(dir / "devices/pci0000:00/0000:00:03.0/virtio1", "virtio");
    fs::create_directories(dir / "devices/virtual/input");

    const std::vector<std::pair<fs::path, std::string>> cases = {
        {input_under(usb / "1-2:1.0/0003:046D:C08B.0001", "input5"), "125us"},
        {input_under(usb / "1-2:1.1", "input6"), "1ms"},
        {input_under(usb / "1-2:1.2/bluetooth/hci0/hci0:256/0005:046D:B01A.0002", "input7"), ""},
        {input_under(dir / "devices/pci0000:00/0000:00:03.0/virtio1", "input8"), ""},
        {input_under(dir / "devices/virtual", "input9"), ""},
        {dir / "class/missing/device", ""},
    };
    for (const auto& [link, interval] : cases) {
        EXPECT_EQ(input::declared_polling_interval(link), interval) << link;
    }
}

TEST_F(EvdevListing, UnreadableNodesAreListedFromSysfs) {
    add_node(2, Kind::mouse, "Readable Mouse");
    add_node(5, Kind::mouse, "Locked Mouse");
    add_node(6, Kind::keyboard, "Some Keyboard");
    kernel_->node("event5").open_error = EACCES;

    const auto list = provider().devices();
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[0].name, "evdev name of event2");  // what libevdev says
    EXPECT_EQ(list[1].name, "Locked Mouse");
    EXPECT_EQ(list[1].type, RIM_TYPEMOUSE);
    EXPECT_EQ(list[2].name, "Some Keyboard");
    EXPECT_EQ(list[2].type, RIM_TYPEKEYBOARD);
}

TEST_F(EvdevListing, NoKeyboardOrOtherNodeIsEverOpened) {
    add_node(0, Kind::keyboard);
    add_node(1, Kind::mouse_keyboard);
    add_node(2, Kind::touchpad);
    add_node(3, Kind::mouse);
    provider().devices();
    ASSERT_EQ(start(), ERROR_SUCCESS);
    provider().devices();
    // The mice were probed once and kept open for reading.
    EXPECT_EQ(kernel_->opens_so_far(), (std::vector<std::string>{"event1", "event3"}));
    EXPECT_EQ(kernel_->open_now(), 2);
}

// Every path that opens nodes, with keyboards at each step: the listing, the
// start, a keyboard plugged in, a keyboard's permissions changed by udev, a
// mouse's node name taken over by a keyboard, and the probe behind --input=auto.
TEST_F(EvdevListing, NoPathEverOpensAKeyboardNode) {
    add_node(0, Kind::keyboard);
    add_node(1, Kind::mouse);
    provider().devices();
    ASSERT_EQ(start(), ERROR_SUCCESS);
    add_node(2, Kind::keyboard);
    fs::permissions(node_path(0), fs::perms::owner_read | fs::perms::group_read);
    fs::remove(node_path(1));
    ASSERT_TRUE(wait_until([&] { return kernel_->open_now() == 0; }));
    add_node(1, Kind::keyboard);
    // Changes are handled in order: once this mouse is open, all the above were seen.
    add_node(3, Kind::mouse);
    ASSERT_TRUE(wait_until([&] { return kernel_->open_now() == 1; }));
    provider().devices();
    FakeSystem probe(kernel_, root());
    EXPECT_TRUE(input::any_mouse_readable(root(), probe));
    EXPECT_EQ(kernel_->opens_so_far(), (std::vector<std::string>{"event1", "event3", "event3"}));
}

TEST_F(EvdevListing, ANodeWithoutSysfsCapabilitiesIsOtherAndNeverOpened) {
    add_node(4, Kind::mouse, {}, /*with_sysfs=*/false);
    ASSERT_EQ(start(), ERROR_SUCCESS);
    const auto list = provider().devices();
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].type, RIM_TYPEHID);
    EXPECT_EQ(list[0].name, "event4");
    EXPECT_TRUE(kernel_->opens_so_far().empty());
}

TEST_F(EvdevListing, OnlyEventCharacterDevicesAreListed) {
    add_node(1, Kind::mouse);
    add_node(2, Kind::mouse);
    kernel_->not_char_devices.insert("event2");
    testsupport::write_file(root() / "dev/input/mouse0", "");
    testsupport::write_file(root() / "dev/input/js0", "");
    testsupport::write_file(root() / "dev/input/eventX", "");
    fs::create_directories(root() / "dev/input/by-id");
    const auto list = provider().devices();
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].path, node_path(1));
}

// ---------------------------------------------------------------------------

using EvdevReading = EvdevTest;

TEST_F(EvdevReading, WholeFramesBecomePacketsStampedWithTheirReport) {
    add_node(2, Kind::mouse);
    ASSERT_EQ(start(), ERROR_SUCCESS);
    kernel_->send("event2", frame({{EV_REL, REL_X, 5}, {EV_REL, REL_Y, -3}}, 1'000'001) +
                                frame({{EV_KEY, BTN_LEFT, 1}}, 2'500'000));
    ASSERT_TRUE(wait_until([&] { return sink_.packets.size() >= 2; }));
    ASSERT_EQ(sink_.packets.size(), 2u);
    const Packet& motion = sink_.packets[0];
    EXPECT_EQ(motion.device, handle_of(2));
    EXPECT_EQ(motion.mouse.lLastX, 5);
    EXPECT_EQ(motion.mouse.lLastY, -3);
    EXPECT_EQ(motion.time_ns, 1'000'001'000);
    const Packet& press = sink_.packets[1];
    EXPECT_EQ(press.mouse.usButtonFlags, RI_MOUSE_LEFT_BUTTON_DOWN);
    EXPECT_EQ(press.mouse.ulRawButtons, 1u);
    EXPECT_EQ(press.time_ns, 2'500'000'000);
}

TEST_F(EvdevReading, EachMouseIsReadOnItsOwn) {
    add_node(2, Kind::mouse);
    add_node(9, Kind::mouse);
    ASSERT_EQ(start(), ERROR_SUCCESS);
    kernel_->send("event9", frame({{EV_REL, REL_X, 9}}));
    kernel_->send("event2", frame({{EV_REL, REL_X, 2}}) + frame({{EV_REL, REL_X, 22}}));
    ASSERT_TRUE(wait_until([&] { return sink_.packets.size() >= 3; }));
    ASSERT_EQ(packets_from(2).size(), 2u);
    EXPECT_EQ(packets_from(2)[1].mouse.lLastX, 22);
    ASSERT_EQ(packets_from(9).size(), 1u);
    EXPECT_EQ(packets_from(9)[0].mouse.lLastX, 9);
}

// Frames that waited in several mice's buffers (here: sent before the reader
// starts, as under a slow start or a stalled reader) are read in one wake-up
// and handed on oldest first across mice, also those its poll did not announce;
// a mouse's own packets keep their order even where its clock stepped back.
TEST_F(EvdevReading, PacketsThatWaitedComeInTimeOrderAcrossMice) {
    struct Sent {
        int node;
        std::int64_t time_us;
    };
    struct Case {
        const char* what;
        std::vector<Sent> sent;  // each a frame moving X by its time
        // Sent as event2 is first read: they were there before, but its
        // reader's poll did not say so (the thread was stopped between them).
        std::vector<Sent> unannounced;
        std::vector<std::int64_t> expected;
    };
    const Case cases[] = {
        {"interleaved",
         {{2, 1}, {9, 2}, {5, 3}, {2, 4}, {9, 5}, {5, 6}, {2, 7}},
         {},
         {1, 2, 3, 4, 5, 6, 7}},
        {"one mouse's clock steps back",
         {{2, 50}, {2, 10}, {9, 30}, {9, 60}},
         {},
         {30, 50, 10, 60}},
        {"older frames than its poll said",
         {{2, 1}, {2, 4}, {2, 6}},
         {{9, 2}, {5, 3}, {9, 5}},
         {1, 2, 3, 4, 5, 6}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        provider_.reset();
        kernel_ = std::make_shared<FakeKernel>();
        sink_.packets.clear();
        for (int node : {2, 5, 9})
            add_node(node, Kind::mouse);
        ASSERT_EQ(provider().devices().size(), 3u);  // opens the nodes
        const auto send = [this](const Sent& sent) {
            kernel_->send("event" + std::to_string(sent.node),
                          frame({{EV_REL, REL_X, static_cast<int>(sent.time_us)}}, sent.time_us));
        };
        for (const Sent& sent : c.sent)
            send(sent);
        kernel_->set_on_read("event2", [&] {
            for (const Sent& sent : c.unannounced)
                send(sent);
        });
        ASSERT_EQ(start(), ERROR_SUCCESS);
        ASSERT_TRUE(wait_until([&] { return sink_.packets.size() >= c.expected.size(); }));
        std::vector<std::int64_t> order;
        for (const Packet& packet : sink_.packets) {
            EXPECT_EQ(packet.time_ns, packet.mouse.lLastX * 1000);
            order.push_back(packet.mouse.lLastX);
        }
        EXPECT_EQ(order, c.expected);
    }
}

// In the kernel's order: an overflow drops what was queued and leaves
// SYN_DROPPED; libevdev's sync drains the rest, and the kernel hands out whole
// frames only, so the next frame read is complete and must be reported. What
// the overflow hid (a press, later a release) comes as its own packet, so the
// log never shows an UP without its DOWN; the overflow is said once.
TEST_F(EvdevReading, AfterAnOverflowTheHiddenButtonChangesAndTheNextFrameAreReported) {
    add_node(2, Kind::mouse);
    ASSERT_EQ(start(), ERROR_SUCCESS);
    const std::string err = capture_stderr_of([&] {
        kernel_->send("event2", frame({{EV_REL, REL_X, 1}}, 1) +
                                    std::vector{make_event(EV_SYN, SYN_DROPPED, 0, 2)} +
                                    frame({{EV_KEY, BTN_LEFT, 1}}, 3));
        ASSERT_TRUE(wait_until([&] { return syn_dropped() == 1; }));
        kernel_->send("event2", frame({{EV_KEY, BTN_RIGHT, 1}, {EV_REL, REL_Y, 7}}, 4) +
                                    frame({{EV_REL, REL_X, 3}}, 5));
        ASSERT_TRUE(wait_until([&] { return sink_.packets.size() >= 4; }));
        kernel_->send("event2", std::vector{make_event(EV_SYN, SYN_DROPPED, 0, 6)} +
                                    frame({{EV_KEY, BTN_LEFT, 0}}, 7));
        ASSERT_TRUE(wait_until([&] { return syn_dropped() == 2; }));
        kernel_->send("event2", frame({{EV_KEY, BTN_RIGHT, 0}}, 8));
        ASSERT_TRUE(wait_until([&] { return sink_.packets.size() >= 6; }));
    });
    ASSERT_EQ(sink_.packets.size(), 6u);
    const auto& p = sink_.packets;
    EXPECT_EQ(p[0].mouse.lLastX, 1);
    EXPECT_EQ(p[1].mouse.usButtonFlags, RI_MOUSE_LEFT_BUTTON_DOWN) << "hidden by the overflow";
    EXPECT_EQ(p[1].mouse.ulRawButtons, 1u);
    EXPECT_EQ(p[1].time_ns, 2'000) << "stamped with the overflow";
    EXPECT_EQ(p[2].mouse.usButtonFlags, RI_MOUSE_RIGHT_BUTTON_DOWN) << "the first whole frame";
    EXPECT_EQ(p[2].mouse.lLastY, 7);
    EXPECT_EQ(p[2].mouse.ulRawButtons, 3u);
    EXPECT_EQ(p[3].mouse.lLastX, 3);
    EXPECT_EQ(p[3].mouse.usButtonFlags, 0);
    EXPECT_EQ(p[4].mouse.usButtonFlags, RI_MOUSE_LEFT_BUTTON_UP) << "hidden by the overflow";
    EXPECT_EQ(p[4].mouse.ulRawButtons, 2u);
    EXPECT_EQ(p[5].mouse.usButtonFlags, RI_MOUSE_RIGHT_BUTTON_UP);
    EXPECT_EQ(p[5].mouse.ulRawButtons, 0u);

    EXPECT_EQ(err, "evdev: " + node_path(2) +
                       " (evdev name of event2) overflowed the kernel's buffer and events were "
                       "lost (SYN_DROPPED; --stats counts them per mouse)\n");
    using Counts = std::vector<std::pair<HANDLE, std::uint64_t>>;
    EXPECT_EQ(provider().syn_dropped_by_mouse(), (Counts{{handle_of(2), 2}}));
    kernel_->unplug("event2");
    ASSERT_TRUE(wait_until([&] { return kernel_->open_now() == 0; }));
    EXPECT_EQ(provider().syn_dropped_by_mouse(), (Counts{{handle_of(2), 2}}))
        << "a mouse's count outlives it";
}

// Each mouse read is recorded as it is read, keyboards never: its file, named
// by its place in the listing, replays to the packets the reader made, on the
// same time stamps, an overflow's resync included; a mouse plugged in later
// takes the next index. A USB mouse says the interval it declares.
TEST_F(EvdevReading, EachMouseIsRecordedAsReadAndItsRecordingReplaysToTheSamePackets) {
    add_node(2, Kind::mouse);
    add_node(5, Kind::keyboard);
    add_node(9, Kind::mouse_keyboard);
    put_on_usb(2, "1ms");
    TempDir folder;
    std::string error;
    std::shared_ptr<input::Recorder> recorder = input::Recorder::open(folder.path(), 0, error);
    ASSERT_TRUE(recorder) << error;
    ASSERT_EQ(provider().devices().size(), 3u);
    ASSERT_TRUE(provider().record_into(recorder));
    ASSERT_EQ(start(), ERROR_SUCCESS);
    EXPECT_EQ(provider().declared_interval(handle_of(2)), "1ms");
    EXPECT_EQ(provider().declared_interval(handle_of(9)), "") << "not on USB";

    kernel_->send("event2", frame({{EV_REL, REL_X, 5}, {EV_MSC, MSC_SCAN, 4}}, 1'000) +
                                frame({{EV_REL, REL_WHEEL, 1}, {EV_REL, REL_HWHEEL, -1}}, 2'000) +
                                std::vector{make_event(EV_SYN, SYN_DROPPED, 0, 3'000)} +
                                frame({{EV_KEY, BTN_LEFT, 1}}, 3'500));
    kernel_->send("event9",
                  frame({{EV_KEY, BTN_RIGHT, 1}}, 1'500) + frame({{EV_REL, REL_Y, -2}}, 2'500));
    ASSERT_TRUE(wait_until([&] { return sink_.packets.size() >= 6; }));
    EXPECT_EQ(provider().syn_dropped_total(), 1u);
    kernel_->send("event2", frame({{EV_KEY, BTN_LEFT, 0}}, 4'000));
    ASSERT_TRUE(wait_until([&] { return sink_.packets.size() >= 7; }));
    add_node(12, Kind::mouse);
    ASSERT_TRUE(wait_until([&] { return kernel_->open_now() == 3; }));
    kernel_->send("event12", frame({{EV_REL, REL_X, 7}}, 5'000));
    ASSERT_TRUE(wait_until([&] { return sink_.packets.size() >= 8; }));
    EXPECT_TRUE(recorder->finish());

    const auto name = [](int index, int node, const char* mouse) {
        return std::string(index < 10 ? "0" : "") + std::to_string(index) + "-" +
               std::to_string(input_number_of(node) + 1) + "-" + mouse + ".evemu";
    };
    std::vector<std::string> files;
    for (const auto& file : fs::directory_iterator(folder.path()))
        files.push_back(file.path().filename().string());
    std::sort(files.begin(), files.end());
    EXPECT_EQ(files, (std::vector<std::string>{name(0, 2, "evdev_name_of_event2"),
                                               name(1, 9, "evdev_name_of_event9"),
                                               name(3, 12, "evdev_name_of_event12")}))
        << "the keyboard (index 2) is never recorded";

    for (const auto& [file, node] :
         std::vector<std::pair<std::string, int>>{{files[0], 2}, {files[1], 9}, {files[2], 12}}) {
        SCOPED_TRACE(file);
        input::LoadResult loaded = input::Recording::load((folder / file).string());
        ASSERT_TRUE(loaded) << loaded.error.to_string();
        EXPECT_EQ(loaded.recording->name(), "evdev name of event" + std::to_string(node));
        EXPECT_EQ(loaded.recording->first_event_us(), 0) << "the empty frame at the run's start";
        input::ReplayProvider replay({*loaded.recording}, input::ReplayProvider::max_speed);
        struct Finished : CollectingSink {
            int finished = 0;
            void source_finished() override { ++finished; }
        } sink;
        ASSERT_EQ(replay.start(sink), ERROR_SUCCESS);
        replay.window_active(true);
        ASSERT_TRUE(wait_until([&] { return sink.finished > 0; }));
        const std::vector<Packet> read = packets_from(node);
        ASSERT_EQ(sink.packets.size(), read.size());
        for (std::size_t i = 0; i < read.size(); ++i) {
            EXPECT_EQ(std::memcmp(&sink.packets[i].mouse, &read[i].mouse, sizeof(RAWMOUSE)), 0)
                << i;
            EXPECT_EQ(sink.packets[i].own_time_ns(), read[i].time_ns) << i;
            EXPECT_EQ(sink.packets[i].same_report, read[i].same_report) << i;
        }
    }
    const std::vector<Packet> left = packets_from(2);
    ASSERT_EQ(left.size(), 5u);
    EXPECT_EQ(std::vector<bool>({left[0].same_report, left[1].same_report, left[2].same_report,
                                 left[3].same_report, left[4].same_report}),
              std::vector<bool>({false, false, true, true, false}))
        << "a frame's second packet and the resync's belong to the report before them";
    EXPECT_EQ(left[3].mouse.usButtonFlags, RI_MOUSE_LEFT_BUTTON_DOWN);
}

// The kernel's buffer for a mouse holds 128 events. While the GUI thread is
// busy (here: blocked until the mouse has sent everything), the reader thread
// keeps draining it. The mouse waits for room (a real one sends at its own
// pace); a reader that stops draining makes it overflow at the deadline.
TEST_F(EvdevReading, ABlockedGuiThreadLetsNoKernelBufferOverflow) {
    constexpr int frames = 400;  // 1200 events, over nine buffers
    const auto send_all = [&](const std::string& node) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        for (int i = 0; i < frames; ++i) {
            const auto events = frame({{EV_REL, REL_X, 1}, {EV_REL, REL_Y, -1}}, 1000 + i);
            kernel_->wait_for_room(node, events.size(), deadline);
            kernel_->send(node, events);
        }
    };

    // The model: a node nobody drains overflows.
    FakeSystem system(kernel_, root());
    add_node(5, Kind::mouse);
    const auto undrained = system.open_events(node_path(5));
    ASSERT_TRUE(undrained.source);
    kernel_->set_capacity("event5", 128);
    for (int i = 0; i < 43; ++i)
        kernel_->send("event5", frame({{EV_REL, REL_X, 1}, {EV_REL, REL_Y, -1}}));
    EXPECT_EQ(kernel_->overflows("event5"), 1) << "43 frames of 3 events";

    add_node(2, Kind::mouse);
    ASSERT_EQ(start(), ERROR_SUCCESS);
    kernel_->set_capacity("event2", 128);
    std::thread mouse([&] { send_all("event2"); });
    mouse.join();  // the GUI thread handles nothing meanwhile
    EXPECT_EQ(kernel_->overflows("event2"), 0);
    ASSERT_TRUE(wait_until([&] { return sink_.packets.size() >= frames; }));
    EXPECT_EQ(sink_.packets.size(), std::size_t{frames});
    EXPECT_EQ(syn_dropped(), 0u);
    for (int i = 0; i < frames; ++i) {
        ASSERT_EQ(sink_.packets[i].time_ns, (1000 + i) * 1000) << "in order, packet " << i;
    }
}

// A virtual machine's tablet is the pointer that moves: read, absolute,
// scaled to 0..65535, each packet with the last known position on both axes.
TEST_F(EvdevReading, AVirtualMachinesTabletIsReadAsAnAbsoluteMouse) {
    add_node(1, Kind::touchpad);
    add_node(2, Kind::vm_tablet, "QEMU 0.12.1 QEMU USB Tablet");
    add_node(3, Kind::pen_tablet);
    const auto list = provider().devices();
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[0].path, node_path(2));
    EXPECT_EQ(list[0].type, RIM_TYPEMOUSE);
    EXPECT_EQ(list[1].type, RIM_TYPEHID) << "a touchpad";
    EXPECT_EQ(list[2].type, RIM_TYPEHID) << "a pen tablet";

    ASSERT_EQ(start(), ERROR_SUCCESS);
    EXPECT_EQ(kernel_->opens_so_far(), std::vector<std::string>{"event2"});
    kernel_->send("event2", frame({{EV_KEY, BTN_LEFT, 1}}) +
                                frame({{EV_ABS, ABS_X, 32767}, {EV_ABS, ABS_Y, 16384}}) +
                                frame({{EV_ABS, ABS_X, 0}}) + frame({{EV_REL, REL_WHEEL, -1}}));
    ASSERT_TRUE(wait_until([&] { return sink_.packets.size() >= 4; }));
    ASSERT_EQ(sink_.packets.size(), 4u);
    const auto& p = sink_.packets;
    for (const Packet& packet : p)
        EXPECT_EQ(packet.mouse.usFlags, MOUSE_MOVE_ABSOLUTE);
    EXPECT_EQ(p[0].mouse.usButtonFlags, RI_MOUSE_LEFT_BUTTON_DOWN);
    EXPECT_EQ(position(p[0]), Position(0, 0)) << "the axes' minimum before any position";
    EXPECT_EQ(position(p[1]), Position(65535, 32769));
    EXPECT_EQ(position(p[2]), Position(0, 32769)) << "Y kept from the frame before";
    EXPECT_EQ(p[3].mouse.usButtonFlags, RI_MOUSE_WHEEL);
    EXPECT_EQ(p[3].mouse.usButtonData, 0xff88);
    EXPECT_EQ(position(p[3]), Position(0, 32769));
    EXPECT_EQ(p[3].mouse.ulRawButtons, 1u);
}

TEST_F(EvdevReading, KeysOfAMouseThatIsAlsoAKeyboardMakeNoPackets) {
    add_node(4, Kind::mouse_keyboard);
    ASSERT_EQ(start(), ERROR_SUCCESS);
    kernel_->send("event4", frame({{EV_MSC, MSC_SCAN, 0x70004}, {EV_KEY, KEY_A, 1}}) +
                                frame({{EV_KEY, KEY_A, 2}}) + frame({{EV_KEY, KEY_A, 0}}) +
                                frame({{EV_REL, REL_X, 4}, {EV_KEY, KEY_B, 1}}));
    ASSERT_TRUE(wait_until([&] { return !sink_.packets.empty(); }));
    ASSERT_EQ(sink_.packets.size(), 1u);
    EXPECT_EQ(sink_.packets[0].mouse.lLastX, 4);
    EXPECT_EQ(sink_.packets[0].mouse.usButtonFlags, 0);
    EXPECT_EQ(sink_.packets[0].mouse.ulRawButtons, 0u);
}

TEST_F(EvdevReading, AMouseThatGoesAwayIsClosedAndTheOthersGoOn) {
    add_node(2, Kind::mouse);
    add_node(3, Kind::mouse);
    ASSERT_EQ(start(), ERROR_SUCCESS);
    const std::string err = capture_stderr_of([&] {
        kernel_->send("event2", frame({{EV_REL, REL_X, 1}}));
        kernel_->unplug("event2");  // reads now fail with ENODEV
        ASSERT_TRUE(wait_until([&] { return kernel_->node("event2").live == 0; }));
        kernel_->send("event3", frame({{EV_REL, REL_X, 3}}));
        ASSERT_TRUE(wait_until([&] { return !packets_from(3).empty(); }));
    });
    EXPECT_EQ(packets_from(2).size(), 1u) << "what came before the end is delivered";
    EXPECT_EQ(kernel_->open_now(), 1);
    EXPECT_EQ(err, "") << "an unplugged mouse is no error";
}

TEST_F(EvdevReading, AReadErrorClosesThatMouseWithADiagnostic) {
    add_node(2, Kind::mouse);
    add_node(3, Kind::mouse);
    ASSERT_EQ(start(), ERROR_SUCCESS);
    const std::string err = capture_stderr_of([&] {
        kernel_->node("event2").read_error = EIO;
        kernel_->send("event2", frame({{EV_REL, REL_X, 1}}));
        ASSERT_TRUE(wait_until([&] { return kernel_->node("event2").live == 0; }));
    });
    EXPECT_EQ(err, "evdev: stopped reading " + node_path(2) +
                       ": Input/output error (the other mice go on)\n");
    kernel_->send("event3", frame({{EV_REL, REL_X, 3}}));
    EXPECT_TRUE(wait_until([&] { return !packets_from(3).empty(); }));
}

TEST_F(EvdevReading, ABurstLongerThanOneReadIsDeliveredWhole) {
    add_node(2, Kind::mouse);
    ASSERT_EQ(start(), ERROR_SUCCESS);
    std::vector<input_event> burst;
    for (int i = 0; i < 3000; ++i)
        burst = burst + frame({{EV_REL, REL_X, 1}}, i);
    kernel_->send("event2", burst);
    ASSERT_TRUE(wait_until([&] { return sink_.packets.size() >= 3000; }));
    EXPECT_EQ(sink_.packets.size(), 3000u);
    EXPECT_EQ(sink_.packets.back().time_ns, 2999'000);
}

TEST_F(EvdevReading, AMousePluggedInIsReadAndOneUnpluggedIsClosed) {
    add_node(2, Kind::mouse);
    ASSERT_EQ(start(), ERROR_SUCCESS);
    add_node(7, Kind::mouse);
    ASSERT_TRUE(wait_until([&] { return kernel_->open_now() == 2; }));
    kernel_->send("event7", frame({{EV_REL, REL_Y, 7}}));
    ASSERT_TRUE(wait_until([&] { return !packets_from(7).empty(); }));
    EXPECT_EQ(packets_from(7)[0].mouse.lLastY, 7);

    fs::remove(node_path(7));
    ASSERT_TRUE(wait_until([&] { return kernel_->open_now() == 1; }));
    EXPECT_EQ(kernel_->node("event7").live, 0);
    kernel_->send("event2", frame({{EV_REL, REL_X, 2}}));
    EXPECT_TRUE(wait_until([&] { return !packets_from(2).empty(); }));
}

TEST_F(EvdevReading, AKeyboardPluggedInIsNeverOpened) {
    ASSERT_EQ(start(), ERROR_SUCCESS);
    add_node(5, Kind::keyboard);
    add_node(6, Kind::mouse);
    ASSERT_TRUE(wait_until([&] { return kernel_->open_now() == 1; }));
    EXPECT_EQ(kernel_->opens_so_far(), std::vector<std::string>{"event6"});
}

TEST_F(EvdevReading, AMousePluggedInIsReadOnceItsPermissionsAllow) {
    ASSERT_EQ(start(), ERROR_SUCCESS);
    kernel_->node("event8").open_error = EACCES;
    add_node(8, Kind::mouse);
    ASSERT_TRUE(wait_until([&] { return kernel_->opens_of("event8") >= 1; }));
    EXPECT_EQ(kernel_->open_now(), 0);
    // udev grants access after making the node: its attributes change.
    kernel_->node("event8").open_error = 0;
    fs::permissions(node_path(8), fs::perms::owner_read | fs::perms::group_read);
    ASSERT_TRUE(wait_until([&] { return kernel_->open_now() == 1; }));
    kernel_->send("event8", frame({{EV_REL, REL_X, 8}}));
    EXPECT_TRUE(wait_until([&] { return !packets_from(8).empty(); }));
}

// ---------------------------------------------------------------------------

class EvdevPermissions : public EvdevTest {
  protected:
    // A keyboard, and two mice this user may not read.
    void add_refused_mice() {
        add_node(3, Kind::keyboard);
        add_node(5, Kind::mouse);
        add_node(7, Kind::mouse);
        kernel_->node("event5").open_error = EACCES;
        kernel_->node("event7").open_error = EACCES;
    }
};

// The hint line for mice that may not be read, `nodes` refused for `why`.
std::string refused_line(const std::string& nodes, const std::string& why, bool offer_x11 = true) {
    return "evdev: cannot read " + nodes + ": " + why +
           " (install udev/70-rawmice.rules or join the input group, see README" +
           (offer_x11 ? "; or try --input=x11)\n" : ")\n");
}

TEST_F(EvdevPermissions, NoReadableMouseIsAccessDeniedWithOneHintLine) {
    add_refused_mice();
    DWORD result = ERROR_SUCCESS;
    const std::string err = capture_stderr_of([&] { result = start(); });
    EXPECT_EQ(result, ERROR_ACCESS_DENIED);
    EXPECT_EQ(err, refused_line(node_path(5) + ", " + node_path(7), "Permission denied"));
}

// What the user sees when no mouse may be read: the engine lists the mice
// (from sysfs), its registration fails with error 5, and the hint says why.
TEST_F(EvdevPermissions, TheEngineReportsTheRefusalAndTheHintSaysWhy) {
    add_refused_mice();
    TempDir workdir;
    const fs::path previous_dir = fs::current_path();
    fs::current_path(workdir.path());
    // The form's own start-up finds no user32 yet; the engine starts afresh below.
    TForm1* form = nullptr;
    testing::internal::CaptureStdout();
    vcl::Application->CreateForm(&form);
    testing::internal::GetCapturedStdout();
    raw_input_release(form);
    form->Memo1->Lines->Clear();

    app::FormWindows windows;
    input::Service service(
        std::make_unique<EvdevProvider>(root(), std::make_unique<FakeSystem>(kernel_, root())),
        windows);
    service.install();
    std::int32_t result = -1;
    testing::internal::CaptureStdout();
    const std::string err = capture_stderr_of([&] { result = raw_input_init(form); });
    const std::string out = testing::internal::GetCapturedStdout();

    EXPECT_EQ(result, 0);
    EXPECT_EQ(out, "RegisterRawInputDevices_f failed: 0x00000005\n");
    EXPECT_EQ(err, refused_line(node_path(5) + ", " + node_path(7), "Permission denied"));
    std::vector<std::string> memo;
    for (int i = 0; i < form->Memo1->Lines->Count(); ++i)
        memo.push_back((*form->Memo1->Lines)[i]);
    const auto number = [](int node) { return std::to_string(input_number_of(node) + 1); };
    EXPECT_EQ(memo,
              (std::vector<std::string>{"0 " + number(5) + "  Mouse", "Amouse[0] = " + number(5),
                                        "1 " + number(7) + "  Mouse", "Amouse[1] = " + number(7),
                                        "2 " + number(3) + "  Keyboard"}));
    raw_input_release(form);
    log_file.close();
    fs::current_path(previous_dir);
}

TEST_F(EvdevPermissions, SomeReadableMiceAreEnoughAndTheOthersAreNamed) {
    add_node(2, Kind::mouse);
    add_node(5, Kind::mouse);
    kernel_->node("event5").open_error = EPERM;
    DWORD result = ERROR_ACCESS_DENIED;
    const std::string err = capture_stderr_of([&] { result = start(); });
    EXPECT_EQ(result, ERROR_SUCCESS);
    EXPECT_EQ(err, refused_line(node_path(5), "Operation not permitted"));
}

// The udev rule skips a mouse that udev also calls a keyboard: installing it
// would not help, so the hint says what does; a Wayland session's X server
// sees no real mouse, so the hint does not offer it.
TEST_F(EvdevPermissions, EachRefusedMouseGetsTheHintThatHelpsIt) {
    add_node(4, Kind::mouse_keyboard);
    add_node(5, Kind::mouse);
    add_node(6, Kind::mouse_keyboard);
    for (int node : {4, 5, 6})
        kernel_->node(node_name(node)).open_error = EACCES;
    const std::string x11_err = capture_stderr_of([&] { EXPECT_EQ(start(), ERROR_ACCESS_DENIED); });
    EXPECT_EQ(x11_err,
              "evdev: cannot read " + node_path(4) + ", " + node_path(6) +
                  ": Permission denied (this mouse is also a keyboard, so the udev rule leaves "
                  "it to the input group: join the input group to read it, see README; or try "
                  "--input=x11)\n" +
                  refused_line(node_path(5), "Permission denied"));

    // In a Wayland session the X server shows no real mouse: no --input=x11.
    EvdevProvider wayland(root(), std::make_unique<FakeSystem>(kernel_, root()));
    wayland.set_x11_alternative(false);
    CollectingSink sink;
    const std::string wayland_err =
        capture_stderr_of([&] { EXPECT_EQ(wayland.start(sink), ERROR_ACCESS_DENIED); });
    EXPECT_EQ(wayland_err.find("--input=x11"), std::string::npos) << wayland_err;
    EXPECT_NE(wayland_err.find(refused_line(node_path(5), "Permission denied", false)),
              std::string::npos)
        << wayland_err;
}

// With the read-only group rule, mouse nodes belong to the rawmice group and
// the input group no longer reads them: the hint names the group that owns
// each refused node, one line per group.
TEST_F(EvdevPermissions, TheHintNamesTheGroupThatOwnsTheRefusedNodes) {
    add_node(3, Kind::mouse);
    add_node(4, Kind::mouse_keyboard);
    add_node(5, Kind::mouse);
    add_node(6, Kind::mouse);
    for (int node : {3, 4, 5, 6})
        kernel_->node(node_name(node)).open_error = EACCES;
    kernel_->groups = {{"event3", "rawmice"}, {"event4", "plugdev"}, {"event6", "rawmice"}};
    const std::string err = capture_stderr_of([&] { EXPECT_EQ(start(), ERROR_ACCESS_DENIED); });
    EXPECT_EQ(err, "evdev: cannot read " + node_path(3) + ", " + node_path(6) +
                       ": Permission denied (these mouse nodes belong to the rawmice group: join "
                       "the rawmice group (then log in again), see README; or try --input=x11)\n"
                       "evdev: cannot read " +
                       node_path(4) +
                       ": Permission denied (this mouse is also a keyboard and its node belongs "
                       "to the plugdev group: join the plugdev group to read it (then log in "
                       "again), see README; or try --input=x11)\n" +
                       refused_line(node_path(5), "Permission denied"));
}

// `auto` in a Wayland session: the X server there is XWayland, so with no
// mouse node readable it stays on evdev and says what to install, even with
// DISPLAY set.
TEST(EvdevAuto, AWaylandSessionStaysOnEvdevAndSaysWhatToInstall) {
    if (input::any_mouse_readable())
        GTEST_SKIP() << "this machine's mice are readable: auto takes them";
    TempDir dir;
    for (const auto& env : {std::vector<std::string>{"WAYLAND_DISPLAY=wayland-0"},
                            std::vector<std::string>{"XDG_SESSION_TYPE=wayland"}}) {
        auto with_display = env;
        with_display.push_back("DISPLAY=:65013");
        const auto result = testsupport::run_rawmice({"--list-devices"}, dir.path(),
                                                     std::chrono::seconds(60), with_display);
        // 1 where the machine has no input device at all, as a build machine has.
        ASSERT_TRUE(result.exit_code == 0 || result.exit_code == 1) << result.err;
        const auto lines = testsupport::split_lines(result.err);
        ASSERT_FALSE(lines.empty()) << env[0];
        EXPECT_EQ(lines[0],
                  "rawmice: input: evdev (no mouse node is readable; in a Wayland session the X "
                  "server sees only XWayland's virtual pointers: install udev/70-rawmice.rules "
                  "to read the mice, see README)")
            << env[0];
    }
}

// `auto` outside Wayland with no mouse node readable: x11 when a display is
// set and opens (the x11 tests check that), else evdev, saying why.
TEST(EvdevAuto, WithoutAReadableMouseOrAnXDisplayItStaysOnEvdevAndSaysWhy) {
    if (input::any_mouse_readable())
        GTEST_SKIP() << "this machine's mice are readable: auto takes them";
    TempDir dir;
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"DISPLAY=",
         "rawmice: input: evdev (no mouse node is readable and this is not an X11 session)"},
        {"DISPLAY=:65013",
         "rawmice: input: evdev (no mouse node is readable, and x11: cannot open display "
         "':65013' (is an X server running there, and may this user connect to it?))"},
    };
    for (const auto& [display, expected] : cases) {
        const auto result =
            testsupport::run_rawmice({"--list-devices"}, dir.path(), std::chrono::seconds(60),
                                     {display, "WAYLAND_DISPLAY=", "XDG_SESSION_TYPE=tty"});
        ASSERT_TRUE(result.exit_code == 0 || result.exit_code == 1) << result.err;
        const auto lines = testsupport::split_lines(result.err);
        ASSERT_FALSE(lines.empty()) << display;
        EXPECT_EQ(lines[0], expected) << display;
    }
}

// No mouse, or no input folder at all: the start succeeds (a mouse plugged in
// later is read) and one line says what else to try.
TEST_F(EvdevPermissions, NoMiceOrNoInputFolderIsSuccessWithOneHintLine) {
    const std::string input = (root() / "dev/input").string();
    struct Case {
        const char* what;
        std::function<void()> make;
        std::string hint;
    };
    const std::vector<Case> cases = {
        {"a keyboard and no mouse", [&] { add_node(0, Kind::keyboard); },
         "evdev: no mouse in " + input +
             "; one plugged in later is read as it appears (in an X11 session, --input=x11 "
             "reads the X server's pointers)\n"},
        {"no input folder", [&] { fs::remove_all(root() / "dev"); },
         "evdev: no " + input +
             " here, so no input device to read (in an X11 session, try --input=x11; or "
             "--replay=FILE)\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        c.make();
        provider_.reset();
        DWORD result = ERROR_ACCESS_DENIED;
        const std::string err = capture_stderr_of([&] { result = start(); });
        EXPECT_EQ(result, ERROR_SUCCESS);
        EXPECT_EQ(err, c.hint);
    }
}

TEST_F(EvdevPermissions, AnyMouseReadableOpensMiceOnly) {
    add_node(0, Kind::keyboard);
    add_node(1, Kind::mouse);
    FakeSystem system(kernel_, root());
    kernel_->node("event1").open_error = EACCES;
    EXPECT_FALSE(input::any_mouse_readable(root(), system));
    kernel_->node("event1").open_error = 0;
    EXPECT_TRUE(input::any_mouse_readable(root(), system));
    EXPECT_EQ(kernel_->opens_so_far(), (std::vector<std::string>{"event1", "event1"}));
    EXPECT_EQ(kernel_->node("event1").live, 0) << "closed after the probe";
}

// ---------------------------------------------------------------------------

// The real system layer, on what this machine has (no input devices).
TEST(EvdevLinuxSystem, DeviceNumbersAreForCharacterDevicesOnly) {
    TempDir dir;
    testsupport::write_file(dir / "plain", "");
    auto system = input::make_linux_evdev_system();
    EXPECT_NE(system->device_number("/dev/null"), 0u);
    EXPECT_EQ(system->device_number(dir / "plain"), 0u);
    EXPECT_EQ(system->device_number(dir / "missing"), 0u);
}

TEST(EvdevLinuxSystem, ANodesGroupIsNamedAsTheSystemNamesIt) {
    TempDir dir;
    testsupport::write_file(dir / "plain", "");
    auto system = input::make_linux_evdev_system();
    const group* own = ::getgrgid(::getegid());
    ASSERT_NE(own, nullptr);
    EXPECT_EQ(system->node_group(dir / "plain"), own->gr_name);
    EXPECT_EQ(system->node_group("/"), "root");
    EXPECT_EQ(system->node_group(dir / "missing"), "");
}

int open_descriptors() {
    return static_cast<int>(std::distance(fs::directory_iterator("/proc/self/fd"), {}));
}

TEST(EvdevLinuxSystem, OpeningWhatIsNotAnEventDeviceFailsWithoutLeaking) {
    auto system = input::make_linux_evdev_system();
    const int before = open_descriptors();
    const auto not_evdev = system->open_events("/dev/null");
    EXPECT_FALSE(not_evdev.source);
    EXPECT_NE(not_evdev.error, 0);
    const auto missing = system->open_events("/nonexistent/event0");
    EXPECT_FALSE(missing.source);
    EXPECT_EQ(missing.error, ENOENT);
    EXPECT_EQ(open_descriptors(), before);
}

TEST(EvdevLinuxSystem, ATreeOfPlainFilesHasNoDevices) {
    TempDir dir;
    fs::create_directories(dir / "dev/input");
    testsupport::write_file(dir / "dev/input/event0", "");
    EvdevProvider provider(dir.path());
    EXPECT_TRUE(provider.devices().empty());
    EXPECT_FALSE(input::any_mouse_readable(dir.path()));
}

// ---------------------------------------------------------------------------

// A recording's events handed over as libevdev would hand them over.
class RecordedSource final : public EventSource {
  public:
    explicit RecordedSource(const std::vector<input_event>& events, Capabilities caps = {})
        : events_(events.begin(), events.end()), caps_(caps) {}
    int fd() const override { return -1; }
    bool key_down(unsigned code) const override { return keys_[code]; }
    // Before any event, as libevdev would know it: the axes' minimum.
    int abs_value(unsigned code) const override {
        return code == ABS_X ? caps_.x_range.minimum : code == ABS_Y ? caps_.y_range.minimum : 0;
    }
    std::string name() const override { return "recording"; }
    Capabilities capabilities() const override { return caps_; }
    int next_event(unsigned flags, input_event& event) override {
        if ((flags & LIBEVDEV_READ_FLAG_SYNC) != 0 || events_.empty())
            return -EAGAIN;
        event = events_.front();
        events_.pop_front();
        if (event.type == EV_KEY)
            keys_[event.code] = event.value != 0;
        return event.type == EV_SYN && event.code == SYN_DROPPED ? LIBEVDEV_READ_STATUS_SYNC
                                                                 : LIBEVDEV_READ_STATUS_SUCCESS;
    }

  private:
    std::deque<input_event> events_;
    Capabilities caps_;
    std::bitset<KEY_CNT> keys_;
};

struct Recording {
    fs::path path;
    std::optional<Capabilities> caps;  // from its description, or its .desc companion
    std::vector<input_event> events;
};

struct EvemuDeleter {
    void operator()(evemu_device* device) const { evemu_delete(device); }
};

bool starts_with_events(const fs::path& path) {
    std::FILE* file = std::fopen(path.c_str(), "r");
    if (file == nullptr)
        return false;
    char line[512];
    bool events = false;
    while (std::fgets(line, sizeof line, file) != nullptr) {
        if (line[0] == '#' || line[0] == '\n')
            continue;
        events = std::strncmp(line, "E:", 2) == 0;
        break;
    }
    std::fclose(file);
    return events;
}

// Description and events through libevemu; old recordings keep their
// description in a .desc beside them, found by name.
Recording read_recording(const fs::path& path) {
    Recording r{path, std::nullopt, {}};
    input::UniqueFile file(std::fopen(path.c_str(), "r"));
    if (!file)
        return r;
    if (!starts_with_events(path)) {
        std::unique_ptr<evemu_device, EvemuDeleter> device(evemu_new(nullptr));
        if (evemu_read(device.get(), file.get()) > 0) {
            const Capabilities caps = input::read_capabilities(
                [&](unsigned type, unsigned code) {
                    return evemu_has_event(device.get(), static_cast<int>(type),
                                           static_cast<int>(code)) != 0;
                },
                [&](unsigned code) {
                    return input::AxisRange{evemu_get_abs_minimum(device.get(), code),
                                            evemu_get_abs_maximum(device.get(), code)};
                });
            r.caps = caps;
        }
    }
    input_event event{};
    while (evemu_read_event(file.get(), &event) > 0)
        r.events.push_back(event);
    return r;
}

std::vector<Recording> all_recordings() {
    std::vector<fs::path> paths;
    for (const auto& entry :
         fs::recursive_directory_iterator(testsupport::required_data("evemu-devices"))) {
        const auto name = entry.path().filename().string();
        if (entry.is_regular_file() && name != "LICENSE" && name != "README.md") {
            paths.push_back(entry.path());
        }
    }
    std::sort(paths.begin(), paths.end());
    std::vector<Recording> recordings;
    // libevemu complains on stderr about a description with stray text in it.
    testing::internal::CaptureStderr();
    for (const auto& path : paths)
        recordings.push_back(read_recording(path));
    testing::internal::GetCapturedStderr();
    for (Recording& r : recordings) {
        if (r.caps)
            continue;
        // "NAME.what.events" takes the description of "NAME.desc".
        std::size_t best = 0;
        const std::string name = r.path.filename().string();
        for (const Recording& d : recordings) {
            if (!d.caps || d.path.parent_path() != r.path.parent_path())
                continue;
            const std::string stem = d.path.stem().string();
            if (stem.size() > best && name.size() > stem.size() &&
                name.compare(0, stem.size(), stem) == 0 &&
                (name[stem.size()] == '.' || name[stem.size()] == ' ')) {
                best = stem.size();
                r.caps = d.caps;
            }
        }
    }
    return recordings;
}

const std::vector<Recording>& recordings() {
    static const std::vector<Recording> all = all_recordings();
    return all;
}

// The class each recorded device is: its folder says, except for these.
DWORD expected_class(const fs::path& path) {
    static const std::map<std::string, DWORD> exceptions = {
        // The pointer interfaces of keyboards report REL_X/REL_Y.
        {"CHICONY USB Keyboard.desc", RIM_TYPEMOUSE},
        {"Lenovo ThinkPad Compact USB Keyboard with TrackPoint.trackpoint.events", RIM_TYPEMOUSE},
        {"Logitech K400 Plus.events", RIM_TYPEMOUSE},
        {"Logitech Unifying Device. Wireless PID:400e.desc", RIM_TYPEMOUSE},
        {"Microsoft Surface Type Cover.events", RIM_TYPEMOUSE},
        // A tablet whose puck reports relative motion.
        {"PTK-540WL.desc", RIM_TYPEMOUSE},
        // The absolute tablet a virtual machine gives its guest: udev's mouse.
        {"QEMU 0.12.1 QEMU USB Tablet.desc", RIM_TYPEMOUSE},
        {"QEMU 0.12.1 QEMU USB Tablet.scroll-up-down.events", RIM_TYPEMOUSE},
        // Keyboards found among mice and miscellaneous devices.
        {"ROCCAT ROCCAT Kone XTD.keyboard.evemu", RIM_TYPEKEYBOARD},
        {"Microsoft Microsoft® Nano Transceiver v2.0.desc", RIM_TYPEKEYBOARD},
        {"Yubico Yubico Yubikey II.desc", RIM_TYPEKEYBOARD},
    };
    if (auto it = exceptions.find(path.filename().string()); it != exceptions.end()) {
        return it->second;
    }
    const std::string folder = path.parent_path().filename().string();
    if (folder == "mice" || folder == "trackballs" || folder == "trackpoints")
        return RIM_TYPEMOUSE;
    if (folder == "keyboards")
        return RIM_TYPEKEYBOARD;
    return RIM_TYPEHID;
}

TEST(EvdevRecordings, EveryRecordedDeviceIsClassifiedAsWhatItIs) {
    int classified = 0;
    int mice = 0;
    for (const Recording& r : recordings()) {
        if (!r.caps)
            continue;
        ++classified;
        const DWORD type = input::classify(*r.caps);
        EXPECT_EQ(type, expected_class(r.path)) << r.path;
        if (type == RIM_TYPEMOUSE)
            ++mice;
    }
    EXPECT_GE(classified, 150) << "most recordings have a description";
    EXPECT_GE(mice, 10);
}

// What a recording's complete frames say, worked out independently of the
// assembler: per frame the packets it makes and the buttons held after it,
// and the totals of motion, wheels and button changes.
struct Expected {
    struct Frame {
        int packets;
        std::int64_t time_ns;
        ULONG held;
        std::int64_t x, y;  // an absolute mouse's position on 0..65535
    };
    std::vector<Frame> frames;
    std::int64_t dx = 0, dy = 0, wheel = 0, hwheel = 0;
    std::map<USHORT, int> button_flags;
};

// The position on 0..65535 of `value` on an axis from `min` to `max`.
std::int64_t scaled(std::int64_t value, std::int64_t min, std::int64_t max) {
    if (max <= min)
        return 0;
    const std::int64_t v = std::min(std::max(value, min), max) - min;
    return (v * 65535 + (max - min) / 2) / (max - min);
}

Expected expected_from(const std::vector<input_event>& events, const Capabilities& caps) {
    const bool absolute = input::is_absolute_mouse(caps) && !(caps.rels[REL_X] && caps.rels[REL_Y]);
    std::int64_t x_pos = caps.x_range.minimum;
    std::int64_t y_pos = caps.y_range.minimum;
    // RAWMOUSE's flags: button n goes down with 1 << 2n and up with the bit after.
    static const std::map<unsigned, int> button_index = {
        {BTN_LEFT, 0}, {BTN_RIGHT, 1}, {BTN_MIDDLE, 2}, {BTN_SIDE, 3}, {BTN_EXTRA, 4}};
    Expected x;
    std::map<unsigned, std::int64_t> rel;  // the frame's sums, by REL code
    std::map<USHORT, int> flags;
    ULONG held = 0;
    for (const input_event& e : events) {
        if (e.type == EV_REL) {
            rel[e.code] += e.value;
        } else if (absolute && e.type == EV_ABS && (e.code == ABS_X || e.code == ABS_Y)) {
            (e.code == ABS_X ? x_pos : y_pos) = e.value;
            rel[REL_CNT + e.code];  // the frame moved
        } else if (e.type == EV_KEY && button_index.count(e.code) != 0 && e.value != 2) {
            const int n = button_index.at(e.code);
            ++flags[static_cast<USHORT>(1U << (2 * n + (e.value != 0 ? 0 : 1)))];
            held = e.value != 0 ? (held | (1U << n)) : (held & ~(1U << n));
        } else if (e.type == EV_SYN && e.code == SYN_REPORT) {
            const auto has = [&](unsigned code) { return rel.count(code) != 0; };
            const bool v = has(REL_WHEEL) || has(REL_WHEEL_HI_RES);
            const bool h = has(REL_HWHEEL) || has(REL_HWHEEL_HI_RES);
            const bool moved = has(REL_CNT + ABS_X) || has(REL_CNT + ABS_Y);
            const bool any = has(REL_X) || has(REL_Y) || moved || v || h || !flags.empty();
            const std::int64_t time_ns = std::int64_t{e.input_event_sec} * 1'000'000'000 +
                                         std::int64_t{e.input_event_usec} * 1'000;
            x.frames.push_back({any ? (v && h ? 2 : 1) : 0, time_ns, held,
                                scaled(x_pos, caps.x_range.minimum, caps.x_range.maximum),
                                scaled(y_pos, caps.y_range.minimum, caps.y_range.maximum)});
            x.wheel += has(REL_WHEEL_HI_RES) ? rel[REL_WHEEL_HI_RES] : 120 * rel[REL_WHEEL];
            x.hwheel += has(REL_HWHEEL_HI_RES) ? rel[REL_HWHEEL_HI_RES] : 120 * rel[REL_HWHEEL];
            x.dx += rel[REL_X];
            x.dy += rel[REL_Y];
            for (const auto& [flag, count] : flags)
                x.button_flags[flag] += count;
            rel.clear();
            flags.clear();
        }
    }
    return x;
}

TEST(EvdevRecordings, EveryRecordingMakesThePacketsItsFramesDescribe) {
    int recordings_with_events = 0;
    std::uint64_t mouse_packets = 0;
    int absolute_recordings = 0;
    for (const Recording& r : recordings()) {
        if (r.events.empty())
            continue;
        ++recordings_with_events;
        SCOPED_TRACE(r.path.string());
        const Capabilities caps = r.caps.value_or(Capabilities{});
        const bool absolute = input::classify(caps) == RIM_TYPEMOUSE &&
                              input::is_absolute_mouse(caps) &&
                              !(caps.rels[REL_X] && caps.rels[REL_Y]);
        MouseReader reader(handle_of(1), std::make_unique<RecordedSource>(r.events, caps));
        std::vector<Packet> packets;
        ASSERT_EQ(reader.read_available([&](const Packet& p) { packets.push_back(p); },
                                        static_cast<int>(r.events.size()) + 1),
                  MouseReader::Status::waiting);
        const Expected x = expected_from(r.events, caps);

        std::size_t next = 0;
        for (const auto& f : x.frames) {
            for (int i = 0; i < f.packets; ++i, ++next) {
                ASSERT_LT(next, packets.size());
                EXPECT_EQ(packets[next].time_ns, f.time_ns) << "packet " << next;
                EXPECT_EQ(packets[next].mouse.ulRawButtons, f.held) << "packet " << next;
                if (absolute) {
                    EXPECT_EQ(packets[next].mouse.lLastX, f.x) << "packet " << next;
                    EXPECT_EQ(packets[next].mouse.lLastY, f.y) << "packet " << next;
                }
            }
        }
        EXPECT_EQ(packets.size(), next);
        std::int64_t dx = 0, dy = 0, wheel = 0, hwheel = 0;
        std::map<USHORT, int> flags;
        for (const Packet& p : packets) {
            EXPECT_EQ(p.device, handle_of(1));
            EXPECT_EQ(p.mouse.usFlags, absolute ? MOUSE_MOVE_ABSOLUTE : MOUSE_MOVE_RELATIVE);
            EXPECT_EQ(p.mouse.ulExtraInformation, 0u);
            dx += p.mouse.lLastX;
            dy += p.mouse.lLastY;
            const auto data = static_cast<std::int16_t>(p.mouse.usButtonData);
            if ((p.mouse.usButtonFlags & RI_MOUSE_WHEEL) != 0)
                wheel += data;
            if ((p.mouse.usButtonFlags & RI_MOUSE_HWHEEL) != 0)
                hwheel += data;
            for (USHORT flag = 1; flag <= RI_MOUSE_BUTTON_5_UP; flag <<= 1) {
                if ((p.mouse.usButtonFlags & flag) != 0)
                    ++flags[flag];
            }
        }
        if (!absolute) {
            EXPECT_EQ(dx, x.dx);
            EXPECT_EQ(dy, x.dy);
        }
        EXPECT_EQ(wheel, x.wheel);
        EXPECT_EQ(hwheel, x.hwheel);
        EXPECT_EQ(flags, x.button_flags);
        if (r.caps && input::classify(*r.caps) == RIM_TYPEMOUSE)
            mouse_packets += packets.size();
        if (absolute && !packets.empty())
            ++absolute_recordings;
    }
    EXPECT_GE(recordings_with_events, 100);
    EXPECT_GT(mouse_packets, 1000u);
    EXPECT_GE(absolute_recordings, 1) << "QEMU's tablet";
}

// The virtual machine's tablet recording, replayed by the real program:
// listed as a mouse, every packet absolute and scaled (the first frame moves
// X only: 18577 of 0..32767; Y is still its minimum).
TEST(EvdevRecordings, TheQemuTabletReplaysAsAbsolutePackets) {
    TempDir dir;
    const fs::path tablets = testsupport::data_dir() / "evemu-devices/tablets";
    testsupport::write_file(
        dir / "qemu.evemu",
        testsupport::read_file(tablets / "QEMU 0.12.1 QEMU USB Tablet.desc") +
            testsupport::read_file(tablets / "QEMU 0.12.1 QEMU USB Tablet.scroll-up-down.events"));
    const auto result = testsupport::run_rawmice(
        {"--replay=qemu.evemu", "--replay-speed=max", "--exit-after-replay"}, dir.path());
    ASSERT_EQ(result.exit_code, 0) << result.err;
    const auto lines = testsupport::split_lines(testsupport::read_file(dir / "log.txt"));
    ASSERT_GE(lines.size(), 30u);
    EXPECT_EQ(lines[0],
              "Mouse: num 0, usFlags=0001 ulButtons=0000 usButtonFlags=0000 usButtonData=0000 "
              "ulRawButtons=0000 lLastX=9123 lLastY=0000 ulExtraInformation=0000\r");
    for (const std::string& line : lines)
        EXPECT_NE(line.find("usFlags=0001 "), std::string::npos) << line;
}

TEST(EvdevRecordings, KeyboardRecordingsMakeNoPackets) {
    int keyboards = 0;
    for (const Recording& r : recordings()) {
        if (!r.caps || input::classify(*r.caps) != RIM_TYPEKEYBOARD || r.events.empty())
            continue;
        ++keyboards;
        MouseReader reader(handle_of(1), std::make_unique<RecordedSource>(r.events));
        int packets = 0;
        reader.read_available([&](const Packet&) { ++packets; }, 1 << 20);
        EXPECT_EQ(packets, 0) << r.path;
        EXPECT_GT(reader.ignored(), 0u) << r.path;
    }
    EXPECT_GE(keyboards, 1);
}

}  // namespace
