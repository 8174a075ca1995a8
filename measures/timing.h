// How often each mouse sends: reports, the intervals between them, the polling
// rate, interval percentiles, the share of irregular intervals, the kernel's
// buffer overflows, the declared polling interval and the poll grid (its
// period, the polls skipped and the reports off it), kept per mouse from the
// packets' own time stamps. Pure C++, built into both programs.
//
// Each mouse's record in the store (measures/store.h) holds one MouseTiming,
// fed by the store with every packet:
//
//   mouse.timing.add(stamp_us, same_report, background);  // once per handled packet
//   mouse.timing.set_declared_interval_us(
//       timing::parse_endpoint_interval(text_of("ep_81/interval")));  // evdev only
//   mouse.timing.add_overflows(1);  // each SYN_DROPPED (evdev)
//
// The readers, once a frame (the timing window) or at exit (--stats):
//
//   if (store.generation() != drawn) {   // nothing changed: draw nothing
//       drawn = store.generation();
//       for each listed mouse: if (const Mouse* m = store.find(handle))
//           row = timing::format_row(number, name, m->timing.summary());
//           chart from m->timing.recent(), starting at
//           m->timing.recent().first_within(recent_span_us)
//   }
//
// Every packet costs constant time, and a mouse's memory is fixed when it is
// first seen (memory_bytes() says how much), so a run of hours costs no more
// per packet than a run of seconds. summary() walks the histogram, O(buckets):
// call it once a frame, not per packet. Not thread-safe: feed and read from one
// thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "measures/clock.h"
#include "measures/histogram.h"
#include "measures/poll_grid.h"

namespace measures::timing {

// An interval this long or longer between two reports is a pause: it ends a
// spell of movement, is counted apart and is left out of every measure.
constexpr std::int64_t pause_us = 50'000;

// A spell shows the polling schedule only when it is long enough: the
// intervals of a spell of fewer than this many (a click, a button bouncing,
// a nudge) are the person's fingers, not the mouse's rate, and are left out
// of the rate and every interval figure. The strip chart still shows them.
constexpr std::size_t min_spell_intervals = 8;

// The declared polling interval of a USB endpoint from the text of its sysfs
// `interval` file ("1ms", "125us", "8ms\n"), in microseconds; nullopt for
// anything else, and for 0 (an endpoint that is not polled).
std::optional<std::int64_t> parse_endpoint_interval(std::string_view text);

// The intervals from 0 to pause_us: one bucket per microsecond below 256 µs,
// then 128 per power of two. A value is read back as the lowest value of its
// bucket, at most 1/128 (0.78 %) below it; values whose low bits are zero at
// their octave's width (125, 1000, 2000, 8000 µs: the usual polling intervals)
// are read back exactly.
using IntervalHistogram = LogHistogram<std::int64_t, pause_us - 1, 7, ReadBack::floor>;

// A mouse's recent reports for the strip chart.
struct RecentReport {
    std::int64_t time_us;
    // From the mouse's report before; no_interval for its first and after a
    // stamp that went back. A pause is kept too, with its whole length (up to
    // 35 minutes, then that).
    std::int32_t interval_us;
    // On or off the poll grid followed when it came; unknown before a period settled.
    grid::Mark grid = grid::Mark::unknown;
};
constexpr std::int32_t no_interval = -1;

// The last `capacity` reports, oldest first; a new one pushes the oldest out.
// Its memory is taken once, when it is made.
class RecentReports {
  public:
    explicit RecentReports(std::size_t capacity);

    void push(RecentReport report);
    // Forgets every report; its memory stays.
    void clear() { start_ = size_ = 0; }
    std::size_t size() const { return size_; }
    std::size_t capacity() const { return capacity_; }
    const RecentReport& operator[](std::size_t i) const { return slots_[(start_ + i) % capacity_]; }
    // The index of the oldest report from which on every report lies within
    // `span_us` before the newest one (and not after it: a clock that stepped
    // back starts the chart again); size() when there are none.
    std::size_t first_within(std::int64_t span_us) const;

