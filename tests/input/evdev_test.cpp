// The evdev provider above its system layer: listing a fake /dev/input and
// sysfs tree, reading mice from pipes the test writes input_event records to,
// hot-plug through real inotify, the permission path, and every evemu recording
// of the recordings run through the reader the provider uses.
#include <evemu.h>
#include <fcntl.h>
#include <libevdev/libevdev.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <set>

#include "platform/input/evdev.h"
#include "platform/input/service.h"
#include "rawinput/rawinput.h"
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
using testsupport::TempDir;
using testsupport::wait_until;

input_event make_event(unsigned type, unsigned code, int value, std::int64_t time_us = 0) {
    input_event event{};
    event.input_event_sec = time_us / 1'000'000;
    event.input_event_usec = time_us % 1'000'000;
    event.type = static_cast<std::uint16_t>(type);
    event.code = static_cast<std::uint16_t>(code);
    event.value = value;
    return event;
}

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
HANDLE handle_of(int node) {
    return input::handle_of_device_number(device_number_of(node));
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

enum class Kind { mouse, keyboard, mouse_keyboard, touchpad };

// The devices on the other side of the fake system: what each node does when
// opened, the test's end of each open node, and every open attempted.
struct FakeKernel {
    struct Node {
        int open_error = 0;
        int read_error = 0;  // the next read fails with it
        int live = 0;        // sources open now
        UniqueFd writer;
    };
    std::map<std::string, Node> nodes;
    std::vector<std::string> opens;
    std::set<std::string> not_char_devices;

    void send(const std::string& node, const std::vector<input_event>& events) {
        const auto* bytes = reinterpret_cast<const char*>(events.data());
        std::size_t left = events.size() * sizeof(input_event);
        while (left > 0) {
            const ssize_t n = ::write(nodes.at(node).writer.get(), bytes, left);
            ASSERT_GT(n, 0) << std::strerror(errno);
            bytes += n;
            left -= static_cast<std::size_t>(n);
        }
    }
    // The device goes away: its reader sees the end of the pipe.
    void unplug(const std::string& node) { nodes.at(node).writer.reset(); }
    int opens_of(const std::string& node) const {
        return static_cast<int>(std::count(opens.begin(), opens.end(), node));
    }
};

// libevdev's reading contract over a pipe of input_event records. The device
// state is what every record written says; a resync discards what is queued
// and reports the difference to the state the reader has seen.
class FakeSource final : public EventSource {
  public:
    FakeSource(std::shared_ptr<FakeKernel> kernel, std::string node, UniqueFd fd, Capabilities caps)
        : kernel_(std::move(kernel)), node_(std::move(node)), fd_(std::move(fd)), caps_(caps) {
        ++kernel_->nodes[node_].live;
    }
    ~FakeSource() override { --kernel_->nodes[node_].live; }

    int fd() const override { return fd_.get(); }
    bool key_down(unsigned code) const override { return seen_keys_[code]; }
    std::string name() const override { return "evdev name of " + node_; }
    Capabilities capabilities() const override { return caps_; }

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
        if (int& error = kernel_->nodes[node_].read_error; error != 0) {
            return -std::exchange(error, 0);
        }
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
            queue_.push_back(event);
        }
        bytes_.erase(0, used);
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
    input::OpenedSource open_events(const fs::path& node) override {
        const std::string name = node.filename().string();
        kernel_->opens.push_back(name);
        auto& state = kernel_->nodes[name];
        if (state.open_error != 0)
            return {nullptr, state.open_error};
        if (!fs::exists(node))
            return {nullptr, ENOENT};
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0)
            return {nullptr, errno};
        ::fcntl(fds[0], F_SETFL, O_NONBLOCK);
        ::fcntl(fds[1], F_SETPIPE_SZ, 1 << 20);
        state.writer = UniqueFd(fds[1]);
        const auto caps =
            input::read_sysfs_capabilities(root_ / "sys/class/input" / name / "device");
        return {std::make_unique<FakeSource>(kernel_, name, UniqueFd(fds[0]),
                                             caps.value_or(Capabilities{})),
                0};
    }
    std::unique_ptr<input::FolderWatch> watch_folder(const fs::path& folder, int& error) override {
        return real_->watch_folder(folder, error);
    }

  private:
    std::shared_ptr<FakeKernel> kernel_;
    fs::path root_;
    std::unique_ptr<input::EvdevSystem> real_ = input::make_linux_evdev_system();
};

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

    // Sysfs first, then the node, as the kernel and udev make them.
    void add_node(int node, Kind kind, const std::string& name = {}, bool with_sysfs = true) {
        if (with_sysfs)
            write_sysfs(node, kind, name.empty() ? "sysfs name of " + node_name(node) : name);
        testsupport::write_file(node_path(node), "");
    }
    void write_sysfs(int node, Kind kind, const std::string& name) {
        const fs::path device = root() / "sys/class/input" / node_name(node) / "device";
        fs::create_directories(device / "capabilities");
        std::vector<unsigned> types{EV_SYN, EV_KEY};
        std::vector<unsigned> keys;
        std::vector<unsigned> rels;
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
        }
        testsupport::write_file(device / "name", name + "\n");
        testsupport::write_file(device / "capabilities/ev", sysfs_bitmap(types));
        testsupport::write_file(device / "capabilities/key", sysfs_bitmap(keys));
        testsupport::write_file(device / "capabilities/rel", sysfs_bitmap(rels));
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

    TempDir dir_;
    std::shared_ptr<FakeKernel> kernel_ = std::make_shared<FakeKernel>();
    std::unique_ptr<EvdevProvider> provider_;
    CollectingSink sink_;
};

