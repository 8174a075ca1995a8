// How fast each mouse can go before its sensor fails: per mouse, its speed
// and peak speed, the reports at their field's limit (saturated: the counts
// beyond it were lost), the spin-outs (the counts collapsing or reversing in
// the middle of a fast stroke) and the malfunction speed (the speed just
// before the first of either). Pure C++, built into both programs.
//
// Each mouse's record in the store (measures/store.h) holds one
// MouseTracking, fed by the store with every packet and its timing's poll
// period:
//
//   mouse.tracking.add(stamp_us, {lLastX, lLastY, absolute}, mouse.timing.poll_period_us());
//   mouse.tracking.set_cpi(1600);  // --cpi, the movement window's Enter
//
// The readers (--stats at exit; a plot window once a frame):
//
//   row = tracking::format_row(number, name, mouse.tracking.summary());
//
// Speed. Within a stroke (a spell of movement that a pause of 50 ms or more
// ends, as the timing measures have it), the length of the net movement of
// the reports over the last 4 ms of their own time, or their last two
// intervals, whichever is longer, in counts per millisecond. The stroke's
// first report carries counts of an unknown span, so a stroke has a speed
// once that window lies within it. On the ms clock the window is 8 ms: each
// stamp may be up to a tick early, and the span its reports cover is then
// taken as half a tick shorter than the stamps say.
//
// Spin-outs. While the speed just before is above spin_mps (with the CPI;
// spin_cpms without it), the movement along the stroke over a short window
// (1 ms or two polls of the poll grid, whichever is longer; a poll that
// brought no report moved nothing; the last two reports where no grid is
// settled, against the counts a report before) drops below a quarter of
// what that speed would have moved, and within 20 ms the stroke goes on
// above that threshold speed. A hand cannot do that: losing three quarters
// of 1 m/s within a couple of milliseconds is a deceleration of some 30 g,
// so a person slowing down, stopping or turning back crosses the threshold
// smoothly first. A report after polls that brought none, carrying the
// movement of those polls (a late delivery, not a loss), is no collapse.
//
// A packet costs constant time: the stroke's recent reports sit in a ring of
// fixed size with their running sums, so a window's movement is a
// difference of two sums. Not thread-safe: feed and read from one thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

#include "measures/clock.h"
#include "measures/movement.h"

namespace measures::tracking {

// The speed window, and its width on the ms clock.
constexpr std::int64_t speed_window_us = 4'000;
constexpr std::int64_t speed_window_ms_clock_us = 8'000;
// A spin-out is looked for while the speed is above this (1 m/s), or above
// spin_cpms where the CPI is unknown.
constexpr double spin_mps = 1.0;
constexpr double spin_cpms = 40.0;
// The short window a collapse is read over: at least this, and two polls.
constexpr std::int64_t short_window_us = 1'000;
// A collapse is a spin-out when the stroke goes on this soon after it.
constexpr std::int64_t goes_on_within_us = 20'000;
// The CPI --cpi takes.
constexpr int min_cpi = 50;
constexpr int max_cpi = 100'000;

// counts/ms at `cpi` counts per inch, in m/s.
constexpr double metres_per_second(double cpms, double cpi) {
    return cpms * 25.4 / cpi;
}

// One mouse's tracking since the start or the last reset.
struct Summary {
    std::uint64_t moved = 0;  // its relative packets that moved
    // The CPI its speeds are read at (--cpi, the movement window); none while unknown.
    std::optional<double> cpi;
    std::optional<double> speed_cpms;  // at its latest report, once known
    std::optional<double> peak_cpms;
    // Reports at the limit of the narrowest report field that holds every
    // value it sent; nothing where the values are not the device's own (x11).
    std::optional<std::uint64_t> saturated;
    std::uint64_t spinouts = 0;
    // The speed just before the first saturated report or spin-out.
    std::optional<double> malfunction_cpms;
};

class MouseTracking {
  public:
    // `device_counts`: the packets carry the device's own counts (not an X
    // server's), so that a report field's limit can be read from them.
    MouseTracking(Clock clock, bool device_counts);

    // One handled packet stamped `time_us`, the mouse's poll period then
    // (none while no grid is settled). Only relative packets that move count.
    void add(std::int64_t time_us, const movement::Motion& motion,
             std::optional<std::int64_t> poll_period_us) {
        if (!motion.absolute && (motion.dx != 0 || motion.dy != 0))
            add_report(time_us, motion.dx, motion.dy, poll_period_us);
    }
    // The CPI speeds are read at from now on; it stays through reset().
    void set_cpi(std::optional<double> cpi);
    std::optional<double> cpi() const { return cpi_; }
    // Forgets every figure (a plot window's Reset); the CPI stays.
    void reset();

    Summary summary() const;

    // What the plot window marks on each report, read right after add():
    // the speed the last report that moved was read at (NaN while unknown),
    // and the field it was counted saturated at (no_field when it was not).
    float last_speed_cpms() const { return last_speed_; }
    std::size_t last_saturated_field() const { return last_saturated_; }
    // The narrowest field that holds every value sent so far (no_field:
    // none, or the counts are not the device's own): a report counted at
    // another field is not saturated after all.
    std::size_t field() const { return device_counts_ ? field_ : no_field; }
    // The spin-outs found, and the time the last one collapsed at.
    std::uint64_t spinouts() const { return spinouts_; }
    std::int64_t last_spinout_us() const { return last_spinout_us_; }
    // The report fields saturation is read at: 8, 12 and 16 bits.
    static constexpr std::size_t no_field = 3;

