// How often each mouse sends: generated time series of known timing fed packet
// by packet, their measures checked against the known values and against an
// exact computation over the same intervals.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

#include "measures/store.h"
#include "measures/tables.h"
#include "measures/timing.h"

namespace {

namespace timing = measures::timing;
using measures::Clock;
using measures::Store;
using timing::IntervalHistogram;
using timing::RecentReports;
using timing::Summary;

constexpr std::int64_t second = 1'000'000;
constexpr std::int64_t start = 7 * second;  // a stamp as the kernel gives one, some time after boot

measures::Handle handle(std::uintptr_t value) {
    return value;
}

struct Packet {
    std::int64_t time_us;
    bool same_report = false;
};
using Series = std::vector<Packet>;

// The same numbers on every system: a small xorshift, not <random>'s
// distributions, whose output the standard leaves to each library.
class Noise {
  public:
    explicit Noise(std::uint64_t seed) : state_(seed) {}
    // Uniform in [-amplitude, amplitude].
    std::int64_t next(std::int64_t amplitude) {
        state_ ^= state_ << 13;
        state_ ^= state_ >> 7;
        state_ ^= state_ << 17;
        return static_cast<std::int64_t>(state_ % static_cast<std::uint64_t>(2 * amplitude + 1)) -
               amplitude;
    }

  private:
    std::uint64_t state_;
};

// `count` reports, one every `interval`, from `from`.
Series steady(std::int64_t interval, int count, std::int64_t from = start) {
    Series s;
    for (int i = 0; i < count; ++i)
        s.push_back({from + i * interval});
    return s;
}

// Whole milliseconds, as an X server stamps events.
Series on_ms_clock(Series s) {
    for (Packet& p : s)
        p.time_us = p.time_us / 1000 * 1000;
    return s;
}

// What the measures should be, computed exactly from the series' intervals.
struct Exact {
    std::uint64_t reports = 0;
    std::uint64_t pauses = 0;
    std::vector<std::int64_t> intervals;  // within spells, sorted
    std::optional<double> rate_hz;
    std::optional<double> irregular_share;

