// The x11 provider against a real X server: Xvfb with extra master devices,
// whose XTEST pointers are moved one at a time.
#include <QCoreApplication>

#include <gtest/gtest.h>

#include <X11/extensions/XI2.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/frames/frames.h"
#include "platform/input/x11.h"
#include "tests/support/test_support.h"
#include "tests/support/xfake.h"
#include "tests/support/xvfb.h"
#include "tests/support/xvfb_fixture.h"

namespace {

using input::Packet;
using input::X11Provider;

std::int64_t monotonic_ns() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return std::int64_t{now.tv_sec} * 1'000'000'000 + now.tv_nsec;
}

HANDLE handle_of(int id) {
    return reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(id));
}

// Records the packets, and whether each came inside a burst the provider opened.
class RecordingSink final : public input::PacketSink {
  public:
    void push(const Packet& packet) override {
        packets.push_back(packet);
        if (open_bursts == 0)
            ++outside_bursts;
    }
    void burst_begin() override { ++open_bursts; }
    void burst_end() override {
        --open_bursts;
        ++bursts;
    }
    std::vector<Packet> packets;
    int open_bursts = 0;
    int bursts = 0;
    int outside_bursts = 0;
};

class X11Provider_ : public XvfbWithMiceTest {
  protected:
    std::unique_ptr<X11Provider> open() {
        std::string error;
        auto provider = X11Provider::open(xvfb_->display(), error);
        EXPECT_NE(provider, nullptr) << error;
        return provider;
    }
    // Opens the provider and starts it on sink_.
    bool start() {
        provider_ = open();
        return provider_ != nullptr && provider_->start(sink_) == ERROR_SUCCESS;
    }

    // Waits until `sink` holds `count` packets, then sends a marker move on
    // `marker_pointer` and waits for it, so that any packet beyond `count`
    // (one counted twice) has arrived before the marker.
    bool receive_exactly(RecordingSink& sink, std::size_t count, int marker_pointer) {
        if (!testsupport::wait_until([&] { return sink.packets.size() >= count; }))
            return false;
        driver_->move(marker_pointer, 77, 77);
        driver_->sync();
        if (!testsupport::wait_until(
                [&] { return !sink.packets.empty() && sink.packets.back().mouse.lLastX == 77; })) {
            return false;
        }
        const bool exact = sink.packets.size() == count + 1;
        sink.packets.pop_back();
        return exact;
    }

    RecordingSink sink_;  // outlives the provider that feeds it
    std::unique_ptr<X11Provider> provider_;
};

TEST(X11ProviderOpen, ADisplayWithNoServerIsAClearError) {
    std::string error;
    EXPECT_EQ(X11Provider::open(":65011", error), nullptr);
    EXPECT_EQ(error.rfind("x11: cannot open display ':65011'", 0), 0u) << error;
}

TEST(X11ProviderOpen, NoDisplayVariableIsAClearError) {
    const char* saved = std::getenv("DISPLAY");
    const std::optional<std::string> display =
        saved != nullptr ? std::optional<std::string>(saved) : std::nullopt;
    unsetenv("DISPLAY");
    std::string error;
    EXPECT_EQ(input::make_x11_provider(error), nullptr);
    EXPECT_FALSE(input::x11_session());
    if (display)
        setenv("DISPLAY", display->c_str(), 1);
    EXPECT_NE(error.find("DISPLAY is not set"), std::string::npos) << error;
}

TEST_F(X11Provider_, NegotiatesXInput22OrLater) {
    auto provider = open();
    ASSERT_NE(provider, nullptr);
    EXPECT_GE(provider->xi_version(), 2002);
    EXPECT_STREQ(provider->name(), "x11");
}

// The X server names its XTest devices "<master> XTEST pointer" / "... keyboard".
bool is_xtest(const xfake::XiDevice& d) {
    return d.name.find(" XTEST ") != std::string::npos;
}

