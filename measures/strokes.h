// Strokes between two stops: per mouse, its last strokes (rest to rest, or to
// where it turns back), the straight ones of about one length that a person
// moving to and fro between two stops makes, the CPI from the slow ones over
// the travel between the stops, how alike they were (the spread), and the
// CPI variation: how much further (or less far) the fast ones go than the
// slow ones, a sensor's acceleration. Pure C++, built into both programs.
//
// Each mouse's record in the store (measures/store.h) holds one MouseStrokes,
// fed by the store with every packet after its tracking, whose speeds,
// saturated reports and spin-outs it reads:
//
//   mouse.strokes.add(stamp_us, {lLastX, lLastY, absolute}, mouse.tracking);
//
// The readers (the movement window once a frame, --stats at exit, a check):
//
//   const strokes::Summary s = mouse.strokes.summary(distance_mm);  // D, the travel
//   s.cpi, s.spread_pct, s.variation_pct, s.slow_cpms, s.fast_cpms, s.between ...
//   row = strokes::format_row(number, name, s, mouse.tracking.cpi());
//
// A stroke ends at a pause of 50 ms or more (the spells' rule), or where it
// turns back: once its distance from its start has fallen from the greatest
// it reached by turn_share of that (and turn_min_counts at least), it ends at
// the point of that greatest distance and the next begins there, with the
// counts after it: no count is lost or counted twice. Its path is the
// tracking's speed over each report's interval (the movement over the last
// 4 ms, so that the staircase of one-count reports does not lengthen it).
//
// A packet costs constant time and the memory is fixed: the last `kept`
// strokes in a ring; figures() reads them (a few microseconds), at most once
// a stroke while fed and whenever a reader asks. Not thread-safe: feed and
// read from one thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "measures/movement.h"
#include "measures/tracking.h"

namespace measures::strokes {

// The strokes a mouse keeps, since the start or its last reset.
constexpr std::size_t kept = 64;
// A stroke turns back once its distance from its start has fallen by this
// share of the greatest it reached, and by this many counts at least.
constexpr double turn_share = 0.05;
constexpr int turn_min_counts = 4;
// A straight stroke's net length is at least this share of its path.
constexpr double straight_share = 0.95;
// The strokes between the stops are within this share of the reference length.
constexpr double band_share = 0.25;
// Two strokes go opposite ways when the cosine of the angle between them is
// at most this (about 25°).
constexpr double opposite_cosine = -0.9;
// The CPI and the variation are medians over the last this many slow (and
// fast) strokes, from at least min_slow slow and min_fast fast ones.
constexpr std::size_t last_strokes = 5;
constexpr std::size_t min_slow = 3;
constexpr std::size_t min_fast = 2;
// Slow strokes spreading over more than this were not between the same stops.
constexpr double max_spread_pct = 3.0;
// A stroke holding a spin-out, or ending or beginning this close to one, did
// not track.
constexpr std::int64_t near_spinout_us = tracking::goes_on_within_us;

// One stroke, from rest or a turn to rest or a turn.
struct Stroke {
    std::int64_t start_us = 0;
    std::int64_t end_us = 0;
    std::int64_t x = 0;  // net counts
    std::int64_t y = 0;
    double length = 0;  // sqrt(x² + y²)
    double path = 0;    // on the movement of each 4 ms
    // The highest of the tracking's speeds within it; NaN when none was known
    // (a stroke shorter than the speed window).
    float peak_cpms = std::numeric_limits<float>::quiet_NaN();
    // The widest report field it had a saturated report at; -1: none.
    std::int8_t saturated_field = -1;
    // It holds a spin-out, or ends or begins within near_spinout_us of one.
    bool near_spinout = false;
    std::int64_t duration_us() const { return end_us - start_us; }
};

// What the strokes say of the CPI, from strokes in time order.
struct Figures {
    std::size_t between = 0;  // the straight strokes between the stops
    std::size_t slow = 0;     // of them
    std::size_t fast = 0;
    std::optional<double> reference_counts;  // the length they are near
    // The slow strokes the CPI is read from (the last 5, at least 3), their
    // median length, its spread (largest less smallest, over the median) and
    // their median peak speed.
    std::size_t cpi_strokes = 0;
    std::optional<double> slow_counts;
    std::optional<double> spread_pct;
    std::optional<double> slow_cpms;
    // The slow strokes agree: their length gives a CPI.
    bool cpi_valid = false;
    // The fast strokes the variation is read from (the last 5, at least 2),
    // their median peak speed, and the median length of theirs over that of
    // the slow ones, less 1, in %; only where the CPI is valid.
    std::size_t variation_strokes = 0;
    std::optional<double> fast_cpms;
    std::optional<double> variation_pct;
};

// The figures of `strokes` (oldest first), for a mouse whose tracking counts
// saturated reports at field `field` (-1: at none). Pure:
// - the straight strokes are those whose net length is at least 0.95 of
//   their path, leaving out any that failed to track (a saturated report, a
//   spin-out near it) or whose speed is unknown;
// - the reference length is the median length of the slower half of them by
//   peak speed, the half counted in length (so that many short adjustments,
//   the slowest strokes of all, weigh as little as they move), once those
//   shorter than a quarter of the longest of that half are left out;
// - the strokes between the stops are the straight ones within 25 % of it
//   whose nearest stroke before or after (of a quarter of that length at
//   least) is such a one too, going the other way: a to and fro, not swipes
//   made one after another the same way;
// - among them the slow ones peak at most a third of the fastest one, the
//   fast ones two thirds of it at least; all are slow where the fastest
//   peaks less than three times the slowest.
Figures figures(std::span<const Stroke> strokes, int field);

// One mouse's strokes figures as a reader takes them.
struct Summary {
    std::uint64_t strokes = 0;  // since the start or the reset, the open one included
    std::size_t kept = 0;       // of them, the last ones kept
    std::size_t between = 0;    // of the kept ones (Figures::between)
    std::size_t slow = 0;
    std::size_t fast = 0;
    // The CPI's strokes: those of the last figures whose slow strokes agreed
    // (held: from before what the kept strokes say now, which disagree or are
    // too few), else of the kept ones.
    std::size_t cpi_strokes = 0;
    std::optional<double> slow_counts;  // the median length of those strokes
    std::optional<double> spread_pct;
    bool cpi_held = false;
    // The travel the CPI is over, as asked for, and the CPI, while the spread
    // is within max_spread_pct.
    std::optional<double> distance_mm;
    std::optional<double> cpi;
    // The variation's: likewise the last valid, held or live.
    std::size_t variation_strokes = 0;
    std::optional<double> variation_pct;
    std::optional<double> slow_cpms;  // the median peak speeds of each group
    std::optional<double> fast_cpms;
    bool variation_held = false;
    // Since the reset the mouse went one way: its net movement is at least 0.9
    // of its strokes' lengths added up (a stroke along a ruler, pauses and
    // all; not a to and fro, whose net counts are a residue).
    bool one_way = false;
};

class MouseStrokes {
  public:
    MouseStrokes() = default;

