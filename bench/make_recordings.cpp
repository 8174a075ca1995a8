// Writes a recording set of mice polled at 8 kHz (or --rate=HZ): MICE evemu
// recordings, PACKETS packets in all, as mouse0.evemu, mouse1.evemu ... under DIR.
//   make_recordings [--every-kind | --slow | --strokes] [--rate=HZ] DIR PACKETS [MICE]
//   make_recordings --check DIR
// With --check (the check window's picture), the generated check of three
// mice of tests/support/check_session.h: one healthy, one chattering and
// spinning out, one held with the first and not done.
// By default (the benchmarks) one packet a poll, mostly motion, some clicks
// and wheel turns. With --every-kind (the soak) every mouse event the program
// reports: five buttons, both wheels in notches and in high resolution, and
// frames that make two packets. With --slow, mice moved slowly in strokes
// whose speed rises and falls (up to 9 counts a millisecond), each sending
// only at the polls where its counts changed: most reports carry one count,
// and polls are skipped between them, as a real mouse moved by hand. With
// --strokes (the plot window's picture), fast strokes back and forth: one
// clean, one spinning out, one clipping at 127, the others slow.
#include <linux/input.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/support/check_session.h"
#include "tests/support/evemu_text.h"
#include "tests/support/strokes.h"

namespace {

constexpr std::int64_t start_us = 1'700'000'000'000'000;
constexpr unsigned buttons[] = {BTN_LEFT, BTN_RIGHT, BTN_MIDDLE, BTN_SIDE, BTN_EXTRA};

evemu_text::Device device(int mouse, bool every_kind) {
    evemu_text::Device d;
    d.name = std::string(every_kind ? "Soak Mouse " : "Bench Mouse ") + std::to_string(mouse);
    d.vendor = 0x1d6b;
    d.product = (every_kind ? 0x0300 : 0x0200) + static_cast<unsigned>(mouse);
    d.version = 0x0100;
    d.keys.assign(std::begin(buttons), std::end(buttons));
    d.rels = {REL_X, REL_Y, REL_WHEEL, REL_WHEEL_HI_RES};
    if (every_kind)
        d.rels.insert(d.rels.end(), {REL_HWHEEL, REL_HWHEEL_HI_RES});
    d.other_types = {EV_MSC};
    d.msc = {MSC_SCAN};
    return d;
}

// One mouse's frames: a smooth loop (so mouse 2's trail stays on the window),
// a left click every half second and a wheel notch every quarter second.
void write_bench_frames(evemu_text::Writer& out, int mouse, std::int64_t packets,
                        std::int64_t period_us) {
    const double pi = std::acos(-1.0);
    const double period = 1600.0 + 200.0 * mouse;  // packets per loop
    int last_x = 0;
    int last_y = 0;
    int wobble = 1;
    for (std::int64_t i = 0; i < packets; ++i) {
        const std::int64_t t = start_us + i * period_us;
        const double a = 2.0 * pi * static_cast<double>(i + 1) / period;
        const int x = static_cast<int>(std::lround(200.0 * (1.0 - std::cos(a))));
        const int y = static_cast<int>(std::lround(80.0 * std::sin(2.0 * a)));
        int dx = x - last_x;
        const int dy = y - last_y;
        last_x = x;
        last_y = y;
        const std::int64_t phase = i % 4000;
        if (phase == 1000 || phase == 3000) {
            out.event(t, EV_REL, REL_WHEEL, phase == 1000 ? 1 : -1);
            out.event(t, EV_REL, REL_WHEEL_HI_RES, phase == 1000 ? 120 : -120);
            last_x -= dx;  // this frame carries no motion
            last_y -= dy;
        } else {
            if (phase == 0 || phase == 2000) {
                out.event(t, EV_MSC, MSC_SCAN, 0x90001);
                out.event(t, EV_KEY, BTN_LEFT, phase == 0 ? 1 : 0);
            }
            if (dx == 0 && dy == 0) {
                // A sensor at 8 kHz jitters by a count when the hand rests.
                dx = wobble;
                wobble = -wobble;
                last_x += dx;
            }
            if (dx != 0)
                out.event(t, EV_REL, REL_X, dx);
            if (dy != 0)
                out.event(t, EV_REL, REL_Y, dy);
        }
        out.event(t, EV_SYN, SYN_REPORT, 0);
    }
}

// Every kind of mouse event, on a fixed schedule per frame i; exactly
// `packets` packets (a frame with both wheels makes two, so the last frame
// never turns the horizontal wheel with the vertical one).
void write_every_kind(evemu_text::Writer& out, int m, std::int64_t packets,
                      std::int64_t period_us) {
    for (std::int64_t i = 0, left = packets; left > 0; ++i) {
        const std::int64_t t = start_us + i * period_us;
        const int dx0 = static_cast<int>((i * 13 + m * 7) % 41) - 20;
        const int dy = static_cast<int>((i * 5 + m * 3) % 31) - 15;
        const int dx = dx0 == 0 && dy == 0 ? 1 : dx0;
        if (dx != 0)
            out.event(t, EV_REL, REL_X, dx);
        if (dy != 0)
            out.event(t, EV_REL, REL_Y, dy);
        const std::int64_t phase = i % 200;
        if (phase == 50 || phase == 60)
            out.event(t, EV_KEY, buttons[(i / 200) % 5], phase == 50 ? 1 : 0);
        const bool notch = i % 37 == 3;
        const bool fine = i % 53 == 7;
        const bool both = i % 1000 == 999;
        const bool vertical = notch || fine || both;
        const bool horizontal = (i % 211 == 100 || both) && (!vertical || left >= 2);
        if (notch)
            out.event(t, EV_REL, REL_WHEEL, (i / 37) % 2 != 0 ? 1 : -1);
        if (fine)
            out.event(t, EV_REL, REL_WHEEL_HI_RES, 60);
        if (both)
            out.event(t, EV_REL, REL_WHEEL, -2);
        if (horizontal && i % 211 == 100)
            out.event(t, EV_REL, REL_HWHEEL, -1);
        if (horizontal && both)
            out.event(t, EV_REL, REL_HWHEEL_HI_RES, 30);
        out.event(t, EV_SYN, SYN_REPORT, 0);
        left -= vertical && horizontal ? 2 : 1;
    }
}

// One mouse moved slowly: the slow hand's 3.2 s of strokes over and over
// (each mouse 37 ms after the one before), `packets` packets of them.
void write_slow_frames(evemu_text::Writer& out, int mouse, std::int64_t packets,
                       std::int64_t period_us) {
    const std::vector<testsupport::Counts> strokes =
        testsupport::sensed(testsupport::slow_strokes(), period_us);
    constexpr std::int64_t cycle_us = 3'300'000;
    for (std::int64_t written = 0, cycle = 0; written < packets; ++cycle) {
        const std::int64_t from = start_us + mouse * 37'000 + cycle * cycle_us;
        for (const auto& [us, dx, dy] : strokes) {
            if (written++ == packets)
                break;
            if (dx != 0)
                out.event(from + us, EV_REL, REL_X, dx);
            if (dy != 0)
                out.event(from + us, EV_REL, REL_Y, dy);
            out.event(from + us, EV_SYN, SYN_REPORT, 0);
        }
    }
}

// Fast strokes back and forth, one a second with a pause between: mouse 0
// clean, mouse 1 spinning out at 4 m/s (1600 CPI), mouse 2 clipping at its
// 8-bit field's 127, and any other moved slowly; each stroke drifts down a
// little, so that the path has some height.
void write_stroke_frames(evemu_text::Writer& out, int mouse, std::int64_t packets,
                         std::int64_t period_us) {
    const testsupport::Polls polls =
        mouse == 0   ? testsupport::clean_stroke()
        : mouse == 1 ? testsupport::spinning_out()
        : mouse == 2 ? testsupport::clipping_127()
                     : testsupport::joined({testsupport::ramp(1, 20), testsupport::hold(20, 300),
                                            testsupport::ramp(19, 1, -1)});
    constexpr std::int64_t stroke_us = 1'000'000;
    for (std::int64_t written = 0, stroke = 0; written < packets; ++stroke) {
        const std::int64_t from = start_us + mouse * 53'000 + stroke * stroke_us;
        const int way = stroke % 2 == 0 ? 1 : -1;
        for (std::size_t i = 0; i < polls.size() && written < packets; ++i) {
            if (polls[i] == 0)
                continue;
            const std::int64_t t = from + static_cast<std::int64_t>(i) * period_us;
            out.event(t, EV_REL, REL_X, way * polls[i]);
            if (i % 8 == 0)
                out.event(t, EV_REL, REL_Y, 1);
            out.event(t, EV_SYN, SYN_REPORT, 0);
            ++written;
        }
    }
}

enum class Kind { bench, every_kind, slow, strokes };

}  // namespace

