// The poll grid of one mouse: the period its host polls it at, read from the
// intervals between its reports, the polls that brought no report (skipped:
// the sensor had nothing new, which is healthy) and the reports that came off
// the grid (late, or two in one poll's time, which is not).
//
// A USB mouse is polled every 125 µs to 8 ms, a Bluetooth mouse on its
// connection interval (7.5 to 22.5 ms in steps of 1.25 ms); it sends at a poll
// only when it has something new, so a mouse moved slowly reports at whole
// multiples of the period. MouseTiming feeds it the intervals of each spell:
//
//   const Mark mark = grid.add(interval_us);  // once per report after a spell's first
//   grid.end_spell();                         // at a pause or a stamp that went back
//
// Settling. The intervals of a spell are kept in a chunk (up to
// chunk_intervals); when a spell that counts ends, or the chunk is full, the
// chunk is checked (and while no period is settled, also at 32, 64 ... 512
// intervals into a spell's first chunk, so that a long spell is read while
// it goes on): a settled period that holds 90
// % of the chunk's reports stays; otherwise every candidate period is tried on the chunk
// (settle()), and when none qualifies a settled period stays while the chunk's reports lie on it
// more often than chance would put them there (half of the rest). A chunk is counted against the
// period it was checked with, so the reports before the first settling are counted too, once it
// settles. Between checks each report is followed on the settled grid alone:
// constant time, and the chunk's memory is taken once.
//
// Following. A report is on the grid when it lies within tolerance of a grid
// point: min(period / 4, 250 µs), widened by 1 ms on a ms clock. The grid's
// phase moves half-way to each report on it, so the slow drift between the
// mouse's clock and the host's is followed and a period merely close to the
// true one drifts off. A report off the grid leaves the phase alone: one late
// report counts once, and the report after it lies on the grid again. An
// interval of n periods between two reports on the grid is n polls, n - 1
// skipped, less the off-grid reports between them (each came at a poll).
// Eight off-grid reports in a row, each whole periods after the one before,
// say the grid itself moved: the phase starts again from the last of them.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "measures/clock.h"

namespace measures::grid {

// What a report was, on the grid followed when it came.
enum class Mark : std::uint8_t {
    unknown,  // no period was settled yet (or the report begins a spell)
    on,
    off,
};

// Reports counted on the grid: within spells that count, after each spell's first.
struct Counts {
    std::uint64_t on = 0;
    std::uint64_t off = 0;
    std::uint64_t polls = 0;    // the polls the grid's intervals spanned
    std::uint64_t skipped = 0;  // of them, the polls that brought no report

    Counts& operator+=(const Counts& other);
};

// The period of a chunk of one spell's intervals, or nullopt: the longest
// candidate (125 µs times a power of two up to 16 ms for USB, 7.5 to 22.5 ms
// in steps of 1.25 ms for Bluetooth; on a ms clock none under 8 ms, which its
// stamps cannot tell) with 90 % of the reports on its grid and 10 % of the intervals one
// or two periods long; or twice that period when half of the reports lie on
// the longer grid and most of those off it lie away from the shorter grid's
// points too, by more than an eighth of its period (a 1 kHz mouse whose late
// reports would fit a 500 µs grid: the late ones lie between its polls, not
// at them).
std::optional<std::int64_t> settle(std::span<const std::int32_t> intervals, Clock clock);

class PollGrid {
  public:
    // Intervals kept for the check of one chunk: 128 ms at 8 kHz.
    static constexpr std::size_t chunk_intervals = 1024;
    static_assert(std::has_single_bit(chunk_intervals));

    explicit PollGrid(Clock clock) : clock_(clock) {}

    // The interval from the spell's report before to this one (0 to under a
    // pause). Inline: it runs for every report, and costs little but the step
    // on the settled grid.
    Mark add(std::int32_t interval_us) {
        chunk_[chunk_size_++] = interval_us;
        const Mark mark = period_us_ ? follower_.step(interval_us) : Mark::unknown;
        // The chunk is checked when full, and tried before at 32, 64 ... 512
        // (a power of two: no bit below the highest; not std::has_single_bit,
        // a library call where the processor's popcount is not assumed).
        if ((chunk_size_ & (chunk_size_ - 1)) == 0 && chunk_size_ >= first_try) [[unlikely]]
            chunk_grew();
        return mark;
    }
    // The spell ended; `counted`: it had enough intervals to count (then its
    // last chunk is checked and counted).
    void end_spell(bool counted);
    // A new clock: what was read on the old one is forgotten.
    void set_clock(Clock clock);

    std::optional<std::int64_t> period_us() const { return period_us_; }
    // The counted reports, with the spell going on when `spell_counts`.
    Counts counts(bool spell_counts) const;

  private:
    // The intervals of a spell's first chunk at which a period is first tried.
    static constexpr std::size_t first_try = 32;

    // Follows one period over a spell's intervals.
    struct Follower {
        std::int64_t period = 0;
        std::int64_t tolerance = 0;
        std::int64_t since = 0;  // from the followed grid point
        std::uint32_t offs = 0;  // off-grid reports since it
        std::uint32_t run = 0;   // off-grid reports in a row, each whole periods apart
        Counts counts;

        Follower() = default;
        Follower(std::int64_t period_us, Clock clock);
        Mark step(std::int64_t interval_us) {
            since += interval_us;
            // One period on: a mouse sending at every poll, the usual case.
            const std::int64_t residual = since - period;
            if (residual >= -tolerance && residual <= tolerance) [[likely]] {
                ++counts.on;
                ++counts.polls;
                since = residual - residual / 2;  // the phase moves half-way to this report
                offs = 0;
                run = 0;
                return Mark::on;
            }
            return step_further(interval_us);
        }
        // A report not one period on: several periods on, or off the grid.
        Mark step_further(std::int64_t interval_us);
        void restart() { since = offs = run = 0; }
    };
    friend std::optional<std::int64_t> settle(std::span<const std::int32_t>, Clock);

    std::span<const std::int32_t> chunk() const { return {chunk_.data(), chunk_size_}; }
    // The chunk reached a power of two: full (checked), or a first try.
    void chunk_grew();
    void check_chunk();
    // Whether `reports` of a chunk lie on the follower's grid more often than
    // chance would put them there (a settled period stays while they do).
    static bool beyond_chance(const Follower& f, std::uint64_t reports);
    static Follower follow(std::span<const std::int32_t> intervals, std::int64_t period_us,
                           Clock clock);

    Clock clock_;
    std::optional<std::int64_t> period_us_;
    Follower follower_;
    Counts counted_;
    std::size_t chunk_size_ = 0;
    bool first_chunk_ = true;  // of the spell going on
    std::array<std::int32_t, chunk_intervals> chunk_{};
};

}  // namespace measures::grid
