// Device classes and frame-to-packet rules, on devices and frames built as data.
#include <gtest/gtest.h>

#include <climits>
#include <initializer_list>
#include <vector>

#include "platform/input/device.h"
#include "platform/input/mouse_buttons.h"
#include "platform/input/packets.h"
#include "tests/input/mouse_buttons.h"

namespace {

using input::Capabilities;
using input::FrameAssembler;

input_event event(unsigned type, unsigned code, int value) {
    input_event e{};
    e.type = static_cast<__u16>(type);
    e.code = static_cast<__u16>(code);
    e.value = value;
    return e;
}

// Feeds the events, then a SYN_REPORT, and returns the packets of the frame.
std::vector<RAWMOUSE> frame(FrameAssembler& assembler, std::initializer_list<input_event> events) {
    RAWMOUSE out[2];
    for (const input_event& e : events) {
        EXPECT_EQ(assembler.feed(e, out), 0) << "a packet before the frame ended";
    }
    const int count = assembler.feed(event(EV_SYN, SYN_REPORT, 0), out);
    return std::vector<RAWMOUSE>(out, out + count);
}

Capabilities with_rels(std::initializer_list<unsigned> codes) {
    Capabilities caps;
    for (unsigned code : codes)
        caps.rels.set(code);
    return caps;
}

void add_keys(Capabilities& caps, unsigned first, unsigned last) {
    for (unsigned code = first; code <= last; ++code)
        caps.keys.set(code);
}

TEST(Classify, RelativeXAndYMakeAMouseEvenWithAFullKeyboard) {
    Capabilities caps = with_rels({REL_X, REL_Y, REL_WHEEL});
    add_keys(caps, KEY_ESC, KEY_MICMUTE);
    EXPECT_EQ(input::classify(caps), RIM_TYPEMOUSE);
}

TEST(Classify, OneRelativeAxisIsNotAMouse) {
    EXPECT_EQ(input::classify(with_rels({REL_X})), RIM_TYPEHID);
    EXPECT_EQ(input::classify(with_rels({REL_Y, REL_WHEEL})), RIM_TYPEHID);
}

TEST(Classify, EveryKeyFromEscToSMakesAKeyboard) {
    Capabilities caps;
    add_keys(caps, KEY_ESC, KEY_S);
    EXPECT_EQ(input::classify(caps), RIM_TYPEKEYBOARD);
}

TEST(Classify, AnyMissingKeyFromEscToSMakesAnotherDevice) {
    for (unsigned missing : {unsigned(KEY_ESC), unsigned(KEY_Q), unsigned(KEY_S)}) {
        Capabilities caps;
        add_keys(caps, KEY_ESC, KEY_S);
        caps.keys.reset(missing);
        EXPECT_EQ(input::classify(caps), RIM_TYPEHID) << "without key " << missing;
    }
}

TEST(Classify, NothingAtAllIsAnotherDevice) {
    EXPECT_EQ(input::classify(Capabilities{}), RIM_TYPEHID);
}

TEST(FramePacket, SumsTheFramesMotion) {
    FrameAssembler assembler;
    const auto packets = frame(assembler, {event(EV_REL, REL_X, 3), event(EV_REL, REL_Y, -2),
                                           event(EV_REL, REL_X, 4), event(EV_REL, REL_Y, -5)});
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(packets[0].usFlags, MOUSE_MOVE_RELATIVE);
    EXPECT_EQ(packets[0].lLastX, 7);
    EXPECT_EQ(packets[0].lLastY, -7);
    EXPECT_EQ(packets[0].ulButtons, 0u);
    EXPECT_EQ(packets[0].ulRawButtons, 0u);
    EXPECT_EQ(packets[0].ulExtraInformation, 0u);
}

TEST(FramePacket, MotionSumsSaturateAtThe32BitLimits) {
    FrameAssembler assembler;
    auto packets = frame(assembler, {event(EV_REL, REL_X, INT_MAX), event(EV_REL, REL_X, INT_MAX),
                                     event(EV_REL, REL_Y, INT_MIN), event(EV_REL, REL_Y, INT_MIN)});
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(packets[0].lLastX, INT_MAX);
    EXPECT_EQ(packets[0].lLastY, INT_MIN);

    // A sum that comes back inside the range is exact.
    packets = frame(assembler, {event(EV_REL, REL_X, INT_MAX), event(EV_REL, REL_X, 5),
                                event(EV_REL, REL_X, -10)});
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(packets[0].lLastX, INT_MAX - 5);
}

class FrameButtons : public ::testing::TestWithParam<MouseButton> {};

TEST_P(FrameButtons, PressAndReleaseGiveTheirFlagsAndTheHeldBit) {
    const MouseButton button = GetParam();
    FrameAssembler assembler;
    auto packets =
        frame(assembler, {event(EV_MSC, MSC_SCAN, 90001), event(EV_KEY, button.code, 1)});
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(packets[0].usButtonFlags, button.down);
    EXPECT_EQ(packets[0].usButtonData, 0u);
    EXPECT_EQ(packets[0].ulRawButtons, button.bit);

    // Held across a frame of motion.
    packets = frame(assembler, {event(EV_REL, REL_X, 1)});
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(packets[0].usButtonFlags, 0u);
    EXPECT_EQ(packets[0].ulRawButtons, button.bit);

    packets = frame(assembler, {event(EV_KEY, button.code, 0)});
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(packets[0].usButtonFlags, button.up);
    EXPECT_EQ(packets[0].ulRawButtons, 0u);
    EXPECT_EQ(assembler.held_buttons(), 0u);
}

INSTANTIATE_TEST_SUITE_P(EveryButton, FrameButtons, ::testing::ValuesIn(mouse_buttons),
                         button_name);

TEST(FramePacket, SeveralButtonsInOneFrameCombine) {
    FrameAssembler assembler;
    frame(assembler, {event(EV_KEY, BTN_LEFT, 1)});
    const auto packets = frame(assembler, {event(EV_KEY, BTN_LEFT, 0), event(EV_KEY, BTN_RIGHT, 1),
                                           event(EV_KEY, BTN_EXTRA, 1), event(EV_REL, REL_Y, 2)});
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(packets[0].usButtonFlags, 0x0002 | 0x0004 | 0x0100);
    EXPECT_EQ(packets[0].ulRawButtons, (1u << 1) | (1u << 4));
    EXPECT_EQ(packets[0].lLastY, 2);
}

TEST(FramePacket, RepeatsAreIgnored) {
    FrameAssembler assembler;
    frame(assembler, {event(EV_KEY, BTN_LEFT, 1)});
    const std::uint64_t before = assembler.ignored();
    EXPECT_TRUE(frame(assembler, {event(EV_KEY, BTN_LEFT, 2)}).empty());
    EXPECT_EQ(assembler.ignored(), before + 1);
    EXPECT_EQ(assembler.held_buttons(), 1u);
}

TEST(FramePacket, KeysMakeNoPacketAndAreCounted) {
    FrameAssembler assembler;
    EXPECT_TRUE(frame(assembler, {event(EV_MSC, MSC_SCAN, 4), event(EV_KEY, KEY_A, 1)}).empty());
    EXPECT_TRUE(frame(assembler, {event(EV_KEY, KEY_A, 0)}).empty());
    EXPECT_TRUE(frame(assembler, {event(EV_KEY, BTN_TASK, 1)}).empty());
    EXPECT_EQ(assembler.ignored(), 4u);
    EXPECT_EQ(assembler.held_buttons(), 0u);

    // A key alongside motion leaves the packet as the motion makes it.
    const auto packets = frame(assembler, {event(EV_KEY, KEY_B, 1), event(EV_REL, REL_X, -1)});
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(packets[0].usButtonFlags, 0u);
    EXPECT_EQ(packets[0].lLastX, -1);
}

TEST(FramePacket, FramesWithoutMouseEventsMakeNoPacket) {
    FrameAssembler assembler;
    EXPECT_TRUE(frame(assembler, {event(EV_MSC, MSC_SCAN, 589825)}).empty());
    EXPECT_TRUE(frame(assembler, {event(EV_ABS, ABS_X, 100), event(EV_REL, REL_DIAL, 3)}).empty());
    EXPECT_TRUE(frame(assembler, {}).empty());
}

TEST(FrameWheel, LegacyNotchesCountAs120Each) {
    FrameAssembler assembler;
    auto packets = frame(assembler, {event(EV_REL, REL_WHEEL, -1)});
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(packets[0].usButtonFlags, RI_MOUSE_WHEEL);
    EXPECT_EQ(packets[0].usButtonData, 0xff88);
    EXPECT_EQ(packets[0].ulButtons, 0xff880400u);

    packets = frame(assembler, {event(EV_REL, REL_WHEEL, 1), event(EV_REL, REL_WHEEL, 1)});
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(packets[0].usButtonData, 240);
}

TEST(FrameWheel, HighResolutionWinsOverNotches) {
    FrameAssembler assembler;
    auto packets =
        frame(assembler, {event(EV_REL, REL_WHEEL, 1), event(EV_REL, REL_WHEEL_HI_RES, 90),
                          event(EV_REL, REL_WHEEL_HI_RES, 30)});
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(packets[0].usButtonFlags, RI_MOUSE_WHEEL);
    EXPECT_EQ(packets[0].usButtonData, 120);

    packets = frame(assembler, {event(EV_REL, REL_WHEEL_HI_RES, -30)});
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(packets[0].usButtonData, 0xffe2);
}

TEST(FrameWheel, HorizontalWheelUsesItsOwnFlag) {
    FrameAssembler assembler;
    auto packets = frame(assembler, {event(EV_REL, REL_HWHEEL, 1)});
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(packets[0].usButtonFlags, RI_MOUSE_HWHEEL);
    EXPECT_EQ(packets[0].usButtonData, 120);

    packets =
        frame(assembler, {event(EV_REL, REL_HWHEEL, -1), event(EV_REL, REL_HWHEEL_HI_RES, -60)});
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(packets[0].usButtonFlags, RI_MOUSE_HWHEEL);
    EXPECT_EQ(packets[0].usButtonData, 0xffc4);
}

TEST(FrameWheel, BothWheelsMakeTwoPacketsTheSecondOnlyHorizontal) {
    FrameAssembler assembler;
    frame(assembler, {event(EV_KEY, BTN_MIDDLE, 1)});
    const auto packets =
        frame(assembler, {event(EV_REL, REL_X, 5), event(EV_KEY, BTN_LEFT, 1),
                          event(EV_REL, REL_WHEEL, 1), event(EV_REL, REL_HWHEEL, -2)});
    ASSERT_EQ(packets.size(), 2u);
    EXPECT_EQ(packets[0].usButtonFlags, RI_MOUSE_LEFT_BUTTON_DOWN | RI_MOUSE_WHEEL);
    EXPECT_EQ(packets[0].usButtonData, 120);
    EXPECT_EQ(packets[0].lLastX, 5);
    EXPECT_EQ(packets[1].usButtonFlags, RI_MOUSE_HWHEEL);
    EXPECT_EQ(packets[1].usButtonData, 0xff10);
    EXPECT_EQ(packets[1].lLastX, 0);
    EXPECT_EQ(packets[1].lLastY, 0);
    EXPECT_EQ(packets[1].usFlags, MOUSE_MOVE_RELATIVE);
    // Both report the buttons held after the frame.
    EXPECT_EQ(packets[0].ulRawButtons, 0x5u);
    EXPECT_EQ(packets[1].ulRawButtons, 0x5u);
}

TEST(FrameWheel, HugeTurnsSaturateInsteadOfWrapping) {
    FrameAssembler assembler;
    auto packets =
        frame(assembler, {event(EV_REL, REL_WHEEL, INT_MAX), event(EV_REL, REL_WHEEL, 9)});
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(packets[0].usButtonData, 0x7fff);
    packets = frame(assembler, {event(EV_REL, REL_HWHEEL_HI_RES, INT_MIN),
                                event(EV_REL, REL_HWHEEL_HI_RES, INT_MIN)});
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(packets[0].usButtonData, 0x8000);
}

// A raw kernel stream (a recording) resumes after SYN_DROPPED with the newest
// event, in the middle of a frame.
TEST(FrameDrop, SynDroppedDiscardsThePartialFrameUpToTheNextReport) {
    FrameAssembler assembler;
    RAWMOUSE out[2];
    EXPECT_EQ(assembler.feed(event(EV_REL, REL_X, 5), out), 0);
    EXPECT_EQ(assembler.feed(event(EV_KEY, BTN_LEFT, 1), out), 0);
    EXPECT_EQ(assembler.feed(event(EV_SYN, SYN_DROPPED, 0), out), 0);
    EXPECT_EQ(assembler.feed(event(EV_REL, REL_Y, 7), out), 0);
    EXPECT_EQ(assembler.feed(event(EV_SYN, SYN_REPORT, 0), out), 0);
    EXPECT_EQ(assembler.held_buttons(), 0u) << "a press in a dropped frame must not stick";
    EXPECT_EQ(assembler.ignored(), 4u);

    const auto packets = frame(assembler, {event(EV_REL, REL_X, 1)});
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(packets[0].lLastX, 1);
    EXPECT_EQ(packets[0].lLastY, 0);
    EXPECT_EQ(packets[0].usButtonFlags, 0u);
}

// Behind libevdev the next event after an overflow starts a whole frame; what
// the overflow hid comes as one packet of the changes, so that every UP the
// log shows follows its DOWN.
TEST(FrameResync, TheHiddenButtonChangesBecomeOnePacketAndAFreshFrameStarts) {
    FrameAssembler assembler;
    frame(assembler, {event(EV_KEY, BTN_RIGHT, 1)});
    RAWMOUSE out[2];
    assembler.feed(event(EV_REL, REL_X, 5), out);  // a frame cut short
    // Now: left down (hidden), right up (hidden), middle still up.
    ASSERT_EQ(assembler.resync(0x01, 0, 0, out), 1);
    EXPECT_EQ(out[0].usButtonFlags, RI_MOUSE_LEFT_BUTTON_DOWN | RI_MOUSE_RIGHT_BUTTON_UP);
    EXPECT_EQ(out[0].ulRawButtons, 0x01u);
    EXPECT_EQ(out[0].lLastX, 0) << "the cut frame's motion is not reported";
    EXPECT_EQ(out[0].usFlags, MOUSE_MOVE_RELATIVE);

    const auto packets = frame(assembler, {event(EV_REL, REL_Y, 2)});
    ASSERT_EQ(packets.size(), 1u) << "the next frame is whole, not discarded";
    EXPECT_EQ(packets[0].lLastY, 2);
    EXPECT_EQ(packets[0].ulRawButtons, 0x01u);

    EXPECT_EQ(assembler.resync(0x01, 0, 0, out), 0) << "nothing changed: no packet";
}

// ---------------------------------------------------------------------------

// An absolute pointer with `keys`, and the relative axes `rels` beside.
Capabilities absolute_pointer(std::initializer_list<unsigned> keys,
                              std::initializer_list<unsigned> rels = {}) {
    Capabilities caps;
    caps.abs.set(ABS_X);
    caps.abs.set(ABS_Y);
    for (unsigned code : keys)
        caps.keys.set(code);
    for (unsigned code : rels)
        caps.rels.set(code);
    caps.x_range = {0, 32767};
    caps.y_range = {-100, 100};
    return caps;
}

// As udev's input_id: mouse buttons make an absolute pointer a mouse (a
// virtual machine's tablet); a pen or stylus makes it a tablet, a finger tool
// a touchpad, neither a mouse.
TEST(Classify, AnAbsolutePointerWithMouseButtonsAndNoToolIsAMouse) {
    EXPECT_EQ(input::classify(absolute_pointer({BTN_LEFT, BTN_RIGHT, BTN_MIDDLE})), RIM_TYPEMOUSE);
    EXPECT_EQ(input::classify(absolute_pointer({BTN_LEFT, BTN_TOOL_PEN})), RIM_TYPEHID);
    EXPECT_EQ(input::classify(absolute_pointer({BTN_LEFT, BTN_STYLUS})), RIM_TYPEHID);
    EXPECT_EQ(input::classify(absolute_pointer({BTN_LEFT, BTN_TOOL_FINGER, BTN_TOUCH})),
              RIM_TYPEHID);
    EXPECT_EQ(input::classify(absolute_pointer({BTN_TOUCH})), RIM_TYPEHID) << "a touchscreen";
    Capabilities one_axis = absolute_pointer({BTN_LEFT});
    one_axis.abs.reset(ABS_Y);
    EXPECT_EQ(input::classify(one_axis), RIM_TYPEHID);
}

// One rule for every input: evdev's integer axes and X's valuators alike.
TEST(ScaleToAbsolute, TheRangeMapsOntoZeroTo65535RoundedHalfUp) {
    struct Row {
        double value, minimum, maximum;
        LONG expected;
    };
    for (const Row& row : std::initializer_list<Row>{
             {-100, -100, 100, 0},
             {100, -100, 100, 65535},
             {0, -100, 100, 32768},
             {-1000, -100, 100, 0},  // clamped
             {1000, -100, 100, 65535},
             {5, 5, 5, 0},  // an empty range
             {INT_MAX, INT_MIN, INT_MAX, 65535},
             {1, 0, 6, 10923},  // 10922.5: half up
             {250.5, 0, 1000, 16417},
             {749.9, 0, 1000, 49145},
         }) {
        EXPECT_EQ(input::scale_to_absolute(row.value, row.minimum, row.maximum), row.expected)
            << row.value << " on " << row.minimum << ".." << row.maximum;
    }
}

// Each packet carries the last known position on both axes, whatever the
// frame held: motion, buttons or a wheel.
TEST(FrameAbsolute, EveryPacketCarriesTheLastKnownPosition) {
    FrameAssembler assembler(absolute_pointer({BTN_LEFT}, {REL_WHEEL, REL_HWHEEL}));
    EXPECT_TRUE(assembler.absolute());

    auto packets = frame(assembler, {event(EV_KEY, BTN_LEFT, 1)});
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(packets[0].usFlags, MOUSE_MOVE_ABSOLUTE);
    EXPECT_EQ(packets[0].lLastX, 0) << "before any position, the axis minimum";
    EXPECT_EQ(packets[0].lLastY, 0);

    packets = frame(assembler, {event(EV_ABS, ABS_X, 32767), event(EV_ABS, ABS_Y, 100)});
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(packets[0].lLastX, 65535);
    EXPECT_EQ(packets[0].lLastY, 65535);

    packets = frame(assembler, {event(EV_ABS, ABS_X, 0)});
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(packets[0].lLastX, 0);
    EXPECT_EQ(packets[0].lLastY, 65535) << "Y kept";

    packets = frame(assembler, {event(EV_REL, REL_WHEEL, 1), event(EV_REL, REL_HWHEEL, 1)});
    ASSERT_EQ(packets.size(), 2u);
    for (const RAWMOUSE& packet : packets) {
        EXPECT_EQ(packet.usFlags, MOUSE_MOVE_ABSOLUTE);
        EXPECT_EQ(packet.lLastX, 0);
        EXPECT_EQ(packet.lLastY, 65535);
        EXPECT_EQ(packet.ulRawButtons, 1u);
    }

    EXPECT_TRUE(frame(assembler, {event(EV_ABS, ABS_PRESSURE, 9)}).empty());
}

TEST(FrameAbsolute, APositionInADroppedFrameIsForgottenAndAResyncMovesIt) {
    FrameAssembler assembler(absolute_pointer({BTN_LEFT}));
    frame(assembler, {event(EV_ABS, ABS_X, 32767)});
    RAWMOUSE out[2];
    assembler.feed(event(EV_ABS, ABS_X, 0), out);
    assembler.drop_frame();
    assembler.feed(event(EV_SYN, SYN_REPORT, 0), out);
    auto packets = frame(assembler, {event(EV_KEY, BTN_LEFT, 1)});
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(packets[0].lLastX, 65535);

    ASSERT_EQ(assembler.resync(1, 0, 100, out), 1);
    EXPECT_EQ(out[0].usButtonFlags, 0);
    EXPECT_EQ(out[0].lLastX, 0);
    EXPECT_EQ(out[0].lLastY, 65535);
}

// A relative mouse keeps relative packets even with absolute axes beside.
TEST(FrameAbsolute, RelativeAxesWin) {
    FrameAssembler assembler(absolute_pointer({BTN_LEFT}, {REL_X, REL_Y}));
    EXPECT_FALSE(assembler.absolute());
    const auto packets = frame(assembler, {event(EV_REL, REL_X, 2), event(EV_ABS, ABS_X, 99)});
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(packets[0].usFlags, MOUSE_MOVE_RELATIVE);
    EXPECT_EQ(packets[0].lLastX, 2);
}

// The one button table, seen from both inputs: the same five buttons, the
// same flags and bits, whichever way they are looked up.
TEST(MouseButtonTable, BothInputsFindTheSameFiveButtons) {
    ULONG bits = 0;
    for (const MouseButton& button : mouse_buttons) {
        const input::MouseButton* by_code = input::evdev_button(button.code);
        ASSERT_NE(by_code, nullptr) << button.name;
        EXPECT_EQ(by_code, input::x_button(button.x_button)) << button.name;
        EXPECT_EQ(by_code->raw_bit, button.bit) << button.name;
        EXPECT_EQ(bits & by_code->raw_bit, 0u) << "each button has a bit of its own";
        bits |= by_code->raw_bit;
    }
    EXPECT_EQ(bits, 0x1fu);
    for (unsigned other : {unsigned{BTN_FORWARD}, unsigned{BTN_BACK}, unsigned{KEY_A}, 0u})
        EXPECT_EQ(input::evdev_button(other), nullptr) << other;
    for (int other : {0, 4, 5, 6, 7, 10, -1})
        EXPECT_EQ(input::x_button(other), nullptr) << other;
}

TEST(MouseButtonTable, WheelDataIsSixteenBitTwosComplementSaturated) {
    EXPECT_EQ(input::wheel_data(120), 0x0078u);
    EXPECT_EQ(input::wheel_data(-120), 0xff88u);
    EXPECT_EQ(input::wheel_data(40000), 0x7fffu);
    EXPECT_EQ(input::wheel_data(-40000), 0x8000u);
}

TEST(OrderForListing, MiceThenKeyboardsThenOthersEachInTheirOrder) {
    auto device = [](std::uintptr_t handle, DWORD type) {
        return input::Device{reinterpret_cast<HANDLE>(handle), type, "d", "p"};
    };
    std::vector<input::Device> devices = {device(1, RIM_TYPEHID),   device(2, RIM_TYPEKEYBOARD),
                                          device(3, RIM_TYPEMOUSE), device(4, RIM_TYPEHID),
                                          device(5, RIM_TYPEMOUSE), device(6, RIM_TYPEKEYBOARD),
                                          device(7, RIM_TYPEMOUSE), device(8, 7)};
    input::order_for_listing(devices);
    std::vector<std::uintptr_t> handles;
    for (const auto& d : devices)
        handles.push_back(reinterpret_cast<std::uintptr_t>(d.handle));
    EXPECT_EQ(handles, (std::vector<std::uintptr_t>{3, 5, 7, 2, 6, 1, 4, 8}));
}

}  // namespace
