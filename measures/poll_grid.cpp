#include "measures/poll_grid.h"

#include <algorithm>
#include <bit>

namespace measures::grid {
namespace {

constexpr std::int64_t max_tolerance_us = 250;
constexpr std::int64_t millisecond_tick_us = 1000;
// Off-grid reports in a row, each whole periods after the one before, that
// move the grid's phase to them.
constexpr std::uint32_t relock_reports = 8;
// A spell's last chunk shorter than this is too little to read a period
// from: it is counted on the grid the spell had.
constexpr std::size_t min_chunk = 8;

// Shares of a chunk's reports, as fractions: n * num >= total * den.
constexpr std::uint64_t settle_on_percent = 90;
constexpr std::uint64_t one_or_two_percent = 10;
constexpr std::uint64_t half = 50;

bool at_least_percent(std::uint64_t part, std::uint64_t total, std::uint64_t percent) {
    return part * 100 >= total * percent;
}

// On a ms clock no period under this can be told from the stamps.
constexpr std::int64_t min_period_ms_clock_us = 8000;

// The periods tried, longest first: USB's, then Bluetooth's connection intervals.
constexpr std::array<std::int64_t, 21> candidates = {
    22'500, 21'250, 20'000, 18'750, 17'500, 16'250, 16'000, 15'000, 13'750, 12'500, 11'250,
    10'000, 8'750,  8'000,  7'500,  4'000,  2'000,  1'000,  500,    250,    125,
};
static_assert(std::is_sorted(candidates.rbegin(), candidates.rend()));

// The whole periods nearest to `us` (not negative) and how far it lies from them.
struct Nearest {
    std::int64_t periods;
    std::int64_t residual;
};
Nearest nearest(std::int64_t us, std::int64_t period) {
    const std::int64_t n = (us + period / 2) / period;
    return {n, us - n * period};
}

// What a trial of one period over a chunk found, for settle().
struct Trial {
    Counts counts;
    std::uint64_t reports = 0;
    std::uint64_t one_or_two = 0;  // intervals of one or two whole periods
    std::uint64_t off_finer = 0;   // off-grid reports away from the points of period / 2
};

}  // namespace

Counts& Counts::operator+=(const Counts& other) {
    on += other.on;
    off += other.off;
    polls += other.polls;
    skipped += other.skipped;
    return *this;
}

// How far from a grid point a report may lie and still be on it.
static std::int64_t tolerance_us(std::int64_t period_us, Clock clock) {
    const std::int64_t tolerance = std::min(period_us / 4, max_tolerance_us);
    return clock == Clock::milliseconds ? tolerance + millisecond_tick_us : tolerance;
}

PollGrid::Follower::Follower(std::int64_t period_us, Clock clock)
    : period(period_us), tolerance(tolerance_us(period_us, clock)) {}

Mark PollGrid::Follower::step_further(std::int64_t interval_us) {
    // `since` is at least -tolerance / 2: the nearest multiple is never negative.
    const auto [n, residual] = nearest(since, period);
    if (n >= 1 && residual >= -tolerance && residual <= tolerance) {
        ++counts.on;
        counts.polls += static_cast<std::uint64_t>(n);
        // The off-grid reports since the last grid point each came at a poll.
        counts.skipped += static_cast<std::uint64_t>(std::max<std::int64_t>(0, n - 1 - offs));
        since = residual - residual / 2;  // the phase moves half-way to this report
        offs = 0;
        run = 0;
        return Mark::on;
    }
    ++counts.off;
    // A report within the same poll as the grid point (0 periods on) took no
    // poll of its own; a late one did.
    offs += n >= 1 ? 1 : 0;
    const auto [whole, from_last] = nearest(interval_us, period);
    run = whole >= 1 && from_last >= -tolerance && from_last <= tolerance ? run + 1 : 1;
    if (run >= relock_reports)
        restart();
    return Mark::off;
}

bool PollGrid::beyond_chance(const Follower& f, std::uint64_t reports) {
    // Reports at random lie on the grid 2 * tolerance / period of the time (a
    // half for USB periods up to 1 ms): at least half of the rest must lie on it.
    const auto period = static_cast<std::uint64_t>(f.period);
    const auto tolerance = static_cast<std::uint64_t>(f.tolerance);
    return f.counts.on * 2 * period >= reports * (period + 2 * tolerance);
}

PollGrid::Follower PollGrid::follow(std::span<const std::int32_t> intervals, std::int64_t period_us,
                                    Clock clock) {
    Follower f(period_us, clock);
    for (const std::int32_t interval : intervals)
        f.step(interval);
    return f;
}

std::optional<std::int64_t> settle(std::span<const std::int32_t> intervals, Clock clock) {
    // Off-grid reports beyond which a period cannot have 90 % of them on it:
    // its trial stops there, as most candidates' trials do within a few reports.
    const std::uint64_t too_many_off =
        intervals.size() - (intervals.size() * settle_on_percent + 99) / 100 + 1;
    const auto trial = [&](std::int64_t period, std::int64_t finer) {
        PollGrid::Follower f(period, clock);
        Trial t;
        for (const std::int32_t interval : intervals) {
            const Mark mark = f.step(interval);
            if (finer == 0 && f.counts.off == too_many_off)
                break;
            const auto [whole, residual] = nearest(interval, period);
            if ((whole == 1 || whole == 2) && residual >= -f.tolerance && residual <= f.tolerance)
                ++t.one_or_two;
            // Away from the finer grid: more than an eighth of its period from its points.
            if (mark == Mark::off && finer > 0 &&
                std::abs(nearest(std::max<std::int64_t>(f.since, 0), finer).residual) > finer / 8)
                ++t.off_finer;
        }
        t.counts = f.counts;
        t.reports = intervals.size();
        return t;
    };
    const auto qualifies = [](const Trial& t, std::uint64_t on_percent) {
        return at_least_percent(t.counts.on, t.reports, on_percent) &&
               at_least_percent(t.one_or_two, t.reports, one_or_two_percent);
    };
    if (intervals.empty())
        return std::nullopt;
    for (const std::int64_t period : candidates) {
        if (clock == Clock::milliseconds && period < min_period_ms_clock_us)
            break;
        if (!qualifies(trial(period, 0), settle_on_percent))
            continue;
        // Twice the period, when it explains the reports and those off it
        // are not polls of the shorter one.
        const std::int64_t doubled = 2 * period;
        if (std::find(candidates.begin(), candidates.end(), doubled) != candidates.end()) {
            const Trial wider = trial(doubled, period);
            if (at_least_percent(wider.counts.on, wider.reports, half) && wider.counts.off > 0 &&
                wider.off_finer * 2 >= wider.counts.off)
                return doubled;
        }
        return period;
    }
    return std::nullopt;
}

void PollGrid::chunk_grew() {
    if (chunk_size_ == chunk_intervals) {
        check_chunk();
    } else if (!period_us_ && first_chunk_) {
        // Not settled yet: tried at 32, 64 ... intervals into a spell's first
        // chunk, so that a mouse moved on and on is not unknown for a whole chunk.
        if (const std::optional<std::int64_t> period = settle(chunk(), clock_)) {
            period_us_ = period;
            follower_ = follow(chunk(), *period, clock_);
        }
    }
}

void PollGrid::end_spell(bool counted) {
    if (counted) {
        if (chunk_size_ >= min_chunk)
            check_chunk();
        else if (period_us_)
            counted_ += follower_.counts;  // a spell's short tail: on the grid it had
    }
    follower_.counts = {};
    follower_.restart();
    chunk_size_ = 0;
    first_chunk_ = true;
}

void PollGrid::check_chunk() {
    const std::span<const std::int32_t> chunk = this->chunk();
    chunk_size_ = 0;
    first_chunk_ = false;
    const bool holds =
        period_us_ && at_least_percent(follower_.counts.on, chunk.size(), settle_on_percent);
    if (!holds) {
        std::optional<std::int64_t> period = settle(chunk, clock_);
        if (!period && period_us_ && beyond_chance(follower_, chunk.size()))
            period = period_us_;
        if (period != period_us_) {
            period_us_ = period;
            // The chunk counted again on the new grid, followed on from its end.
            follower_ = period ? follow(chunk, *period, clock_) : Follower{};
        }
    }
    if (period_us_)
        counted_ += follower_.counts;
    follower_.counts = {};
}

void PollGrid::set_clock(Clock clock) {
    if (clock == clock_)
        return;
    *this = PollGrid(clock);
}

Counts PollGrid::counts(bool spell_counts) const {
    Counts all = counted_;
    if (period_us_ && spell_counts)
        all += follower_.counts;
    return all;
}

}  // namespace measures::grid
