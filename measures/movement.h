// Whether each sensor is true: per mouse, its net counts, its path, the
// angle of its stroke and its CPI over a distance the user gives; per pair of
// mice moved together, the ratio of their movements, how much later one
// reports it (the lag) and how well their speeds correlate. Pure C++, built
// into both programs.
//
// Each mouse's record in the store (measures/store.h) holds one
// MouseMovement, fed by the store with every packet:
//
//   mouse.movement.add(stamp_us, {lLastX, lLastY, usFlags & MOUSE_MOVE_ABSOLUTE});
//
// The readers, once a frame (the movement window) or at exit (--stats):
//
//   row = movement::format_row(number, name, mouse.movement.summary(), distance_mm);
//   if (const auto pair = movement::compare(a.movement, b.movement); pair.together)
//       pair_row = movement::format_pair(number_a, number_b, pair, clock);
//
// A packet costs constant time: its counts are summed and binned into a ring
// of 125 µs bins covering the last 4 s of the mouse's own time. compare()
// reads two rings (half a millisecond): run it a few times a second at most.
// Not thread-safe: feed and read from one thread.
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

namespace measures::movement {

// The bins movement is kept in, and how many the ring holds: 4 s of them.
constexpr std::int64_t bin_us = 125;
constexpr std::size_t bins = 4'000'000 / bin_us;
// The lags tried: B up to 50 ms earlier or later than A.
constexpr std::int64_t max_lag_us = 50'000;
// Speeds correlating at least this well at the best lag moved together.
constexpr double together_correlation = 0.8;

// The distance a stroke covered, in mm, as --distance-mm and the window take
// it: above 0, at most max_distance_mm.
constexpr double max_distance_mm = 10000;
// `text` as a distance: a plain decimal number ("100", "25.4") above 0 and at
// most max_distance_mm; nothing for anything else.
std::optional<double> parse_distance_mm(std::string_view text);
// A distance as it was given: the shortest decimal that reads back the same
// ("25.4", "100").
std::string format_distance_mm(double distance_mm);

// One packet's movement: its lLastX and lLastY, and whether they are a
// position (usFlags MOUSE_MOVE_ABSOLUTE) rather than counts.
struct Motion {
    std::int32_t dx = 0;
    std::int32_t dy = 0;
    bool absolute = false;
};

// One mouse's movement since the start or the last reset.
struct Summary {
    std::int64_t counts_x = 0;  // net counts, as lLastX sums them
    std::int64_t counts_y = 0;
    double path = 0;             // the sum of each packet's length
    std::uint64_t relative = 0;  // packets of counts
    std::uint64_t absolute = 0;  // packets of positions: an absolute pointer
    // It has counts to show: it sent relative packets and no absolute one.
    bool counted() const { return absolute == 0; }
};

class MouseMovement {
  public:
    MouseMovement();

    // One handled packet stamped `time_us`. Absolute packets are counted, not
    // summed; packets that do not move cost a comparison.
    void add(std::int64_t time_us, const Motion& motion) {
        if (motion.absolute) {
            ++summary_.absolute;
            ++generation_;
        } else if (motion.dx != 0 || motion.dy != 0) {
            add_counts(time_us, motion.dx, motion.dy);
        }
    }
    // Forgets every figure and the binned movement.
    void reset();

    const Summary& summary() const { return summary_; }
    // Changes whenever anything summary() shows changes.
    std::uint64_t generation() const { return generation_; }
    std::size_t memory_bytes() const { return sizeof(*this) + ring_.capacity() * sizeof(ring_[0]); }

    // One bin's net counts (saturated at the int16 range, far above any
    // sensor's counts in 125 µs).
    struct Bin {
        std::int16_t dx = 0;
        std::int16_t dy = 0;
    };
    // The bins numbered from `first` (time / bin_us) on, as many as `out`
    // holds, into it; empty ones where the ring holds none.
    void copy_bins(std::int64_t first, std::vector<Bin>& out) const;
    // The number of the latest bin with movement; nothing before any.
    std::optional<std::int64_t> last_bin() const { return last_bin_; }

  private:
    void add_counts(std::int64_t time_us, std::int32_t dx, std::int32_t dy);

