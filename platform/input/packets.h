// The two pure rules shared by every kernel-event source (evdev and replay):
// which class a device is, and how a frame of events becomes mouse packets.
#pragma once

#include <linux/input.h>

#include <array>
#include <bitset>
#include <cstdint>
#include <functional>
#include <optional>

#include "platform/win32/win32.h"

namespace input {

// An event's time stamp in microseconds.
inline std::int64_t event_time_us(const input_event& event) {
    return static_cast<std::int64_t>(event.input_event_sec) * 1000000 +
           static_cast<std::int64_t>(event.input_event_usec);
}

// The range an absolute axis reports, as EVIOCGABS gives it.
struct AxisRange {
    int minimum = 0;
    int maximum = 0;
};

// The code bits of an evdev device (a code implies its type), and the ranges
// of its ABS_X and ABS_Y axes where it has them.
struct Capabilities {
    std::bitset<KEY_CNT> keys;
    std::bitset<REL_CNT> rels;
    std::bitset<ABS_CNT> abs;
    AxisRange x_range;
    AxisRange y_range;
};

// The capabilities of a device as the library that holds it answers:
// `has(type, code)` for the codes of EV_KEY, EV_REL and EV_ABS, and
// `range(code)` for ABS_X and ABS_Y.
Capabilities read_capabilities(const std::function<bool(unsigned type, unsigned code)>& has,
                               const std::function<AxisRange(unsigned code)>& range);

// An absolute pointer that udev's input_id calls a mouse: ABS_X and ABS_Y with
// a mouse button and no pen, stylus or finger tool, such as the tablet a
// virtual machine gives its guest. (Its other mice have REL_X and REL_Y.)
bool is_absolute_mouse(const Capabilities& caps);
// What udev's input_id calls a keyboard: every key from KEY_ESC to KEY_S.
bool has_keyboard_keys(const Capabilities& caps);

// A mouse (REL_X and REL_Y, even with keys, or an absolute mouse), else a
// keyboard, else another device (pen tablets, touchpads, touchscreens...).
DWORD classify(const Capabilities& caps);

// A position between `minimum` and `maximum` scaled to 0..65535 and rounded
// to the nearest step, as absolute RAWMOUSE motion carries it; values outside
// are clamped to the ends, and an empty range gives 0. Every input scales
// through it (integers convert exactly).
LONG scale_to_absolute(double value, double minimum, double maximum);

// Puts a frame's wheel turns, in 1/120 notches (nullopt: that wheel did not
// turn), into its packet out[0], which already holds the frame's motion and
// buttons. A packet holds one wheel: with both, the horizontal turn follows
// in out[1], which repeats the buttons held and an absolute position.
// Returns how many packets there are (1 or 2).
int put_wheels(RAWMOUSE out[2], std::optional<std::int64_t> vertical,
               std::optional<std::int64_t> horizontal);

// Turns a device's event stream into packets, one frame (events up to
// SYN_REPORT) at a time. Keeps the buttons held, and an absolute mouse's
// position, between frames.
class FrameAssembler {
  public:
    // For an absolute mouse (see is_absolute_mouse), packets carry usFlags
    // MOUSE_MOVE_ABSOLUTE and the last known position on both axes, scaled
    // from the axes' ranges; before any position, each axis's minimum.
    explicit FrameAssembler(const Capabilities& caps = {});

    // Feeds one event. At SYN_REPORT, writes the frame's packets to `out` and
    // returns how many there are (0, 1, or 2 when both wheels turned);
    // otherwise returns 0. SYN_DROPPED in a raw kernel stream acts as
    // drop_frame(); a reader behind libevdev resyncs instead and never feeds it.
    int feed(const input_event& event, RAWMOUSE out[2]);

    // Discards the frame in progress; nothing is emitted up to and including
    // the next SYN_REPORT (what SYN_DROPPED asks of a raw kernel stream, which
    // resumes with the newest event, in the middle of a frame). The discarded
    // events count as ignored.
    void drop_frame();
    // Discards the frame in progress; the next event starts a fresh frame.
    void discard_frame();

    // Starts from a device's state as known when it is opened: the buttons
    // held (ulRawButtons bits) and an absolute mouse's position.
    void start_from(ULONG held, int x, int y);
    // After an overflow, with the device's state now: discards the frame in
    // progress and writes to `out` the packet that brings the last frame's
    // state up to it (DOWN/UP for each button that changed, an absolute
    // mouse's new position). Returns 1, or 0 when nothing changed.
    int resync(ULONG held, int x, int y, RAWMOUSE out[2]);

    // The buttons held after the last complete frame.
    ULONG held_buttons() const { return held_; }
    bool absolute() const { return absolute_; }

    // Events ignored since creation (keys, repeats, unknown codes, other event
    // types, discarded frames), for diagnostics.
    std::uint64_t ignored() const { return ignored_; }

  private:
    int finish_frame(RAWMOUSE out[2]);
    void reset_frame();

    // The relative axes a frame sums: REL_X, REL_Y, REL_WHEEL,
    // REL_WHEEL_HI_RES, REL_HWHEEL, REL_HWHEEL_HI_RES.
    enum RelAxis { rel_x, rel_y, wheel, wheel_hi_res, hwheel, hwheel_hi_res, rel_axis_count };

    // Sums are kept wide and saturated; they are clamped to the packet's
    // field widths when the frame ends.
    std::array<std::int64_t, rel_axis_count> sums_{};
    std::array<bool, rel_axis_count> seen_{};  // which axes the frame has
    USHORT button_flags_ = 0;
    bool absolute_ = false;
    AxisRange x_range_;
    AxisRange y_range_;
    int x_ = 0;  // an absolute mouse's position after the last complete frame
    int y_ = 0;
    int frame_x_ = 0;  // and as the frame in progress leaves it
    int frame_y_ = 0;
    bool has_motion_ = false;
    bool dropping_ = false;
    ULONG held_ = 0;                // after the last complete frame
    ULONG frame_held_ = 0;          // as the frame in progress leaves them
    std::uint64_t frame_used_ = 0;  // events of the frame in progress that feed its packet
    std::uint64_t ignored_ = 0;
};

}  // namespace input
