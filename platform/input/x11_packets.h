// The pure part of the x11 provider: how the XInput 2 raw events of one slave
// pointer become mouse packets, and how the server's clock maps to ours.
#pragma once

// NOTE: Xlib defines macros (None, Status, Bool, ...) that clash with Qt; only
// sources that include no Qt header after this one may include it.
#include <X11/Xlib.h>
#include <X11/extensions/XInput2.h>

#include <cstdint>
#include <optional>
#include <vector>

#include "platform/win32/win32.h"

namespace input {

// A valuator that scrolls (XInput 2.1 scroll class).
struct ScrollAxis {
    int valuator;
    bool horizontal;
    // Valuator change of one wheel notch; negative when the device scrolls inverted.
    double increment;
};

// The ranges of valuators 0 and 1 of a pointer that reports positions rather
// than motion (a tablet, a touchscreen: valuators in absolute mode).
struct AbsoluteAxes {
    double min_x;
    double max_x;
    double min_y;
    double max_y;
};

// One slave pointer's raw events become packets here. Motion keeps the
// fraction it could not report and adds it to the device's next motion; the
// buttons held are kept between events. A pointer with absolute axes reports
// its position as MOUSE_MOVE_ABSOLUTE, 0 to 65535 across each axis's range.
class RawPointer {
  public:
    explicit RawPointer(std::vector<ScrollAxis> scroll_axes = {},
                        std::optional<AbsoluteAxes> absolute = std::nullopt);

    // Writes the packets of `event` (XI_RawMotion, XI_RawButtonPress or
    // XI_RawButtonRelease) to `out` and returns how many there are: 0 when the
    // event makes no packet (a wheel button's release, an unknown button, an
    // emulated event), 2 when a horizontal wheel comes with motion or a
    // vertical wheel it cannot share a packet with.
    int feed(const XIRawEvent& event, RAWMOUSE out[2]);

    ULONG held_buttons() const { return held_; }
    // Events that made no packet and are not part of one to come.
    std::uint64_t ignored() const { return ignored_; }

  private:
    int feed_motion(const XIRawEvent& event, RAWMOUSE out[2]);
    int feed_button(const XIRawEvent& event, bool press, RAWMOUSE out[2]);
    RAWMOUSE packet() const;

    std::vector<ScrollAxis> scroll_axes_;
    std::optional<AbsoluteAxes> absolute_;
    // The last absolute position, for an event that moves along one axis only.
    LONG absolute_x_ = 0;
    LONG absolute_y_ = 0;
    double carry_x_ = 0;
    double carry_y_ = 0;
    double carry_wheel_ = 0;
    double carry_hwheel_ = 0;
    ULONG held_ = 0;
    std::uint64_t ignored_ = 0;
};

// Maps the server's 32-bit millisecond time stamps to CLOCK_MONOTONIC
// nanoseconds. The offset between the clocks is the smallest gap seen between
// an event's server time and its receipt, so a mapped time is never later than
// its receipt; it is measured again when a mapped time falls far behind its
// receipt (the server's clock jumped).
class ServerClock {
  public:
    std::int64_t to_monotonic_ns(Time server_ms, std::int64_t received_ns);
    // The server time last mapped, in milliseconds, counted on across the
    // 32-bit counter's wrap (so it never steps back by 49.7 days).
    std::int64_t server_ms() const { return unwrapped_ms_; }

    // How far behind its receipt a mapped time may fall before the offset is
    // measured again.
    static constexpr std::int64_t resync_after_ns = 10'000'000'000;

  private:
    bool started_ = false;
    std::uint32_t last_ms_ = 0;
    std::int64_t unwrapped_ms_ = 0;
    std::int64_t offset_ns_ = 0;
};

}  // namespace input
