// Whether each sensor is true: generated strokes of known counts fed packet
// by packet, each mouse's row checked as the window and --stats show it
// (counts, path, angle, CPI), and pairs of mice moved together or not (ratio,
// lag, correlation).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "measures/movement.h"
#include "measures/store.h"
#include "tests/support/strokes.h"

namespace {

namespace movement = measures::movement;
using measures::Clock;

constexpr std::int64_t start = 5'000'000;  // some time after boot
constexpr std::int64_t khz8 = 125;         // µs between an 8 kHz mouse's packets
constexpr std::int64_t khz1 = 1000;

struct Packet {
    std::int64_t time_us;
    movement::Motion motion;
};
using Stroke = std::vector<Packet>;

// `count` packets of (dx, dy), one every `step_us` from `from`.
Stroke repeat(int count, int dx, int dy, std::int64_t step_us, std::int64_t from = start) {
    Stroke s;
    for (int i = 0; i < count; ++i)
        s.push_back({from + i * step_us, {dx, dy}});
    return s;
}

Stroke then(Stroke a, const Stroke& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// `stroke`, `us` later.
Stroke later(Stroke stroke, std::int64_t us) {
    for (Packet& p : stroke)
        p.time_us += us;
    return stroke;
}

// A straight stroke of net (x, y) in `count` packets, each the whole counts
// the line has reached since the one before.
Stroke line(int x, int y, int count, std::int64_t step_us) {
    Stroke s;
    for (int i = 1; i <= count; ++i) {
        const auto at = [&](int k, int total) {
            return static_cast<int>(std::lround(static_cast<double>(total) * k / count));
        };
        s.push_back(
            {start + (i - 1) * step_us, {at(i, x) - at(i - 1, x), at(i, y) - at(i - 1, y)}});
    }
    return s;
}

// The packets a mouse sending every `step_us` makes of `path` (see
// testsupport::sensed), from `start`.
Stroke sensed(const testsupport::HandPath& path, std::int64_t step_us, double scale = 1,
              std::int64_t delay_us = 0, int unit = 1) {
    Stroke s;
    for (const auto& [us, dx, dy] : testsupport::sensed(path, step_us, scale, delay_us, unit))
        s.push_back({start + us, {dx, dy}});
    return s;
}
// `stroke` with each stamp moved by up to `us` either way, as a kernel's
// stamps jitter; the same every run.
Stroke jittered(Stroke stroke, std::int64_t us) {
    std::minstd_rand draw(39);
    for (Packet& p : stroke)
        p.time_us += static_cast<std::int64_t>(draw() % static_cast<unsigned>(2 * us + 1)) - us;
    return stroke;
}
const testsupport::HandPath& hand = testsupport::hand();
const testsupport::HandPath& other_hand = testsupport::other_hand();
const testsupport::HandPath& slow = testsupport::slow_hand();
const testsupport::HandPath& slow_other = testsupport::slow_other_hand();

// How `a` and `b` compare as the program compares them: each fed to a mouse
// of the store, whose poll grid gives the period its counts are spread over.
movement::Pair compared(const Stroke& a, const Stroke& b) {
    measures::Store store;
    for (const auto& [mouse, stroke] : {std::pair{1, &a}, std::pair{2, &b}}) {
        for (const Packet& p : *stroke)
            store.mouse(mouse).add(p.time_us, false, false, 0, p.motion);
    }
    return measures::compare(store.mouse(1), store.mouse(2));
}

movement::MouseMovement fed(const Stroke& stroke) {
    movement::MouseMovement m;
    for (const Packet& p : stroke)
        m.add(p.time_us, p.motion);
    return m;
}

// The cells of a row after the mouse number, before the name: counts x,
// counts y, path, angle, CPI.
using Figures = std::vector<std::string>;

TEST(Movement, EachStrokeReadsAsItsCountsAngleAndCpi) {
    struct Case {
        const char* what;
        Stroke stroke;
        std::optional<double> distance_mm;
        Figures expected;
    };
    const Case cases[] = {
        {"1,600 counts along x over 25.4 mm",
         repeat(100, 16, 0, khz1),
         25.4,
         {"1600", "0", "1600.0", "0.0", "1600"}},
        {"no distance given: no CPI",
         repeat(100, 16, 0, khz1),
         std::nullopt,
         {"1600", "0", "1600.0", "0.0", "-"}},
        {"2 degrees up the screen",
         line(1600, -56, 100, khz1),
         25.4,
         {"1600", "-56", "1601.7", "2.0", "1601"}},
        {"along -x: 180, not -180",
         line(-1000, 0, 50, khz1),
         25.4,
         {"-1000", "0", "1000.0", "180.0", "1000"}},
        {"down the screen", line(0, 300, 50, khz1), 25.4, {"0", "300", "300.0", "-90.0", "300"}},
        // One-count packets on alternating axes: the path reads 41 % long,
        // the CPI comes from the net length.
        {"8 kHz slow diagonal of one-count packets",
         then(repeat(500, 1, 0, 2 * khz8), repeat(500, 0, -1, 2 * khz8, start + khz8)),
         22.45,
         {"500", "-500", "1000.0", "45.0", "800"}},
        {"fast out, slowly back to the start",
         then(repeat(100, 20, 0, khz8), repeat(2000, -1, 0, khz8, start + 500'000)),
         100,
         {"0", "0", "4000.0", "-", "0"}},
        {"fast out, slowly back short of the start: a residue",
         then(repeat(100, 20, 0, khz8), repeat(1900, -1, 0, khz8, start + 500'000)),
         100,
         {"100", "0", "3900.0", "0.0", "25"}},
        {"an absolute tablet",
         Stroke{{start, {30000, 20000, true}}, {start + 8000, {31000, 20000, true}}},
         25.4,
         {"-", "-", "-", "-", "-"}},
        {"no movement at all", Stroke{}, 25.4, {"0", "0", "0.0", "-", "0"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const movement::Row row =
            movement::format_row(3, "Sensor", fed(c.stroke).summary(), c.distance_mm);
        EXPECT_EQ(row[movement::column::mouse], "3");
        EXPECT_EQ(
            Figures(row.begin() + movement::column::counts_x, row.begin() + movement::column::name),
            c.expected);
        EXPECT_EQ(row[movement::column::name], "Sensor");
    }
}

TEST(Movement, PairsMovedTogetherReadAsRatioLagAndCorrelation) {
    struct Case {
        const char* what;
        Stroke a;
        Stroke b;
        bool together;
        double ratio;
        double ratio_within;  // 0.5 % of it or better
        double lag_ms;        // within 0.125 ms
        double correlation_at_least;
    };
    const Case cases[] = {
        {"B is A 3 ms later at half the counts", sensed(hand, khz8, 1, 0, 2),
         sensed(hand, khz8, 0.5, 3000), true, 0.5, 0.0005, 3.0, 0.95},
        {"B reports 3 ms first", sensed(hand, khz8, 1, 0, 2), sensed(hand, khz8, 0.5, -3000), true,
         0.5, 0.0005, -3.0, 0.95},
        {"the same movement at 8 kHz and at 1 kHz", sensed(hand, khz8), sensed(hand, khz1, 1.25),
         true, 1.25, 0.006, 0.0, 0.8},
        {"B 12.5 ms behind at 1 kHz", sensed(hand, khz8), sensed(hand, khz1, 1, 12'500), true, 1.0,
         0.005, 12.5, 0.8},
        // Most bins hold 0 or 1 count: the speeds pair once smoothed.
        {"slowly at 8 kHz, one count a report: B 0.6 of A 1.75 ms later", sensed(slow, khz8),
         sensed(slow, khz8, 0.6, 1750), true, 0.6, 0.003, 1.75, 0.8},
        {"the same, stamps jittered by up to 30 µs", jittered(sensed(slow, khz8), 30),
         jittered(sensed(slow, khz8, 0.6, 1750), 30), true, 0.6, 0.003, 1.75, 0.8},
        {"slowly at 8 kHz and at 1 kHz of a quarter the CPI: 2 counts a report at most",
         sensed(slow, khz8), sensed(slow, khz1, 0.25), true, 0.25, 0.00125, 0.0, 0.8},
        {"the same, stamps jittered", jittered(sensed(slow, khz8), 30),
         jittered(sensed(slow, khz1, 0.25), 30), true, 0.25, 0.00125, 0.0, 0.8},
        // Each rested longer than the span since moving on its own (A's
        // rest 9.3 s, B's 9.5 s): their new movement where it came.
        {"together after each rested longer than 4 s",
         then(sensed(hand, khz8), later(sensed(hand, khz8), 12'000'000)),
         then(sensed(other_hand, khz8), later(sensed(hand, khz8, 0.5, 3000), 12'000'000)), true,
         0.5, 0.0005, 3.0, 0.95},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const movement::Pair pair = compared(c.a, c.b);
        EXPECT_EQ(pair.together, c.together);
        EXPECT_NEAR(pair.ratio, c.ratio, c.ratio_within);
        EXPECT_NEAR(static_cast<double>(pair.lag_us) / 1000, c.lag_ms, 0.125);
        EXPECT_GE(pair.correlation, c.correlation_at_least);
    }
}

TEST(Movement, MiceMovedApartOrNotAtAllAreNoPair) {
    const Stroke moved = sensed(hand, khz8);
    struct Case {
        const char* what;
        Stroke a;
        Stroke b;
    };
    const Case cases[] = {
        {"moved independently", moved, sensed(other_hand, khz8)},
        {"slow bursts of their own, none within 100 ms of A's", sensed(slow, khz8),
         sensed(slow_other, khz8)},
        {"nor of B's", sensed(slow, khz8, 0.6, 1750), sensed(slow_other, khz8)},
        {"one never moved", moved, Stroke{}},
        {"one is an absolute tablet", moved, Stroke{{start, {100, 100, true}}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_FALSE(compared(c.a, c.b).together);
    }
}

// The span compared is the last 4 s of the packets' own time: movement older
// than that, or forgotten by a reset, takes no part.
TEST(Movement, OnlyTheLastFourSecondsSinceTheResetAreCompared) {
    const Stroke a = sensed(hand, khz8);
    const Stroke b = sensed(hand, khz8, 1, 2000);
    movement::MouseMovement ma = fed(a);
    movement::MouseMovement mb = fed(b);
    ASSERT_TRUE(movement::compare(ma, mb).together);
    // Then B alone moves, 5 s later: A's movement has left the span.
    for (const Packet& p : sensed(other_hand, khz8))
        mb.add(p.time_us + 5'000'000, p.motion);
    EXPECT_FALSE(movement::compare(ma, mb).together);
    // A reset forgets the counts too.
    ma.reset();
    EXPECT_EQ(movement::format_row(0, "", ma.summary(), 25.4)[movement::column::counts_x], "0");
    EXPECT_FALSE(movement::compare(ma, mb).together);
}

// A comparison done a part at a time compares the movement taken when it
// began: packets that come between its steps take no part.
TEST(Movement, AComparisonInStepsComparesWhatItTookWhenItBegan) {
    movement::MouseMovement ma = fed(sensed(hand, khz8, 1, 0, 2));
    movement::MouseMovement mb = fed(sensed(hand, khz8, 0.5, 3000));
    const movement::Pair whole = movement::compare(ma, mb);
    ASSERT_TRUE(whole.together);
    movement::Comparison comparison;
    comparison.begin(ma, mb);
    EXPECT_FALSE(comparison.step());
    // B moves on alone meanwhile, 5 s later: a comparison begun now would
    // find no pair (the test above).
    for (const Packet& p : sensed(other_hand, khz8))
        mb.add(p.time_us + 5'000'000, p.motion);
    for (int step = 2; step < movement::Comparison::steps; ++step)
        EXPECT_FALSE(comparison.step());
    EXPECT_TRUE(comparison.step()) << movement::Comparison::steps << " steps";
    EXPECT_TRUE(comparison.result().together);
    EXPECT_EQ(comparison.result().lag_us, whole.lag_us);
    EXPECT_EQ(comparison.result().ratio, whole.ratio);

    // Begun on a mouse that never moved, it is done at once.
    comparison.begin(ma, movement::MouseMovement());
    EXPECT_TRUE(comparison.step());
    EXPECT_FALSE(comparison.result().together);
}

TEST(Movement, APairRowSaysRatioLagAndCorrelation) {
    const movement::Pair pair{true, 0.9649, -3000, 0.5};
    EXPECT_EQ(movement::format_pair(0, 2, pair, Clock::microseconds),
              (movement::PairRow{"0", "2", "0.500", "-3.000", "0.96"}));
    // On a ms clock the lag is found to within 1 ms: whole ms.
    EXPECT_EQ(movement::format_pair(1, 3, {true, 0.8, 2375, 1.0004}, Clock::milliseconds),
              (movement::PairRow{"1", "3", "1.000", "2.000", "0.80"}));
}

TEST(Movement, ADistanceIsAPlainDecimalAboveZeroUpTo10000Mm) {
    const std::pair<const char*, std::optional<double>> cases[] = {
        {"25.4", 25.4}, {"100", 100.0},   {"10000", 10000.0}, {"0.5", 0.5}, {"0", {}},
        {"0.0", {}},    {"10000.01", {}}, {"-5", {}},         {"+5", {}},   {"1e3", {}},
        {"", {}},       {".5", {}},       {"5.", {}},         {"1,5", {}},  {" 5", {}},
        {"5 ", {}},     {"abc", {}},      {"1.2.3", {}},      {"nan", {}},  {"inf", {}},
    };
    for (const auto& [text, expected] : cases) {
        SCOPED_TRACE(text);
        EXPECT_EQ(movement::parse_distance_mm(text), expected);
    }
}

// The store feeds each mouse's movement with its packets and resets it
// apart from the other measures.
TEST(Movement, TheStoreFeedsAndResetsEachMousesMovement) {
    measures::Store store;
    store.add(1, start, false, false, 0x0001, {5, -3});
    store.add(1, start + 1000, false, false, 0, {5, -3});
    store.add(2, start, false, false, 0, {7, 0, true});
    EXPECT_EQ(store.find(1)->movement.summary().counts_x, 10);
    EXPECT_EQ(store.find(1)->movement.summary().counts_y, -6);
    EXPECT_FALSE(store.find(2)->movement.summary().counted());
    const std::uint64_t before = store.generation();
    store.reset_movement();
    EXPECT_NE(store.generation(), before);
    EXPECT_EQ(store.find(1)->movement.summary().counts_x, 0);
    EXPECT_EQ(store.find(1)->buttons.summary(measures::buttons::Button::left).presses, 1u);
}

}  // namespace