TEST_F(X11Provider_, XTestDevicesComeAfterTheOthersOfTheirKind) {
    auto provider = open();
    ASSERT_NE(provider, nullptr);
    const std::vector<input::Device> devices = provider->devices();
    std::vector<std::string> mice;
    std::vector<std::string> keyboards;
    for (const input::Device& d : devices)
        (d.type == RIM_TYPEMOUSE ? mice : keyboards).push_back(d.name);
    // Xvfb's own mouse and keyboard first: on a desktop, the physical devices.
    EXPECT_EQ(mice, (std::vector<std::string>{"Xvfb mouse", "Virtual core XTEST pointer",
                                              "fake 1 XTEST pointer", "fake 2 XTEST pointer",
                                              "fake 3 XTEST pointer"}));
    EXPECT_EQ(keyboards, (std::vector<std::string>{"Xvfb keyboard", "Virtual core XTEST keyboard",
                                                   "fake 1 XTEST keyboard", "fake 2 XTEST keyboard",
                                                   "fake 3 XTEST keyboard"}));
}

TEST_F(X11Provider_, ListsSlavePointersThenSlaveKeyboardsThenFloatingSlaves) {
    // "Xvfb mouse" left floating becomes another device.
    int floating = 0;
    for (const xfake::XiDevice& d : driver_->devices()) {
        if (d.name == "Xvfb mouse")
            floating = d.id;
    }
    ASSERT_NE(floating, 0);
    driver_->detach(floating);

    std::vector<std::pair<int, DWORD>> expected;
    std::vector<std::string> names;
    for (int wanted : {XISlavePointer, XISlaveKeyboard, XIFloatingSlave}) {
        // In id order, the server's XTest devices after the others.
        std::vector<xfake::XiDevice> kind;
        for (const xfake::XiDevice& d : driver_->devices()) {
            if (d.use == wanted)
                kind.push_back(d);
        }
        std::stable_sort(kind.begin(), kind.end(),
                         [](const auto& a, const auto& b) { return !is_xtest(a) && is_xtest(b); });
        for (const xfake::XiDevice& d : kind) {
            expected.emplace_back(d.id, wanted == XISlavePointer    ? RIM_TYPEMOUSE
                                        : wanted == XISlaveKeyboard ? RIM_TYPEKEYBOARD
                                                                    : RIM_TYPEHID);
            names.push_back(d.name);
        }
    }

    auto provider = open();
    ASSERT_NE(provider, nullptr);
    const std::vector<input::Device> devices = provider->devices();
    ASSERT_EQ(devices.size(), expected.size());
    for (std::size_t i = 0; i < devices.size(); ++i) {
        EXPECT_EQ(devices[i].handle, handle_of(expected[i].first)) << "entry " << i;
        EXPECT_EQ(devices[i].type, expected[i].second) << "entry " << i;
        EXPECT_EQ(devices[i].name, names[i]);
    }
    // Four slave pointers (the core XTEST one and three added) are the mice.
    ASSERT_GE(devices.size(), 4u);
    EXPECT_EQ(devices[0].name, "Virtual core XTEST pointer");
    EXPECT_EQ(devices[1].name, "fake 1 XTEST pointer");
    EXPECT_EQ(devices[3].name, "fake 3 XTEST pointer");
    EXPECT_EQ(devices.back().type, RIM_TYPEHID);
    for (const input::Device& d : devices) {
        EXPECT_NE(d.handle, nullptr);
        EXPECT_EQ(d.name.find("Virtual core pointer"), std::string::npos)
            << "masters are not listed";
    }
}