    Summary summary_;
    std::uint64_t generation_ = 0;
    std::vector<Bin> ring_;
    std::optional<std::int64_t> last_bin_;  // the latest bin with movement
    std::size_t last_slot_ = 0;             // its place in the ring
};

// How two mice compare over the last 4 s of their packets' time (ending at
// the later of their last movements): A and B in that order.
struct Pair {
    bool together = false;   // their speeds correlate at least together_correlation
    double correlation = 0;  // at the best lag
    // How much later B reports the same movement than A: negative when B
    // reports first. A whole number of bins.
    std::int64_t lag_us = 0;
    // B's movement over A's: the scale of the least-squares fit of B's
    // cumulative counts to A's at that lag, so that one-count packets do not
    // inflate either.
    double ratio = 0;
};

// Each mouse's poll period where its poll grid has one (MouseTiming's
// poll_period_us(), measures/poll_grid.h): a packet reports the movement
// since the poll before it, so its counts are spread over that period. A
// mouse whose period is not known has its counts taken where they came.
struct Polls {
    std::optional<std::int64_t> a_us;
    std::optional<std::int64_t> b_us;
};

// Compares the speeds of `a` and `b`, smoothed so that one-count packets pair
// too: the length of each mouse's movement over 4 ms (or the slower mouse's
// median packet interval, when longer), a window every ms, each packet's
// counts spread over its poll period. The lag within ±max_lag_us where they
// correlate best is searched a ms at a time, then found to a bin on the
// cumulative counts, where the ratio comes from too. Two mice that did not
// both move in the span do not correlate.
Pair compare(const MouseMovement& a, const MouseMovement& b, const Polls& polls = {});

// A comparison of two mice done a part at a time, as compare() does it in one
// go: begin() takes both mice's movement over the span (a copy), then each
// step() does a part of the work (one mouse's counts, the other's, the search
// a ms at a time, the lag to a bin), so that a caller on the thread that also
// handles packets never holds them back for a whole comparison.
class Comparison {
  public:
    Comparison();
    ~Comparison();
    Comparison(const Comparison&) = delete;
    Comparison& operator=(const Comparison&) = delete;

    void begin(const MouseMovement& a, const MouseMovement& b, const Polls& polls = {});
    // The parts: step() is called at most this many times a comparison.
    static constexpr int steps = 4;
    // Does the next part; true once the comparison is done (at once when
    // either mouse never moved).
    bool step();
    // The pair, once step() said it is done.
    const Pair& result() const { return pair_; }

  private:
    struct State;
    // Whether a best lag was found a step at a time; the pair at the best bin.
    bool coarse_search();
    Pair refine();

    std::unique_ptr<State> state_;
    // 0: done; 1, 2: a mouse's counts next; 3: the coarse search next; 4: the
    // lag to a bin next
    int stage_ = 0;
    Pair pair_;
};

// One row of the movement table: the cells in column order, "-" where a
// figure is unknown. The window shows them in a grid; --stats as text.
namespace column {
enum : std::size_t {
    mouse,
    counts_x,
    counts_y,
    path,
    angle,
    cpi,
    name,
    count,
};
}  // namespace column
using Row = std::array<std::string, column::count>;

// One row of the pairs table.
namespace pair_column {
enum : std::size_t {
    a,
    b,
    ratio,
    lag,
    correlation,
    count,
};
}  // namespace pair_column
using PairRow = std::array<std::string, pair_column::count>;

// The titles as the window shows them: "mouse", "counts x", "counts y",
// "path", "angle °", "CPI", "name"; "A", "B", "ratio", "lag ms",
// "correlation". And as --stats prints them, one word each: "counts_x",
// "counts_y", "angle_deg", "cpi"; "a", "b", "ratio", "lag_ms", "correlation".
const Row& column_titles();
const Row& stats_titles();
const PairRow& pair_titles();
const PairRow& stats_pair_titles();

// The stroke's angle in degrees, in (-180, 180]: 0 along +x, positive towards
// -y (up the screen); nothing while the net counts are (0, 0).
std::optional<double> angle_deg(const Summary& s);
// Counts per inch over `distance_mm`: the net length times 25.4 over it.
double cpi(const Summary& s, double distance_mm);

// A mouse's row: its number as the memo prints it, its net counts, path (one
// decimal), angle (one decimal), CPI (whole, "-" without a distance), name
// ("-" when it has none). An absolute pointer shows "-" for each figure.
Row format_row(int mouse_number, std::string_view name, const Summary& s,
               std::optional<double> distance_mm);
// A pair's row: the ratio (three decimals), the lag in ms (three decimals;
// whole ms on a ms clock, whose stamps are whole milliseconds) and the
// correlation (two decimals).
PairRow format_pair(int mouse_a, int mouse_b, const Pair& pair, Clock clock);

}  // namespace measures::movement
