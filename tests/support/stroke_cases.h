// Strokes between two stops, with what each mouse's row of the strokes table
// should read, worked out by hand: the strokes measures' test feeds them to
// the measures, --stats's test replays them through the program.
//
// Every case but the last two moves between stops 100 mm apart at 800 CPI:
// 3149.6 counts a stroke, each read as 3149 or 3150 counts (the counts are
// the hand's, rounded), so a CPI of 3149.6 * 25.4 / 100 = 800 whatever the
// rounding, and a spread of at most 1 / 3150 (0.0 %). Slow strokes peak at
// 0.2 m/s (6.30 counts/ms), fast ones at 2.5 m/s (78.74 counts/ms), each a
// flick that starts and stops smoothly; the speeds are the tracking's over
// 4 ms, read within 5 % (at 8 kHz a slow stroke's 4 ms hold some 25
// one-count reports, give or take one).
#pragma once

#include <cstdint>
#include <numbers>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/strokes.h"

namespace testsupport {

constexpr double stops_cpi = 800;
constexpr double stops_mm = 100;
constexpr double stops_counts = stops_mm / 25.4 * stops_cpi;  // 3149.6
constexpr double slow_peak = 0.2 * stops_cpi / 25.4;          // 6.30 counts/ms
constexpr double fast_peak = 2.5 * stops_cpi / 25.4;          // 78.74 counts/ms

struct StrokeCase {
    const char* name;  // one word: the replayed mouse's name
    const char* what;
    std::vector<Counts> packets;
    // The cells read exactly: strokes, between, cpi, spread_pct.
    std::vector<std::string> exact;
    // The speeds in counts/ms (within speed_within of each), the variation
    // in % (within 0.5); nothing where the cell reads "-".
    std::optional<double> slow_cpms;
    std::optional<double> fast_cpms;
    std::optional<double> variation_pct;
    double speed_within = 0.05;
    // Stamped in whole milliseconds, as an X server stamps them.
    bool ms_stamps = false;
};

namespace detail {

inline std::vector<Counts> at_8khz(const Timeline& t) {
    return sensed(t.path, 125, 1, 0, 1, static_cast<std::int64_t>(t.end_ms * 1000) + 60'000);
}

inline std::vector<Counts> later(std::vector<Counts> packets, std::int64_t by_us) {
    for (Counts& p : packets)
        p.us += by_us;
    return packets;
}

// Each stamp moved by up to `us` either way, as a kernel's stamps jitter;
// the same every run, and in order while `us` is under half the interval.
inline std::vector<Counts> jittered(std::vector<Counts> packets, std::int64_t us) {
    std::uint32_t draw = 39;
    for (Counts& p : packets) {
        draw = draw * 1103515245u + 12345u;
        p.us +=
            static_cast<std::int64_t>((draw >> 8) % static_cast<std::uint32_t>(2 * us + 1)) - us;
    }
    return packets;
}

inline std::vector<Counts> joined(std::vector<Counts> a, const std::vector<Counts>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Slow both ways, then fast one way and slowly back three times.
constexpr const char* paces = "SSSSFSFSFS";

inline std::vector<Move> stops(const char* pace_list, double fast_scale = 1, double pause_ms = 0) {
    return to_and_fro(pace_list, stops_counts, slow_peak, fast_peak, fast_scale, pause_ms);
}

}  // namespace detail

// The cases, in the order --stats's test numbers its mice.
inline std::vector<StrokeCase> stroke_cases() {
    using detail::at_8khz;
    std::vector<StrokeCase> cases;

    // 10 strokes, each between the stops: its neighbours go the other way.
    // 7 slow and 3 fast (the fastest peaks 12.5 times the slowest); the CPI
    // from the last 5 slow ones; the fast ones as long: variation 0.
    cases.push_back({"Stops",
                     "to and fro at 8 kHz, turning back at the stops with no pause",
                     at_8khz(timeline(detail::stops(detail::paces))),
                     {"10", "10", "800", "0.0"},
                     slow_peak,
                     fast_peak,
                     0.0});
    cases.push_back({"Pauses",
                     "the same, resting 200 ms at each stop, the stamps jittered by up to 30 µs",
                     detail::jittered(at_8khz(timeline(detail::stops(detail::paces, 1, 200))), 30),
                     {"10", "10", "800", "0.0"},
                     slow_peak,
                     fast_peak,
                     0.0});
    // 3401.6 counts over 3149.6: +8.0 %, at 85.04 counts/ms (2.70 m/s at 800).
    cases.push_back({"Long",
                     "fast strokes 8 % long",
                     at_8khz(timeline(detail::stops(detail::paces, 1.08))),
                     {"10", "10", "800", "0.0"},
                     slow_peak,
                     fast_peak * 1.08,
                     8.0});
    // 2960.6 counts: -6.0 %, at 74.02 counts/ms (2.35 m/s).
    cases.push_back({"Short",
                     "fast strokes 6 % short",
                     at_8khz(timeline(detail::stops(detail::paces, 0.94))),
                     {"10", "10", "800", "0.0"},
                     slow_peak,
                     fast_peak * 0.94,
                     -6.0});
    // One pace: every stroke slow, none fast.
    cases.push_back({"Slow",
                     "every stroke slow: a CPI, no variation",
                     at_8khz(timeline(detail::stops("SSSSSSSS"))),
                     {"8", "8", "800", "0.0"},
                     slow_peak,
                     std::nullopt,
                     std::nullopt});
    {
        // 3 circles of 2000 counts (6 strokes: each half a circle, its net
        // length 2 / pi of its path, not straight); the 10 strokes with two
        // nudges of 30 counts back and forth at each stop between them (4
        // strokes a stop, 36 in all: more than half the straight strokes,
        // and the slowest, but 1080 counts of their 71,632); then 12 swipes
        // at 3.5 m/s the way the last stroke went, the mouse lifted between
        // (parted by 200 ms), 2500 to 3900 counts: within 25 % of the
        // reference, and fast, but each one's neighbours go its own way.
        // 6 + 10 + 36 + 12 = 64 strokes, 10 between; fast ones 8 % long. The
        // slower half in length: the nudges, the 7 slow strokes and the 3
        // fast ones (33,332 counts), then one swipe; their median 3150 counts
        // once the nudges (under a quarter of the longest of them) are left
        // out. (Half of them counted one a stroke would be nudges alone: a
        // CPI of 8.)
        std::vector<Move> moves;
        const std::vector<Move> to_and_fro = detail::stops(detail::paces, 1.08, 150);
        for (std::size_t i = 0; i < to_and_fro.size(); ++i) {
            moves.push_back(to_and_fro[i]);
            if (i + 1 == to_and_fro.size())
                break;
            const double back = to_and_fro[i].x > 0 ? -30 : 30;
            for (int nudge = 0; nudge < 2; ++nudge) {
                moves.push_back({back, 0, 0.8, 0});
                moves.push_back({-back, 0, 0.8, 150});
            }
        }
        moves.back().pause_ms = 300;
        for (const double swipe :
             {2800, 3500, 3000, 3700, 2600, 3300, 3900, 2500, 3100, 3600, 2900, 3400})
            moves.push_back({-swipe, 0, 3.5 * stops_cpi / 25.4, 200});
        const Timeline stops = timeline(moves, 1850);
        const Timeline all = {then(circles(3, 2000, 1500), stops.path, 0), stops.end_ms};
        cases.push_back({"Busy",
                         "circles before, adjustments between, more swipes after than strokes "
                         "between the stops",
                         at_8khz(all),
                         {"64", "10", "800", "0.0"},
                         slow_peak,
                         fast_peak * 1.08,
                         8.0});
    }
    {
        // 8 strokes, then a swipe the other way of 3152 counts at 8 kHz, up
        // to 16 counts a poll (128 counts/ms, 4.06 m/s), whose counts reverse
        // for 2 ms (256 counts back, more than 5 % of 3152: a turn), then go
        // on for 3152 counts more: 3 strokes, 3152, 256 and 3152 counts, each
        // within 20 ms of the spin-out. The first, going the other way from
        // the stroke before, would be the fastest between the stops, and
        // leave the fast ones at 78.74 counts/ms neither slow nor fast.
        const Timeline to_and_fro = timeline(detail::stops("SSSSFSFS"));
        Polls swipe;
        for (int v = 1; v <= 16; ++v)
            swipe = testsupport::joined({swipe, hold(v, 16)});
        Polls down;
        for (int v = 16; v >= 1; --v)
            down = testsupport::joined({down, hold(v, 16)});
        swipe = testsupport::joined({swipe, hold(16, 61), hold(-16, 16), hold(16, 61), down});
        const auto from = static_cast<std::int64_t>((to_and_fro.end_ms + 300) * 1000);
        cases.push_back(
            {"Spins",
             "a swipe that spins out halfway, into halves of the stops' length",
             detail::joined(at_8khz(to_and_fro), detail::later(polled(swipe, 125), from)),
             {"11", "8", "800", "0.0"},
             slow_peak,
             fast_peak,
             0.0});
    }
    {
        // Along the diagonal up and to the right, 2227 counts on each axis
        // (3149.4 counts: CPI 799.9), one count a report on one axis at a
        // time: at most 8 counts/ms on the axes, so slow strokes peaking at
        // 0.15 m/s (4.72 counts/ms along the diagonal, 6.68 on the axes).
        const double peak = 0.15 * stops_cpi / 25.4;
        const Timeline t = timeline(to_and_fro("SSSSSSSS", stops_counts, peak, peak, 1, 0,
                                               std::numbers::sqrt2 / 2, -std::numbers::sqrt2 / 2));
        cases.push_back({"Diagonal",
                         "a diagonal to and fro of one-count reports at 8 kHz",
                         one_count_reports(t.path, 125, static_cast<std::int64_t>(t.end_ms * 1000)),
                         {"8", "8", "800", "0.0"},
                         peak,
                         std::nullopt,
                         std::nullopt});
    }
    {
        // At 1 kHz, each stamp up to 0.4 ms late or early, then cut to the
        // millisecond: the speeds are over 8 ms there, each stamp up to a
        // tick early (within one in eight).
        const Timeline t = timeline(detail::stops(detail::paces));
        std::vector<Counts> packets =
            sensed(t.path, 1000, 1, 0, 1, static_cast<std::int64_t>(t.end_ms * 1000) + 60'000);
        const std::int64_t jitter[] = {0, 300, -400, 100, 400, -200};
        for (std::size_t i = 0; i < packets.size(); ++i)
            packets[i].us = (packets[i].us + jitter[i % 6] + 1000) / 1000 * 1000;
        cases.push_back({"Millis",
                         "the ms clock, at 1 kHz",
                         packets,
                         {"10", "10", "800", "0.0"},
                         slow_peak,
                         fast_peak,
                         0.0,
                         0.125,
                         true});
    }
    {
        // Slow strokes of 3150, 2500, 3700, 2800, 3400, 2600, 3900 and 3000
        // counts, each peaking 4 % above the one before (at one pace: all
        // slow). The slower half in length: the first 5 (15,550 of 25,050
        // counts), their median 3150: all 8 within 25 % of it. The last 5:
        // 2800 to 3900 counts, median 3000, spread (3900 - 2600) / 3000 =
        // 43.3 %: no CPI, no variation; their median peak 6.30 * 1.04^5 = 7.67.
        std::vector<Move> moves;
        double way = 1;
        double peak = slow_peak;
        for (const double length : {3150, 2500, 3700, 2800, 3400, 2600, 3900, 3000}) {
            moves.push_back({way * length, 0, peak, 0});
            way = -way;
            peak *= 1.04;
        }
        cases.push_back({"Random",
                         "strokes of random lengths",
                         at_8khz(timeline(moves)),
                         {"8", "8", "-", "43.3"},
                         slow_peak * 1.04 * 1.04 * 1.04 * 1.04 * 1.04,
                         std::nullopt,
                         std::nullopt});
    }
    {
        // The long fast strokes at 1 kHz, then 35 circles (70 strokes): the
        // 64 kept are circles' halves, none straight, and the figures of the
        // to and fro stay. 10 + 70 = 80 strokes, none between now.
        const Timeline stops = timeline(detail::stops(detail::paces, 1.08), 50);
        const double circles_from = stops.end_ms + 300;
        const double circles_ms = 35 * 400;
        const Timeline all = {then(stops.path, circles(35, 2000, circles_ms), circles_from),
                              circles_from + circles_ms};
        cases.push_back(
            {"Held",
             "circles after, more than the strokes kept",
             sensed(all.path, 1000, 1, 0, 1, static_cast<std::int64_t>(all.end_ms * 1000) + 60'000),
             {"80", "0", "800", "0.0"},
             slow_peak,
             fast_peak * 1.08,
             8.0});
    }
    return cases;
}

}  // namespace testsupport