TEST_F(X11Provider_, EachPointerReportsUnderItsOwnIdOnce) {
    ASSERT_TRUE(start());

    const std::int64_t before = monotonic_ns();
    for (std::size_t i = 0; i < masters_.size(); ++i) {
        const int n = static_cast<int>(i) + 1;
        driver_->move(masters_[i].xtest_pointer, n, -2 * n);
        driver_->move(masters_[i].xtest_pointer, 10 * n, 0);
    }
    driver_->sync();
    ASSERT_TRUE(receive_exactly(sink_, 2 * masters_.size(), masters_[0].xtest_pointer))
        << "got " << sink_.packets.size() << " packets";
    const std::int64_t after = monotonic_ns();

    for (std::size_t i = 0; i < masters_.size(); ++i) {
        const int n = static_cast<int>(i) + 1;
        const Packet& first = sink_.packets[2 * i];
        const Packet& second = sink_.packets[2 * i + 1];
        EXPECT_EQ(first.device, handle_of(masters_[i].xtest_pointer));
        EXPECT_EQ(second.device, handle_of(masters_[i].xtest_pointer));
        EXPECT_EQ(first.mouse.lLastX, n);
        EXPECT_EQ(first.mouse.lLastY, -2 * n);
        EXPECT_EQ(second.mouse.lLastX, 10 * n) << "raw values, never accelerated";
        EXPECT_EQ(second.mouse.lLastY, 0);
        EXPECT_EQ(first.mouse.usButtonFlags, 0);
        // Server time mapped onto CLOCK_MONOTONIC, no later than the packet's receipt.
        EXPECT_GE(first.time_ns, before - 1'000'000'000);
        EXPECT_LE(first.time_ns, after);
        // Its own stamp, which the timing measures read: the server's, in whole milliseconds.
        EXPECT_NE(first.own_stamp_ns, Packet::no_own_stamp);
        EXPECT_EQ(first.own_stamp_ns % 1'000'000, 0);
        EXPECT_LE(first.own_stamp_ns, second.own_stamp_ns);
        EXPECT_FALSE(first.same_report || second.same_report) << "one event, one report";
    }
    EXPECT_EQ(provider_->packets(), 2 * masters_.size() + 1);
    // Every packet came inside a burst that was closed again, so that the
    // service handles each wake-up's packets together.
    EXPECT_EQ(sink_.outside_bursts, 0);
    EXPECT_EQ(sink_.open_bursts, 0);
    EXPECT_GE(sink_.bursts, 1);
}

TEST_F(X11Provider_, ButtonsAndWheelStepsGiveTheirFlags) {
    ASSERT_TRUE(start());

    const int pointer = masters_[1].xtest_pointer;
    driver_->press(pointer, 1);
    driver_->press(pointer, 3);
    driver_->release(pointer, 1);
    driver_->release(pointer, 3);
    driver_->click(pointer, 2);
    driver_->click(pointer, 8);
    driver_->click(pointer, 9);
    for (int button = 4; button <= 7; ++button)
        driver_->wheel(pointer, button);
    driver_->sync();

    struct Expected {
        USHORT flags;
        USHORT data;
        ULONG held;
    };
    const std::vector<Expected> expected = {
        {0x0001, 0, 0x1},      {0x0004, 0, 0x3},      {0x0002, 0, 0x2},      {0x0008, 0, 0x0},
        {0x0010, 0, 0x4},      {0x0020, 0, 0x0},      {0x0040, 0, 0x8},      {0x0080, 0, 0x0},
        {0x0100, 0, 0x10},     {0x0200, 0, 0x0},      {0x0400, 0x0078, 0x0}, {0x0400, 0xff88, 0x0},
        {0x0800, 0xff88, 0x0}, {0x0800, 0x0078, 0x0},
    };
    ASSERT_TRUE(receive_exactly(sink_, expected.size(), pointer)) << sink_.packets.size();
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const RAWMOUSE& m = sink_.packets[i].mouse;
        EXPECT_EQ(sink_.packets[i].device, handle_of(pointer));
        EXPECT_EQ(m.usButtonFlags, expected[i].flags) << "packet " << i;
        EXPECT_EQ(m.usButtonData, expected[i].data) << "packet " << i;
        EXPECT_EQ(m.ulRawButtons, expected[i].held) << "packet " << i;
        EXPECT_EQ(m.lLastX, 0);
    }
    EXPECT_EQ(provider_->ignored(), 4u) << "the four wheel releases";
}

