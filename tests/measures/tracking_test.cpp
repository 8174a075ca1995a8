// How fast before the sensor fails: strokes of known counts a poll fed
// through a mouse's measures (its poll grid found by its timing), each read
// as --stats shows it: the CPI, the peak speed, saturated reports, spin-outs
// and the malfunction speed.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "measures/store.h"
#include "measures/tracking.h"
#include "tests/support/strokes.h"

namespace {

namespace tracking = measures::tracking;
using measures::Clock;

constexpr std::int64_t start = 5'000'000;  // some time after boot
constexpr measures::Handle mouse = 7;

using testsupport::hold;
using testsupport::joined;
using testsupport::Polls;
using testsupport::ramp;

struct Packet {
    std::int64_t time_us;
    int dx;
    int dy;
};

// The packets of `polls` (testsupport::polled) from `start`.
std::vector<Packet> polled(const Polls& polls, std::int64_t period_us,
                           const std::vector<std::int64_t>& jitter_us = {0}) {
    std::vector<Packet> packets;
    for (const auto& [us, dx, dy] : testsupport::polled(polls, period_us, jitter_us))
        packets.push_back({start + us, dx, dy});
    return packets;
}

// The same stamped as the X server does: whole milliseconds.
std::vector<Packet> on_ms_clock(std::vector<Packet> packets) {
    for (Packet& p : packets)
        p.time_us = p.time_us / 1000 * 1000;
    return packets;
}

std::string two_decimals(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", value);
    return text;
}

// The row's cells from the CPI to the malfunction speed in m/s.
using Figures = std::vector<std::string>;

TEST(Tracking, EachStrokeReadsAsItsPeakSaturatedReportsSpinOutsAndMalfunctionSpeed) {
    // A sensor at 1600 CPI polled at 1 kHz, speeding up 1 count/ms every ms
    // (1.6 g) to 252 counts/ms (4.00 m/s), where its counts collapse for 2 ms
    // (the mouse sends nothing), then go on.
    const Polls spins_1k = testsupport::spinning_out();
    // At 8 kHz, 32 counts a poll (256 counts/ms, 4.06 m/s), its counts
    // reversed for 1 ms; speeding up and slowing down a count a poll every
    // 2 ms (8 counts/ms each ms, 6 g).
    Polls ramp_8k;
    for (int v = 1; v <= 32; ++v)
        ramp_8k = joined({ramp_8k, hold(v, 16)});
    Polls down_8k;
    for (int v = 31; v >= 1; --v)
        down_8k = joined({down_8k, hold(v, 16)});
    const Polls reverses_8k =
        joined({ramp_8k, hold(32, 200), hold(-32, 8), hold(32, 200), down_8k});
    // An 8-bit field: the hand goes on speeding up past 127 counts a report.
    const Polls clips_127 = testsupport::clipping_127();
    // A 12-bit field: 16 counts more each report up to 2032, then 2047.
    const Polls clips_2047 = joined({ramp(16, 2032, 16), hold(2047, 30), ramp(2032, 16, -16)});
    // A hand that stops hard (8 counts/ms each ms, 13 g) and comes back.
    const Polls turns_back = joined({ramp(2, 160, 2), hold(160, 50), ramp(152, 8, -8), hold(0, 1),
                                     ramp(-8, -160, -8), hold(-160, 50), ramp(-158, -2, 2)});
    // A clean stroke passing 127 on its way up: a field wider than 8 bits.
    const Polls clean = testsupport::clean_stroke();
    // Stopped dead at 2.54 m/s, and on again only 30 ms later.
    const Polls stops_dead =
        joined({ramp(1, 160), hold(160, 50), hold(0, 30), hold(160, 30), ramp(159, 1, -1)});

    std::vector<Packet> slow_8k;  // one-count reports, polls skipped between them
    for (const auto& [us, dx, dy] : testsupport::sensed(testsupport::slow_strokes(), 125))
        slow_8k.push_back({start + us, dx, dy});

    struct Case {
        const char* what;
        std::vector<Packet> packets;
        std::optional<double> cpi;
        double peak_cpms;
        double peak_within;  // 0: exactly, to two decimals
        Figures expected;    // saturated spinouts malfunction_cpms malfunction_mps
        Clock clock = Clock::microseconds;
        bool device_counts = true;
    };
    const Case cases[] = {
        {"a clean fast stroke at 1 kHz and 1600 CPI: the 127 it passed is no limit",
         polled(clean, 1000),
         1600,
         160,
         0,
         {"0", "0", "-", "-"}},
        {"the same with stamps jittered by up to 50 µs",
         polled(clean, 1000, {0, 40, -30, 50, -50, 10}),
         1600,
         160,
         160 * 0.1 / 4,
         {"0", "0", "-", "-"}},
        {"a sensor spinning out at 4 m/s: its counts collapse for 2 ms",
         polled(spins_1k, 1000),
         1600,
         252,
         0,
         {"0", "1", "252.00", "4.00"}},
        {"a late report: two polls missed, the next carrying their counts",
         polled(joined({ramp(1, 252), hold(252, 100), hold(0, 2), hold(3 * 252, 1), hold(252, 50),
                        ramp(251, 1, -1)}),
                1000),
         1600,
         252,
         0,
         {"0", "0", "-", "-"}},
        {"an 8 kHz sensor whose counts reverse for 1 ms at 4 m/s",
         polled(reverses_8k, 125),
         1600,
         256,
         0,
         {"0", "1", "256.00", "4.06"}},
        // 127 counts a report at 1 kHz and 800 CPI: 4.03 m/s. Before it
        // (123 + 124 + 125 + 126) counts over 4 ms.
        {"an 8-bit field clipping at 127",
         polled(clips_127, 1000),
         800,
         127,
         0,
         {"50", "0", "124.50", "3.95"}},
        {"the same on -x, where -127 is its limit too",
         [&] {
             auto packets = polled(clips_127, 1000);
             for (Packet& p : packets)
                 p.dx = -p.dx;
             return packets;
         }(),
         800,
         127,
         0,
         {"50", "0", "124.50", "3.95"}},
        // (1984 + 2000 + 2016 + 2032) / 4 before it.
        {"a 12-bit field clipping at 2047",
         polled(clips_2047, 1000),
         16000,
         2047,
         0,
         {"30", "0", "2008.00", "3.19"}},
        // (127 + 3 * 5) counts over 4 ms.
        {"one jump to 127 from 5 counts a report: not a clipped field",
         polled(joined({hold(5, 40), hold(127, 1), hold(5, 40)}), 1000),
         std::nullopt,
         35.5,
         0,
         {"0", "0", "-", "-"}},
        {"a person who stops hard and turns back",
         polled(turns_back, 1000),
         1600,
         160,
         0,
         {"0", "0", "-", "-"}},
        {"a mouse stopped dead, moved on 30 ms later",
         polled(stops_dead, 1000),
         1600,
         160,
         0,
         {"0", "0", "-", "-"}},
        // At 200 CPI 1 m/s is 7.9 counts/ms: the rule looks for spin-outs
        // over the fastest of these strokes, 9.24 counts/ms at their peak
        // (pi / 2 * 2059 counts over 350 ms), read within a count over 4 ms.
        {"a slow stroke of one-count reports at 8 kHz",
         slow_8k,
         200,
         9.24,
         0.35,
         {"0", "0", "-", "-"}},
        {"a mouse with no CPI: speeds in counts/ms only",
         polled(spins_1k, 1000),
         std::nullopt,
         252,
         0,
         {"0", "1", "252.00", "-"}},
        // The server's values, not the device's; speeds over 8 ms of stamps
        // each up to a tick early (within one in eight).
        {"the ms clock",
         on_ms_clock(polled(clips_127, 1000, {0, 300, 600, 900, -100})),
         800,
         127,
         127.0 / 8,
         {"-", "0", "-", "-"},
         Clock::milliseconds,
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        measures::Store store({.clock = c.clock, .device_counts = c.device_counts});
        store.mouse(mouse).tracking.set_cpi(c.cpi);
        for (const Packet& p : c.packets)
            store.add(mouse, p.time_us, false, false, 0, {p.dx, p.dy});
        const tracking::Summary s = store.find(mouse)->tracking.summary();
        const tracking::Row row = tracking::format_row(2, "Sensor", s);
        EXPECT_EQ(row[tracking::column::mouse], "2");
        EXPECT_EQ(row[tracking::column::cpi], c.cpi ? std::to_string(std::lround(*c.cpi)) : "-");
        ASSERT_TRUE(s.peak_cpms.has_value());
        if (c.peak_within == 0) {
            EXPECT_EQ(row[tracking::column::peak_cpms], two_decimals(c.peak_cpms));
        } else {
            EXPECT_NEAR(*s.peak_cpms, c.peak_cpms, c.peak_within);
        }
        EXPECT_EQ(row[tracking::column::peak_mps],
                  c.cpi ? two_decimals(tracking::metres_per_second(*s.peak_cpms, *c.cpi)) : "-");
        EXPECT_EQ(Figures(row.begin() + tracking::column::saturated,
                          row.begin() + tracking::column::name),
                  c.expected);
        EXPECT_EQ(row[tracking::column::name], "Sensor");
    }
}

}  // namespace
