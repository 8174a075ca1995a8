// Generated movement of known counts: where a hand moved a mouse over time
// (flicks, circles, a to and fro between two stops), and the packets a mouse
// of a given rate, CPI and delay makes of it; and strokes given as the counts
// of each poll. The movement, tracking and strokes measures' tests, --stats's
// and the movement window's share it.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <numbers>
#include <utility>
#include <vector>

namespace testsupport {

// Where a hand has moved a mouse by `t_us`, in counts along x and y.
using HandPath = std::function<std::pair<double, double>(std::int64_t t_us)>;

// Flicks {start ms, length ms, x, y}, each a smooth start and stop, added up.
inline HandPath flicks(std::vector<std::array<double, 4>> strokes) {
    return [strokes](std::int64_t t_us) {
        double x = 0;
        double y = 0;
        const double t = static_cast<double>(t_us) / 1000;
        for (const auto& [from, length, dx, dy] : strokes) {
            const double u = std::clamp((t - from) / length, 0.0, 1.0);
            const double done = (1 - std::cos(std::numbers::pi * u)) / 2;
            x += dx * done;
            y += dy * done;
        }
        return std::pair{x, y};
    };
}

// Flicks of changing speed, length and direction, done 2.7 s in; and others
// at other times.
inline const HandPath& hand() {
    static const HandPath path = flicks({{100, 180, 6000, -800},
                                         {420, 90, -2500, 300},
                                         {700, 300, 9000, 0},
                                         {1150, 60, -1800, -900},
                                         {1400, 240, 4000, 2500},
                                         {1900, 120, -7000, 0},
                                         {2300, 400, 3000, -3000}});
    return path;
}
inline const HandPath& other_hand() {
    static const HandPath path = flicks({{250, 130, 5000, 0},
                                         {600, 350, -6000, 1000},
                                         {1200, 100, 2000, 0},
                                         {1700, 200, -3000, -2000},
                                         {2600, 150, 7000, 0}});
    return path;
}

// A hand moving a mouse slowly, in strokes whose speed rises and falls, at
// most 9 counts a millisecond: a mouse polled at 8 kHz then skips polls
// (most of its reports carry one count), more as the stroke starts and ends.
// 3.2 s of it, strokes parted by pauses of 100 ms or more.
inline const HandPath& slow_strokes() {
    // A stroke of `counts` over `ms` peaks at pi / 2 * counts / ms counts a millisecond.
    static const HandPath path = flicks({{50, 300, 1700, 0},
                                         {500, 400, -1900, 900},
                                         {1050, 250, 1300, -600},
                                         {1450, 500, 2500, 1500},
                                         {2100, 350, -1800, -1000},
                                         {2600, 450, 2500, 0}});
    return path;
}
// Slow bursts, about 8 counts a ms at their peak (one count a report from
// an 8 kHz mouse), done 2.7 s in; and bursts of their own, each at least
// 100 ms from any of the first.
inline const HandPath& slow_hand() {
    static const HandPath path = flicks({{100, 150, 700, 200},
                                         {600, 200, -900, 300},
                                         {1200, 150, 0, -700},
                                         {1800, 250, 1200, 0},
                                         {2500, 200, -700, -700}});
    return path;
}
inline const HandPath& slow_other_hand() {
    static const HandPath path = flicks({{350, 150, -600, 300},
                                         {900, 200, 800, 500},
                                         {1450, 250, -1100, -400},
                                         {2150, 250, 500, 1100},
                                         {2800, 250, 1200, 0}});
    return path;
}

// One packet of counts at `us`.
struct Counts {
    std::int64_t us;
    int dx;
    int dy;
};

// The packets of a mouse sending every `step_us` over the first `until_us`
// of `path` (3.2 s unless said), moved at `scale` of its counts, reporting it
// `delay_us` late (or early, when negative): each the whole counts reached
// since the one before, in steps of `unit`. A packet that would not move is
// not sent.
inline std::vector<Counts> sensed(const HandPath& path, std::int64_t step_us, double scale = 1,
                                  std::int64_t delay_us = 0, int unit = 1,
                                  std::int64_t until_us = 3'200'000) {
    std::vector<Counts> packets;
    int last_x = 0;
    int last_y = 0;
    for (std::int64_t t = 0; t <= until_us; t += step_us) {
        const auto [x, y] = path(t - delay_us);
        const int cx = unit * static_cast<int>(std::lround(x * scale / unit));
        const int cy = unit * static_cast<int>(std::lround(y * scale / unit));
        if (cx != last_x || cy != last_y)
            packets.push_back({t, cx - last_x, cy - last_y});
        last_x = cx;
        last_y = cy;
    }
    return packets;
}

// The packets of a mouse sending every `step_us` at most one count each,
// on the axis further behind the hand (x first when both are as far): a
// slow stroke at 8 kHz, whose diagonal is a staircase.
inline std::vector<Counts> one_count_reports(const HandPath& path, std::int64_t step_us,
                                             std::int64_t until_us) {
    std::vector<Counts> packets;
    long sent_x = 0;
    long sent_y = 0;
    for (std::int64_t t = 0; t <= until_us; t += step_us) {
        const auto [x, y] = path(t);
        const long behind_x = std::lround(x) - sent_x;
        const long behind_y = std::lround(y) - sent_y;
        if (behind_x == 0 && behind_y == 0)
            continue;
        if (std::labs(behind_x) >= std::labs(behind_y)) {
            const int dx = behind_x > 0 ? 1 : -1;
            packets.push_back({t, dx, 0});
            sent_x += dx;
        } else {
            const int dy = behind_y > 0 ? 1 : -1;
            packets.push_back({t, 0, dy});
            sent_y += dy;
        }
    }
    return packets;
}

// A hand's movements one after the other: each a flick of (x, y) counts
// peaking at `peak_cpms` counts a millisecond, then `pause_ms` at rest.
struct Move {
    double x;
    double y;
    double peak_cpms;
    double pause_ms = 0;
};

// The hand path of `moves` from `from_ms`, and when it is done (at rest).
struct Timeline {
    HandPath path;
    double end_ms;
};
inline Timeline timeline(const std::vector<Move>& moves, double from_ms = 50) {
    std::vector<std::array<double, 4>> strokes;
    double t = from_ms;
    for (const Move& m : moves) {
        // A flick of L counts over T ms peaks at pi / 2 * L / T.
        const double length_ms = std::numbers::pi / 2 * std::hypot(m.x, m.y) / m.peak_cpms;
        strokes.push_back({t, length_ms, m.x, m.y});
        t += length_ms + m.pause_ms;
    }
    return {flicks(std::move(strokes)), t};
}

// Two paths, one after the other: `second` from `from_ms` on, added to
// where the first ends.
inline HandPath then(HandPath first, HandPath second, double from_ms) {
    return [first, second, from_ms](std::int64_t t_us) {
        const double t = static_cast<double>(t_us) / 1000;
        if (t < from_ms)
            return first(t_us);
        const auto [x0, y0] = first(t_us);
        const auto [x1, y1] = second(t_us - static_cast<std::int64_t>(from_ms * 1000));
        return std::pair{x0 + x1, y0 + y1};
    };
}

// `turns` circles of `diameter` counts, clockwise on the screen from the
// start along +x, over `ms` in all, from `from_ms`: starting and stopping
// smoothly where they began.
inline HandPath circles(double turns, double diameter, double ms, double from_ms = 50) {
    return [=](std::int64_t t_us) {
        const double u = std::clamp((static_cast<double>(t_us) / 1000 - from_ms) / ms, 0.0, 1.0);
        const double angle =
            2 * std::numbers::pi * turns * (1 - std::cos(std::numbers::pi * u)) / 2;
        const double r = diameter / 2;
        return std::pair{r * std::sin(angle), r * (1 - std::cos(angle))};
    };
}

// To and fro between two stops `length` counts apart along (ux, uy), a unit
// vector: a stroke for each letter of `paces`, 'S' slow peaking at `slow`
// counts/ms, 'F' fast at `fast` and `fast_scale` times as long (a sensor
// that counts fast movement more or less), the first along +(ux, uy), each
// the other way from the one before, with `pause_ms` at each stop.
inline std::vector<Move> to_and_fro(const char* paces, double length, double slow, double fast,
                                    double fast_scale = 1, double pause_ms = 0, double ux = 1,
                                    double uy = 0) {
    std::vector<Move> moves;
    double way = 1;
    for (const char* pace = paces; *pace != 0; ++pace, way = -way) {
        const bool is_fast = *pace == 'F';
        const double counts = way * length * (is_fast ? fast_scale : 1);
        moves.push_back({counts * ux, counts * uy, is_fast ? fast * fast_scale : slow, pause_ms});
    }
    return moves;
}

// The counts along x of each poll of a stroke; 0: the poll brought no report.
using Polls = std::vector<int>;

// The parts one after the other.
inline Polls joined(std::initializer_list<Polls> parts) {
    Polls polls;
    for (const Polls& part : parts)
        polls.insert(polls.end(), part.begin(), part.end());
    return polls;
}

// From `from` to `to` in steps of `step`, both included: a hand speeding up
// or slowing down at a steady rate.
inline Polls ramp(int from, int to, int step = 1) {
    Polls polls;
    for (int v = from; step > 0 ? v <= to : v >= to; v += step)
        polls.push_back(v);
    return polls;
}

inline Polls hold(int value, int polls) {
    return Polls(static_cast<std::size_t>(polls), value);
}

// A packet for each poll that brought counts, one poll every `period_us`
// from 0; each stamp moved by the next of `jitter_us`, in turn.
inline std::vector<Counts> polled(const Polls& polls, std::int64_t period_us,
                                  const std::vector<std::int64_t>& jitter_us = {0}) {
    std::vector<Counts> packets;
    for (std::size_t i = 0; i < polls.size(); ++i) {
        if (polls[i] != 0)
            packets.push_back(
                {static_cast<std::int64_t>(i) * period_us + jitter_us[i % jitter_us.size()],
                 polls[i], 0});
    }
    return packets;
}

// A stroke at 1 kHz speeding up a count a poll every poll to 160 counts/ms
// (2.54 m/s at 1600 CPI), holding it 100 ms and slowing down alike: on its
// way it passes 127, so its field is wider than 8 bits.
inline Polls clean_stroke() {
    return joined({ramp(1, 160), hold(160, 100), ramp(159, 1, -1)});
}
// The same to 252 counts/ms (4.00 m/s at 1600 CPI), where the sensor's
// counts collapse for 2 ms (the mouse sends nothing), then go on.
inline Polls spinning_out() {
    return joined({ramp(1, 252), hold(252, 100), hold(0, 2), hold(252, 50), ramp(251, 1, -1)});
}
// A mouse whose 8-bit field clips at 127 while the hand goes on speeding up.
inline Polls clipping_127() {
    return joined({ramp(1, 126), hold(127, 50), ramp(126, 1, -1)});
}

}  // namespace testsupport
