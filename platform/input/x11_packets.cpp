#include "platform/input/x11_packets.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "platform/input/mouse_buttons.h"
#include "platform/input/packets.h"

namespace input {

namespace {

constexpr double long_min = std::numeric_limits<LONG>::min();
constexpr double long_max = std::numeric_limits<LONG>::max();

// Adds `value` to the fraction carried so far and takes the nearest whole
// number out of the sum; what is left stays for the next event.
LONG take_rounded(double& carry, double value) {
    const double sum = std::clamp(carry + value, long_min, long_max);
    const double whole = std::nearbyint(sum);
    carry = sum - whole;
    return static_cast<LONG>(whole);
}

}  // namespace

RawPointer::RawPointer(std::vector<ScrollAxis> scroll_axes, std::optional<AbsoluteAxes> absolute)
    : scroll_axes_(std::move(scroll_axes)), absolute_(absolute) {
    if (absolute_ &&
        !(absolute_->max_x > absolute_->min_x && absolute_->max_y > absolute_->min_y)) {
        absolute_.reset();  // no usable range: taken as motion
    }
    // An axis that cannot say how far a notch goes cannot be turned into notches.
    std::erase_if(scroll_axes_, [](const ScrollAxis& axis) {
        return !std::isfinite(axis.increment) || axis.increment == 0 || axis.valuator < 2;
    });
}

RAWMOUSE RawPointer::packet() const {
    RAWMOUSE mouse{};
    mouse.usFlags = MOUSE_MOVE_RELATIVE;
    mouse.ulRawButtons = held_;
    return mouse;
}

int RawPointer::feed(const XIRawEvent& event, RAWMOUSE out[2]) {
    // Events the server emulates (a pointer driven by touches) echo input
    // that is reported on its own.
    if ((event.flags & XIPointerEmulated) != 0) {
        ++ignored_;
        return 0;
    }
    switch (event.evtype) {
        case XI_RawMotion:
            return feed_motion(event, out);
        case XI_RawButtonPress:
            return feed_button(event, true, out);
        case XI_RawButtonRelease:
            return feed_button(event, false, out);
        default:
            ++ignored_;
            return 0;
    }
}

int RawPointer::feed_motion(const XIRawEvent& event, RAWMOUSE out[2]) {
    bool has_x = false;
    bool has_y = false;
    bool has_scroll = false;
    double dx = 0;  // motion, or the position on absolute axes
    double dy = 0;
    double wheel = 0;   // in 1/120 notches, forward positive
    double hwheel = 0;  // in 1/120 notches, right positive
    // raw_values holds one value per bit set in the mask, in bit order.
    int index = 0;
    const int bits = event.valuators.mask_len * 8;
    for (int bit = 0; bit < bits; ++bit) {
        if (!XIMaskIsSet(event.valuators.mask, bit))
            continue;
        const double value = event.raw_values[index++];
        if (!std::isfinite(value))
            continue;
        if (bit == 0) {
            dx = value;
            has_x = true;
        } else if (bit == 1) {
            dy = value;
            has_y = true;
        } else {
            for (const ScrollAxis& axis : scroll_axes_) {
                if (axis.valuator != bit)
                    continue;
                // Valuators grow downwards and rightwards; a notch away from
                // the user is +120.
                const double notches = value / axis.increment * WHEEL_DELTA;
                if (axis.horizontal) {
                    hwheel += notches;
                } else {
                    wheel -= notches;
                }
                has_scroll = true;
            }
        }
    }
    const bool has_motion = has_x || has_y;
    if (!has_motion && !has_scroll) {
        ++ignored_;  // pressure, tilt or another axis no packet holds
        return 0;
    }

    const LONG vertical = take_rounded(carry_wheel_, wheel);
    const LONG horizontal = take_rounded(carry_hwheel_, hwheel);
    if (!has_motion && vertical == 0 && horizontal == 0) {
        return 0;  // less than a reportable step of the wheel, kept for the next one
    }
    out[0] = packet();
    if (has_motion && absolute_) {
        if (has_x)
            absolute_x_ = scale_to_absolute(dx, absolute_->min_x, absolute_->max_x);
        if (has_y)
            absolute_y_ = scale_to_absolute(dy, absolute_->min_y, absolute_->max_y);
        out[0].usFlags = MOUSE_MOVE_ABSOLUTE;
        out[0].lLastX = absolute_x_;
        out[0].lLastY = absolute_y_;
    } else if (has_motion) {
        out[0].lLastX = take_rounded(carry_x_, dx);
        out[0].lLastY = take_rounded(carry_y_, dy);
    }
    const auto turn = [](LONG notches) -> std::optional<std::int64_t> {
        return notches != 0 ? std::optional<std::int64_t>(notches) : std::nullopt;
    };
    return put_wheels(out, turn(vertical), turn(horizontal));
}

int RawPointer::feed_button(const XIRawEvent& event, bool press, RAWMOUSE out[2]) {
    const int button = event.detail;
    // Buttons 4 to 7 are wheel notches: a press is one step, a release nothing.
    if (button >= 4 && button <= 7) {
        if (!press) {
            ++ignored_;
            return 0;
        }
        out[0] = packet();
        const bool horizontal = button >= 6;
        const bool negative = button == 5 || button == 6;
        out[0].usButtonFlags = horizontal ? RI_MOUSE_HWHEEL : RI_MOUSE_WHEEL;
        out[0].usButtonData = wheel_data(negative ? -WHEEL_DELTA : WHEEL_DELTA);
        return 1;
    }
    const MouseButton* mouse_button = x_button(button);
    if (mouse_button == nullptr) {
        ++ignored_;  // buttons past 9 have no field in a packet
        return 0;
    }
    held_ = press ? (held_ | mouse_button->raw_bit) : (held_ & ~mouse_button->raw_bit);
    out[0] = packet();
    out[0].usButtonFlags = press ? mouse_button->down : mouse_button->up;
    return 1;
}

std::int64_t ServerClock::to_monotonic_ns(Time server_ms, std::int64_t received_ns) {
    const auto ms = static_cast<std::uint32_t>(server_ms);
    if (!started_) {
        started_ = true;
        unwrapped_ms_ = ms;
        last_ms_ = ms;
        offset_ns_ = received_ns - unwrapped_ms_ * 1'000'000;
    } else {
        // The counter wraps every 49.7 days; the signed step follows it across.
        unwrapped_ms_ += static_cast<std::int32_t>(ms - last_ms_);
        last_ms_ = ms;
    }
    const std::int64_t server_ns = unwrapped_ms_ * 1'000'000;
    const std::int64_t offset = received_ns - server_ns;
    if (offset < offset_ns_ || offset - offset_ns_ > resync_after_ns)
        offset_ns_ = offset;
    return server_ns + offset_ns_;
}

}  // namespace input