// ---------------------------------------------------------------------------

TEST(EvdevSysfs, ReadsCapabilitiesAsTheKernelPrintsThem) {
    TempDir dir;
    fs::create_directories(dir / "kbd/capabilities");
    // A real USB keyboard's and a real hi-res mouse's sysfs files.
    testsupport::write_file(dir / "kbd/capabilities/ev", "120013\n");
    testsupport::write_file(dir / "kbd/capabilities/key",
                            "1000000000007 ff9f207ac14057ff febeffdfffefffff fffffffffffffffe\n");
    testsupport::write_file(dir / "kbd/capabilities/rel", "0\n");
    fs::create_directories(dir / "mouse/capabilities");
    testsupport::write_file(dir / "mouse/capabilities/ev", "17\n");
    testsupport::write_file(dir / "mouse/capabilities/key", "1f0000 0 0 0 0\n");
    testsupport::write_file(dir / "mouse/capabilities/rel", "1943\n");

    const auto keyboard = input::read_sysfs_capabilities(dir / "kbd");
    ASSERT_TRUE(keyboard);
    EXPECT_TRUE(keyboard->types[EV_KEY] && keyboard->types[EV_LED] && keyboard->types[EV_REP]);
    EXPECT_TRUE(keyboard->keys[KEY_ESC] && keyboard->keys[KEY_S] && keyboard->keys[KEY_A]);
    EXPECT_FALSE(keyboard->keys[KEY_RESERVED]);
    EXPECT_EQ(input::classify(*keyboard), RIM_TYPEKEYBOARD);

    const auto mouse = input::read_sysfs_capabilities(dir / "mouse");
    ASSERT_TRUE(mouse);
    EXPECT_EQ(mouse->keys.count(), 5u);
    EXPECT_TRUE(mouse->keys[BTN_LEFT] && mouse->keys[BTN_EXTRA]);
    EXPECT_TRUE(mouse->rels[REL_X] && mouse->rels[REL_Y] && mouse->rels[REL_WHEEL_HI_RES]);
    EXPECT_EQ(input::classify(*mouse), RIM_TYPEMOUSE);
}

TEST(EvdevSysfs, MissingOrMalformedFilesGiveNothing) {
    TempDir dir;
    fs::create_directories(dir / "capabilities");
    testsupport::write_file(dir / "capabilities/ev", "17\n");
    testsupport::write_file(dir / "capabilities/key", "1f0000 0 0 0 0\n");
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

TEST_F(EvdevListing, HandlesAreTheNodesDeviceNumbers) {
    add_node(3, Kind::keyboard);
    add_node(7, Kind::mouse);
    const auto list = provider().devices();
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].handle, handle_of(7));
    EXPECT_EQ(list[1].handle, handle_of(3));
    for (const Device& d : list)
        EXPECT_NE(d.handle, nullptr);
}