    // One handled packet stamped `time_us`, after `tracking` took it. Only
    // relative packets that move count.
    void add(std::int64_t time_us, const movement::Motion& motion,
             const tracking::MouseTracking& tracking) {
        if (!motion.absolute && (motion.dx != 0 || motion.dy != 0))
            add_report(time_us, motion.dx, motion.dy, tracking);
    }
    // Forgets every stroke and figure (the movement window's Reset).
    void reset();

    // The figures, the CPI over `distance_mm` (D: the mouse's travel between
    // the stops, the gap less its own length); the open stroke counts as ended.
    Summary summary(std::optional<double> distance_mm) const;
    // The kept strokes, oldest first, the open one last as if it ended now.
    std::size_t size() const;
    Stroke operator[](std::size_t i) const;

    // The median length of the slow strokes of the last figures that gave a
    // CPI, once each of their strokes was past any spin-out found later;
    // nothing before. cpi_generation() changes when it does.
    std::optional<double> held_slow_counts() const { return held_cpi_.slow_counts; }
    std::uint64_t cpi_generation() const { return cpi_generation_; }

    // Changes whenever anything summary() shows may change.
    std::uint64_t generation() const { return generation_; }
    std::size_t memory_bytes() const { return sizeof(*this); }

  private:
    // A point of the stroke going on: the counts since the reset, the stamp,
    // and the path since the reset up to it.
    struct Point {
        std::int64_t x = 0;
        std::int64_t y = 0;
        std::int64_t us = 0;
        double path = 0;
    };
    // The most of a stretch of it: its peak speed and widest saturated field.
    struct Most {
        float peak = -1;
        std::int8_t field = -1;
        void take(float speed, std::int8_t f) {
            peak = speed > peak ? speed : peak;  // NaN never wins
            field = f > field ? f : field;
        }
        void take(const Most& m) { take(m.peak, m.field); }
    };

