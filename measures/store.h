// The measures of every mouse: one record per mouse, each holding every
// measure of it, all fed with the mouse's packets in one call. Keyed by the
// module's own handle, an integer: the callers convert the system's handles
// (handle_of), and nothing here needs the system's types.
//
//   measures::Store store({.clock = measures::Clock::milliseconds});  // x11's stamps
//   store.add(measures::handle_of(device), stamp_us, same_report, background,
//             usButtonFlags);                                         // once per packet
//   if (const measures::Mouse* m = store.find(handle))                // to read
//       m->timing.summary(), m->buttons.summary(measures::buttons::Button::left),
//       m->movement.summary(), m->tracking.summary(), m->strokes.summary(distance_mm);
//
// A measure joins by becoming a member of Mouse, fed in Mouse::add and counted
// in its generation() and memory_bytes(). Not thread-safe: feed and read from
// one thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "measures/buttons.h"
#include "measures/clock.h"
#include "measures/movement.h"
#include "measures/strokes.h"
#include "measures/timing.h"
#include "measures/tracking.h"

namespace measures {

// A mouse, as the system names it: a HANDLE's bits.
using Handle = std::uintptr_t;

// The handle of `device`, a HANDLE (or any handle held as a pointer).
inline Handle handle_of(const void* device) {
    return reinterpret_cast<Handle>(device);
}

// How the measures take the packets of an input.
struct Options {
    Clock clock = Clock::microseconds;
    // The input reads kernel buffers and counts their overflows (evdev):
    // a mouse starts at 0 rather than unknown.
    bool counts_overflows = false;
    std::size_t recent_capacity = timing::default_recent_capacity;
    // A press less than this long after its button's release is chatter.
    std::int64_t chatter_window_us = buttons::default_chatter_ms * 1000;
    // The packets carry the device's own counts (not x11's): a report
    // field's limit can be read from them.
    bool device_counts = true;
};

// One mouse's measures.
class Mouse {
  public:
    Mouse(Handle handle, const Options& options);

    // One packet stamped `time_us` with its usButtonFlags and its movement
    // (see timing::MouseTiming::add, buttons::MouseButtons::add,
    // movement::MouseMovement::add, tracking::MouseTracking::add,
    // strokes::MouseStrokes::add): every measure takes it, the tracking with
    // the poll period the timing found, the strokes with the tracking's speed.
    void add(std::int64_t time_us, bool same_report, bool background, std::uint16_t button_flags,
             const movement::Motion& motion = {}) {
        // A copy no measure can reach: each one's test of it is the same,
        // made once.
        const movement::Motion m = motion;
        timing.add(time_us, same_report, background);
        buttons.add(time_us, button_flags, same_report);
        movement.add(time_us, m);
        tracking.add(time_us, m, timing.poll_period_us());
        strokes.add(time_us, m, tracking);
    }

    // Changes whenever anything any of its measures shows changes.
    std::uint64_t generation() const {
        return timing.generation() + buttons.generation() + movement.generation() +
               tracking.generation() + strokes.generation();
    }
    // The memory this mouse holds; the same from its first packet on.
    std::size_t memory_bytes() const;

    const Handle handle;
    timing::MouseTiming timing;        // how often it sends
    buttons::MouseButtons buttons;     // whether each button is healthy
    movement::MouseMovement movement;  // whether its sensor is true
    tracking::MouseTracking tracking;  // how fast it goes before its sensor fails
    strokes::MouseStrokes strokes;     // its CPI between two stops, slow and fast
};

// Two mice's poll periods, for comparing their movement (movement::Polls).
inline movement::Polls polls_of(const Mouse& a, const Mouse& b) {
    return {a.timing.poll_period_us(), b.timing.poll_period_us()};
}

// How two mice's movement compares: movement::compare, each packet's counts
// spread over its mouse's poll period.
inline movement::Pair compare(const Mouse& a, const Mouse& b) {
    return movement::compare(a.movement, b.movement, polls_of(a, b));
}

// The measures of every mouse that has sent a packet or been told something.
class Store {
  public:
    using Options = measures::Options;
    Store() : Store(Options{}) {}
    explicit Store(Options options);

    // One handled packet of `handle` (see Mouse::add).
    void add(Handle handle, std::int64_t time_us, bool same_report, bool background = false,
             std::uint16_t button_flags = 0, const movement::Motion& motion = {}) {
        mouse(handle).add(time_us, same_report, background, button_flags, motion);
    }

    // The measures of `handle`, made with the options on first use.
    Mouse& mouse(Handle handle);
    const Mouse* find(Handle handle) const;

    // The mice in the order they were first used.
    std::size_t size() const { return mice_.size(); }
    const Mouse& operator[](std::size_t i) const { return *mice_[i]; }

    const Options& options() const { return options_; }
    // Every mouse's button figures start afresh (buttons::MouseButtons::reset).
    void reset_buttons();
    // Every mouse's movement and strokes start afresh
    // (movement::MouseMovement::reset, strokes::MouseStrokes::reset).
    void reset_movement();
    // Every mouse's tracking starts afresh, each keeping its CPI
    // (tracking::MouseTracking::reset).
    void reset_tracking();
    // Every mouse's timing starts afresh, each keeping its declared interval
    // (timing::MouseTiming::reset).
    void reset_timing();
    // Changes whenever any mouse's does, and when a mouse is added.
    std::uint64_t generation() const;
    std::size_t memory_bytes() const;

  private:
    Mouse& find_or_add(Handle handle);

    Options options_;
    std::vector<std::unique_ptr<Mouse>> mice_;
    std::size_t last_ = 0;
};

inline Mouse& Store::mouse(Handle handle) {
    // Packets come in runs from one mouse: the last one asked for first.
    if (last_ < mice_.size() && mice_[last_]->handle == handle)
        return *mice_[last_];
    return find_or_add(handle);
}

}  // namespace measures