TEST_F(EvdevListing, UnreadableNodesAreListedFromSysfs) {
    add_node(2, Kind::mouse, "Readable Mouse");
    add_node(5, Kind::mouse, "Locked Mouse");
    add_node(6, Kind::keyboard, "Some Keyboard");
    kernel_->nodes["event5"].open_error = EACCES;

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
    EXPECT_EQ(kernel_->opens, (std::vector<std::string>{"event1", "event3"}));
    EXPECT_EQ(provider().open_mice(), 2u);
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
    ASSERT_TRUE(wait_until([&] { return provider().open_mice() == 0; }));
    add_node(1, Kind::keyboard);
    // Changes are handled in order: once this mouse is open, all the above were seen.
    add_node(3, Kind::mouse);
    ASSERT_TRUE(wait_until([&] { return provider().open_mice() == 1; }));
    provider().devices();
    FakeSystem probe(kernel_, root());
    EXPECT_TRUE(input::any_mouse_readable(root(), probe));
    EXPECT_EQ(kernel_->opens, (std::vector<std::string>{"event1", "event3", "event3"}));
}

TEST_F(EvdevListing, ANodeWithoutSysfsCapabilitiesIsOtherAndNeverOpened) {
    add_node(4, Kind::mouse, {}, /*with_sysfs=*/false);
    ASSERT_EQ(start(), ERROR_SUCCESS);
    const auto list = provider().devices();
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].type, RIM_TYPEHID);
    EXPECT_EQ(list[0].name, "event4");
    EXPECT_TRUE(kernel_->opens.empty());
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

TEST_F(EvdevReading, APartialFrameBeforeSynDroppedIsDiscardedAndButtonsResynced) {
    add_node(2, Kind::mouse);
    ASSERT_EQ(start(), ERROR_SUCCESS);
    // The overflow lost a press; what is still queued at the resync is drained.
    kernel_->send("event2", frame({{EV_REL, REL_X, 1}}) +
                                std::vector{make_event(EV_REL, REL_X, 100),
                                            make_event(EV_SYN, SYN_DROPPED, 0)} +
                                frame({{EV_KEY, BTN_LEFT, 1}}));
    ASSERT_TRUE(wait_until([&] { return provider().syn_dropped() == 1; }));
    // The rest of a frame that began before the resync, then a whole one.
    kernel_->send("event2",
                  std::vector{make_event(EV_KEY, BTN_RIGHT, 1), make_event(EV_REL, REL_Y, 7),
                              make_event(EV_SYN, SYN_REPORT, 0)} +
                      frame({{EV_REL, REL_X, 3}}));
    ASSERT_TRUE(wait_until([&] { return sink_.packets.size() >= 2; }));
    ASSERT_EQ(sink_.packets.size(), 2u);
    EXPECT_EQ(sink_.packets[0].mouse.lLastX, 1);
    EXPECT_EQ(sink_.packets[1].mouse.lLastX, 3);
    EXPECT_EQ(sink_.packets[1].mouse.lLastY, 0);
    EXPECT_EQ(sink_.packets[1].mouse.usButtonFlags, 0);
    // Left from the resync, right from the discarded frame.
    EXPECT_EQ(sink_.packets[1].mouse.ulRawButtons, 3u);
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
        ASSERT_TRUE(wait_until([&] { return kernel_->nodes["event2"].live == 0; }));
        kernel_->send("event3", frame({{EV_REL, REL_X, 3}}));
        ASSERT_TRUE(wait_until([&] { return !packets_from(3).empty(); }));
    });
    EXPECT_EQ(packets_from(2).size(), 1u) << "what came before the end is delivered";
    EXPECT_EQ(provider().open_mice(), 1u);
    EXPECT_EQ(err, "") << "an unplugged mouse is no error";
}

