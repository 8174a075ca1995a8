// XInput 2 raw events of one slave pointer in, mouse packets out; no X server.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "platform/input/x11_packets.h"
#include "tests/input/mouse_buttons.h"

namespace {

using input::RawPointer;
using input::ScrollAxis;
using input::ServerClock;

// An XIRawEvent with its own storage for the valuator mask and values.
class Raw {
  public:
    explicit Raw(int evtype, int detail = 0) {
        event_.type = GenericEvent;
        event_.evtype = evtype;
        event_.detail = detail;
        event_.deviceid = 2;
        event_.sourceid = 9;
        event_.valuators.mask_len = sizeof mask_;
    }
    // Valuator number to raw value; stored in bit order as the server sends them.
    Raw& with(int valuator, double value) {
        values_[valuator] = value;
        XISetMask(mask_, valuator);
        return *this;
    }
    Raw& flags(int flags) {
        event_.flags = flags;
        return *this;
    }
    const XIRawEvent& event() {
        event_.valuators.mask = mask_;  // here, as copies move the storage
        ordered_.clear();
        for (const auto& [valuator, value] : values_)
            ordered_.push_back(value);
        event_.raw_values = ordered_.data();
        // The processed values differ (acceleration); packets must not use them.
        processed_.assign(ordered_.size(), 999.0);
        event_.valuators.values = processed_.data();
        return event_;
    }

