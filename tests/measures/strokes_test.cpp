// Strokes between two stops: generated hands moving to and fro (slow, fast,
// with pauses, adjustments, circles and swipes around them) fed through the
// measures' feed, each mouse's row of the strokes table checked against the
// figures worked out by hand (tests/support/stroke_cases.h); the rules that
// pick the strokes between the stops as data; Reset.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "measures/feed.h"
#include "measures/strokes.h"
#include "tests/support/stroke_cases.h"

namespace {

namespace strokes = measures::strokes;
using measures::Clock;

constexpr std::int64_t start = 5'000'000;  // some time after boot
constexpr measures::Handle mouse = 7;

// A feed on `clock` that has taken `packets` of `mouse`, its distance D.
void feed_packets(measures::Feed& feed, const std::vector<testsupport::Counts>& packets,
                  bool ms_stamps, std::optional<double> distance_mm = testsupport::stops_mm) {
    feed.reset({.clock = ms_stamps ? Clock::milliseconds : Clock::microseconds,
                .device_counts = !ms_stamps});
    feed.set_distance_mm(distance_mm);
    for (const auto& [us, dx, dy] : packets)
        feed.packet({mouse, start + us, false, false, 0, {dx, dy}});
}

std::optional<double> cell(const std::string& text) {
    return text == "-" ? std::nullopt : std::optional<double>(std::stod(text));
}

TEST(Strokes, EachToAndFroReadsAsWorkedOutByHand) {
    for (const testsupport::StrokeCase& c : testsupport::stroke_cases()) {
        SCOPED_TRACE(c.what);
        measures::Feed feed;
        feed_packets(feed, c.packets, c.ms_stamps);
        const measures::Mouse& m = *feed.store().find(mouse);
        const strokes::Summary s = m.strokes.summary(feed.distance_mm());
        const strokes::Row row = strokes::format_row(3, "Sensor", s, m.tracking.cpi());
        EXPECT_EQ(row[strokes::column::mouse], "3");
        EXPECT_EQ(std::vector<std::string>(row.begin() + strokes::column::strokes,
                                           row.begin() + strokes::column::slow_cpms),
                  c.exact);
        const auto near = [&](std::size_t column, std::optional<double> expected, double within) {
            SCOPED_TRACE(strokes::stats_titles()[column]);
            const std::optional<double> got = cell(row[column]);
            ASSERT_EQ(got.has_value(), expected.has_value()) << row[column];
            if (expected) {
                EXPECT_NEAR(*got, *expected, within);
            }
        };
        near(strokes::column::slow_cpms, c.slow_cpms, c.speed_within * c.slow_cpms.value_or(0));
        near(strokes::column::fast_cpms, c.fast_cpms, c.speed_within * c.fast_cpms.value_or(0));
        // In m/s at the CPI the strokes give; without one, at none.
        const auto mps = [&](std::optional<double> cpms) -> std::optional<double> {
            if (!cpms || !s.cpi)
                return std::nullopt;
            return *cpms * 25.4 / testsupport::stops_cpi;
        };
        near(strokes::column::slow_mps, mps(c.slow_cpms), c.speed_within * 0.2 + 0.005);
        near(strokes::column::fast_mps, mps(c.fast_cpms), c.speed_within * 2.7 + 0.005);
        near(strokes::column::variation_pct, c.variation_pct, 0.5);
        EXPECT_EQ(row[strokes::column::name], "Sensor");
        // Its speeds are read at the CPI the strokes gave, from the packet on.
        if (s.cpi) {
            ASSERT_TRUE(m.tracking.cpi().has_value());
            EXPECT_NEAR(*m.tracking.cpi(), testsupport::stops_cpi, 1);
        } else {
            EXPECT_FALSE(m.tracking.cpi().has_value());
        }
        // No count lost or counted twice: the strokes' nets add up to the
        // counts sent, while every stroke is kept.
        if (s.strokes <= strokes::kept) {
            std::int64_t x = 0;
            std::int64_t y = 0;
            for (std::size_t i = 0; i < m.strokes.size(); ++i) {
                x += m.strokes[i].x;
                y += m.strokes[i].y;
            }
            EXPECT_EQ(x, m.movement.summary().counts_x);
            EXPECT_EQ(y, m.movement.summary().counts_y);
        }
    }
}

// The strokes of a to and fro with no pause: each from one stop to the
// other, straight, ending where the next begins.
TEST(Strokes, EachStrokeEndsAtTheStopWhereTheNextBegins) {
    measures::Feed feed;
    feed_packets(feed, testsupport::stroke_cases()[0].packets, false, std::nullopt);
    const measures::Mouse& m = *feed.store().find(mouse);
    ASSERT_EQ(m.strokes.size(), 10u);
    for (std::size_t i = 0; i < m.strokes.size(); ++i) {
        SCOPED_TRACE(i);
        const strokes::Stroke s = m.strokes[i];
        EXPECT_NEAR(s.length, testsupport::stops_counts, 1);
        EXPECT_EQ(s.y, 0);
        EXPECT_EQ(s.x > 0, i % 2 == 0) << "each the other way";
        EXPECT_GE(s.length, strokes::straight_share * s.path);
        if (i > 0) {
            EXPECT_EQ(s.start_us, m.strokes[i - 1].end_us);
        }
    }
}

// A stroke along a ruler, pauses and all, went one way; a to and fro did
// not, whatever its residue.
TEST(Strokes, AStrokeAlongARulerWentOneWay) {
    using testsupport::Move;
    struct Case {
        const char* what;
        std::vector<Move> moves;
        bool one_way;
    };
    const Case cases[] = {
        {"one stroke", {{3150, 0, 6.3}}, true},
        {"one stroke with a pause halfway", {{1575, 0, 6.3, 200}, {1575, 0, 6.3}}, true},
        {"a stroke with a nudge back at its end", {{3150, 0, 6.3}, {-20, 0, 0.8}}, true},
        {"out and back", {{3150, 0, 6.3, 200}, {-3150, 0, 6.3}}, false},
        {"fast out, slowly back 8 % short", {{3402, 0, 85}, {-3150, 0, 6.3}}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const testsupport::Timeline t = testsupport::timeline(c.moves);
        measures::Feed feed;
        feed_packets(feed,
                     testsupport::sensed(t.path, 125, 1, 0, 1,
                                         static_cast<std::int64_t>(t.end_ms * 1000) + 60'000),
                     false);
        EXPECT_EQ(feed.store().find(mouse)->strokes.summary(100.0).one_way, c.one_way);
    }
}

// The rules as data: strokes given whole, the figures they give.
strokes::Stroke stroke(double x, double peak, double path = 0) {
    strokes::Stroke s;
    s.x = std::llround(x);
    s.length = std::abs(x);
    s.path = path > 0 ? path : s.length;
    s.peak_cpms = static_cast<float>(peak);
    return s;
}

// To and fro: each of `lengths` the other way from the one before, at `peaks`.
std::vector<strokes::Stroke> to_and_fro(const std::vector<double>& lengths,
                                        const std::vector<double>& peaks) {
    std::vector<strokes::Stroke> list;
    for (std::size_t i = 0; i < lengths.size(); ++i)
        list.push_back(stroke(i % 2 == 0 ? lengths[i] : -lengths[i], peaks[i % peaks.size()]));
    return list;
}

TEST(Strokes, TheRulesPickTheStrokesBetweenTheStops) {
    using V = std::vector<double>;
    struct Case {
        const char* what;
        std::vector<strokes::Stroke> strokes;
        std::size_t between;
        std::size_t slow;
        std::size_t fast;
        std::optional<double> spread_pct;  // within 0.01
        bool cpi_valid;
        std::optional<double> variation_pct;  // within 0.01
    };
    // Spreads at the edge: 3000 to 3090 over a median of 3000 is 3.0 %;
    // 3093 over 3000, 3.1 %.
    std::vector<strokes::Stroke> saturated = to_and_fro(V{3000, 3000, 3000, 3240}, V{5, 5, 5, 60});
    saturated[3].saturated_field = 0;
    std::vector<strokes::Stroke> spun = to_and_fro(V{3000, 3000, 3000, 3240}, V{5, 5, 5, 60});
    spun[3].near_spinout = true;
    std::vector<strokes::Stroke> bent = to_and_fro(V{3000, 3000, 3000, 3000}, V{5});
    bent[3].path = 3000 / 0.949;
    std::vector<strokes::Stroke> same_way;
    for (const double length : {3000.0, 3000.0, 3000.0, 3000.0})
        same_way.push_back(stroke(length, 5));
    const Case cases[] = {
        {"spread 3.0 %: a CPI", to_and_fro(V{3000, 3090, 3000, 3045, 3000}, V{5}), 5, 5, 0, 3.0,
         true, std::nullopt},
        {"spread 3.1 %: none", to_and_fro(V{3000, 3093, 3000, 3045, 3000}, V{5}), 5, 5, 0, 3.1,
         false, std::nullopt},
        {"two slow strokes: no CPI", to_and_fro(V{3000, 3000}, V{5}), 2, 2, 0, std::nullopt, false,
         std::nullopt},
        // Peaks 5 and 14.9: less than three times; 5 and 15: slow and fast.
        {"the fastest peaking under three times the slowest: all slow",
         to_and_fro(V{3000, 3240, 3000, 3240, 3000}, V{5, 14.9}), 5, 5, 0, 8.0, false,
         std::nullopt},
        {"three times: slow and fast", to_and_fro(V{3000, 3240, 3000, 3240, 3000}, V{5, 15}), 5, 3,
         2, 0.0, true, 8.0},
        // Fast at 15, a third at 10: neither slow (above 5) nor fast (under 10).
        {"between a third and two thirds of the fastest: neither",
         to_and_fro(V{3000, 3240, 3000, 3240, 3000, 3100}, V{5, 15, 5, 15, 5, 9.9}), 6, 3, 2, 0.0,
         true, 8.0},
        {"a saturated fast stroke says nothing", saturated, 3, 3, 0, 0.0, true, std::nullopt},
        {"nor one near a spin-out", spun, 3, 3, 0, 0.0, true, std::nullopt},
        {"a stroke whose path is more than 1 / 0.95 of its length is not straight", bent, 3, 3, 0,
         0.0, true, std::nullopt},
        {"strokes one after another the same way: none between", same_way, 0, 0, 0, std::nullopt,
         false, std::nullopt},
        // The reference: the slower half (in length) is the first three,
        // 3000 each; 3760 is more than 25 % over it, and the stroke after it
        // has no other neighbour.
        {"a stroke more than 25 % longer is not between, nor the one after",
         to_and_fro(V{3000, 3000, 3000, 3760, 3000}, V{5}), 3, 3, 0, 0.0, true, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const strokes::Figures f = strokes::figures(c.strokes, 0);
        EXPECT_EQ(f.between, c.between);
        EXPECT_EQ(f.slow, c.slow);
        EXPECT_EQ(f.fast, c.fast);
        ASSERT_EQ(f.spread_pct.has_value(), c.spread_pct.has_value());
        if (c.spread_pct) {
            EXPECT_NEAR(*f.spread_pct, *c.spread_pct, 0.01);
        }
        EXPECT_EQ(f.cpi_valid, c.cpi_valid);
        ASSERT_EQ(f.variation_pct.has_value(), c.variation_pct.has_value());
        if (c.variation_pct) {
            EXPECT_NEAR(*f.variation_pct, *c.variation_pct, 0.01);
        }
    }
}

}  // namespace