    std::int64_t quantile(double q) const {
        auto rank = static_cast<std::size_t>(std::ceil(q * static_cast<double>(intervals.size())));
        return intervals[std::max<std::size_t>(rank, 1) - 1];
    }
};

Exact exact(const Series& series, Clock clock) {
    Exact e;
    std::optional<std::int64_t> last;
    // The spell going on: its intervals count once it has min_spell_intervals.
    std::vector<std::int64_t> spell;
    const auto end_spell = [&] {
        if (spell.size() >= timing::min_spell_intervals)
            e.intervals.insert(e.intervals.end(), spell.begin(), spell.end());
        spell.clear();
    };
    for (const Packet& p : series) {
        if (p.same_report && last)
            continue;
        ++e.reports;
        if (last && p.time_us >= *last) {
            const std::int64_t interval = p.time_us - *last;
            if (interval >= timing::pause_us) {
                ++e.pauses;
                end_spell();
            } else {
                spell.push_back(interval);
            }
        } else if (last) {
            end_spell();
        }
        last = p.time_us;
    }
    end_spell();
    std::sort(e.intervals.begin(), e.intervals.end());
    if (e.intervals.empty())
        return e;
    double sum = 0;
    for (std::int64_t i : e.intervals)
        sum += static_cast<double>(i);
    const double mean = sum / static_cast<double>(e.intervals.size());
    const bool ms = clock == Clock::milliseconds;
    const double reference =
        ms || e.quantile(0.5) == 0 ? mean : static_cast<double>(e.quantile(0.5));
    const double tolerance = ms ? 1000 : 0;
    e.rate_hz = 1e6 / reference;
    const auto irregular = std::count_if(e.intervals.begin(), e.intervals.end(), [&](auto i) {
        const auto v = static_cast<double>(i);
        return v < 0.5 * reference - tolerance || v > 1.5 * reference + tolerance;
    });
    e.irregular_share = static_cast<double>(irregular) / static_cast<double>(e.intervals.size());
    return e;
}

Summary measure(const Series& series, Clock clock) {
    Store t({.clock = clock});
    for (const Packet& p : series)
        t.add(handle(3), p.time_us, p.same_report);
    return t.mouse(handle(3)).timing.summary();
}

// A mouse of known timing and what it must measure. Percentiles are checked
// to the histogram's resolution (1/128 of the value), the rate to 1 %, the
// irregular share to a tenth of a percent.
struct Case {
    const char* name;
    Clock clock;
    std::function<Series()> series;
    std::uint64_t reports;
    std::uint64_t pauses;
    double rate_hz;
    std::int64_t p1_us;
    std::int64_t median_us;
    std::int64_t p99_us;
    std::int64_t max_us;
    double irregular_percent;
};

void PrintTo(const Case& c, std::ostream* out) {
    *out << c.name;
}

const Case cases[] = {
    {"Steady125Hz", Clock::microseconds, [] { return steady(8000, 1000); }, 1000, 0, 125, 8000,
     8000, 8000, 8000, 0},
    {"Steady500Hz", Clock::microseconds, [] { return steady(2000, 2000); }, 2000, 0, 500, 2000,
     2000, 2000, 2000, 0},
    {"Steady1000Hz", Clock::microseconds, [] { return steady(1000, 5000); }, 5000, 0, 1000, 1000,
     1000, 1000, 1000, 0},
    {"Steady8000Hz", Clock::microseconds, [] { return steady(125, 40000); }, 40000, 0, 8000, 125,
     125, 125, 125, 0},
    // Each stamp up to 100 µs off its slot: intervals spread over 800..1200 µs
    // (a triangle: 1 % of them below 828, 1 % above 1172), the rate stays 1000.
    {"Jitter1000Hz", Clock::microseconds,
     [] {
         Series s = steady(1000, 20000);
         Noise noise(12345);
         for (Packet& p : s)
             p.time_us += noise.next(100);
         return s;
     },
     20000, 0, 1000, 828, 1000, 1172, 1200, 0},
    {"JitterAt8000HzIsStillEightThousand", Clock::microseconds,
     [] {
         Series s = steady(125, 40000);
         Noise noise(99);
         for (Packet& p : s)
             p.time_us += noise.next(10);
         return s;
     },
     40000, 0, 8000, 107, 125, 143, 145, 0},
    // Four spells of two seconds at 125 Hz, a second's pause between them.
    {"PausesAreLeftOut", Clock::microseconds,
     [] {
         Series s;
         for (int spell = 0; spell < 4; ++spell) {
             const Series part = steady(8000, 250, start + spell * 3 * second);
             s.insert(s.end(), part.begin(), part.end());
         }
         return s;
     },
     1000, 3, 125, 8000, 8000, 8000, 8000, 0},
    // A 1 kHz mouse that drops every tenth report: one interval in nine is 2 ms.
    {"SkipsEveryTenthReport", Clock::microseconds,
     [] {
         Series s;
         for (int slot = 0; slot < 10000; ++slot) {
             if (slot % 10 != 9)
                 s.push_back({start + slot * 1000});
         }
         return s;
     },
     9000, 0, 1000, 1000, 1000, 2000, 2000, 100.0 / 9},
    // Every hundredth report of a 1 kHz mouse is held back with the three after
    // it and all four arrive at once: 4 ms, then 0, 0, 0.
    {"ABurstOfMergedReports", Clock::microseconds,
     [] {
         Series s;
         for (int slot = 0; slot < 10000; ++slot) {
             const int held = slot % 100;
             const int delivered = held < 4 ? slot - held + 3 : slot;
             s.push_back({start + delivered * 1000});
         }
         return s;
     },
     10000, 0, 1000, 0, 1000, 1000, 4000, 4},
    // 8 kHz on a ms clock: seven intervals of 0 ms to one of 1 ms. The median
    // is 0; the rate is the reports over the time.
    {"MillisecondClockAt8000Hz", Clock::milliseconds,
     [] { return on_ms_clock(steady(125, 40000)); }, 40000, 0, 8000, 0, 0, 1000, 1000, 0},
    // 1 kHz stamped by a server that reads each report up to 1.6 ms late:
    // 0, 1 and 2 ms intervals, none of them irregular on that clock.
    {"MillisecondClockWithJitterAt1000Hz", Clock::milliseconds,
     [] {
         Series s = steady(1000, 20000);
         Noise noise(7);
         for (Packet& p : s)
             p.time_us += 800 + noise.next(800);
         return on_ms_clock(s);
     },
     20000, 0, 1000, 0, 1000, 2000, 2000, 0},
    // On a ms clock the rate counts the reports that came: nine in ten.
    {"MillisecondClockSkippingEveryTenthAt125Hz", Clock::milliseconds,
     [] {
         Series s;
         for (int slot = 0; slot < 5000; ++slot) {
             if (slot % 10 != 9)
                 s.push_back({start + slot * 8000});
         }
         return on_ms_clock(s);
     },
     4500, 0, 112.5, 8000, 8000, 16000, 16000, 100.0 / 9},
    // Every fifth frame turns both wheels: two packets, one report. A resync
    // after an overflow adds three packets to one report.
    {"FramesSplitIntoPacketsAreOneReport", Clock::microseconds,
     [] {
         Series s;
         for (int i = 0; i < 5000; ++i) {
             const std::int64_t t = start + i * 1000;
             s.push_back({t});
             if (i % 5 == 0)
                 s.push_back({t, true});
             if (i == 2500) {
                 for (int k = 0; k < 3; ++k)
                     s.push_back({t, true});
             }
         }
         return s;
     },
     5000, 0, 1000, 1000, 1000, 1000, 1000, 0},
    // A button clicked in the middle of a 1 kHz movement: the press and the
    // release are reports of their own, 500 µs after a motion report, inside
    // a spell long enough to count (its four intervals of 500 µs are half the
    // median: not irregular).
    {"AClickInTheMiddleOfAMovementCounts", Clock::microseconds,
     [] {
         Series s = steady(1000, 2000);
         for (const std::int64_t at : {start + 700'500, start + 780'500})
             s.insert(
                 std::lower_bound(s.begin(), s.end(), at,
                                  [](const Packet& p, std::int64_t t) { return p.time_us < t; }),
                 Packet{at});
         return s;
     },
     2002, 0, 1000, 1000, 1000, 1000, 1000, 0},
    // Windows handles queued messages back to back: stamps of their receipt
    // come in pairs, the median interval is 0, the rate the reports over time.
    {"ReceiptTimeInPairs", Clock::receipt,
     [] {
         Series s;
         for (int i = 0; i < 4000; ++i)
             s.push_back({start + i / 2 * 2000});
         return s;
     },
     4000, 0, 1000, 0, 0, 2000, 2000, 100},
};

class Measures : public ::testing::TestWithParam<Case> {};

TEST_P(Measures, MatchTheKnownTiming) {
    const Case& c = GetParam();
    const Summary s = measure(c.series(), c.clock);
    EXPECT_EQ(s.clock, c.clock);
    EXPECT_EQ(s.reports, c.reports);
    EXPECT_EQ(s.pauses, c.pauses);
    ASSERT_TRUE(s.rate_hz);
    EXPECT_NEAR(*s.rate_hz, c.rate_hz, c.rate_hz / 100);
    ASSERT_TRUE(s.p1_us && s.median_us && s.p99_us && s.max_us);
    EXPECT_NEAR(*s.p1_us, c.p1_us, c.p1_us / 100.0 + 1) << "p1";
    EXPECT_NEAR(*s.median_us, c.median_us, c.median_us / 100.0) << "median";
    EXPECT_NEAR(*s.p99_us, c.p99_us, c.p99_us / 100.0 + 1) << "p99";
    EXPECT_NEAR(*s.max_us, c.max_us, c.max_us / 100.0) << "max";
    ASSERT_TRUE(s.irregular_share);
    EXPECT_NEAR(*s.irregular_share * 100, c.irregular_percent, 0.1);
}

TEST_P(Measures, MatchAnExactComputationToTheStatedResolution) {
    const Case& c = GetParam();
    const Series series = c.series();
    const Exact e = exact(series, c.clock);
    const Summary s = measure(series, c.clock);
    EXPECT_EQ(s.reports, e.reports);
    EXPECT_EQ(s.pauses, e.pauses);
    EXPECT_EQ(s.intervals, e.intervals.size());
    ASSERT_TRUE(s.p1_us && s.median_us && s.p99_us && s.max_us && s.rate_hz);
    for (const auto& [q, got] : {std::pair{0.01, *s.p1_us}, std::pair{0.5, *s.median_us},
                                 std::pair{0.99, *s.p99_us}, std::pair{1.0, *s.max_us}}) {
        const std::int64_t want = e.quantile(q);
        EXPECT_LE(got, want) << "q " << q << ": read back as its bucket's floor";
        EXPECT_GE(got, want - want / IntervalHistogram::sub_buckets) << "q " << q;
    }
    EXPECT_NEAR(*s.rate_hz, *e.rate_hz, *e.rate_hz / 100);
    EXPECT_NEAR(*s.irregular_share, *e.irregular_share, 0.001);
}

INSTANTIATE_TEST_SUITE_P(GeneratedMice, Measures, ::testing::ValuesIn(cases),
                         [](const auto& info) { return std::string(info.param.name); });

// A mouse on a poll grid (or on none) and what its grid must read: the period
// (0: none can be told, "-"), and the skipped and off-grid shares the
// generator knows it made, to a tenth of a percent.
struct GridCase {
    const char* name;
    Clock clock;
    std::function<Series()> series;
    std::int64_t period_us;
    double skipped_percent;
    double off_grid_percent;
};

void PrintTo(const GridCase& c, std::ostream* out) {
    *out << c.name;
}

// Reports of a mouse polled every `period` from `start`: `polls_to_next(i)`
// gives the polls from report i to the next (1: none skipped), `late(i)` how
// late report i comes after its poll. Bursts of `burst` reports are parted
// by pauses of 200 ms (0: one burst).
Series polled(std::int64_t period, int count, const std::function<int(int)>& polls_to_next,
              const std::function<std::int64_t(int)>& late, int burst = 0) {
    Series s;
    std::int64_t poll = start;
    for (int i = 0; i < count; ++i) {
        s.push_back({poll + late(i)});
        poll += polls_to_next(i) * period;
        if (burst > 0 && i % burst == burst - 1)
            poll += 200'000 / period * period;
    }
    return s;
}

// Share of the skipped polls when report i is followed after polls(i) polls,
// for `count` reports in bursts of `burst` (the last report of a burst is
// followed by a pause, not by polls).
double skipped_percent(const std::function<int(int)>& polls, int count, int burst) {
    double all = 0;
    double skipped = 0;
    for (int i = 0; i + 1 < count; ++i) {
        if (i % burst == burst - 1)
            continue;
        all += polls(i);
        skipped += polls(i) - 1;
    }
    return 100 * skipped / all;
}

// 1 to 7 polls between reports (skips of 0 to 6), from a fixed noise.
int slow_polls(int i) {
    return static_cast<int>((static_cast<std::uint64_t>(i) * 2654435761u >> 7) % 7) + 1;
}
// Every report on time; every `every`-th one `by` µs late.
std::function<std::int64_t(int)> late_every(int every, std::int64_t by) {
    return [=](int i) { return i % every == every - 1 ? by : 0; };
}

const GridCase grid_cases[] = {
    {"EightKiloHertzMovedSlowly", Clock::microseconds,
     [] {
         Noise noise(3);
         Series s = polled(
             125, 20000, slow_polls, [](int) { return 0; }, 500);
         for (Packet& p : s)
             p.time_us += noise.next(8);  // a host's stamps wander by a few µs
         return s;
     },
     125, skipped_percent(slow_polls, 20000, 500), 0},
    {"OneKiloHertzTwoPercentLate", Clock::microseconds,
     [] {
         return polled(
             1000, 20000, [](int) { return 1; }, late_every(50, 400));
     },
     1000, 0, 100.0 / 50},
    // The late reports would all lie on a 500 µs grid; they lie between its
    // polls, not at them.
    {"OneKiloHertzFifteenPercentLate", Clock::microseconds,
     [] {
         return polled(
             1000, 20000, [](int) { return 1; }, [](int i) { return (i * 7) % 20 < 3 ? 400 : 0; });
     },
     1000, 0, 15.0},
    {"Steady125Hz", Clock::microseconds, [] { return steady(8000, 1000); }, 8000, 0, 0},
    // Bursts of 100 reports, each burst's reports 1, 2 or 3 polls apart.
    {"FourKiloHertzInBursts", Clock::microseconds,
     [] {
         return polled(
             250, 10000, [](int i) { return i % 3 + 1; }, late_every(1, 0), 100);
     },
     250, skipped_percent([](int i) { return i % 3 + 1; }, 10000, 100), 0},
    // A Bluetooth mouse: connection events every 11.25 ms, stamps ±100 µs off
    // them, every fourth event empty (one poll skipped) and every tenth report
    // followed by a second 1.2 ms later in the same event (off the grid).
    {"BluetoothWithTwoReportsInSomeEvents", Clock::microseconds,
     [] {
         Noise noise(11);
         Series s;
         std::int64_t event = start;
         for (int i = 0; i < 4000; ++i) {
             s.push_back({event + noise.next(100)});
             if (i % 10 == 9)
                 s.push_back({event + 1200 + noise.next(50)});
             event += (i % 4 == 3 ? 2 : 1) * 11'250;
         }
         return s;
     },
     11'250, 100.0 * 999 / 4998, 100.0 * 400 / 4399},
    // A mouse sampling on its own clock, 83 to 100 Hz: on no grid.
    {"OnNoGrid", Clock::microseconds,
     [] {
         Noise noise(5);
         Series s;
         for (std::int64_t t = start, i = 0; i < 3000; ++i, t += 11'000 + noise.next(1000))
             s.push_back({t});
         return s;
     },
     0, 0, 0},
    // An X server's stamps: whole ms, each read up to 0.9 ms after its poll.
    {"MillisecondClockAt125Hz", Clock::milliseconds,
     [] {
         return on_ms_clock(polled(
             8000, 2000, [](int i) { return i % 3 + 1; }, [](int i) { return (i * 337) % 900; },
             200));
     },
     8000, skipped_percent([](int i) { return i % 3 + 1; }, 2000, 200), 0},
    // Steady, its stamps widened by a ms: within tolerance of 8.75 ms too,
    // which drifts away from them as the grid's phase follows them.
    {"MillisecondClockSteadyAt125Hz", Clock::milliseconds,
     [] {
         return on_ms_clock(polled(
             8000, 2000, [](int) { return 1; }, [](int i) { return (i * 337) % 900; }));
     },
     8000, 0, 0},
    // Under 8 ms a period cannot be told on a ms clock.
    {"MillisecondClockAt1000Hz", Clock::milliseconds,
     [] { return on_ms_clock(steady(1000, 5000)); }, 0, 0, 0},
};

class PollGrid : public ::testing::TestWithParam<GridCase> {};

TEST_P(PollGrid, ReadsThePeriodTheSkipsAndTheReportsOffIt) {
    const GridCase& c = GetParam();
    const Summary s = measure(c.series(), c.clock);
    if (c.period_us == 0) {
        EXPECT_FALSE(s.poll_period_us || s.skipped_share || s.off_grid_share);
        const timing::Row row = timing::format_row(0, "m", s);
        EXPECT_EQ(row[timing::column::poll_hz], "-");
        return;
    }
    ASSERT_TRUE(s.poll_period_us && s.skipped_share && s.off_grid_share);
    EXPECT_EQ(*s.poll_period_us, c.period_us);
    EXPECT_NEAR(*s.skipped_share * 100, c.skipped_percent, 0.1);
    EXPECT_NEAR(*s.off_grid_share * 100, c.off_grid_percent, 0.1);
}

INSTANTIATE_TEST_SUITE_P(GeneratedMice, PollGrid, ::testing::ValuesIn(grid_cases),
                         [](const auto& info) { return std::string(info.param.name); });

// What the chart draws: each report marked on or off the grid once the period
// settled, and nothing before.
TEST(PollGridTest, TheChartMarksTheReportsOffTheGrid) {
    Store t;
    const Series s = polled(
        1000, 3000, [](int) { return 1; }, late_every(10, 400));
    for (const Packet& p : s)
        t.add(handle(1), p.time_us, false);
    const RecentReports& recent = t.mouse(handle(1)).timing.recent();
    ASSERT_EQ(recent.size(), 3000u);
    EXPECT_EQ(recent[5].grid, measures::grid::Mark::unknown) << "before the first check";
    std::size_t off = 0;
    for (std::size_t i = 2000; i < recent.size(); ++i) {
        const bool late = i % 10 == 9;
        EXPECT_EQ(recent[i].grid, late ? measures::grid::Mark::off : measures::grid::Mark::on) << i;
        off += late ? 1 : 0;
    }
    EXPECT_EQ(off, 100u);
}

// A settled period stays while half of a spell lies on it, and goes when a
// spell's reports lie on none.
TEST(PollGridTest, ASettledPeriodStaysWhileHalfTheReportsLieOnIt) {
    measures::grid::PollGrid grid(Clock::microseconds);
    const auto spell = [&](const std::vector<std::int32_t>& intervals) {
        for (const std::int32_t i : intervals)
            grid.add(i);
        grid.end_spell(intervals.size() >= timing::min_spell_intervals);
    };
    spell(std::vector<std::int32_t>(100, 1000));
    ASSERT_EQ(grid.period_us(), 1000);
    // Every other report 600 µs late: half on, half off, and late by more than
    // a 500 µs grid would explain.
    std::vector<std::int32_t> halves;
    for (int i = 0; i < 50; ++i)
        halves.insert(halves.end(), {1600, 400});
    spell(halves);
    EXPECT_EQ(grid.period_us(), 1000);
    EXPECT_EQ(grid.counts(false).off, 50u);
    std::vector<std::int32_t> wander;
    for (int i = 0; i < 100; ++i)
        wander.push_back(9000 + (i * 3571) % 5000);
    spell(wander);
    EXPECT_FALSE(grid.period_us());

    // A spell too short to count is not checked, and counts nothing.
    measures::grid::PollGrid fresh(Clock::microseconds);
    for (int i = 0; i < 7; ++i)
        fresh.add(1000);
    fresh.end_spell(false);
    EXPECT_FALSE(fresh.period_us());
    EXPECT_EQ(fresh.counts(false).on, 0u);
}

TEST(MeasuresTest, FourMiceInterleavedAreMeasuredApart) {
    struct Mouse {
        measures::Handle handle;
        std::int64_t interval;
    };
    const Mouse mice[] = {
        {handle(11), 8000}, {handle(12), 2000}, {handle(13), 1000}, {handle(14), 125}};
    // Their packets merged by time, as the program handles them.
    std::vector<std::pair<std::int64_t, measures::Handle>> packets;
    for (const Mouse& m : mice) {
        for (std::int64_t t = start; t < start + 2 * second; t += m.interval)
            packets.push_back({t + m.interval / 3, m.handle});
    }
    std::stable_sort(packets.begin(), packets.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    Store t;
    for (const auto& [time, h] : packets)
        t.add(h, time, false);
    ASSERT_EQ(t.size(), 4u);
    for (const Mouse& m : mice) {
        const measures::Mouse* mouse = t.find(m.handle);
        ASSERT_NE(mouse, nullptr);
        const Summary s = mouse->timing.summary();
        EXPECT_EQ(s.reports, static_cast<std::uint64_t>(2 * second / m.interval));
        EXPECT_DOUBLE_EQ(*s.rate_hz, 1e6 / static_cast<double>(m.interval));
        EXPECT_EQ(*s.irregular_share, 0.0);
    }
    EXPECT_EQ(t.find(handle(15)), nullptr);
}

// The share of a mouse's reports read while no window of the program was
// active: a report's later packets neither count nor change it.
TEST(MeasuresTest, TheBackgroundShareCountsReportsReadInTheBackground) {
    Store t;
    EXPECT_EQ(t.mouse(handle(1)).timing.summary().background_share, std::nullopt)
        << "no report yet";
    for (int i = 0; i < 8; ++i) {
        const bool background = i >= 3 && i < 8;  // 5 of 8
        t.add(handle(1), start + i * 1000, false, background);
        t.add(handle(1), start + i * 1000, true, !background);  // the second wheel packet
    }
    t.add(handle(2), start, false, false);
    const Summary s = t.find(handle(1))->timing.summary();
    EXPECT_EQ(s.reports, 8u);
    EXPECT_EQ(s.background_reports, 5u);
    EXPECT_DOUBLE_EQ(*s.background_share, 5.0 / 8);
    EXPECT_EQ(timing::format_row(0, "m", s)[timing::column::background], "62.5");
    EXPECT_EQ(
        timing::format_row(1, "n", t.find(handle(2))->timing.summary())[timing::column::background],
        "0.0");
    const std::uint64_t before = t.generation();
    t.add(handle(2), start + 1000, false, true);
    EXPECT_NE(t.generation(), before);
    EXPECT_DOUBLE_EQ(*t.find(handle(2))->timing.summary().background_share, 0.5);
}

TEST(MeasuresTest, FiftyMillisecondsIsAPauseAndJustUnderIsNot) {
    Series s = steady(1000, 8);  // seven intervals of 1 ms
    s.push_back({s.back().time_us + 49'999});
    s.push_back({s.back().time_us + 50'000});
    const Summary m = measure(s, Clock::microseconds);
    EXPECT_EQ(m.reports, 10u);
    EXPECT_EQ(m.pauses, 1u);
    EXPECT_EQ(m.intervals, 8u);
    EXPECT_EQ(*m.max_us, 49'999);
    EXPECT_EQ(m.spell_time_us, 7000 + 49'999);
}

// A spell counts from its eighth interval on, all of its intervals with it;
// shorter ones (clicks, a nudge) are left out of every figure but the chart.
TEST(MeasuresTest, OnlySpellsOfEightIntervalsOrMoreCount) {
    const auto spells = [](std::initializer_list<int> lengths) {
        Series s;
        std::int64_t t = start;
        for (const int intervals : lengths) {
            const Series part = steady(2000, intervals + 1, t);
            s.insert(s.end(), part.begin(), part.end());
            t = s.back().time_us + second;
        }
        return s;
    };
    const Summary seven = measure(spells({7, 7, 7}), Clock::microseconds);
    EXPECT_EQ(seven.reports, 24u);
    EXPECT_EQ(seven.pauses, 2u);
    EXPECT_EQ(seven.intervals, 0u);
    EXPECT_EQ(seven.short_spell_intervals, 21u);
    EXPECT_FALSE(seven.rate_hz || seven.median_us || seven.max_us || seven.irregular_share);
    EXPECT_EQ(
        timing::format_row(0, "m", seven),
        (timing::Row{"0", "m", "-", "-", "-", "-", "-", "-", "-", "-", "0.0", "-", "-", "-"}));

    const Summary mixed = measure(spells({7, 8, 3, 20}), Clock::microseconds);
    EXPECT_EQ(mixed.intervals, 28u);
    EXPECT_EQ(mixed.short_spell_intervals, 10u);
    EXPECT_DOUBLE_EQ(*mixed.rate_hz, 500.0);

    // A stamp that goes back ends a spell as a pause does.
    Series back = steady(1000, 5);
    const Series after = steady(1000, 9, start - second);
    back.insert(back.end(), after.begin(), after.end());
    const Summary b = measure(back, Clock::microseconds);
    EXPECT_EQ(b.intervals, 8u);
    EXPECT_EQ(b.short_spell_intervals, 4u);
}

// A clicker whose switch bounces: each click a press, a release 30 ms later
// and, bouncing, a press 8 ms after it and a release 30 ms after that; clicks
// a second apart. Its reports are the person's fingers, not a polling rate.
TEST(MeasuresTest, AClickerHasNoPollingRate) {
    Series s;
    for (int click = 0; click < 50; ++click) {
        const std::int64_t t = start + click * second;
        for (const std::int64_t at : {t, t + 30'000, t + 38'000, t + 68'000})
            s.push_back({at});
    }
    const Summary m = measure(s, Clock::microseconds);
    EXPECT_EQ(m.reports, 200u);
    EXPECT_EQ(m.pauses, 49u);
    EXPECT_EQ(m.intervals, 0u);
    EXPECT_EQ(m.short_spell_intervals, 150u);
    const timing::Row row = timing::format_row(0, "Clicker", m);
    for (std::size_t c : {timing::column::hz, timing::column::p1, timing::column::median,
                          timing::column::p99, timing::column::max, timing::column::irregular})
        EXPECT_EQ(row[c], "-") << timing::column_titles()[c];

    Store t;
    for (const Packet& p : s)
        t.add(handle(3), p.time_us, false);
    EXPECT_EQ(t.mouse(handle(3)).timing.recent().size(), 200u) << "the chart shows every report";
}

TEST(MeasuresTest, NothingIsKnownBeforeAnIntervalWithinASpell) {
    Store t;
    const Summary empty = t.mouse(handle(1)).timing.summary();
    EXPECT_EQ(empty.reports, 0u);
    t.add(handle(1), start, false);
    t.add(handle(1), start + second, false);  // a pause
    const Summary s = t.mouse(handle(1)).timing.summary();
    EXPECT_EQ(s.reports, 2u);
    EXPECT_EQ(s.pauses, 1u);
    for (const Summary& each : {empty, s}) {
        EXPECT_FALSE(each.rate_hz || each.p1_us || each.median_us || each.p99_us || each.max_us ||
                     each.irregular_share);
        EXPECT_FALSE(each.overflows) << "an input without kernel buffers";
        EXPECT_FALSE(each.declared_interval_us);
    }
}

// A stamp earlier than the one before (a clock stepped back, a recording out
// of order, a 32-bit ms counter wrapping) ends the spell: no negative interval
// reaches the measures, and the next spell is measured as before.
TEST(MeasuresTest, AStampThatGoesBackEndsTheSpell) {
    Series s = steady(1000, 100);
    const Series after = steady(1000, 100, start - 10 * second);
    s.insert(s.end(), after.begin(), after.end());
    const Summary m = measure(s, Clock::microseconds);
    EXPECT_EQ(m.reports, 200u);
    EXPECT_EQ(m.steps_back, 1u);
    EXPECT_EQ(m.pauses, 0u);
    EXPECT_EQ(m.intervals, 198u);
    EXPECT_EQ(*m.p1_us, 1000);
    EXPECT_EQ(*m.max_us, 1000);

    // Stamps as far apart as they can be: nothing overflows.
    Series far = {{INT64_MIN}, {INT64_MAX}, {INT64_MIN}};
    for (std::int64_t t = 0; t <= 8; ++t)
        far.push_back({t});
    const Summary extremes = measure(far, Clock::microseconds);
    EXPECT_EQ(extremes.reports, 12u);
    EXPECT_EQ(extremes.pauses, 2u);
    EXPECT_EQ(extremes.steps_back, 1u);
    EXPECT_EQ(*extremes.max_us, 1);
}

// A sample whose packets were all stamped at once has no rate.
TEST(MeasuresTest, IntervalsOfZeroGiveNoRate) {
    const Summary s = measure(Series(9, Packet{start}), Clock::microseconds);
    EXPECT_EQ(s.intervals, 8u);
    EXPECT_EQ(*s.median_us, 0);
    EXPECT_FALSE(s.rate_hz);
    EXPECT_FALSE(s.irregular_share);
}

// Hours of reports cost no more memory than a second: every structure is
// sized when the mouse is first seen, and the figures stay right.
TEST(MeasuresTest, AnHoursLongRunKeepsItsMemoryAndItsFigures) {
    Store t;
    std::int64_t time = start;
    t.add(handle(1), time, false);
    const std::size_t first = t.memory_bytes();
    EXPECT_LE(t.mouse(handle(1)).timing.memory_bytes(), 600u * 1024)
        << "the ring of recent reports and the histogram, per mouse";
    // Two hours at 1 kHz, resting a second each minute.
    for (int minute = 0; minute < 120; ++minute) {
        for (int i = 0; i < 59'000; ++i) {
            time += 1000;
            t.add(handle(1), time, false);
        }
        time += second;
    }
    EXPECT_EQ(t.memory_bytes(), first);
    const Summary s = t.mouse(handle(1)).timing.summary();
    EXPECT_EQ(s.reports, 1u + 120 * 59'000);
    EXPECT_EQ(s.pauses, 119u);
    EXPECT_DOUBLE_EQ(*s.rate_hz, 1000.0);
    EXPECT_EQ(s.spell_time_us, static_cast<std::int64_t>(120 * 59'000 - 119) * 1000);
    const RecentReports& recent = t.mouse(handle(1)).timing.recent();
    EXPECT_EQ(recent.size(), timing::default_recent_capacity);
    EXPECT_EQ(recent[recent.size() - 1].time_us, time - second);
}

TEST(HistogramTest, EveryIntervalFallsInABucketWithinItsResolution) {
    EXPECT_EQ(IntervalHistogram::bucket_count,
              IntervalHistogram::bucket_of(timing::pause_us - 1) + 1);
    int previous = -1;
    for (std::int64_t v = 0; v < timing::pause_us; ++v) {
        const int bucket = IntervalHistogram::bucket_of(v);
        ASSERT_GE(bucket, previous) << v;
        ASSERT_LE(bucket, previous + 1) << v << ": no bucket skipped";
        previous = bucket;
        ASSERT_LT(bucket, IntervalHistogram::bucket_count) << v;
        ASSERT_LE(IntervalHistogram::floor(bucket), v);
        ASSERT_GE(IntervalHistogram::ceiling(bucket), v);
        ASSERT_LE(v - IntervalHistogram::floor(bucket), v / 128) << v;
        if (v < 256) {
            ASSERT_EQ(IntervalHistogram::floor(bucket), v) << "exact below 256 µs";
        }
    }
    // The usual polling intervals are read back exactly.
    for (const std::int64_t v : {125, 250, 500, 1000, 2000, 4000, 8000, 16000, 32000}) {
        EXPECT_EQ(IntervalHistogram::floor(IntervalHistogram::bucket_of(v)), v);
    }
}

TEST(HistogramTest, QuantilesCountOutsideAndTheSums) {
    IntervalHistogram h;
    EXPECT_FALSE(h.quantile(0.5));
    for (std::int64_t v = 1; v <= 1000; ++v)
        h.add(v * 10);  // 10 .. 10000 µs
    EXPECT_EQ(h.count(), 1000u);
    EXPECT_EQ(h.min(), 10);
    EXPECT_EQ(h.max(), 10000);
    EXPECT_EQ(h.sum(), 10 * 1000 * 1001 / 2);
    EXPECT_EQ(*h.quantile(0.0), 10);
    EXPECT_EQ(*h.quantile(0.01), 100);
    EXPECT_NEAR(*h.quantile(0.5), 5000, 5000 / 128);
    EXPECT_EQ(*h.quantile(1.0), 10000);
    IntervalHistogram hundred;
    for (std::int64_t v = 100; v >= 1; --v)
        hundred.add(v);
    // The nearest rank: the smallest value at least that share does not exceed.
    EXPECT_EQ(*hundred.quantile(0.01), 1);
    EXPECT_EQ(*hundred.quantile(0.015), 2);
    EXPECT_EQ(*hundred.quantile(0.5), 50);
    EXPECT_EQ(*hundred.quantile(0.99), 99);
    // 10..490 below; above, judged by their buckets' floors, 5030..10000: 5010
    // and 5020 share the bucket that starts at 4992.
    EXPECT_EQ(h.count_outside(500, 5000), 49u + 498u);
}

TEST(RecentReportsTest, KeepsTheNewestOldestFirst) {
    RecentReports ring(4);
    EXPECT_EQ(ring.first_within(1000), 0u);
    for (std::int64_t i = 1; i <= 6; ++i)
        ring.push({i * 100, static_cast<std::int32_t>(i)});
    ASSERT_EQ(ring.size(), 4u);
    EXPECT_EQ(ring.capacity(), 4u);
    for (std::size_t i = 0; i < 4; ++i)
        EXPECT_EQ(ring[i].time_us, static_cast<std::int64_t>(i + 3) * 100) << i;
    EXPECT_EQ(ring.first_within(1000), 0u);
    EXPECT_EQ(ring.first_within(200), 1u) << "400 is 200 before 600";
    EXPECT_EQ(ring.first_within(199), 2u);
    EXPECT_EQ(ring.first_within(0), 3u);

    // A clock that stepped back starts the chart again.
    ring.push({50, timing::no_interval});
    EXPECT_EQ(ring.first_within(1000), 3u);

    RecentReports none(0);
    none.push({1, 1});
    EXPECT_EQ(none.size(), 0u);
}

TEST(RecentReportsTest, EachReportWithItsInterval) {
    Store t({.recent_capacity = 8});
    // A mouse's first packet is a report, whatever it says.
    const Series s = {{start, true},
                      {start + 1000},
                      {start + 1000, true},
                      {start + 1500},
                      {start + 1500 + timing::pause_us}};
    for (const Packet& p : s)
        t.add(handle(2), p.time_us, p.same_report);
    const RecentReports& recent = t.mouse(handle(2)).timing.recent();
    ASSERT_EQ(recent.size(), 4u);
    EXPECT_EQ(recent[0].interval_us, timing::no_interval);
    EXPECT_EQ(recent[1].interval_us, 1000);
    EXPECT_EQ(recent[2].interval_us, 500);
    EXPECT_EQ(recent[3].interval_us, timing::pause_us) << "a pause is kept whole";
    EXPECT_EQ(recent[3].time_us, start + 1500 + timing::pause_us);
}

TEST(GenerationTest, ChangesWithWhatIsShownAndOnlyThen) {
    Store t({.counts_overflows = true});
    std::uint64_t seen = t.generation();
    const auto changed = [&] {
        const std::uint64_t now = t.generation();
        const bool moved = now != seen;
        seen = now;
        return moved;
    };
    t.add(handle(1), start, false);
    EXPECT_TRUE(changed()) << "a new mouse";
    (void)t.mouse(handle(1)).timing.summary();
    EXPECT_FALSE(changed()) << "a query";
    t.add(handle(1), start + 1000, false);
    EXPECT_TRUE(changed()) << "a report";
    t.add(handle(1), start + 1000, true);
    EXPECT_FALSE(changed()) << "a packet of the same report";
    t.mouse(handle(1)).timing.add_overflows(1);
    EXPECT_TRUE(changed()) << "an overflow";
    t.mouse(handle(1)).timing.set_overflows(1);
    EXPECT_FALSE(changed()) << "the same count";
    t.mouse(handle(1)).timing.set_declared_interval_us(1000);
    EXPECT_TRUE(changed()) << "a declared interval";
    t.mouse(handle(1)).timing.set_declared_interval_us(1000);
    EXPECT_FALSE(changed());
    t.mouse(handle(1)).timing.set_clock(Clock::milliseconds);
    EXPECT_TRUE(changed()) << "another clock";
    t.mouse(handle(2));
    EXPECT_TRUE(changed()) << "a mouse told of before its first packet";
}

TEST(EndpointIntervalTest, ReadsTheKernelsTextAndNothingElse) {
    const struct {
        const char* text;
        std::optional<std::int64_t> us;
    } rows[] = {
        {"1ms\n", 1000},
        {"8ms\n", 8000},
        {"125us\n", 125},
        {"250us", 250},
        {"10ms", 10000},
        {" 2ms \n", 2000},
        {"32768ms", 32768000},
        {"999999999us", 999999999},
        {"0ms\n", {}},
        {"0us", {}},
        {"", {}},
        {"\n", {}},
        {"ms", {}},
        {"1", {}},
        {"1 ms", {}},
        {"1s", {}},
        {"1MS", {}},
        {"1.5ms", {}},
        {"-1ms", {}},
        {"+1ms", {}},
        {"1msx", {}},
        {"1ms1", {}},
        {"0x10ms", {}},
        {"1000000000us", {}},
        {"99999999999ms", {}},
    };
    for (const auto& row : rows)
        EXPECT_EQ(timing::parse_endpoint_interval(row.text), row.us) << '"' << row.text << '"';
}

TEST(FormatTest, ARowSaysEachMeasureAndADashWhereUnknown) {
    Summary s;
    s.rate_hz = 999.6;
    s.p1_us = 996;
    s.median_us = 1000;
    s.p99_us = 1992;
    s.max_us = 2500;
    s.irregular_share = 1.0 / 9;
    s.overflows = 2;
    s.declared_interval_us = 125;
    s.background_share = 1.0;
    s.poll_period_us = 1000;
    s.skipped_share = 0.613;
    s.off_grid_share = 0;
    const timing::Row row = timing::format_row(1, "Logitech G502", s);
    EXPECT_EQ(row, (timing::Row{"1", "Logitech G502", "1000", "8000", "996", "1000", "1992", "2500",
                                "11.1", "2", "100.0", "1000", "61.3", "0.0"}));

    const timing::Row unknown = timing::format_row(-1, "", Summary{});
    EXPECT_EQ(unknown,
              (timing::Row{"-1", "-", "-", "-", "-", "-", "-", "-", "-", "-", "-", "-", "-", "-"}));

    // Below 100 Hz the poll rate has a decimal: a Bluetooth mouse's 11.25 ms.
    Summary bluetooth;
    bluetooth.poll_period_us = 11'250;
    EXPECT_EQ(timing::format_row(0, "m", bluetooth)[timing::column::poll_hz], "88.9");

    Summary three_ms;
    three_ms.declared_interval_us = 3000;
    three_ms.overflows = 0;
    const timing::Row r = timing::format_row(0, "m", three_ms);
    EXPECT_EQ(r[timing::column::declared_hz], "333");
    EXPECT_EQ(r[timing::column::overflows], "0");
}

TEST(FormatTest, TitlesAndClockNotes) {
    EXPECT_EQ(
        timing::column_titles(),
        (timing::Row{"mouse", "name", "Hz", "declared Hz", "p1 µs", "median µs", "p99 µs", "max µs",
                     "irregular %", "overflows", "bg %", "poll Hz", "skipped %", "off-grid %"}));
    EXPECT_EQ(measures::clock_note(Clock::microseconds), "");
    EXPECT_EQ(measures::clock_note(Clock::milliseconds), "ms clock");
    EXPECT_EQ(measures::clock_note(Clock::receipt), "receipt time");
}

TEST(FormatTest, ColumnsLineUpByCharactersNotBytes) {
    const std::string text = measures::align_columns(
        {{"mouse", "name", "p1 µs"}, {"0", "Logitech G502 HERO", "125"}, {"12", "m", "8000"}},
        {false, true, false});
    EXPECT_EQ(text,
              "mouse  name                p1 µs\n"
              "    0  Logitech G502 HERO    125\n"
              "   12  m                    8000\n");
    EXPECT_EQ(measures::align_columns({{"a", "b"}, {"long"}}, {true, true}),
              "a     b\n"
              "long\n")
        << "a short line, no trailing spaces";
}

}  // namespace