TEST_F(X11Provider_, APointerAddedLaterReportsAndARemovedOneStops) {
    ASSERT_TRUE(start());

    const xfake::Master late = driver_->add_masters(1, "late").front();
    driver_->move(late.xtest_pointer, 5, 6);
    driver_->sync();
    ASSERT_TRUE(receive_exactly(sink_, 1, masters_[0].xtest_pointer));
    EXPECT_EQ(sink_.packets[0].device, handle_of(late.xtest_pointer));
    EXPECT_EQ(sink_.packets[0].mouse.lLastX, 5);
    EXPECT_EQ(sink_.packets[0].mouse.lLastY, 6);

    // The listing follows the hierarchy too.
    bool listed = false;
    for (const input::Device& d : provider_->devices()) {
        listed = listed || d.handle == handle_of(late.xtest_pointer);
    }
    EXPECT_TRUE(listed);

    sink_.packets.clear();
    driver_->remove_master(late);
    driver_->move(masters_[2].xtest_pointer, 1, 1);
    driver_->sync();
    ASSERT_TRUE(receive_exactly(sink_, 1, masters_[0].xtest_pointer));
    EXPECT_EQ(sink_.packets[0].device, handle_of(masters_[2].xtest_pointer));

    // A new master may take the removed one's ids: it starts afresh.
    sink_.packets.clear();
    const xfake::Master again = driver_->add_masters(1, "again").front();
    driver_->press(again.xtest_pointer, 1);
    driver_->sync();
    ASSERT_TRUE(receive_exactly(sink_, 1, masters_[0].xtest_pointer));
    EXPECT_EQ(sink_.packets[0].device, handle_of(again.xtest_pointer));
    EXPECT_EQ(sink_.packets[0].mouse.ulRawButtons, 1u);
}

// While events keep coming the connection is read about once a frame, not once
// per event; the first event after a quiet period is read at once, and the
// socket is watched again once the events stop. Nothing is lost or doubled.
// At 30 frames a second, and at 240 (frames of 4 ms).
class X11ProviderFrames : public X11Provider_, public ::testing::WithParamInterface<int> {
  protected:
    void SetUp() override {
        frames::fix_rate(GetParam());
        X11Provider_::SetUp();
    }
    void TearDown() override {
        X11Provider_::TearDown();
        frames::reset();
    }
};

INSTANTIATE_TEST_SUITE_P(Rates, X11ProviderFrames, ::testing::Values(30, 240));

TEST_P(X11ProviderFrames, AStreamOfEventsIsReadInFewWakeUpsAndNothingIsLost) {
    auto provider = open();
    ASSERT_NE(provider, nullptr);
    RecordingSink sink;
    ASSERT_EQ(provider->start(sink), ERROR_SUCCESS);
    const int pointer = masters_[1].xtest_pointer;

    driver_->move(pointer, 1, 0);
    driver_->sync();
    ASSERT_TRUE(testsupport::wait_until([&] { return sink.packets.size() == 1; }));
    const std::uint64_t reads_before = provider->reads();

    // Each event reaches the socket and the event loop gets a turn before the
    // next one: read per event, that would be one read each.
    constexpr int stream = 20;
    for (int i = 0; i < stream; ++i) {
        driver_->move(pointer, 2 + i, 0);
        driver_->sync();
        QCoreApplication::processEvents();
    }
    ASSERT_TRUE(receive_exactly(sink, 1 + stream, masters_[0].xtest_pointer))
        << sink.packets.size();
    for (int i = 0; i < stream; ++i)
        EXPECT_EQ(sink.packets[1 + i].mouse.lLastX, 2 + i) << "in order, each once";
    // The stream takes a few milliseconds: a read or two, plus the marker's;
    // the bound leaves room for a slow machine, where frames pass meanwhile.
    EXPECT_LE(provider->reads() - reads_before, static_cast<std::uint64_t>(stream / 2));

    // The read after the marker's finds nothing, and the socket is watched
    // again: a lone event after the quiet period still arrives.
    const std::uint64_t reads_now = provider->reads();
    ASSERT_TRUE(testsupport::wait_until([&] { return provider->reads() > reads_now; }));
    const std::size_t received = sink.packets.size();
    driver_->move(pointer, 99, 0);
    driver_->sync();
    ASSERT_TRUE(testsupport::wait_until([&] { return sink.packets.size() > received; }));
    EXPECT_EQ(sink.packets.back().mouse.lLastX, 99);
    EXPECT_EQ(sink.outside_bursts, 0);
}

TEST_F(X11Provider_, ALostServerStopsTheProviderCleanly) {
    ASSERT_TRUE(start());
    driver_.reset();
    xvfb_->stop();
    ASSERT_TRUE(testsupport::wait_until([&] { return provider_->connection_lost(); }));
    EXPECT_TRUE(provider_->devices().empty());
    EXPECT_TRUE(sink_.packets.empty());
}

}  // namespace
