// A check of three mice, generated: each polled at 1 kHz, 800 CPI, moved as
// the check window asks (circles for 6 s, each button clicked, to and fro
// between stops 100 mm apart, slow and fast), with what each must read
// worked out by hand. The program's tests replay it, the README's picture
// is made of it (bench/make_recordings --check).
//
// - mouse 0, healthy: 6 s of circles, left and right clicked 20 times each,
//   10 strokes between the stops (7 slow at 0.2 m/s, 3 fast at 2.5 m/s):
//   every test passes; held together with mouse 2 during the circles.
// - mouse 1: its left switch bounces (clicks 7, 10, 13 ... 19: a press 8 ms
//   after the release, 5 of them) and it spins out on two swipes at 4 m/s
//   (its counts stop for 2 ms mid-stroke): buttons and speed fail.
// - mouse 2: held together with mouse 0 as it moves, 1.08 times its counts
//   and 1.75 ms later (polled 250 µs after it): its CPI 8 % above the 800
//   it is set to warns; right clicked only 12 times (waiting): incomplete.
// Mouse 1 moves only while the other two are still, so that no pair but
// mice 0 and 2 moves together.
#pragma once

#include <linux/input.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/evemu_text.h"
#include "tests/support/strokes.h"

namespace testsupport {

// One packet of a session: counts, or a button going down (1) or up (0).
struct SessionEvent {
    std::int64_t us;
    int dx = 0;
    int dy = 0;
    unsigned button = 0;  // BTN_LEFT ... ; 0: motion
    int value = 0;
};

struct SessionMouse {
    std::string name;
    std::vector<SessionEvent> events;  // in time order
};

namespace session_detail {

constexpr std::int64_t poll_us = 1000;
constexpr double cpi = 800;
constexpr double stops_counts = 100 / 25.4 * cpi;  // 3149.6
constexpr double slow_cpms = 0.2 * cpi / 25.4;     // 6.30
constexpr double fast_cpms = 2.5 * cpi / 25.4;     // 78.74

// The packets a 1 kHz mouse polled at `phase_us` past each ms makes of
// `path` from `from_us` for `ms`, at `scale` of its counts, `delay_us` late.
inline void sense(std::vector<SessionEvent>& out, const HandPath& path, std::int64_t from_us,
                  double ms, std::int64_t phase_us = 0, double scale = 1,
                  std::int64_t delay_us = 0) {
    const std::vector<Counts> packets =
        sensed(path, poll_us, scale, delay_us, 1, static_cast<std::int64_t>(ms * 1000));
    for (const Counts& c : packets)
        out.push_back({from_us + phase_us + c.us, c.dx, c.dy});
}

// `count` clicks of `button` from `from_us`, every 250 ms, held 90 ms; the
// clicks listed in `bouncing` pressed again 8 ms after their release, 5 ms.
inline std::int64_t clicks(std::vector<SessionEvent>& out, unsigned button, int count,
                           std::int64_t from_us, const std::vector<int>& bouncing = {}) {
    for (int i = 0; i < count; ++i) {
        const std::int64_t t = from_us + i * 250'000;
        out.push_back({t, 0, 0, button, 1});
        out.push_back({t + 90'000, 0, 0, button, 0});
        if (std::find(bouncing.begin(), bouncing.end(), i) != bouncing.end()) {
            out.push_back({t + 98'000, 0, 0, button, 1});
            out.push_back({t + 103'000, 0, 0, button, 0});
        }
    }
    return from_us + count * 250'000;
}

// A swipe at 1 kHz up to 126 counts a poll (4 m/s at 800 CPI) whose counts
// stop for 2 polls mid-stroke, then go on: a spin-out.
inline std::int64_t spinning_swipe(std::vector<SessionEvent>& out, std::int64_t from_us, int way) {
    const Polls polls =
        joined({ramp(1, 126, 5), hold(126, 60), hold(0, 2), hold(126, 40), ramp(121, 1, -5)});
    for (std::size_t i = 0; i < polls.size(); ++i) {
        if (polls[i] != 0)
            out.push_back({from_us + static_cast<std::int64_t>(i) * poll_us, way * polls[i], 0});
    }
    return from_us + static_cast<std::int64_t>(polls.size()) * poll_us;
}

}  // namespace session_detail

// The session's three mice, stamped from `start_us`.
inline std::vector<SessionMouse> check_session(std::int64_t start_us = 1'000'000) {
    using namespace session_detail;
    const HandPath circling = circles(6, 1600, 6000, 100);
    // Slow both ways, then fast one way and slowly back three times.
    const Timeline stops = timeline(to_and_fro("SSSSFSFSFS", stops_counts, slow_cpms, fast_cpms));

    std::vector<SessionMouse> mice(3);
    mice[0].name = "Check Mouse 0";
    mice[1].name = "Check Mouse 1";
    mice[2].name = "Check Mouse 2";

    // 0 to 6.2 s: mice 0 and 2 circle together; 6.5 to 16.5 s they click.
    sense(mice[0].events, circling, start_us, 6200);
    sense(mice[2].events, circling, start_us, 6200, 250, 1.08, 1500);
    std::int64_t t = clicks(mice[0].events, BTN_LEFT, 20, start_us + 6'500'000);
    clicks(mice[0].events, BTN_RIGHT, 20, t);
    t = clicks(mice[2].events, BTN_LEFT, 20, start_us + 6'500'000);
    clicks(mice[2].events, BTN_RIGHT, 12, t);
    // 17 s on: both to and fro between the stops.
    sense(mice[0].events, stops.path, start_us + 17'000'000, stops.end_ms + 100);
    sense(mice[2].events, stops.path, start_us + 17'000'000, stops.end_ms + 100, 250, 1.08, 1500);

    // Mouse 1 clicks while the others circle, circles while they click, and
    // goes to and fro and swipes once they are done.
    t = clicks(mice[1].events, BTN_LEFT, 20, start_us + 200'000, {7, 10, 13, 16, 19});
    clicks(mice[1].events, BTN_RIGHT, 20, t);
    const HandPath its_circles = circles(5, 2000, 5500, 50);
    sense(mice[1].events, its_circles, start_us + 10'600'000, 5600);
    const std::int64_t after =
        start_us + 17'000'000 + static_cast<std::int64_t>(stops.end_ms * 1000) + 500'000;
    sense(mice[1].events, stops.path, after, stops.end_ms + 100);
    t = after + static_cast<std::int64_t>(stops.end_ms * 1000) + 400'000;
    t = spinning_swipe(mice[1].events, t, 1) + 300'000;
    spinning_swipe(mice[1].events, t, -1);

    for (SessionMouse& m : mice) {
        std::stable_sort(m.events.begin(), m.events.end(),
                         [](const SessionEvent& a, const SessionEvent& b) { return a.us < b.us; });
    }
    return mice;
}

// A session mouse as an evemu recording: a wheel mouse with five buttons.
// Its time starts at 0, with an empty frame (no packet), so that mice
// replayed together keep their offsets.
inline std::string session_recording(const SessionMouse& mouse, unsigned product = 0x0400) {
    evemu_text::Device d;
    d.name = mouse.name;
    d.vendor = 0x1d6b;
    d.product = product;
    d.keys = {BTN_LEFT, BTN_RIGHT, BTN_MIDDLE, BTN_SIDE, BTN_EXTRA};
    d.rels = {REL_X, REL_Y, REL_WHEEL};
    std::string text = evemu_text::description(d) + evemu_text::event(0, EV_SYN, SYN_REPORT, 0);
    for (const SessionEvent& e : mouse.events) {
        if (e.button != 0) {
            text += evemu_text::event(e.us, EV_KEY, e.button, e.value);
        } else {
            if (e.dx != 0)
                text += evemu_text::event(e.us, EV_REL, REL_X, e.dx);
            if (e.dy != 0)
                text += evemu_text::event(e.us, EV_REL, REL_Y, e.dy);
        }
        text += evemu_text::event(e.us, EV_SYN, SYN_REPORT, 0);
    }
    return text;
}

}  // namespace testsupport