    void add_report(std::int64_t time_us, std::int32_t dx, std::int32_t dy,
                    const tracking::MouseTracking& tracking);
    // The mouse moves by a report's counts at `time_us`, its path by `path`.
    void advance(std::int64_t time_us, std::int32_t dx, std::int32_t dy, double path) {
        at_.path += path;
        at_.x += dx;
        at_.y += dy;
        at_.us = time_us;
    }
    // What the open stroke holds from its start to now.
    Most whole() const {
        Most most = to_far_;
        most.take(since_far_);
        return most;
    }
    // A report after a pause (or none before): the open stroke ends, and
    // another starts with this report.
    void start(std::int64_t time_us, std::int32_t dx, std::int32_t dy, const Most& here);
    // It turned back: the open stroke ends at its greatest distance, and
    // another begins there.
    void turn();
    // Opens a stroke at `at`, near no spin-out yet.
    void begin(const Point& at);
    // Ends the open stroke at `end` (its greatest distance, or its last
    // point), with what it held up to there.
    void finish(const Point& end, const Most& most);
    // The stroke from its start to `end`, with what `most` found in it.
    Stroke stroke_to(const Point& end, const Most& most, bool near_spinout) const;
    void set_turn_limit();
    void spun_out(std::int64_t collapse_us);
    Stroke open_stroke() const;
    // The kept strokes, oldest first, into `out`; the open one too when asked.
    std::size_t copy_kept(std::array<Stroke, kept + 1>& out, bool with_open) const;
    void settle(std::int64_t now_us);
    // The field saturated reports are counted at, as figures() takes it.
    int field() const {
        return field_ == tracking::MouseTracking::no_field ? -1 : static_cast<int>(field_);
    }

    std::uint64_t generation_ = 0;
    std::uint64_t strokes_ = 0;  // finished since the reset
    std::array<Stroke, kept> ring_{};
    std::size_t count_ = 0;      // finished ones in the ring
    std::size_t next_ = 0;       // where the next goes
    std::size_t unsettled_ = 0;  // the newest finished ones a spin-out may still mark
    // When the oldest of them settles (a stamp after it does); none: never.
    std::int64_t settles_after_us_ = std::numeric_limits<std::int64_t>::max();
    // Where the mouse is: its counts since the reset and its path.
    Point at_;
    double lengths_ = 0;  // the finished strokes' lengths added up
    bool open_ = false;
    Point start_;
    Point far_;  // the greatest distance from the start so far
    double far_d2_ = 0;
    double turn_d2_ = -1;  // at or below this squared distance, it has turned back
    Most to_far_;          // from the start to there
    Most since_far_;       // after it
    // The collapses of the spin-outs found within reach of the open stroke.
    std::int64_t first_spin_us_ = no_spin;
    std::int64_t last_spin_us_ = no_spin;
    std::int64_t latest_spin_us_ = no_spin;  // of all
    std::uint64_t spinouts_seen_ = 0;
    // Where the tracking counts saturated reports, at the last packet.
    std::size_t field_ = tracking::MouseTracking::no_field;
    // The figures of the last settled strokes whose slow strokes agreed, and
    // of the last whose variation was known.
    Figures held_cpi_;
    Figures held_variation_;
    std::uint64_t cpi_generation_ = 0;
    static constexpr std::int64_t no_spin = std::numeric_limits<std::int64_t>::min() / 2;
};

// One row of the strokes table: the cells in column order, "-" where a
// figure is unknown.
namespace column {
enum : std::size_t {
    mouse,
    strokes,
    between,
    cpi,
    spread_pct,
    slow_cpms,
    fast_cpms,
    slow_mps,
    fast_mps,
    variation_pct,
    name,
    count,
};
}  // namespace column
using Row = std::array<std::string, column::count>;

// The titles as the window shows them: "mouse", "strokes", "between", "CPI",
// "spread %", "slow c/ms", "fast c/ms", "slow m/s", "fast m/s",
// "variation %", "name". And as --stats prints them, one word each: "cpi",
// "spread_pct", "slow_cpms", "fast_cpms", "slow_mps", "fast_mps",
// "variation_pct".
const Row& column_titles();
const Row& stats_titles();

// A mouse's row: the counts whole, the CPI whole, the spread to a tenth,
// the speeds to two decimals (in m/s at the strokes' CPI where known, else
// at `speed_cpi`, the CPI its speeds are read at), the variation to a tenth
// with its sign; name "-" when it has none.
Row format_row(int mouse_number, std::string_view name, const Summary& s,
               std::optional<double> speed_cpi);

}  // namespace measures::strokes