int main(int argc, char** argv) {
    Kind kind = Kind::bench;
    bool check = false;
    long rate_hz = 8000;
    const char* const usage =
        "usage: make_recordings [--every-kind | --slow | --strokes] [--rate=HZ] DIR PACKETS "
        "[MICE]\n       make_recordings --check DIR\n";
    for (; argc > 1 && std::strncmp(argv[1], "--", 2) == 0; --argc, ++argv) {
        if (std::strcmp(argv[1], "--every-kind") == 0) {
            kind = Kind::every_kind;
        } else if (std::strcmp(argv[1], "--slow") == 0) {
            kind = Kind::slow;
        } else if (std::strcmp(argv[1], "--strokes") == 0) {
            kind = Kind::strokes;
        } else if (std::strcmp(argv[1], "--check") == 0) {
            check = true;
        } else if (std::strncmp(argv[1], "--rate=", 7) == 0) {
            char* end = nullptr;
            rate_hz = std::strtol(argv[1] + 7, &end, 10);
            if (*end != '\0' || rate_hz < 1 || rate_hz > 1'000'000 || 1'000'000 % rate_hz != 0) {
                std::fprintf(stderr,
                             "make_recordings: --rate=%s: the polling rate must be a whole "
                             "number of Hz whose period is whole microseconds (125 to 8000)\n",
                             argv[1] + 7);
                return 2;
            }
        } else {
            std::fprintf(stderr, "make_recordings: unknown option %s\n%s", argv[1], usage);
            return 2;
        }
    }
    if (check && argc == 2) {
        try {
            const std::vector<testsupport::SessionMouse> mice = testsupport::check_session();
            for (std::size_t m = 0; m < mice.size(); ++m) {
                evemu_text::Writer out(std::string(argv[1]) + "/mouse" + std::to_string(m) +
                                       ".evemu");
                out.text(
                    testsupport::session_recording(mice[m], 0x0400 + static_cast<unsigned>(m)));
                out.close();
            }
        } catch (const std::exception& e) {
            std::fprintf(stderr, "make_recordings: %s\n", e.what());
            return 1;
        }
        return 0;
    }
    if (check || argc < 3 || argc > 4) {
        std::fputs(usage, stderr);
        return 2;
    }
    const std::string dir = argv[1];
    const long long total = std::atoll(argv[2]);
    const int mice = argc == 4 ? std::atoi(argv[3]) : 4;
    if (total <= 0 || mice <= 0 || mice > 10) {
        std::fprintf(stderr, "make_recordings: PACKETS must be > 0 and MICE 1..10\n");
        return 2;
    }
    const std::int64_t period_us = 1'000'000 / rate_hz;
    try {
        for (int mouse = 0; mouse < mice; ++mouse) {
            const std::int64_t packets = total / mice + (mouse < total % mice ? 1 : 0);
            evemu_text::Writer out(dir + "/mouse" + std::to_string(mouse) + ".evemu");
            out.text(evemu_text::description(device(mouse, kind == Kind::every_kind)));
            switch (kind) {
                case Kind::every_kind:
                    write_every_kind(out, mouse, packets, period_us);
                    break;
                case Kind::slow:
                    write_slow_frames(out, mouse, packets, period_us);
                    break;
                case Kind::strokes:
                    write_stroke_frames(out, mouse, packets, period_us);
                    break;
                case Kind::bench:
                    write_bench_frames(out, mouse, packets, period_us);
                    break;
            }
            out.close();
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "make_recordings: %s\n", e.what());
        return 1;
    }
    return 0;
}