  private:
    std::unique_ptr<RecentReport[]> slots_;
    std::size_t capacity_;
    std::size_t start_ = 0;
    std::size_t size_ = 0;
};

// The time span the chart shows, and the reports kept for it: 8 kHz for that
// long, rounded up to a power of two.
constexpr std::int64_t recent_span_us = 4'000'000;
constexpr std::size_t default_recent_capacity = 32768;

// One mouse's measures at one moment. Everything but the counts is nullopt
// while unknown (no interval within a spell yet, an input without kernel
// buffers, an endpoint with no declared interval).
struct Summary {
    Clock clock = Clock::microseconds;
    std::uint64_t reports = 0;
    std::uint64_t intervals = 0;     // within spells of min_spell_intervals or more
    std::int64_t spell_time_us = 0;  // their sum
    // Intervals of spells too short to count (clicks): left out.
    std::uint64_t short_spell_intervals = 0;
    std::uint64_t pauses = 0;
    std::uint64_t steps_back = 0;  // stamps earlier than the report before: spells end there too
    // Reports that came while no window of the program was active (read in the
    // background): on Windows 11 these may be throttled, merged by the system.
    std::uint64_t background_reports = 0;
    std::optional<double> background_share;  // 0 to 1, once there is a report
    std::optional<double> rate_hz;
    std::optional<std::int64_t> p1_us;
    std::optional<std::int64_t> median_us;
    std::optional<std::int64_t> p99_us;
    std::optional<std::int64_t> max_us;
    std::optional<double> irregular_share;  // 0 to 1
    std::optional<std::uint64_t> overflows;
    std::optional<std::int64_t> declared_interval_us;
    // The poll grid (measures/poll_grid.h): its period once settled, and while
    // it is, the polls that brought no report over all polls and the reports
    // off the grid over all reports, within spells that count.
    std::optional<std::int64_t> poll_period_us;
    std::optional<double> skipped_share;   // 0 to 1
    std::optional<double> off_grid_share;  // 0 to 1
};

class MouseTiming {
  public:
    MouseTiming(Clock clock, bool counts_overflows, std::size_t recent_capacity);

    // One handled packet stamped `time_us`. `same_report`: it belongs to the
    // report of the packet before it (the second packet of a frame that turns
    // both wheels, the packets of a resync after an overflow): not a report
    // of its own. `background`: it came while no window of the program was
    // active (RIM_INPUTSINK).
    void add(std::int64_t time_us, bool same_report, bool background = false);

    void set_clock(Clock clock);
    void set_declared_interval_us(std::optional<std::int64_t> interval_us);
    void add_overflows(std::uint64_t count);
    // The overflows counted in all since the start (the input's own count):
    // those since the last reset are shown.
    void set_overflows(std::uint64_t count);
    // Forgets every report, interval, spell, the poll grid and the overflows
    // (a check started afresh); keeps the clock and the declared interval,
    // and its memory.
    void reset();

    Clock clock() const { return clock_; }
    std::uint64_t reports() const { return reports_; }
    // The period of the poll grid, once settled (as summary() has it, at no cost).
    std::optional<std::int64_t> poll_period_us() const { return grid_.period_us(); }
    const RecentReports& recent() const { return recent_; }

    // The rate comes from a reference interval: the median within spells (of
    // min_spell_intervals or more); on
    // a ms clock (or when the median is 0) the spells' time over their
    // intervals, since a median of 0 ms is common above 1 kHz. An interval is
    // irregular outside 0.5 to 1.5 times that reference, widened on a ms clock
    // by its tick (1 ms), by which each of its stamps may be off.
    Summary summary() const;

    // Changes whenever anything summary() or recent() shows changes.
    std::uint64_t generation() const { return generation_; }
    // The memory this mouse holds; the same from its first packet on.
    std::size_t memory_bytes() const;

  private:
    // One interval of a spell that does not count yet: held back until the
    // spell is long enough, then counted with those held.
    void hold_interval(std::int64_t interval_us);
    // A pause or a stamp that went back ends the spell: what it held back is
    // left out.
    void end_spell();

    Clock clock_;
    std::uint64_t reports_ = 0;
    std::int64_t last_time_us_ = 0;
    std::array<std::int64_t, min_spell_intervals - 1> held_{};
    // In the spell going on, up to min_spell_intervals (from there on it counts).
    std::size_t spell_intervals_ = 0;
    std::uint64_t short_spell_intervals_ = 0;
    std::uint64_t pauses_ = 0;
    std::uint64_t steps_back_ = 0;
    std::uint64_t background_reports_ = 0;
    std::optional<std::uint64_t> overflows_;  // in all, since the start
    std::uint64_t overflows_before_ = 0;      // of them, before the last reset
    std::optional<std::int64_t> declared_interval_us_;
    std::uint64_t generation_ = 0;
    IntervalHistogram intervals_;
    grid::PollGrid grid_;
    RecentReports recent_;
};

// One row of the timing table: the cells in column order, "-" where a
// measure is unknown. The window shows them in a grid; --stats as text.
namespace column {
enum : std::size_t {
    mouse,
    name,
    hz,
    declared_hz,
    p1,
    median,
    p99,
    max,
    irregular,
    overflows,
    background,
    poll_hz,
    skipped,
    off_grid,
    count,
};
}  // namespace column
using Row = std::array<std::string, column::count>;

// The column titles: "mouse", "name", "Hz", "declared Hz", "p1 µs",
// "median µs", "p99 µs", "max µs", "irregular %", "overflows", "bg %",
// "poll Hz", "skipped %", "off-grid %".
const Row& column_titles();

// A mouse's row: its number as the memo prints it, its name, whole Hz, whole
// microseconds, the irregular and background shares in percent to one decimal;
// the poll rate in whole Hz (to one decimal below 100 Hz), the skipped and
// off-grid shares in percent to one decimal.
Row format_row(int mouse_number, std::string_view name, const Summary& summary);

}  // namespace measures::timing