TEST_F(EvdevReading, AReadErrorClosesThatMouseWithADiagnostic) {
    add_node(2, Kind::mouse);
    add_node(3, Kind::mouse);
    ASSERT_EQ(start(), ERROR_SUCCESS);
    const std::string err = capture_stderr_of([&] {
        kernel_->nodes["event2"].read_error = EIO;
        kernel_->send("event2", frame({{EV_REL, REL_X, 1}}));
        ASSERT_TRUE(wait_until([&] { return kernel_->nodes["event2"].live == 0; }));
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
    ASSERT_TRUE(wait_until([&] { return provider().open_mice() == 2; }));
    kernel_->send("event7", frame({{EV_REL, REL_Y, 7}}));
    ASSERT_TRUE(wait_until([&] { return !packets_from(7).empty(); }));
    EXPECT_EQ(packets_from(7)[0].mouse.lLastY, 7);

    fs::remove(node_path(7));
    ASSERT_TRUE(wait_until([&] { return provider().open_mice() == 1; }));
    EXPECT_EQ(kernel_->nodes["event7"].live, 0);
    kernel_->send("event2", frame({{EV_REL, REL_X, 2}}));
    EXPECT_TRUE(wait_until([&] { return !packets_from(2).empty(); }));
}

TEST_F(EvdevReading, AKeyboardPluggedInIsNeverOpened) {
    ASSERT_EQ(start(), ERROR_SUCCESS);
    add_node(5, Kind::keyboard);
    add_node(6, Kind::mouse);
    ASSERT_TRUE(wait_until([&] { return provider().open_mice() == 1; }));
    EXPECT_EQ(kernel_->opens, std::vector<std::string>{"event6"});
}

TEST_F(EvdevReading, AMousePluggedInIsReadOnceItsPermissionsAllow) {
    ASSERT_EQ(start(), ERROR_SUCCESS);
    kernel_->nodes["event8"].open_error = EACCES;
    add_node(8, Kind::mouse);
    ASSERT_TRUE(wait_until([&] { return kernel_->opens_of("event8") >= 1; }));
    EXPECT_EQ(provider().open_mice(), 0u);
    // udev grants access after making the node: its attributes change.
    kernel_->nodes["event8"].open_error = 0;
    fs::permissions(node_path(8), fs::perms::owner_read | fs::perms::group_read);
    ASSERT_TRUE(wait_until([&] { return provider().open_mice() == 1; }));
    kernel_->send("event8", frame({{EV_REL, REL_X, 8}}));
    EXPECT_TRUE(wait_until([&] { return !packets_from(8).empty(); }));
}

// ---------------------------------------------------------------------------

using EvdevPermissions = EvdevTest;

TEST_F(EvdevPermissions, NoReadableMouseIsAccessDeniedWithOneHintLine) {
    add_node(3, Kind::keyboard);
    add_node(5, Kind::mouse);
    add_node(7, Kind::mouse);
    kernel_->nodes["event5"].open_error = EACCES;
    kernel_->nodes["event7"].open_error = EACCES;
    DWORD result = ERROR_SUCCESS;
    const std::string err = capture_stderr_of([&] { result = start(); });
    EXPECT_EQ(result, ERROR_ACCESS_DENIED);
    EXPECT_EQ(err, "evdev: cannot read " + node_path(5) + ", " + node_path(7) +
                       ": Permission denied (install udev/70-rawmice.rules or join the input "
                       "group, see README; or try --input=x11)\n");
}

// What the user sees when no mouse may be read: the engine lists the mice
// (from sysfs), its registration fails with error 5, and the hint says why.
TEST_F(EvdevPermissions, TheEngineReportsTheRefusalAndTheHintSaysWhy) {
    add_node(3, Kind::keyboard);
    add_node(5, Kind::mouse);
    add_node(7, Kind::mouse);
    kernel_->nodes["event5"].open_error = EACCES;
    kernel_->nodes["event7"].open_error = EACCES;
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

    input::Service service(
        std::make_unique<EvdevProvider>(root(), std::make_unique<FakeSystem>(kernel_, root())));
    service.install();
    std::int32_t result = -1;
    testing::internal::CaptureStdout();
    const std::string err = capture_stderr_of([&] { result = raw_input_init(form); });
    const std::string out = testing::internal::GetCapturedStdout();

    EXPECT_EQ(result, 0);
    EXPECT_EQ(out, "RegisterRawInputDevices_f failed: 0x00000005\n");
    EXPECT_EQ(err, "evdev: cannot read " + node_path(5) + ", " + node_path(7) +
                       ": Permission denied (install udev/70-rawmice.rules or join the input "
                       "group, see README; or try --input=x11)\n");
    std::vector<std::string> memo;
    for (int i = 0; i < form->Memo1->Lines->Count(); ++i)
        memo.push_back((*form->Memo1->Lines)[i]);
    const auto number = [](int node) { return std::to_string(device_number_of(node)); };
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
    kernel_->nodes["event5"].open_error = EPERM;
    DWORD result = ERROR_ACCESS_DENIED;
    const std::string err = capture_stderr_of([&] { result = start(); });
    EXPECT_EQ(result, ERROR_SUCCESS);
    EXPECT_EQ(err, "evdev: cannot read " + node_path(5) +
                       ": Operation not permitted (install udev/70-rawmice.rules or join the "
                       "input group, see README; or try --input=x11)\n");
}

TEST_F(EvdevPermissions, NoMiceAtAllIsSuccessWithOneHintLine) {
    add_node(0, Kind::keyboard);
    DWORD result = ERROR_ACCESS_DENIED;
    const std::string err = capture_stderr_of([&] { result = start(); });
    EXPECT_EQ(result, ERROR_SUCCESS);
    EXPECT_EQ(err, "evdev: no mouse in " + (root() / "dev/input").string() +
                       "; one plugged in later is read as it appears (in an X11 session, "
                       "--input=x11 reads the X server's pointers)\n");
}

TEST_F(EvdevPermissions, NoInputFolderIsSuccessWithOneHintLine) {
    fs::remove_all(root() / "dev");
    DWORD result = ERROR_ACCESS_DENIED;
    const std::string err = capture_stderr_of([&] { result = start(); });
    EXPECT_EQ(result, ERROR_SUCCESS);
    EXPECT_EQ(err, "evdev: no " + (root() / "dev/input").string() +
                       " here, so no input device to read (in an X11 session, try "
                       "--input=x11; or --replay=FILE)\n");
}

TEST_F(EvdevPermissions, AnyMouseReadableOpensMiceOnly) {
    add_node(0, Kind::keyboard);
    add_node(1, Kind::mouse);
    FakeSystem system(kernel_, root());
    kernel_->nodes["event1"].open_error = EACCES;
    EXPECT_FALSE(input::any_mouse_readable(root(), system));
    kernel_->nodes["event1"].open_error = 0;
    EXPECT_TRUE(input::any_mouse_readable(root(), system));
    EXPECT_EQ(kernel_->opens, (std::vector<std::string>{"event1", "event1"}));
    EXPECT_EQ(kernel_->nodes["event1"].live, 0) << "closed after the probe";
}

// The shipped udev rule: read access for the seat's user to mouse nodes, and
// to nothing udev also calls a keyboard.
TEST(EvdevUdevRule, TagsMouseEventNodesOnlyNeverKeyboards) {
    const std::string text =
        testsupport::read_file(testsupport::source_dir() / "udev/70-rawmice.rules");
    std::vector<std::string> rules;
    for (const std::string& line : testsupport::split_lines(text)) {
        if (!line.empty() && line[0] != '#')
            rules.push_back(line);
    }
    ASSERT_EQ(rules.size(), 1u);
    for (const char* part :
         {"SUBSYSTEM==\"input\"", "KERNEL==\"event*\"", "ENV{ID_INPUT_MOUSE}==\"1\"",
          "ENV{ID_INPUT_KEYBOARD}!=\"1\"", "TAG+=\"uaccess\""}) {
        EXPECT_NE(rules[0].find(part), std::string::npos) << part;
    }
    for (const char* widening : {"MODE", "GROUP", "OWNER"}) {
        EXPECT_EQ(rules[0].find(widening), std::string::npos) << widening;
    }
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
    explicit RecordedSource(const std::vector<input_event>& events)
        : events_(events.begin(), events.end()) {}
    int fd() const override { return -1; }
    bool key_down(unsigned code) const override { return keys_[code]; }
    std::string name() const override { return "recording"; }
    Capabilities capabilities() const override { return {}; }
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
struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
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
    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "r"));
    if (!file)
        return r;
    if (!starts_with_events(path)) {
        std::unique_ptr<evemu_device, EvemuDeleter> device(evemu_new(nullptr));
        if (evemu_read(device.get(), file.get()) > 0) {
            Capabilities caps;
            for (unsigned type = 0; type < EV_CNT; ++type) {
                caps.types[type] = evemu_has_bit(device.get(), static_cast<int>(type)) != 0;
            }
            for (unsigned code = 0; code < KEY_CNT; ++code) {
                caps.keys[code] =
                    evemu_has_event(device.get(), EV_KEY, static_cast<int>(code)) != 0;
            }
            for (unsigned code = 0; code < REL_CNT; ++code) {
                caps.rels[code] =
                    evemu_has_event(device.get(), EV_REL, static_cast<int>(code)) != 0;
            }
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
    };
    std::vector<Frame> frames;
    std::int64_t dx = 0, dy = 0, wheel = 0, hwheel = 0;
    std::map<USHORT, int> button_flags;
};

Expected expected_from(const std::vector<input_event>& events) {
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
        } else if (e.type == EV_KEY && button_index.count(e.code) != 0 && e.value != 2) {
            const int n = button_index.at(e.code);
            ++flags[static_cast<USHORT>(1U << (2 * n + (e.value != 0 ? 0 : 1)))];
            held = e.value != 0 ? (held | (1U << n)) : (held & ~(1U << n));
        } else if (e.type == EV_SYN && e.code == SYN_REPORT) {
            const auto has = [&](unsigned code) { return rel.count(code) != 0; };
            const bool v = has(REL_WHEEL) || has(REL_WHEEL_HI_RES);
            const bool h = has(REL_HWHEEL) || has(REL_HWHEEL_HI_RES);
            const bool any = has(REL_X) || has(REL_Y) || v || h || !flags.empty();
            const std::int64_t time_ns = std::int64_t{e.input_event_sec} * 1'000'000'000 +
                                         std::int64_t{e.input_event_usec} * 1'000;
            x.frames.push_back({any ? (v && h ? 2 : 1) : 0, time_ns, held});
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
    for (const Recording& r : recordings()) {
        if (r.events.empty())
            continue;
        ++recordings_with_events;
        SCOPED_TRACE(r.path.string());
        MouseReader reader(handle_of(1), std::make_unique<RecordedSource>(r.events));
        std::vector<Packet> packets;
        ASSERT_EQ(reader.read_available([&](const Packet& p) { packets.push_back(p); },
                                        static_cast<int>(r.events.size()) + 1),
                  MouseReader::Status::waiting);
        const Expected x = expected_from(r.events);

        std::size_t next = 0;
        for (const auto& f : x.frames) {
            for (int i = 0; i < f.packets; ++i, ++next) {
                ASSERT_LT(next, packets.size());
                EXPECT_EQ(packets[next].time_ns, f.time_ns) << "packet " << next;
                EXPECT_EQ(packets[next].mouse.ulRawButtons, f.held) << "packet " << next;
            }
        }
        EXPECT_EQ(packets.size(), next);
        std::int64_t dx = 0, dy = 0, wheel = 0, hwheel = 0;
        std::map<USHORT, int> flags;
        for (const Packet& p : packets) {
            EXPECT_EQ(p.device, handle_of(1));
            EXPECT_EQ(p.mouse.usFlags, MOUSE_MOVE_RELATIVE);
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
        EXPECT_EQ(dx, x.dx);
        EXPECT_EQ(dy, x.dy);
        EXPECT_EQ(wheel, x.wheel);
        EXPECT_EQ(hwheel, x.hwheel);
        EXPECT_EQ(flags, x.button_flags);
        if (r.caps && input::classify(*r.caps) == RIM_TYPEMOUSE)
            mouse_packets += packets.size();
    }
    EXPECT_GE(recordings_with_events, 100);
    EXPECT_GT(mouse_packets, 1000u);
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