    // Changes whenever anything summary() shows changes.
    std::uint64_t generation() const { return generation_; }
    std::size_t memory_bytes() const { return sizeof(*this); }

    // The reports a stroke's ring holds: 4 ms at 16 kHz, or 8 ms at 8 kHz.
    static constexpr std::size_t ring_size = 128;

  private:
    // A report of the stroke going on, with the running sums up to it and
    // the velocity over its speed window (counts/ms; NaN while unknown).
    struct Entry {
        std::int64_t time_us;
        std::int64_t sum_x;
        std::int64_t sum_y;
        float vx;
        float vy;
        float speed;
        // The reports of that window, and the span they cover.
        std::uint32_t reports;
        std::int32_t span_us;
        double reports_per_ms() const { return reports * 1000.0 / span_us; }
    };
    // The first saturated report or spin-out of its kind: its place among
    // the reports and the speed just before it.
    struct First {
        std::uint64_t report = 0;
        float speed_cpms = 0;
        bool seen = false;
    };

    void add_report(std::int64_t time_us, std::int32_t dx, std::int32_t dy,
                    std::optional<std::int64_t> poll_period_us);
    void start_stroke(std::int64_t time_us, std::int32_t dx, std::int32_t dy);
    const Entry& at(std::uint64_t n) const { return ring_[n % ring_size]; }
    std::uint64_t oldest() const;
    // The first report of the ring stamped after `time_us` (next_ when none).
    std::uint64_t first_after(std::int64_t time_us) const;
    // The same from `cursor` on, which it moves there: for a window's start,
    // which moves a report or two at a time.
    std::uint64_t follow(std::uint64_t& cursor, std::int64_t time_us) const;
    void speed_at(Entry& e);
    void saturation(std::int32_t dx, std::int32_t dy, double speed_before);
    void spin_out(std::optional<std::int64_t> poll_period_us, std::int32_t dx, std::int32_t dy);
    // Whether the movement along the stroke over a window ending at `end_us`
    // (its reports from `first` to `last`) fell below a quarter of what the
    // speed before it would move. `speed_before` and `since_us` say that
    // speed and when its report came.
    bool collapsed(std::uint64_t first, std::uint64_t last, std::int64_t end_us,
                   double threshold_cpms, double& speed_before, std::int64_t& since_us) const;
    void set_threshold();

    Clock clock_;
    bool device_counts_;
    std::optional<double> cpi_;
    double threshold_cpms_ = spin_cpms;  // the speed spin-outs are looked for above
    std::uint64_t generation_ = 0;
    std::uint64_t moved_ = 0;
    double speed_cpms_ = -1;  // -1 while unknown
    double peak_cpms_ = -1;
    // The narrowest field (index into 8, 12, 16 bits; 3: none) that holds
    // every value sent, and the saturated reports at each field's limit.
    std::size_t field_ = 0;
    std::array<std::uint64_t, 3> saturated_{};
    std::array<First, 3> first_saturated_{};
    std::uint64_t spinouts_ = 0;
    First first_spinout_;
    std::int64_t last_spinout_us_ = 0;
    float last_speed_ = unknown_speed;
    std::size_t last_saturated_ = no_field;
    static constexpr float unknown_speed = std::numeric_limits<float>::quiet_NaN();
    // A collapse waiting for the stroke to go on: the report it was found
    // at, where it began and where its window ended, the speed before it and
    // (without a poll grid) the threshold speed in counts a report.
    bool pending_ = false;
    std::uint64_t pending_report_ = 0;
    std::int64_t pending_since_us_ = 0;
    std::int64_t pending_end_us_ = 0;
    double pending_speed_ = 0;
    double pending_ux_ = 0;  // the stroke's way before it, a unit vector
    double pending_uy_ = 0;
    double pending_per_report_ = 0;
    // When the stroke last went on after a spin-out, and when a report was
    // last above the threshold.
    std::int64_t went_on_us_ = 0;
    std::int64_t last_fast_us_ = 0;
    // The stroke going on: its first report's number and the next report's
    // (numbered from the start or reset), the report before's counts.
    std::uint64_t stroke_first_ = 0;
    std::uint64_t next_ = 0;
    std::int32_t last_dx_ = 0;
    std::int32_t last_dy_ = 0;
    // The first reports of the speed window and of the short window.
    std::uint64_t speed_cursor_ = 0;
    std::uint64_t short_cursor_ = 0;
    std::array<Entry, ring_size> ring_{};
};

// One row of the tracking table: the cells in column order, "-" where a
// figure is unknown.
namespace column {
enum : std::size_t {
    mouse,
    cpi,
    peak_cpms,
    peak_mps,
    saturated,
    spinouts,
    malfunction_cpms,
    malfunction_mps,
    name,
    count,
};
}  // namespace column
using Row = std::array<std::string, column::count>;

// The titles as --stats prints them: "mouse", "cpi", "peak_cpms", "peak_mps",
// "saturated", "spinouts", "malfunction_cpms", "malfunction_mps", "name".
const Row& stats_titles();

// A mouse's row: the CPI whole, the speeds to two decimals, in m/s only
// with a CPI, the counts whole; name "-" when it has none.
Row format_row(int mouse_number, std::string_view name, const Summary& s);

}  // namespace measures::tracking
