// The two pure rules shared by every kernel-event source (evdev and replay):
// which class a device is, and how a frame of events becomes mouse packets.
#pragma once

#include <linux/input.h>

#include <bitset>
#include <cstdint>

#include "platform/win32/win32.h"

namespace input {

// The capability bits of an evdev device.
struct Capabilities {
    std::bitset<EV_CNT> types;
    std::bitset<KEY_CNT> keys;
    std::bitset<REL_CNT> rels;
};

// A device with REL_X and REL_Y is a mouse (even with keys); one with every key
// from KEY_ESC to KEY_S is a keyboard; anything else is another device.
// Only the code bits are looked at: a code implies its type.
DWORD classify(const Capabilities& caps);

// Turns a device's event stream into packets, one frame (events up to
// SYN_REPORT) at a time. Keeps the buttons held between frames.
class FrameAssembler {
  public:
    // Feeds one event. At SYN_REPORT, writes the frame's packets to `out` and
    // returns how many there are (0, 1, or 2 when both wheels turned);
    // otherwise returns 0. SYN_DROPPED acts as drop_frame().
    int feed(const input_event& event, RAWMOUSE out[2]);

    // Discards the frame in progress; nothing is emitted up to and including
    // the next SYN_REPORT (what SYN_DROPPED asks for). The discarded events
    // count as ignored.
    void drop_frame();

    // After a resync: the buttons held now, as ulRawButtons bits.
    void set_held_buttons(ULONG bits) {
        held_ = bits;
        frame_held_ = bits;
    }
    // The buttons held after the last complete frame.
    ULONG held_buttons() const { return held_; }

    // Events ignored since creation (keys, repeats, unknown codes, other event
    // types, discarded frames), for diagnostics.
    std::uint64_t ignored() const { return ignored_; }

  private:
    int finish_frame(RAWMOUSE out[2]);
    void reset_frame();

    // Sums are kept wide and saturated; they are clamped to the packet's
    // field widths when the frame ends.
    std::int64_t dx_ = 0;
    std::int64_t dy_ = 0;
    USHORT button_flags_ = 0;
    std::int64_t wheel_ = 0;
    std::int64_t wheel_hi_res_ = 0;
    std::int64_t hwheel_ = 0;
    std::int64_t hwheel_hi_res_ = 0;
    bool has_motion_ = false;
    bool has_wheel_ = false;
    bool has_wheel_hi_res_ = false;
    bool has_hwheel_ = false;
    bool has_hwheel_hi_res_ = false;
    bool dropping_ = false;
    ULONG held_ = 0;                // after the last complete frame
    ULONG frame_held_ = 0;          // as the frame in progress leaves them
    std::uint64_t frame_used_ = 0;  // events of the frame in progress that feed its packet
    std::uint64_t ignored_ = 0;
};

// The ulRawButtons bit of an evdev button code, or 0 when it is not a mouse button.
ULONG raw_button_bit(unsigned code);

}  // namespace input
