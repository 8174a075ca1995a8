// Whether each button is healthy: generated clicking of known timing fed
// packet by packet, each button's row checked as the window and --stats show
// it (presses, clicks, chatter, shortest gap, median and shortest hold,
// unpaired).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "measures/buttons.h"
#include "measures/feed.h"
#include "measures/store.h"

namespace {

namespace buttons = measures::buttons;
using buttons::Button;
using measures::Clock;

constexpr std::int64_t ms = 1000;
constexpr std::int64_t start = 5'000'000;  // some time after boot

struct Packet {
    measures::Handle mouse;
    std::int64_t time_us;
    std::uint16_t flags;
    bool same_report = false;
};
using Clicking = std::vector<Packet>;

constexpr std::uint16_t left_down = buttons::down_flag(Button::left);
constexpr std::uint16_t left_up = buttons::up_flag(Button::left);

// `count` clicks of `button`, one every `period_us` from `from`, each held
// `hold_us`; every `bounce_every`-th click (0: none) bounces after its
// release: a second press `gap_us` later, held `bounce_hold_us`.
Clicking clicks(measures::Handle mouse, Button button, int count, std::int64_t period_us,
                std::int64_t hold_us, int bounce_every = 0, std::int64_t gap_us = 0,
                std::int64_t bounce_hold_us = 0, std::int64_t from = start) {
    Clicking c;
    for (int i = 0; i < count; ++i) {
        const std::int64_t t = from + i * period_us;
        c.push_back({mouse, t, buttons::down_flag(button)});
        c.push_back({mouse, t + hold_us, buttons::up_flag(button)});
        if (bounce_every > 0 && i % bounce_every == bounce_every - 1) {
            c.push_back({mouse, t + hold_us + gap_us, buttons::down_flag(button)});
            c.push_back({mouse, t + hold_us + gap_us + bounce_hold_us, buttons::up_flag(button)});
        }
    }
    return c;
}

Clicking merged(Clicking a, const Clicking& b) {
    a.insert(a.end(), b.begin(), b.end());
    std::stable_sort(a.begin(), a.end(),
                     [](const Packet& x, const Packet& y) { return x.time_us < y.time_us; });
    return a;
}

// Whole milliseconds, as an X server stamps events.
Clicking on_ms_clock(Clicking c) {
    for (Packet& p : c)
        p.time_us = p.time_us / ms * ms;
    return c;
}

// The cells of a row after the mouse and button, before the name: presses,
// clicks, chatter, gap, hold, shortest hold, unpaired.
using Figures = std::vector<std::string>;

Figures figures_of(const buttons::Row& row) {
    return Figures(row.begin() + buttons::column::presses, row.begin() + buttons::column::name);
}

struct Expected {
    measures::Handle mouse;
    Button button;
    Figures figures;
};

struct Case {
    const char* name;
    Clock clock;
    int chatter_ms;
    std::function<Clicking()> clicking;
    std::vector<Expected> rows;  // every button that changed; no other
};

void PrintTo(const Case& c, std::ostream* out) {
    *out << c.name;
}

const Case cases[] = {
    // 50 clicks at a normal pace: 120 ms down, 400 ms apart.
    {"CleanClicker",
     Clock::microseconds,
     25,
     [] { return clicks(1, Button::left, 50, 400 * ms, 120 * ms); },
     {{1, Button::left, {"50", "50", "0", "280.0", "120.0", "120.0", "0"}}}},
    // Every fourth click bounces: a release and a second press 8 ms apart.
    {"BouncingSwitch",
     Clock::microseconds,
     25,
     [] { return clicks(1, Button::left, 40, 400 * ms, 100 * ms, 4, 8 * ms, 30 * ms); },
     {{1, Button::left, {"50", "40", "10", "8.0", "100.0", "30.0", "0"}}}},
    // A release bounce: press, release, a press 3 ms later released 4 ms
    // after that, on every click.
    {"ReleaseBounce",
     Clock::microseconds,
     25,
     [] { return clicks(1, Button::right, 20, 500 * ms, 90 * ms, 1, 3 * ms, 4 * ms); },
     {{1, Button::right, {"40", "20", "20", "3.0", "4.0", "4.0", "0"}}}},
    // A person's fast double click: 60 ms from the release to the next press.
    {"FastDoubleClickIsNoChatter",
     Clock::microseconds,
     25,
     [] { return clicks(1, Button::left, 2, 140 * ms, 80 * ms); },
     {{1, Button::left, {"2", "2", "0", "60.0", "80.0", "80.0", "0"}}}},
    // Two mice at once, each measured apart: one bounces, one does not.
    {"TwoMiceOneChattering",
     Clock::microseconds,
     25,
     [] {
         return merged(clicks(1, Button::left, 30, 300 * ms, 100 * ms, 3, 5 * ms, 20 * ms),
                       clicks(2, Button::left, 30, 310 * ms, 110 * ms, 0, 0, 0, start + 7 * ms));
     },
     {{1, Button::left, {"40", "30", "10", "5.0", "100.0", "20.0", "0"}},
      {2, Button::left, {"30", "30", "0", "200.0", "110.0", "110.0", "0"}}}},
    // Gaps of 30 ms are no chatter at 25 ms, and are at --chatter-ms=40.
    {"CustomChatterWindow",
     Clock::microseconds,
     40,
     [] { return clicks(1, Button::middle, 10, 500 * ms, 100 * ms, 2, 30 * ms, 50 * ms); },
     {{1, Button::middle, {"15", "10", "5", "30.0", "100.0", "50.0", "0"}}}},
    {"DefaultChatterWindow",
     Clock::microseconds,
     25,
     [] { return clicks(1, Button::middle, 10, 500 * ms, 100 * ms, 2, 30 * ms, 50 * ms); },
     {{1, Button::middle, {"15", "15", "0", "30.0", "100.0", "50.0", "0"}}}},
    // Stamps in whole ms (x11): whole ms shown; a bounce of 7.6 ms reads 7 or 8.
    {"MillisecondClock",
     Clock::milliseconds,
     25,
     [] {
         return on_ms_clock(
             clicks(1, Button::side, 8, 333'300, 101'400, 2, 7'600, 25'300, start + 300));
     },
     {{1, Button::side, {"12", "8", "4", "7", "101", "25", "0"}}}},
    // A button held when rawmice started: its release has no press, and times
    // nothing; the clicks after it are measured as usual.
    {"ButtonHeldAtStart",
     Clock::microseconds,
     25,
     [] {
         Clicking c = {{1, start - 20 * ms, buttons::up_flag(Button::extra)}};
         const Clicking after = clicks(1, Button::extra, 5, 300 * ms, 90 * ms);
         c.insert(c.end(), after.begin(), after.end());
         return c;
     },
     {{1, Button::extra, {"5", "5", "0", "210.0", "90.0", "90.0", "1"}}}},
    // An overflow in the middle of a press: the release was lost, and the
    // resync after it reports it at its own time (a packet of the report
    // before it). It closes the pair but times nothing: no hold, and no gap
    // to the press after it. A resync that finds the button down again opens
    // a pair whose release times no hold either.
    {"OverflowInTheMiddleOfAPress",
     Clock::microseconds,
     25,
     [] {
         return Clicking{{1, start, left_down},
                         {1, start + 40 * ms, 0},  // motion
                         {1, start + 40 * ms, left_up, true},
                         {1, start + 45 * ms, left_down},
                         {1, start + 140 * ms, left_up},
                         {1, start + 300 * ms, 0},
                         {1, start + 300 * ms, left_down, true},
                         {1, start + 310 * ms, left_up},
                         {1, start + 420 * ms, left_down},
                         {1, start + 500 * ms, left_up}};
     },
     {{1, Button::left, {"4", "4", "0", "110.0", "80.0", "80.0", "0"}}}},
    // A press while the button is down (its release dropped while no rawmice
    // window was active), and a whole click in one packet.
    {"UnpairedPressAndAClickInOnePacket",
     Clock::microseconds,
     25,
     [] {
         return Clicking{{1, start, left_down},
                         {1, start + 500 * ms, left_down},
                         {1, start + 600 * ms, left_up},
                         {1, start + 900 * ms, static_cast<std::uint16_t>(left_down | left_up)}};
     },
     {{1, Button::left, {"3", "3", "0", "300.0", "0.0", "0.0", "1"}}}},
};

class ButtonCases : public ::testing::TestWithParam<Case> {};

TEST_P(ButtonCases, EachButtonsRowMatchesItsKnownTiming) {
    const Case& c = GetParam();
    measures::Store store({.clock = c.clock, .chatter_window_us = c.chatter_ms * ms});
    for (const Packet& p : c.clicking())
        store.add(p.mouse, p.time_us, p.same_report, false, p.flags);
    std::size_t rows = 0;
    for (std::size_t i = 0; i < store.size(); ++i) {
        for (Button b : buttons::all)
            rows += store[i].buttons.summary(b).seen() ? 1 : 0;
    }
    EXPECT_EQ(rows, c.rows.size()) << "a row per button that changed";
    for (const Expected& e : c.rows) {
        SCOPED_TRACE(std::string(buttons::button_name(e.button)) + " of mouse " +
                     std::to_string(e.mouse));
        const measures::Mouse* mouse = store.find(e.mouse);
        ASSERT_NE(mouse, nullptr);
        const buttons::ButtonSummary s = mouse->buttons.summary(e.button);
        EXPECT_EQ(figures_of(buttons::format_row(0, e.button, "m", s, c.clock)), e.figures);
        EXPECT_EQ(s.clicks() + s.chatter, s.presses);
    }
}

INSTANTIATE_TEST_SUITE_P(GeneratedClicking, ButtonCases, ::testing::ValuesIn(cases),
                         [](const auto& info) { return std::string(info.param.name); });

// The median hold within the histogram's 1/256; the shortest exact.
TEST(ButtonsTest, TheMedianHoldIsWithinTheHistogramsPrecision) {
    measures::Store store;
    // Holds of 100.000 to 100.999 ms and one of 12.345 ms.
    std::int64_t t = start;
    for (int i = 0; i < 1000; ++i) {
        store.add(1, t, false, false, left_down);
        store.add(1, t + 100'000 + i, false, false, left_up);
        t += 300 * ms;
    }
    store.add(1, t, false, false, left_down);
    store.add(1, t + 12'345, false, false, left_up);
    const buttons::ButtonSummary s = store.find(1)->buttons.summary(Button::left);
    ASSERT_TRUE(s.median_hold_us && s.shortest_hold_us);
    EXPECT_LE(*s.median_hold_us, 100'500);
    EXPECT_GE(*s.median_hold_us, 100'500 - 100'500 / buttons::HoldHistogram::sub_buckets);
    EXPECT_EQ(*s.shortest_hold_us, 12'345);
    EXPECT_EQ(buttons::format_ms(s.shortest_hold_us, Clock::microseconds), "12.3");
    EXPECT_EQ(s.holds, 1001u);

    // A hold past the histogram's top counts at its top; the shortest is exact.
    measures::Store long_hold;
    long_hold.add(1, 0, false, false, left_down);
    long_hold.add(1, 3'600'000'000, false, false, left_up);
    EXPECT_EQ(long_hold.find(1)->buttons.summary(Button::left).median_hold_us,
              buttons::max_hold_us);
    EXPECT_EQ(long_hold.find(1)->buttons.summary(Button::left).shortest_hold_us, 3'600'000'000);
}

// A stamp earlier than the release before it gives no gap and no chatter.
TEST(ButtonsTest, AStampThatGoesBackTimesNothing) {
    measures::Store store;
    store.add(1, start, false, false, left_down);
    store.add(1, start + 80 * ms, false, false, left_up);
    store.add(1, start - 10 * ms, false, false, left_down);
    store.add(1, start - 20 * ms, false, false, left_up);
    const buttons::ButtonSummary s = store.find(1)->buttons.summary(Button::left);
    EXPECT_EQ(s.presses, 2u);
    EXPECT_EQ(s.chatter, 0u);
    EXPECT_FALSE(s.shortest_gap_us);
    EXPECT_EQ(s.holds, 1u);
}

// Reset forgets every figure and keeps which buttons are down: the release of
// a press held through it is no unpaired change, and times nothing.
TEST(ButtonsTest, ResetStartsAfreshAndKeepsTheButtonsHeld) {
    measures::Feed feed;
    int told = 0;
    feed.add_listener(&told, [&] { ++told; });
    for (const Packet& p : clicks(1, Button::left, 3, 300 * ms, 100 * ms, 1, 5 * ms, 10 * ms))
        feed.packet({p.mouse, p.time_us, false, false, p.flags});
    feed.packet({1, start + 2 * 1000 * ms, false, false, buttons::down_flag(Button::right)});
    const std::uint64_t before = feed.store().generation();
    feed.reset_buttons();
    EXPECT_EQ(told, 14) << "each packet, and the reset";
    EXPECT_NE(feed.store().generation(), before);
    const measures::Mouse& mouse = *feed.store().find(1);
    EXPECT_FALSE(mouse.buttons.summary(Button::left).seen());
    EXPECT_TRUE(mouse.buttons.down(Button::right));
    EXPECT_EQ(mouse.timing.reports(), 13u) << "the timing measures go on";

    feed.packet({1, start + 2100 * ms, false, false, buttons::up_flag(Button::right)});
    feed.packet({1, start + 2110 * ms, false, false, buttons::down_flag(Button::right)});
    const buttons::ButtonSummary right = mouse.buttons.summary(Button::right);
    EXPECT_EQ(right.presses, 1u);
    EXPECT_EQ(right.unpaired, 0u);
    EXPECT_EQ(right.holds, 0u) << "pressed before the reset";
    EXPECT_EQ(right.chatter, 1u) << "its release came after the reset";
    feed.remove_listener(&told);
    feed.packet({1, start + 2120 * ms, false, false, 0});
    EXPECT_EQ(told, 16) << "no more once removed";
}

TEST(ButtonsTest, GenerationChangesWithButtonsAndNotWithMotion) {
    buttons::MouseButtons b(Clock::microseconds, 25 * ms);
    const std::uint64_t first = b.generation();
    b.add(start, 0x0400, false);  // a wheel
    b.add(start, 0, false);       // motion
    EXPECT_EQ(b.generation(), first);
    b.add(start, buttons::down_flag(Button::extra), false);
    EXPECT_NE(b.generation(), first);
    EXPECT_EQ(b.memory_bytes(), sizeof b) << "fixed from the start";
}

TEST(ButtonsTest, FormatSaysEachFigureAndADashWhereThereIsNone) {
    buttons::ButtonSummary s;
    s.presses = 7;
    s.chatter = 2;
    s.unpaired = 1;
    s.shortest_gap_us = 8'049;
    s.median_hold_us = 95'050;
    EXPECT_EQ(
        buttons::format_row(3, Button::middle, "Logitech G502", s, Clock::microseconds),
        (buttons::Row{"3", "middle", "7", "5", "2", "8.0", "95.1", "-", "1", "Logitech G502"}));
    EXPECT_EQ(buttons::format_row(-1, Button::side, "", s, Clock::milliseconds),
              (buttons::Row{"-1", "side", "7", "5", "2", "8", "95", "-", "1", "-"}));
    EXPECT_EQ(buttons::format_ms(0, Clock::receipt), "0.0");
    EXPECT_EQ(buttons::format_ms(std::nullopt, Clock::receipt), "-");
    EXPECT_EQ(buttons::stats_titles()[buttons::column::hold_min], "hold_min_ms");
    EXPECT_EQ(buttons::column_titles()[buttons::column::hold_min], "shortest hold ms");
    for (Button b : buttons::all)
        EXPECT_EQ(buttons::up_flag(b), buttons::down_flag(b) << 1);
    EXPECT_EQ(buttons::down_flag(Button::extra), 0x0100);
}

}  // namespace