  private:
    XIRawEvent event_{};
    unsigned char mask_[4] = {};
    std::map<int, double> values_;
    std::vector<double> ordered_;
    std::vector<double> processed_;
};

Raw motion(double dx, double dy) {
    return Raw(XI_RawMotion).with(0, dx).with(1, dy);
}
Raw press(int button) {
    return Raw(XI_RawButtonPress, button);
}
Raw release(int button) {
    return Raw(XI_RawButtonRelease, button);
}

// Feeds one event; returns its packets.
std::vector<RAWMOUSE> feed(RawPointer& pointer, Raw raw) {
    RAWMOUSE out[2];
    const int count = pointer.feed(raw.event(), out);
    return std::vector<RAWMOUSE>(out, out + count);
}

TEST(X11RawMotion, RawValuatorsZeroAndOneAreTheMotion) {
    RawPointer pointer;
    const auto packets = feed(pointer, motion(3, -2));
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(packets[0].lLastX, 3);
    EXPECT_EQ(packets[0].lLastY, -2);
    EXPECT_EQ(packets[0].usFlags, MOUSE_MOVE_RELATIVE);
    EXPECT_EQ(packets[0].ulButtons, 0u);
    EXPECT_EQ(packets[0].ulRawButtons, 0u);
    EXPECT_EQ(packets[0].ulExtraInformation, 0u);
}

TEST(X11RawMotion, OneAxisAloneStillMakesAPacket) {
    RawPointer pointer;
    const auto packets = feed(pointer, Raw(XI_RawMotion).with(1, 5));
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(packets[0].lLastX, 0);
    EXPECT_EQ(packets[0].lLastY, 5);
}

TEST(X11RawMotion, FractionsAreCarriedToTheNextMotion) {
    RawPointer pointer;
    long x = 0;
    long y = 0;
    for (int i = 0; i < 10; ++i) {
        const auto packets = feed(pointer, motion(0.3, -0.7));
        ASSERT_EQ(packets.size(), 1u) << "each raw event is one packet";
        x += packets[0].lLastX;
        y += packets[0].lLastY;
        // What is reported never strays half a unit from what was moved.
        EXPECT_LE(std::abs(x - 0.3 * (i + 1)), 0.5 + 1e-9);
        EXPECT_LE(std::abs(y + 0.7 * (i + 1)), 0.5 + 1e-9);
    }
    EXPECT_EQ(x, 3);
    EXPECT_EQ(y, -7);
}

TEST(X11RawMotion, EachDeviceCarriesItsOwnFraction) {
    RawPointer a;
    RawPointer b;
    EXPECT_EQ(feed(a, motion(0.4, 0))[0].lLastX, 0);
    EXPECT_EQ(feed(b, motion(0.4, 0))[0].lLastX, 0);
    EXPECT_EQ(feed(a, motion(0.4, 0))[0].lLastX, 1);
    EXPECT_EQ(feed(b, motion(0.0, 0))[0].lLastX, 0);
}

TEST(X11RawMotion, HugeAndNonFiniteValuesAreTamed) {
    RawPointer pointer;
    const auto huge = feed(pointer, motion(1e12, -1e12));
    ASSERT_EQ(huge.size(), 1u);
    EXPECT_EQ(huge[0].lLastX, 2147483647);
    EXPECT_EQ(huge[0].lLastY, -2147483647 - 1);
    const auto nan = feed(pointer, motion(std::nan(""), 4));
    ASSERT_EQ(nan.size(), 1u);
    EXPECT_EQ(nan[0].lLastX, 0);
    EXPECT_EQ(nan[0].lLastY, 4);
}

TEST(X11RawMotion, OtherAxesAloneMakeNoPacket) {
    RawPointer pointer;
    EXPECT_TRUE(feed(pointer, Raw(XI_RawMotion).with(2, 0.5)).empty());
    EXPECT_TRUE(feed(pointer, Raw(XI_RawMotion)).empty());
    EXPECT_EQ(pointer.ignored(), 2u);
}

class X11RawButtons : public ::testing::TestWithParam<MouseButton> {};

TEST_P(X11RawButtons, PressAndReleaseGiveTheirFlagsAndHeldBits) {
    const MouseButton c = GetParam();
    RawPointer pointer;
    const auto down = feed(pointer, press(c.x_button));
    ASSERT_EQ(down.size(), 1u);
    EXPECT_EQ(down[0].usButtonFlags, c.down);
    EXPECT_EQ(down[0].usButtonData, 0);
    EXPECT_EQ(down[0].ulRawButtons, c.bit);
    EXPECT_EQ(down[0].lLastX, 0);

    const auto moved = feed(pointer, motion(1, 1));
    EXPECT_EQ(moved[0].ulRawButtons, c.bit) << "held while moving";

    const auto up = feed(pointer, release(c.x_button));
    ASSERT_EQ(up.size(), 1u);
    EXPECT_EQ(up[0].usButtonFlags, c.up);
    EXPECT_EQ(up[0].ulRawButtons, 0u);
}

INSTANTIATE_TEST_SUITE_P(LeftMiddleRightSideExtra, X11RawButtons,
                         ::testing::ValuesIn(mouse_buttons), button_name);

TEST(X11RawButtonState, HeldButtonsAccumulate) {
    RawPointer pointer;
    feed(pointer, press(1));
    const auto both = feed(pointer, press(3));
    EXPECT_EQ(both[0].ulRawButtons, 0x3u);
    const auto left_up = feed(pointer, release(1));
    EXPECT_EQ(left_up[0].ulRawButtons, 0x2u);
    EXPECT_EQ(pointer.held_buttons(), 0x2u);
}

struct WheelCase {
    int button;
    USHORT flag;
    USHORT data;
};

class X11WheelButtons : public ::testing::TestWithParam<WheelCase> {};

TEST_P(X11WheelButtons, APressIsOneStepAndTheReleaseNothing) {
    const WheelCase c = GetParam();
    RawPointer pointer;
    feed(pointer, press(1));
    const auto step = feed(pointer, press(c.button));
    ASSERT_EQ(step.size(), 1u);
    EXPECT_EQ(step[0].usButtonFlags, c.flag);
    EXPECT_EQ(step[0].usButtonData, c.data);
    EXPECT_EQ(step[0].ulButtons, (ULONG{c.data} << 16) | c.flag);
    EXPECT_EQ(step[0].ulRawButtons, 1u) << "the left button is still held";
    EXPECT_TRUE(feed(pointer, release(c.button)).empty());
}

INSTANTIATE_TEST_SUITE_P(
    UpDownLeftRight, X11WheelButtons,
    ::testing::Values(WheelCase{4, 0x0400, 0x0078}, WheelCase{5, 0x0400, 0xff88},
                      WheelCase{6, 0x0800, 0xff88}, WheelCase{7, 0x0800, 0x0078}),
    [](const auto& info) { return "button" + std::to_string(info.param.button); });

TEST(X11RawButtonsIgnored, ButtonsPastNineMakeNoPacket) {
    RawPointer pointer;
    EXPECT_TRUE(feed(pointer, press(10)).empty());
    EXPECT_TRUE(feed(pointer, release(10)).empty());
    EXPECT_EQ(pointer.held_buttons(), 0u);
    EXPECT_EQ(pointer.ignored(), 2u);
}

TEST(X11RawButtonsIgnored, EmulatedEventsMakeNoPacket) {
    RawPointer pointer;
    EXPECT_TRUE(feed(pointer, press(1).flags(XIPointerEmulated)).empty());
    EXPECT_TRUE(feed(pointer, motion(4, 4).flags(XIPointerEmulated)).empty());
    EXPECT_EQ(pointer.held_buttons(), 0u);
}

// A smooth-scrolling device: valuator 2 scrolls horizontally, 3 vertically.
RawPointer smooth_pointer(double increment = 1.0) {
    return RawPointer({{2, true, increment}, {3, false, increment}});
}

TEST(X11ScrollValuators, OneIncrementIsOneNotch) {
    RawPointer pointer = smooth_pointer(15);
    const auto down = feed(pointer, Raw(XI_RawMotion).with(3, 15));
    ASSERT_EQ(down.size(), 1u);
    EXPECT_EQ(down[0].usButtonFlags, RI_MOUSE_WHEEL);
    EXPECT_EQ(down[0].usButtonData, 0xff88) << "scrolling down is -120";
    const auto right = feed(pointer, Raw(XI_RawMotion).with(2, 15));
    ASSERT_EQ(right.size(), 1u);
    EXPECT_EQ(right[0].usButtonFlags, RI_MOUSE_HWHEEL);
    EXPECT_EQ(right[0].usButtonData, 0x0078);
}

TEST(X11ScrollValuators, FractionsOfANotchAreReportedInHundredTwentieths) {
    RawPointer pointer = smooth_pointer();
    const auto quarter = feed(pointer, Raw(XI_RawMotion).with(3, -0.25));
    ASSERT_EQ(quarter.size(), 1u);
    EXPECT_EQ(quarter[0].usButtonData, 30);
    EXPECT_TRUE(feed(pointer, Raw(XI_RawMotion).with(3, -0.001)).empty())
        << "less than 1/120 notch waits for more";
    const auto rest = feed(pointer, Raw(XI_RawMotion).with(3, -0.006));
    ASSERT_EQ(rest.size(), 1u);
    EXPECT_EQ(rest[0].usButtonData, 1);
}

TEST(X11ScrollValuators, BothWheelsWithMotionMakeTwoPackets) {
    RawPointer pointer = smooth_pointer();
    const auto packets = feed(pointer, motion(2, 3).with(2, -1).with(3, -1));
    ASSERT_EQ(packets.size(), 2u);
    EXPECT_EQ(packets[0].lLastX, 2);
    EXPECT_EQ(packets[0].lLastY, 3);
    EXPECT_EQ(packets[0].usButtonFlags, RI_MOUSE_WHEEL);
    EXPECT_EQ(packets[0].usButtonData, 0x0078);
    EXPECT_EQ(packets[1].usButtonFlags, RI_MOUSE_HWHEEL);
    EXPECT_EQ(packets[1].usButtonData, 0xff88);
    EXPECT_EQ(packets[1].lLastX, 0) << "the second packet holds only the horizontal wheel";
}

TEST(X11ScrollValuators, MotionAndOneWheelShareAPacket) {
    RawPointer pointer = smooth_pointer();
    const auto packets = feed(pointer, motion(1, 0).with(2, 2));
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(packets[0].lLastX, 1);
    EXPECT_EQ(packets[0].usButtonFlags, RI_MOUSE_HWHEEL);
    EXPECT_EQ(packets[0].usButtonData, 240);
}

TEST(X11ScrollValuators, AxesWithoutAnIncrementAreLeftOut) {
    RawPointer pointer({{3, false, 0.0}, {0, false, 1.0}});
    EXPECT_TRUE(feed(pointer, Raw(XI_RawMotion).with(3, 1)).empty());
    const auto packets = feed(pointer, Raw(XI_RawMotion).with(0, 1));
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(packets[0].lLastX, 1) << "valuator 0 is motion, never a wheel";
    EXPECT_EQ(packets[0].usButtonFlags, 0);
}

// A tablet: positions from 0 to 1000 across, 100 to 600 down.
RawPointer tablet() {
    return RawPointer({}, input::AbsoluteAxes{0, 1000, 100, 600});
}

TEST(X11AbsolutePointer, PositionsSpanZeroTo65535) {
    RawPointer pointer = tablet();
    const auto middle = feed(pointer, motion(500, 350));
    ASSERT_EQ(middle.size(), 1u);
    EXPECT_EQ(middle[0].usFlags, MOUSE_MOVE_ABSOLUTE);
    EXPECT_EQ(middle[0].lLastX, 32768);
    EXPECT_EQ(middle[0].lLastY, 32768);
    const auto corner = feed(pointer, motion(1000, 100));
    EXPECT_EQ(corner[0].lLastX, 65535);
    EXPECT_EQ(corner[0].lLastY, 0);
    const auto outside = feed(pointer, motion(-50, 9000));
    EXPECT_EQ(outside[0].lLastX, 0) << "clamped to the range";
    EXPECT_EQ(outside[0].lLastY, 65535);
}

TEST(X11AbsolutePointer, AnAxisLeftOutKeepsItsLastPosition) {
    RawPointer pointer = tablet();
    feed(pointer, motion(250, 600));
    const auto packets = feed(pointer, Raw(XI_RawMotion).with(0, 750));
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(packets[0].lLastX, 49151);
    EXPECT_EQ(packets[0].lLastY, 65535);
}

// As on evdev: a tablet's packets all carry its position, the second of two wheels' too.
TEST(X11AbsolutePointer, BothWheelsWithMotionGiveTwoPacketsAtThePosition) {
    RawPointer pointer({{2, true, 1.0}, {3, false, 1.0}}, input::AbsoluteAxes{0, 1000, 100, 600});
    const auto packets = feed(pointer, motion(500, 350).with(2, -1).with(3, -1));
    ASSERT_EQ(packets.size(), 2u);
    for (const RAWMOUSE& packet : packets) {
        EXPECT_EQ(packet.usFlags, MOUSE_MOVE_ABSOLUTE);
        EXPECT_EQ(packet.lLastX, 32768);
        EXPECT_EQ(packet.lLastY, 32768);
    }
    EXPECT_EQ(packets[0].usButtonFlags, RI_MOUSE_WHEEL);
    EXPECT_EQ(packets[1].usButtonFlags, RI_MOUSE_HWHEEL);
}

TEST(X11AbsolutePointer, AnEmptyRangeIsTakenAsMotion) {
    RawPointer pointer({}, input::AbsoluteAxes{-1, -1, -1, -1});
    const auto packets = feed(pointer, motion(3, 4));
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(packets[0].usFlags, MOUSE_MOVE_RELATIVE);
    EXPECT_EQ(packets[0].lLastX, 3);
}

TEST(X11ServerClock, TheFirstEventIsMappedToItsReceipt) {
    ServerClock clock;
    EXPECT_EQ(clock.to_monotonic_ns(5000, 9'000'000'000), 9'000'000'000);
}

TEST(X11ServerClock, TheSmallestDelaySetsTheOffset) {
    ServerClock clock;
    clock.to_monotonic_ns(1000, 2'003'000'000);  // received 3 ms late
    // Sent 10 ms later and received 1 ms after: the clocks are 1 ms apart.
    EXPECT_EQ(clock.to_monotonic_ns(1010, 2'011'000'000), 2'011'000'000);
    EXPECT_EQ(clock.to_monotonic_ns(1020, 2'030'000'000), 2'021'000'000);
}

TEST(X11ServerClock, MappedTimesNeverFollowTheirReceipt) {
    ServerClock clock;
    std::int64_t received = 1'000'000'000;
    for (Time t = 100; t < 200; ++t) {
        received += 1'000'000 + (t % 7) * 300'000;
        EXPECT_LE(clock.to_monotonic_ns(t, received), received);
    }
}

TEST(X11ServerClock, TheMillisecondCounterWrapsAround) {
    ServerClock clock;
    const std::int64_t start = 50'000'000'000;
    clock.to_monotonic_ns(0xffffffffu - 1, start);
    EXPECT_EQ(clock.server_ms(), 0xffffffffLL - 1);
    EXPECT_EQ(clock.to_monotonic_ns(3, start + 5'000'000), start + 5'000'000);
    EXPECT_EQ(clock.server_ms(), 0xffffffffLL + 4) << "counted on across the wrap, never back";
}

TEST(X11ServerClock, AJumpOfTheServerClockIsMeasuredAgain) {
    ServerClock clock;
    clock.to_monotonic_ns(1000, 1'000'000'000);
    // The server's clock went back an hour: mapped times would trail their
    // receipt by that much, so the offset is measured afresh.
    const std::int64_t received = 1'100'000'000;
    EXPECT_EQ(clock.to_monotonic_ns(1000 + 100 - 3'600'000, received), received);
}

}  // namespace
