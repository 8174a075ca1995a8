#include "platform/input/packets.h"

#include <algorithm>
#include <limits>

namespace input {

namespace {

constexpr std::int64_t int32_min = std::numeric_limits<std::int32_t>::min();
constexpr std::int64_t int32_max = std::numeric_limits<std::int32_t>::max();

// Adds without ever overflowing: the sum sticks at the 64-bit limits.
void add_saturating(std::int64_t& sum, std::int32_t value) {
    if (__builtin_add_overflow(sum, static_cast<std::int64_t>(value), &sum)) {
        sum = value < 0 ? std::numeric_limits<std::int64_t>::min()
                        : std::numeric_limits<std::int64_t>::max();
    }
}

LONG clamp_to_long(std::int64_t value) {
    return static_cast<LONG>(std::clamp(value, int32_min, int32_max));
}

// A wheel delta as usButtonData: 16-bit two's complement, saturated rather
// than wrapped so a huge turn never flips direction.
USHORT wheel_data(std::int64_t value) {
    const std::int64_t clamped = std::clamp<std::int64_t>(value, -32768, 32767);
    return static_cast<USHORT>(static_cast<std::uint32_t>(clamped) & 0xffffu);
}

// The wheel's delta in 1/120 notches: hi-res when the frame has it, else
// whole notches times 120.
std::int64_t wheel_delta(bool has_hi_res, std::int64_t hi_res, std::int64_t notches) {
    if (has_hi_res)
        return hi_res;
    return std::clamp(notches, int32_min, int32_max) * WHEEL_DELTA;
}

struct ButtonFlags {
    USHORT down;
    USHORT up;
};

ButtonFlags button_flags(unsigned code) {
    switch (code) {
        case BTN_LEFT:
            return {RI_MOUSE_LEFT_BUTTON_DOWN, RI_MOUSE_LEFT_BUTTON_UP};
        case BTN_RIGHT:
            return {RI_MOUSE_RIGHT_BUTTON_DOWN, RI_MOUSE_RIGHT_BUTTON_UP};
        case BTN_MIDDLE:
            return {RI_MOUSE_MIDDLE_BUTTON_DOWN, RI_MOUSE_MIDDLE_BUTTON_UP};
        case BTN_SIDE:
            return {RI_MOUSE_BUTTON_4_DOWN, RI_MOUSE_BUTTON_4_UP};
        case BTN_EXTRA:
            return {RI_MOUSE_BUTTON_5_DOWN, RI_MOUSE_BUTTON_5_UP};
        default:
            return {0, 0};
    }
}

}  // namespace

bool is_absolute_mouse(const Capabilities& caps) {
    // NOTE: as udev's input_id: a pen or stylus makes a tablet, a finger tool
    // a touchpad; BTN_LEFT (BTN_MOUSE) is what makes the rest a mouse.
    return caps.abs.test(ABS_X) && caps.abs.test(ABS_Y) && caps.keys.test(BTN_LEFT) &&
           !caps.keys.test(BTN_STYLUS) && !caps.keys.test(BTN_TOOL_PEN) &&
           !caps.keys.test(BTN_TOOL_FINGER);
}

bool has_keyboard_keys(const Capabilities& caps) {
    for (unsigned code = KEY_ESC; code <= KEY_S; ++code) {
        if (!caps.keys.test(code))
            return false;
    }
    return true;
}

DWORD classify(const Capabilities& caps) {
    if ((caps.rels.test(REL_X) && caps.rels.test(REL_Y)) || is_absolute_mouse(caps))
        return RIM_TYPEMOUSE;
    return has_keyboard_keys(caps) ? RIM_TYPEKEYBOARD : RIM_TYPEHID;
}

LONG scale_to_absolute(int value, const AxisRange& range) {
    if (range.maximum <= range.minimum)
        return 0;
    const std::int64_t span = std::int64_t{range.maximum} - range.minimum;
    const std::int64_t offset =
        std::clamp<std::int64_t>(std::int64_t{value} - range.minimum, 0, span);
    // Rounded to the nearest step, so both ends map onto 0 and 65535 exactly.
    return static_cast<LONG>((offset * 65535 + span / 2) / span);
}

FrameAssembler::FrameAssembler(const Capabilities& caps)
    : absolute_(!(caps.rels.test(REL_X) && caps.rels.test(REL_Y)) && is_absolute_mouse(caps)),
      x_range_(caps.x_range),
      y_range_(caps.y_range),
      x_(caps.x_range.minimum),
      y_(caps.y_range.minimum),
      frame_x_(x_),
      frame_y_(y_) {}

ULONG raw_button_bit(unsigned code) {
    switch (code) {
        case BTN_LEFT:
            return 1u << 0;
        case BTN_RIGHT:
            return 1u << 1;
        case BTN_MIDDLE:
            return 1u << 2;
        case BTN_SIDE:
            return 1u << 3;
        case BTN_EXTRA:
            return 1u << 4;
        default:
            return 0;
    }
}

int FrameAssembler::feed(const input_event& event, RAWMOUSE out[2]) {
    if (event.type == EV_SYN && event.code == SYN_REPORT) {
        if (dropping_) {
            dropping_ = false;
            reset_frame();
            return 0;
        }
        return finish_frame(out);
    }
    if (event.type == EV_SYN && event.code == SYN_DROPPED) {
        ++ignored_;
        drop_frame();
        return 0;
    }
    if (dropping_) {
        ++ignored_;
        return 0;
    }

    switch (event.type) {
        case EV_REL:
            switch (event.code) {
                case REL_X:
                    add_saturating(dx_, event.value);
                    has_motion_ = true;
                    break;
                case REL_Y:
                    add_saturating(dy_, event.value);
                    has_motion_ = true;
                    break;
                case REL_WHEEL:
                    add_saturating(wheel_, event.value);
                    has_wheel_ = true;
                    break;
                case REL_WHEEL_HI_RES:
                    add_saturating(wheel_hi_res_, event.value);
                    has_wheel_hi_res_ = true;
                    break;
                case REL_HWHEEL:
                    add_saturating(hwheel_, event.value);
                    has_hwheel_ = true;
                    break;
                case REL_HWHEEL_HI_RES:
                    add_saturating(hwheel_hi_res_, event.value);
                    has_hwheel_hi_res_ = true;
                    break;
                default:
                    ++ignored_;
                    return 0;
            }
            ++frame_used_;
            return 0;
        case EV_ABS:
            if (!absolute_ || (event.code != ABS_X && event.code != ABS_Y)) {
                ++ignored_;
                return 0;
            }
            (event.code == ABS_X ? frame_x_ : frame_y_) = event.value;
            has_motion_ = true;
            ++frame_used_;
            return 0;
        case EV_KEY: {
            const ButtonFlags flags = button_flags(event.code);
            if (flags.down == 0 || (event.value != 0 && event.value != 1)) {
                ++ignored_;  // a key, or a repeat (2) of a button
                return 0;
            }
            const ULONG bit = raw_button_bit(event.code);
            if (event.value == 1) {
                button_flags_ |= flags.down;
                frame_held_ |= bit;
            } else {
                button_flags_ |= flags.up;
                frame_held_ &= ~bit;
            }
            ++frame_used_;
            return 0;
        }
        default:
            ++ignored_;  // MSC_SCAN, LEDs, other SYN codes...
            return 0;
    }
}

void FrameAssembler::drop_frame() {
    discard_frame();
    dropping_ = true;
}

void FrameAssembler::discard_frame() {
    ignored_ += frame_used_;
    reset_frame();
    dropping_ = false;
}

void FrameAssembler::start_from(ULONG held, int x, int y) {
    discard_frame();
    held_ = frame_held_ = held;
    if (absolute_) {
        x_ = frame_x_ = x;
        y_ = frame_y_ = y;
    }
}

int FrameAssembler::resync(ULONG held, int x, int y, RAWMOUSE out[2]) {
    discard_frame();
    for (unsigned code = BTN_LEFT; code <= BTN_EXTRA; ++code) {
        const ULONG bit = raw_button_bit(code);
        if (bit == 0 || (held & bit) == (held_ & bit))
            continue;
        const ButtonFlags flags = button_flags(code);
        button_flags_ |= (held & bit) != 0 ? flags.down : flags.up;
    }
    frame_held_ = held;
    if (absolute_ && (x != x_ || y != y_)) {
        frame_x_ = x;
        frame_y_ = y;
        has_motion_ = true;
    }
    return finish_frame(out);
}

int FrameAssembler::finish_frame(RAWMOUSE out[2]) {
    const bool vertical = has_wheel_ || has_wheel_hi_res_;
    const bool horizontal = has_hwheel_ || has_hwheel_hi_res_;
    held_ = frame_held_;
    x_ = frame_x_;
    y_ = frame_y_;
    if (!has_motion_ && !vertical && !horizontal && button_flags_ == 0) {
        reset_frame();
        return 0;
    }

    out[0] = RAWMOUSE{};
    out[0].usButtonFlags = button_flags_;
    out[0].ulRawButtons = held_;
    if (absolute_) {
        out[0].usFlags = MOUSE_MOVE_ABSOLUTE;
        out[0].lLastX = scale_to_absolute(x_, x_range_);
        out[0].lLastY = scale_to_absolute(y_, y_range_);
    } else {
        out[0].usFlags = MOUSE_MOVE_RELATIVE;
        out[0].lLastX = clamp_to_long(dx_);
        out[0].lLastY = clamp_to_long(dy_);
    }
    const USHORT hdata = wheel_data(wheel_delta(has_hwheel_hi_res_, hwheel_hi_res_, hwheel_));
    int count = 1;
    if (vertical) {
        out[0].usButtonFlags |= RI_MOUSE_WHEEL;
        out[0].usButtonData = wheel_data(wheel_delta(has_wheel_hi_res_, wheel_hi_res_, wheel_));
        if (horizontal) {
            // One packet holds one wheel: the horizontal turn follows on its own.
            // An absolute mouse's packets all carry its position.
            out[1] = RAWMOUSE{};
            out[1].usFlags = out[0].usFlags;
            out[1].usButtonFlags = RI_MOUSE_HWHEEL;
            out[1].usButtonData = hdata;
            out[1].ulRawButtons = held_;
            if (absolute_) {
                out[1].lLastX = out[0].lLastX;
                out[1].lLastY = out[0].lLastY;
            }
            count = 2;
        }
    } else if (horizontal) {
        out[0].usButtonFlags |= RI_MOUSE_HWHEEL;
        out[0].usButtonData = hdata;
    }
    reset_frame();
    return count;
}

void FrameAssembler::reset_frame() {
    dx_ = 0;
    dy_ = 0;
    button_flags_ = 0;
    wheel_ = 0;
    wheel_hi_res_ = 0;
    hwheel_ = 0;
    hwheel_hi_res_ = 0;
    has_motion_ = false;
    has_wheel_ = false;
    has_wheel_hi_res_ = false;
    has_hwheel_ = false;
    has_hwheel_hi_res_ = false;
    frame_held_ = held_;
    frame_x_ = x_;
    frame_y_ = y_;
    frame_used_ = 0;
}

}  // namespace input
