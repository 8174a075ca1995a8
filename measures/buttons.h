// Whether each button is healthy: per mouse and button, its presses, the
// presses that came too soon after its release to be a person's (chatter: a
// worn switch bouncing), the clicks left, the shortest release-to-press gap,
// hold times, and the changes that had no partner (unpaired), kept from each
// packet's button flags and its own time stamp. Pure C++, built into both
// programs.
//
// Each mouse's record in the store (measures/store.h) holds one MouseButtons,
// fed by the store with every packet:
//
//   mouse.buttons.add(stamp_us, usButtonFlags, same_report);  // once per handled packet
//
// The readers, once a frame (the buttons window) or at exit (--stats):
//
//   for (Button b : buttons::all)
//       if (const ButtonSummary s = mouse.buttons.summary(b); s.seen())
//           row = buttons::format_row(number, b, name, s, mouse.buttons.clock());
//
// Every packet costs constant time and a mouse's memory is fixed when it is
// first seen. Not thread-safe: feed and read from one thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "measures/clock.h"
#include "measures/histogram.h"

namespace measures::buttons {

// The five buttons a report line carries, in the order of its flags.
enum class Button { left, right, middle, side, extra };
constexpr std::size_t button_count = 5;
constexpr std::array<Button, button_count> all = {Button::left, Button::right, Button::middle,
                                                  Button::side, Button::extra};

// "left", "right", "middle", "side", "extra".
std::string_view button_name(Button button);

// The packet flags of `button` (RI_MOUSE_*_DOWN and _UP: 0x0001 and 0x0002
// for left, each next button two bits up).
constexpr std::uint16_t down_flag(Button button) {
    return static_cast<std::uint16_t>(1u << (2 * static_cast<unsigned>(button)));
}
constexpr std::uint16_t up_flag(Button button) {
    return static_cast<std::uint16_t>(2u << (2 * static_cast<unsigned>(button)));
}
// Every button's DOWN and UP flags: the wheels' are above them.
constexpr std::uint16_t all_flags = 0x03FF;

// A press less than this long after the same button's release is chatter: the
// window libinput's debouncing uses for a bouncing switch. --chatter-ms sets
// it, a whole number of milliseconds in [min_chatter_ms, max_chatter_ms].
constexpr int default_chatter_ms = 25;
constexpr int min_chatter_ms = 1;
constexpr int max_chatter_ms = 500;

// Holds in tenths of a millisecond, the precision shown, from 0 to a minute
// (a longer hold counts as a minute in the median): exact below 25.6 ms, then
// 256 buckets per power of two, read back as the bucket's lowest value, at
// most 1/256 (0.4 %) below the hold. Round figures come back exact (80, 100,
// 120 ms).
constexpr std::int64_t hold_unit_us = 100;
constexpr std::int64_t max_hold_us = 60'000'000;
using HoldHistogram = LogHistogram<std::int64_t, max_hold_us / hold_unit_us, 8, ReadBack::floor>;

// One button's figures since the start or the last reset.
struct ButtonSummary {
    std::uint64_t presses = 0;                    // every DOWN flag
    std::uint64_t chatter = 0;                    // presses within the chatter window of a release
    std::uint64_t unpaired = 0;                   // a press while down, a release while up
    std::uint64_t releases = 0;                   // every UP flag
    std::optional<std::int64_t> shortest_gap_us;  // release to the next press
    std::optional<std::int64_t> median_hold_us;   // press to its release
    std::optional<std::int64_t> shortest_hold_us;
    std::uint64_t holds = 0;  // pairs timed

    // What the person did: the presses that were not the switch bouncing.
    std::uint64_t clicks() const { return presses - chatter; }
    // The button changed at all: it has a row.
    bool seen() const { return presses > 0 || releases > 0; }
};

class MouseButtons {
  public:
    MouseButtons(Clock clock, std::int64_t chatter_window_us);

    // One handled packet stamped `time_us` with its usButtonFlags. A packet
    // that belongs to the report before it and changes buttons is a resync's
    // after an overflow (a frame's second packet carries the horizontal wheel
    // alone): its changes open or close a pair but give no figure, as their
    // time is the resync's, not the switch's.
    void add(std::int64_t time_us, std::uint16_t flags, bool same_report) {
        if ((flags & all_flags) != 0)
            add_changes(time_us, flags, same_report);
    }
    // Forgets every figure; keeps which buttons are down, so that a release
    // after the reset is no unpaired change (nor a timed one).
    void reset();

    Clock clock() const { return clock_; }
    std::int64_t chatter_window_us() const { return chatter_window_us_; }
    ButtonSummary summary(Button button) const;
    // Whether `button` is down, as seen from here.
    bool down(Button button) const { return states_[index(button)].down; }

    // Changes whenever anything summary() shows changes.
    std::uint64_t generation() const { return generation_; }
    std::size_t memory_bytes() const { return sizeof(*this); }

  private:
    struct State {
        bool down = false;
        // The last press and release, when they can start a hold or a gap.
        std::optional<std::int64_t> pressed_us;
        std::optional<std::int64_t> released_us;
        std::uint64_t presses = 0;
        std::uint64_t releases = 0;
        std::uint64_t chatter = 0;
        std::uint64_t unpaired = 0;
        std::optional<std::int64_t> shortest_gap_us;
        std::optional<std::int64_t> shortest_hold_us;
        HoldHistogram holds;
    };
    static std::size_t index(Button b) { return static_cast<std::size_t>(b); }

    void add_changes(std::int64_t time_us, std::uint16_t flags, bool resync);
    void press(State& s, std::int64_t time_us, bool resync);
    void release(State& s, std::int64_t time_us, bool resync);

    Clock clock_;
    std::int64_t chatter_window_us_;
    std::uint64_t generation_ = 0;
    std::array<State, button_count> states_;
};

// One row of the buttons table: the cells in column order, "-" where a
// figure is unknown. The window shows them in a grid; --stats as text.
namespace column {
enum : std::size_t {
    mouse,
    button,
    presses,
    clicks,
    chatter,
    gap,
    hold,
    hold_min,
    unpaired,
    name,
    count,
};
}  // namespace column
using Row = std::array<std::string, column::count>;

// The column titles as the window shows them: "mouse", "button", "presses",
// "clicks", "chatter", "gap ms", "hold ms", "shortest hold ms", "unpaired",
// "name"; and as --stats prints them, one word each: "gap_ms", "hold_ms",
// "hold_min_ms".
const Row& column_titles();
const Row& stats_titles();

// A duration in ms to the nearest 0.1 ("8.0"); on a ms clock, whose stamps
// are whole milliseconds, in whole ms ("8"); "-" when there is none.
std::string format_ms(std::optional<std::int64_t> us, Clock clock);

// A button's row: the mouse's number as the memo prints it, the button's
// name, its counts and times in ms, the mouse's name ("-" when it has none).
Row format_row(int mouse_number, Button button, std::string_view name, const ButtonSummary& s,
               Clock clock);

}  // namespace measures::buttons
