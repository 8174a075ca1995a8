#include "platform/input/packets.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "platform/input/mouse_buttons.h"

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

// The wheel's delta in 1/120 notches: hi-res when the frame has it, else
// whole notches times 120.
std::int64_t wheel_delta(bool has_hi_res, std::int64_t hi_res, std::int64_t notches) {
    if (has_hi_res)
        return hi_res;
    return std::clamp(notches, int32_min, int32_max) * WHEEL_DELTA;
}

}  // namespace

Capabilities read_capabilities(const std::function<bool(unsigned type, unsigned code)>& has,
                               const std::function<AxisRange(unsigned code)>& range) {
    Capabilities caps;
    for (unsigned code = 0; code < KEY_CNT; ++code)
        caps.keys[code] = has(EV_KEY, code);
    for (unsigned code = 0; code < REL_CNT; ++code)
        caps.rels[code] = has(EV_REL, code);
    for (unsigned code = 0; code < ABS_CNT; ++code)
        caps.abs[code] = has(EV_ABS, code);
    caps.x_range = range(ABS_X);
    caps.y_range = range(ABS_Y);
    return caps;
}

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

LONG scale_to_absolute(double value, double minimum, double maximum) {
    if (!(maximum > minimum))
        return 0;
    const double offset = std::clamp(value - minimum, 0.0, maximum - minimum);
    // Rounded half up, so both ends map onto 0 and 65535 exactly; for integer
    // positions and ranges of 32 bits every step of this is exact.
    return static_cast<LONG>(std::round(offset * 65535.0 / (maximum - minimum)));
}

int put_wheels(RAWMOUSE out[2], std::optional<std::int64_t> vertical,
               std::optional<std::int64_t> horizontal) {
    if (vertical && horizontal) {
        out[1] = RAWMOUSE{};
        out[1].usFlags = out[0].usFlags;
        out[1].usButtonFlags = RI_MOUSE_HWHEEL;
        out[1].usButtonData = wheel_data(*horizontal);
        out[1].ulRawButtons = out[0].ulRawButtons;
        if ((out[0].usFlags & MOUSE_MOVE_ABSOLUTE) != 0) {
            out[1].lLastX = out[0].lLastX;
            out[1].lLastY = out[0].lLastY;
        }
    }
    if (vertical || horizontal) {
        out[0].usButtonFlags |= vertical ? RI_MOUSE_WHEEL : RI_MOUSE_HWHEEL;
        out[0].usButtonData = wheel_data(vertical ? *vertical : *horizontal);
    }
    return vertical && horizontal ? 2 : 1;
}

FrameAssembler::FrameAssembler(const Capabilities& caps)
    : absolute_(!(caps.rels.test(REL_X) && caps.rels.test(REL_Y)) && is_absolute_mouse(caps)),
      x_range_(caps.x_range),
      y_range_(caps.y_range),
      x_(caps.x_range.minimum),
      y_(caps.y_range.minimum),
      frame_x_(x_),
      frame_y_(y_) {}

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
        case EV_REL: {
            constexpr std::array<unsigned, rel_axis_count> codes = {
                REL_X, REL_Y, REL_WHEEL, REL_WHEEL_HI_RES, REL_HWHEEL, REL_HWHEEL_HI_RES};
            const auto axis = std::find(codes.begin(), codes.end(), event.code);
            if (axis == codes.end()) {
                ++ignored_;
                return 0;
            }
            const auto index = static_cast<std::size_t>(axis - codes.begin());
            add_saturating(sums_[index], event.value);
            seen_[index] = true;
            has_motion_ = has_motion_ || index == rel_x || index == rel_y;
            ++frame_used_;
            return 0;
        }
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
            const MouseButton* button = evdev_button(event.code);
            if (button == nullptr || (event.value != 0 && event.value != 1)) {
                ++ignored_;  // a key, or a repeat (2) of a button
                return 0;
            }
            if (event.value == 1) {
                button_flags_ |= button->down;
                frame_held_ |= button->raw_bit;
            } else {
                button_flags_ |= button->up;
                frame_held_ &= ~button->raw_bit;
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
    for (const MouseButton& button : mouse_buttons) {
        if ((held & button.raw_bit) != (held_ & button.raw_bit))
            button_flags_ |= (held & button.raw_bit) != 0 ? button.down : button.up;
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
    const bool vertical = seen_[wheel] || seen_[wheel_hi_res];
    const bool horizontal = seen_[hwheel] || seen_[hwheel_hi_res];
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
        out[0].lLastX = scale_to_absolute(x_, x_range_.minimum, x_range_.maximum);
        out[0].lLastY = scale_to_absolute(y_, y_range_.minimum, y_range_.maximum);
    } else {
        out[0].usFlags = MOUSE_MOVE_RELATIVE;
        out[0].lLastX = clamp_to_long(sums_[rel_x]);
        out[0].lLastY = clamp_to_long(sums_[rel_y]);
    }
    const auto turn = [&](bool seen, RelAxis hi_res,
                          RelAxis notches) -> std::optional<std::int64_t> {
        if (!seen)
            return std::nullopt;
        return wheel_delta(seen_[hi_res], sums_[hi_res], sums_[notches]);
    };
    const int count = put_wheels(out, turn(vertical, wheel_hi_res, wheel),
                                 turn(horizontal, hwheel_hi_res, hwheel));
    reset_frame();
    return count;
}

void FrameAssembler::reset_frame() {
    sums_.fill(0);
    seen_.fill(false);
    button_flags_ = 0;
    has_motion_ = false;
    frame_held_ = held_;
    frame_x_ = x_;
    frame_y_ = y_;
    frame_used_ = 0;
}

}  // namespace input
