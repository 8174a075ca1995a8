// The check's rules as data: each test's verdict on figures at every
// threshold's edges (one row a side of each edge), the mouse's verdict from
// its tests', what the Next line says, and the pairs found together on the
// packets' own time.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "measures/check.h"
#include "measures/store.h"

namespace {

namespace check = measures::check;
using check::Verdict;
using measures::Clock;

// A test's result against a row of its table: the verdict, the figure
// (unless `figure` is null) and a part of the reason; `what` names the row.
template <class What>
void expect_result(const check::Result& r, const What& what, Verdict verdict, const char* figure,
                   const char* reason_has) {
    EXPECT_EQ(r.verdict, verdict) << what << ": " << r.reason;
    if (figure != nullptr) {
        EXPECT_EQ(r.figure, figure) << what;
    }
    EXPECT_NE(r.reason.find(reason_has), std::string::npos) << what << ": " << r.reason;
}

// A mouse that moved for `seconds` of counted spells on a 1 kHz grid.
measures::timing::Summary on_grid(double seconds, double off_pct,
                                  Clock clock = Clock::microseconds) {
    measures::timing::Summary s;
    s.clock = clock;
    s.spell_time_us = static_cast<std::int64_t>(seconds * 1e6);
    s.intervals = static_cast<std::uint64_t>(seconds * 1000);
    s.rate_hz = 1000;
    s.poll_period_us = 1000;
    s.skipped_share = 0.125;
    s.off_grid_share = off_pct / 100;
    s.background_share = 0;
    return s;
}

TEST(CheckPollingTest, EachEdgeOfItsThresholds) {
    struct Row {
        const char* what;
        measures::timing::Summary s;
        Verdict verdict;
        const char* figure;  // nullptr: not checked
        const char* reason_has;
    };
    std::vector<Row> rows;
    rows.push_back(
        {"4.99 s: not yet", on_grid(4.99, 0), Verdict::waiting, "4.9 of 5 s", "circles"});
    rows.push_back({"5 s, 2.0 % off", on_grid(5, 2.0), Verdict::pass, "1000 Hz, 2.0 % off grid",
                    "12.5 % of polls skipped"});
    rows.push_back({"2.01 % off", on_grid(5, 2.01), Verdict::warn, nullptr, "over 2 %"});
    rows.push_back({"5.0 % off", on_grid(5, 5.0), Verdict::warn, nullptr, "over 2 %"});
    rows.push_back({"5.01 % off", on_grid(5, 5.01), Verdict::fail, nullptr, "over 5 %"});
    {
        // A Bluetooth mouse at 11.25 ms reading 1.3 % off: healthy.
        measures::timing::Summary s = on_grid(5, 1.3);
        s.poll_period_us = 11'250;
        rows.push_back(
            {"Bluetooth", s, Verdict::pass, "88.9 Hz, 1.3 % off grid", "on its poll grid"});
    }
    {
        // Declared 100 Hz: 9091 µs is 109.999 Hz (within 10 %), 9090 µs 110.011 Hz.
        measures::timing::Summary s = on_grid(5, 0);
        s.declared_interval_us = 10'000;
        s.poll_period_us = 9091;
        rows.push_back({"9.999 % from declared", s, Verdict::pass, nullptr, "on its poll grid"});
        s.poll_period_us = 9090;
        rows.push_back({"10.011 % from declared", s, Verdict::warn, nullptr,
                        "the system polls it at 110 Hz, it declares 100 Hz"});
        s.declared_interval_us = 1000;
        s.poll_period_us = 2000;
        rows.push_back({"half the declared", s, Verdict::warn, nullptr,
                        "the system polls it at 500 Hz, it declares 1000 Hz"});
    }
    {
        measures::timing::Summary s = on_grid(5, 0);
        s.overflows = 0;
        rows.push_back({"no overflow", s, Verdict::pass, nullptr, "on its poll grid"});
        s.overflows = 1;
        rows.push_back({"an overflow", s, Verdict::warn, nullptr, "1 overflow: reports lost"});
    }
    {
        measures::timing::Summary s = on_grid(5, 0);
        s.poll_period_us.reset();
        s.off_grid_share.reset();
        s.skipped_share.reset();
        s.rate_hz = 83.3;
        rows.push_back({"a PS/2 mouse", s, Verdict::warn, "83.3 Hz", "no poll grid (as a PS/2"});
        s.clock = Clock::receipt;
        rows.push_back({"receipt times, no grid", s, Verdict::cant_tell, nullptr,
                        "Windows stamps reports when they arrive"});
        s.clock = Clock::milliseconds;
        rows.push_back(
            {"ms clock, 5 s, no grid", s, Verdict::cant_tell, nullptr, "use the evdev input"});
        s.spell_time_us = 4'000'000;
        s.rate_hz = 125;  // 8 ms: what whole-ms stamps can tell, so it waits
        rows.push_back({"ms clock, 8 ms", s, Verdict::waiting, "4.0 of 5 s", "circles"});
        s.rate_hz = 125.1;
        rows.push_back(
            {"ms clock, under 8 ms", s, Verdict::cant_tell, "125 Hz", "too coarse under 8 ms"});
    }
    {
        // The ms clock judges a grid it could settle (125 Hz).
        measures::timing::Summary s = on_grid(5, 0, Clock::milliseconds);
        s.poll_period_us = 8000;
        rows.push_back({"ms clock, 8 ms grid", s, Verdict::pass, "125 Hz, 0.0 % off grid", "on"});
        s.clock = Clock::receipt;
        rows.push_back({"receipt times on a grid", s, Verdict::pass, nullptr, "on"});
    }
    {
        measures::timing::Summary s = on_grid(5, 0);
        s.background_share = 0.001;
        rows.push_back({"read in the background", s, Verdict::cant_tell, nullptr, "to the front"});
    }
    for (const Row& row : rows) {
        const check::Polling p = check::judge_polling(row.s);
        expect_result(p.result, row.what, row.verdict, row.figure, row.reason_has);
    }
    // The report's figures.
    measures::timing::Summary s = on_grid(5, 1.5);
    s.declared_interval_us = 125;
    const check::Polling p = check::judge_polling(s);
    EXPECT_EQ(p.poll_hz, 1000);
    EXPECT_EQ(p.declared_hz, 8000);
    EXPECT_EQ(p.skipped_pct, 12.5);
    EXPECT_DOUBLE_EQ(*p.off_grid_pct, 1.5);
}

TEST(CheckButtonsTest, ChatterFailsAtOnceAndLeftAndRightWaitForTheirPresses) {
    using measures::buttons::Button;
    struct Row {
        const char* what;
        std::vector<std::pair<Button, std::pair<int, int>>> pressed;  // presses, chatter
        bool debounced;
        Verdict verdict;
        const char* figure;
        const char* reason_has;
    };
    const Row rows[] = {
        {"nothing pressed",
         {},
         false,
         Verdict::waiting,
         "left 0 of 20, right 0 of 20",
         "click each button 20 times"},
        {"left 12",
         {{Button::left, {12, 0}}},
         false,
         Verdict::waiting,
         "left 12 of 20, right 0 of 20",
         "20 times"},
        {"19 and 20",
         {{Button::left, {19, 0}}, {Button::right, {20, 0}}},
         false,
         Verdict::waiting,
         "left 19 of 20, right 20",
         "20 times"},
        {"20 and 20",
         {{Button::left, {20, 0}}, {Button::right, {20, 0}}},
         false,
         Verdict::pass,
         "left 20, right 20",
         "no press within 25 ms of a release"},
        {"and a middle press",
         {{Button::left, {20, 0}}, {Button::right, {25, 0}}, {Button::middle, {1, 0}}},
         false,
         Verdict::pass,
         "left 20, right 25, middle 1",
         "no chatter"},
        {"left chatters once, early",
         {{Button::left, {3, 1}}},
         false,
         Verdict::fail,
         "left 1 of 3 chatter",
         "less than 25 ms after a release"},
        {"side chatters",
         {{Button::left, {20, 0}}, {Button::right, {20, 0}}, {Button::side, {4, 2}}},
         false,
         Verdict::fail,
         "side 2 of 4 chatter",
         "its switch bounces"},
        {"two chatter",
         {{Button::left, {9, 1}}, {Button::right, {9, 3}}},
         false,
         Verdict::fail,
         "left 1 of 9, right 3 of 9 chatter",
         "its switches bounce"},
        {"debounced by the X server",
         {{Button::left, {9, 1}}},
         true,
         Verdict::cant_tell,
         "",
         "use the evdev input"},
    };
    for (const Row& row : rows) {
        std::array<measures::buttons::ButtonSummary, measures::buttons::button_count> s{};
        for (const auto& [button, counts] : row.pressed) {
            s[static_cast<std::size_t>(button)].presses = static_cast<std::uint64_t>(counts.first);
            s[static_cast<std::size_t>(button)].chatter = static_cast<std::uint64_t>(counts.second);
        }
        const check::Buttons b = check::judge_buttons(s, 25'000, row.debounced);
        expect_result(b.result, row.what, row.verdict, row.figure, row.reason_has);
        // Left and right always, then any other button pressed.
        ASSERT_GE(b.buttons.size(), 2u) << row.what;
        EXPECT_EQ(b.buttons[0].button, Button::left);
        EXPECT_EQ(b.buttons[1].button, Button::right);
        EXPECT_EQ(b.buttons.size(), 2 + std::count_if(row.pressed.begin(), row.pressed.end(),
                                                      [](const auto& p) {
                                                          return p.first != Button::left &&
                                                                 p.first != Button::right;
                                                      }))
            << row.what;
    }
    // The window --chatter-ms set is the one said.
    std::array<measures::buttons::ButtonSummary, measures::buttons::button_count> s{};
    s[0].presses = 2;
    s[0].chatter = 1;
    EXPECT_NE(check::judge_buttons(s, 40'000, false).result.reason.find("less than 40 ms"),
              std::string::npos);
}

// Strokes figures with a CPI over 100 mm (cpi set), or none.
measures::strokes::Summary strokes_with(std::optional<double> cpi, double spread = 0.5,
                                        std::size_t slow = 5) {
    measures::strokes::Summary s;
    s.slow = slow;
    s.cpi_strokes = cpi ? 5 : 0;
    s.spread_pct = spread;
    s.distance_mm = 100;
    s.cpi = cpi;
    return s;
}

TEST(CheckCpiTest, WithinFiveOfItsSettingPassesWithinTenWarnsBeyondFails) {
    struct Row {
        const char* what;
        measures::strokes::Summary s;
        std::optional<double> set;
        Verdict verdict;
        const char* figure;
        const char* reason_has;
    };
    measures::strokes::Summary no_distance = strokes_with(std::nullopt, 0.5, 3);
    no_distance.distance_mm.reset();
    measures::strokes::Summary spread = strokes_with(std::nullopt, 3.1);
    measures::strokes::Summary few = strokes_with(std::nullopt);
    few.spread_pct.reset();
    few.slow = 1;
    const Row rows[] = {
        {"no D yet", no_distance, 800, Verdict::waiting, "3 of 3 slow strokes", "type D"},
        {"one slow stroke", few, 800, Verdict::waiting, "1 of 3 slow strokes", "move slowly"},
        {"spread 3.1 %", spread, 800, Verdict::waiting, "spread 3.1 %",
         "strokes differ by 3.1 %: move between the same stops"},
        {"+5.0 %", strokes_with(840), 800, Verdict::pass, "840 CPI, set 800",
         "5.0 % above its setting (within 5 %)"},
        {"-5.0 %", strokes_with(760), 800, Verdict::pass, nullptr, "5.0 % below"},
        {"+5.01 %", strokes_with(840.08), 800, Verdict::warn, nullptr, "(over 5 %)"},
        {"+10.0 %", strokes_with(880), 800, Verdict::warn, nullptr, "10.0 % above"},
        {"+10.01 %", strokes_with(880.08), 800, Verdict::fail, nullptr, "(over 10 %)"},
        {"-10.01 %", strokes_with(719.92), 800, Verdict::fail, nullptr, "below its setting"},
        {"+0.04 %", strokes_with(800.3), 800, Verdict::pass, "800 CPI, set 800",
         "at its setting (within 5 %)"},
        {"no setting", strokes_with(812.4), std::nullopt, Verdict::info, "812 CPI",
         "from 5 slow strokes over D = 100 mm; type the CPI it is set to"},
    };
    for (const Row& row : rows) {
        const check::Cpi c = check::judge_cpi(row.s, row.set);
        expect_result(c.result, row.what, row.verdict, row.figure, row.reason_has);
        EXPECT_EQ(c.set_cpi, row.set) << row.what;
        EXPECT_EQ(c.deviation_pct.has_value(), row.s.cpi && row.set) << row.what;
    }
    EXPECT_DOUBLE_EQ(*check::judge_cpi(strokes_with(760), 800).deviation_pct, -5);
}

TEST(CheckCpiAtSpeedTest, WithinThreePassesWithinTenWarnsBeyondFails) {
    const auto varied = [](std::optional<double> pct) {
        measures::strokes::Summary s = strokes_with(800);
        s.fast = 3;
        s.variation_pct = pct;
        s.slow_cpms = 6.2992;  // 0.2 m/s at 800 CPI
        s.fast_cpms = 78.74;   // 2.5 m/s
        return s;
    };
    struct Row {
        double pct;
        Verdict verdict;
        const char* figure;
        const char* reason_has;
    };
    const Row rows[] = {
        {3.0, Verdict::pass, "+3.0 %",
         "fast strokes (2.50 m/s) go 3.0 % further than slow ones (0.20 m/s): within \xC2\xB1"
         "3 %"},
        {-3.0, Verdict::pass, "-3.0 %", "less far"},
        {3.01, Verdict::warn, nullptr,
         "over \xC2\xB1"
         "3 %"},
        {-10.0, Verdict::warn, nullptr, "10.0 % less far"},
        {-10.01, Verdict::fail, nullptr,
         "over \xC2\xB1"
         "10 %"},
        {10.01, Verdict::fail, nullptr, "further"},
        {0.01, Verdict::pass, "0.0 %", "go as far as slow ones"},
    };
    for (const Row& row : rows) {
        const check::CpiAtSpeed v = check::judge_cpi_at_speed(varied(row.pct), 800);
        expect_result(v.result, row.pct, row.verdict, row.figure, row.reason_has);
        EXPECT_NEAR(*v.slow_mps, 0.2, 1e-4);
        EXPECT_NEAR(*v.fast_mps, 2.5, 1e-4);
    }
    measures::strokes::Summary waiting = varied(std::nullopt);
    waiting.fast = 1;
    const check::CpiAtSpeed v = check::judge_cpi_at_speed(waiting, std::nullopt);
    EXPECT_EQ(v.result.verdict, Verdict::waiting);
    EXPECT_EQ(v.result.figure, "slow 3 of 3, fast 1 of 2");
    // Without a CPI of the strokes' own, m/s at the one speeds are read at.
    waiting.cpi.reset();
    EXPECT_NEAR(*check::judge_cpi_at_speed(waiting, 1600).slow_mps, 0.1, 1e-4);
    EXPECT_FALSE(check::judge_cpi_at_speed(waiting, std::nullopt).slow_mps);
}

TEST(CheckSpeedTest, OneAndAHalfMetresASecondWithoutASpinOutOrSaturatedReportPasses) {
    struct Row {
        const char* what;
        measures::tracking::Summary s;
        Verdict verdict;
        const char* figure;
        const char* reason_has;
    };
    const auto at = [](std::optional<double> cpi, double peak) {
        measures::tracking::Summary s;
        s.cpi = cpi;
        s.peak_cpms = peak;
        s.saturated = 0;
        return s;
    };
    // 1.5 m/s at 800 CPI is 47.244 counts/ms.
    measures::tracking::Summary spun = at(800, 130);
    spun.spinouts = 2;
    spun.malfunction_cpms = 122.0;  // 3.87 m/s
    measures::tracking::Summary clipped = at(std::nullopt, 127);
    clipped.saturated = 40;
    clipped.malfunction_cpms = 126;
    measures::tracking::Summary x11 = at(800, 80);
    x11.saturated.reset();
    const Row rows[] = {
        {"1.4998 m/s", at(800, 47.23), Verdict::waiting, "peak 1.50 of 1.5 m/s", "swipe"},
        {"1.5 m/s", at(800, 47.245), Verdict::pass, "peak 1.50 m/s", "no failure up to 1.50 m/s"},
        {"59.9 counts/ms", at(std::nullopt, 59.9), Verdict::waiting, "peak 59.9 of 60 counts/ms",
         "swipe"},
        {"60 counts/ms", at(std::nullopt, 60), Verdict::pass, "peak 60.0 counts/ms",
         "no failure up to 60.0 counts/ms"},
        {"no movement", measures::tracking::Summary{}, Verdict::waiting, "peak 0 of 60 counts/ms",
         "swipe"},
        {"spun out", spun, Verdict::fail, "2 spin-outs", "failed at 3.87 m/s (lost track)"},
        {"saturated", clipped, Verdict::fail, "40 saturated", "failed at 126.0 counts/ms"},
        {"x11", x11, Verdict::pass, nullptr, "cannot show a clipped report field"},
    };
    for (const Row& row : rows) {
        const check::Speed v = check::judge_speed(row.s);
        expect_result(v.result, row.what, row.verdict, row.figure, row.reason_has);
    }
    const check::Speed v = check::judge_speed(spun);
    EXPECT_NEAR(*v.peak_mps, 130 * 25.4 / 800, 1e-9);
    EXPECT_NEAR(*v.malfunction_mps, 122 * 25.4 / 800, 1e-9);
    EXPECT_EQ(v.spinouts, 2u);
    EXPECT_EQ(v.saturated, 0u);
}

TEST(CheckTogetherTest, EachPairFromThisMousesSide) {
    const check::Together alone = check::judge_together(0, {}, 0, Clock::microseconds);
    EXPECT_EQ(alone.result.verdict, Verdict::info);
    EXPECT_EQ(alone.result.reason, "one mouse: nothing to compare it with");
    EXPECT_NE(check::judge_together(0, {}, 2, Clock::microseconds).result.reason.find("hold two"),
              std::string::npos);
    const check::Together two =
        check::judge_together(0, {{2, 0.5, -3.0}, {1, 1.08, 1.75}}, 2, Clock::microseconds);
    EXPECT_EQ(two.result.verdict, Verdict::info);
    EXPECT_EQ(two.result.figure, "2 pairs");
    EXPECT_EQ(two.result.reason,
              "mouse 1 reports 1.75 ms after mouse 0, 1.08 of its counts; mouse 2 reports 3.00 ms "
              "before mouse 0, 0.50 of its counts");
    EXPECT_EQ(two.pairs[0].with, 1) << "by number";
    EXPECT_NE(check::judge_together(0, {{1, 1, 2}}, 1, Clock::milliseconds)
                  .result.reason.find("2 ms after"),
              std::string::npos)
        << "whole ms on the ms clock";
}

TEST(CheckMouseVerdictTest, FailThenIncompleteThenWarnThenPass) {
    using V = Verdict;
    struct Row {
        std::vector<V> tests;
        check::MouseVerdict verdict;
    };
    const Row rows[] = {
        {{V::pass, V::pass, V::pass, V::pass, V::pass, V::info}, check::MouseVerdict::pass},
        {{V::pass, V::cant_tell, V::info, V::pass, V::pass, V::info}, check::MouseVerdict::pass},
        {{V::pass, V::warn, V::pass, V::pass, V::pass, V::info}, check::MouseVerdict::warn},
        {{V::waiting, V::warn, V::pass, V::pass, V::pass, V::info},
         check::MouseVerdict::incomplete},
        {{V::waiting, V::warn, V::fail, V::pass, V::pass, V::info}, check::MouseVerdict::fail},
        {{V::cant_tell, V::cant_tell, V::info, V::info, V::info, V::info},
         check::MouseVerdict::pass},
    };
    for (const Row& row : rows)
        EXPECT_EQ(check::mouse_verdict(row.tests), row.verdict);
}

TEST(CheckThresholdsTest, OneRowForEachLimitInTheTestsOrder) {
    const auto& table = check::thresholds();
    for (std::size_t i = 0; i < table.size(); ++i) {
        EXPECT_EQ(static_cast<std::size_t>(table[i].limit), i);
        EXPECT_FALSE(table[i].why.empty());
        if (i > 0) {
            EXPECT_GE(table[i].test, table[i - 1].test);
        }
    }
    EXPECT_EQ(check::limit(check::Limit::spread_pct), measures::strokes::max_spread_pct)
        << "the strokes' own rule";
    EXPECT_LT(check::limit(check::Limit::off_grid_warn_pct),
              check::limit(check::Limit::off_grid_fail_pct));
    EXPECT_LT(check::limit(check::Limit::cpi_warn_pct), check::limit(check::Limit::cpi_fail_pct));
    EXPECT_LT(check::limit(check::Limit::variation_warn_pct),
              check::limit(check::Limit::variation_fail_pct));
}

check::Card card(int number, Verdict polling, Verdict buttons, std::string polling_figure = "",
                 std::string buttons_figure = "") {
    check::Card c;
    c.number = number;
    c.polling.result = {polling, std::move(polling_figure), ""};
    c.buttons.result = {buttons, std::move(buttons_figure), ""};
    c.cpi.result.verdict = Verdict::info;
    c.cpi_at_speed.result.verdict = Verdict::pass;
    c.speed.result.verdict = Verdict::pass;
    c.together.result.verdict = Verdict::info;
    return c;
}

TEST(CheckNextStepTest, TheFirstTestStillWaitingForTheMiceThatNeedIt) {
    using V = Verdict;
    struct Row {
        std::vector<check::Card> cards;
        check::NextFacts facts;
        const char* next;
    };
    const Row rows[] = {
        {{}, {}, "Move a mouse: each numbered mouse gets a card with its first packet."},
        {{card(1, V::pass, V::waiting, "", "left 12 of 20, right 0 of 20")},
         {},
         "Click each button of mouse 1 20 times: left 12 of 20, right 0 of 20."},
        {{card(0, V::waiting, V::waiting, "2.1 of 5 s"), card(1, V::pass, V::waiting),
          card(2, V::waiting, V::pass, "0.0 of 5 s")},
         {},
         "Move mouse 0 and mouse 2 in circles for 5 seconds: mouse 0 2.1 of 5 s; mouse 2 0.0 of "
         "5 s."},
        {{card(0, V::waiting, V::pass), card(1, V::waiting, V::pass), card(3, V::waiting, V::pass)},
         {},
         "Move mice 0, 1 and 3 in circles for 5 seconds."},
        {{card(0, V::pass, V::pass)},
         {},
         "Nothing: every test has its verdict (Save report keeps them)."},
        {{card(0, V::fail, V::pass)},
         {.distance_known = false, .unnumbered = 1},
         "Nothing: every test has its verdict (Save report keeps them). A mouse plugged in after "
         "start has no number and no card: restart rawmice to number it."},
        {{},
         {.distance_known = false, .unnumbered = 2},
         "Move a mouse: each numbered mouse gets a card with its first "
         "packet. 2 mice plugged in after start have no number and no "
         "card: restart rawmice to number them."},
    };
    for (const Row& row : rows)
        EXPECT_EQ(check::next_step(row.cards, row.facts).text(), row.next);

    check::Card cpi = card(0, V::pass, V::pass);
    cpi.cpi.result = {V::waiting, "0 of 3 slow strokes", ""};
    EXPECT_EQ(check::next_step(std::vector{cpi}, {.distance_known = false, .unnumbered = 0}).text(),
              "Put two stops apart and type D below: the travel of mouse 0 between them (the gap "
              "less the mouse's length): 0 of 3 slow strokes.");
    EXPECT_EQ(check::next_step(std::vector{cpi}, {.distance_known = true, .unnumbered = 0}).text(),
              "Move mouse 0 slowly from one stop to the other and back, 3 times: 0 of 3 slow "
              "strokes.");
}

// Two mice moved together, B a copy of A's counts 2 ms later and 1.08 times
// as many, at 1 kHz; each packet given to the pairs before the store takes
// it, as the feed does.
class CheckPairsTest : public ::testing::Test {
  protected:
    static constexpr measures::Handle a = 1;
    static constexpr measures::Handle b = 2;

    // Circles of 400 counts a second, A and B together, from `from_us` for `ms`.
    void together(std::int64_t from_us, int ms, double ratio = 1.08) {
        for (int i = 0; i < ms; ++i) {
            const double t = i / 1000.0;
            const auto dx = static_cast<int>(std::lround(12 * std::cos(6.0 * t)));
            const auto dy = static_cast<int>(std::lround(12 * std::sin(9.0 * t)));
            feed(a, from_us + i * 1000, dx, dy);
            feed(b, from_us + i * 1000 + 2000, static_cast<int>(std::lround(dx * ratio)),
                 static_cast<int>(std::lround(dy * ratio)));
        }
    }
    void feed(measures::Handle mouse, std::int64_t us, int dx, int dy) {
        pairs_.before_packet(store_, us);
        store_.add(mouse, us, false, false, 0, {dx, dy, false});
    }

    measures::Store store_;
    check::Pairs pairs_;
};

TEST_F(CheckPairsTest, APairIsFoundOnThePacketsOwnTimeAndStaysWithItsBestCorrelation) {
    together(10'000'000, 990);
    EXPECT_EQ(pairs_.comparisons(), 0u) << "not a second of the packets' time yet";
    together(10'990'000, 1500);
    ASSERT_EQ(pairs_.found().size(), 1u);
    const check::Pairs::Found found = pairs_.found()[0];
    EXPECT_EQ(found.a, a);
    EXPECT_EQ(found.b, b);
    EXPECT_NEAR(found.pair.ratio, 1.08, 0.02);
    EXPECT_NEAR(static_cast<double>(found.pair.lag_us), 2000, 250);

    // From B's side: A reports 2 ms earlier, 1 / 1.08 of B's counts.
    const auto from_b = pairs_.partners_of(b);
    ASSERT_EQ(from_b.size(), 1u);
    EXPECT_EQ(from_b[0].first, a);
    EXPECT_NEAR(from_b[0].second.ratio, 1 / found.pair.ratio, 1e-12);
    EXPECT_DOUBLE_EQ(from_b[0].second.lag_ms, -static_cast<double>(found.pair.lag_us) / 1000);

    // Moved apart afterwards: the pair stays, with its best figures.
    const double best = found.pair.correlation;
    for (int i = 0; i < 3000; ++i) {
        feed(a, 13'000'000 + i * 1000, i % 2 == 0 ? 5 : -5, 0);
        feed(b, 13'000'000 + i * 1000 + 500, 0, i % 3 == 0 ? 4 : -2);
    }
    ASSERT_EQ(pairs_.found().size(), 1u);
    EXPECT_EQ(pairs_.found()[0].pair.correlation, best);
    EXPECT_GE(pairs_.comparisons(), 4u);

    pairs_.reset();
    EXPECT_TRUE(pairs_.found().empty());
}

TEST_F(CheckPairsTest, MiceThatDidNotMoveSinceAreNotComparedAgain) {
    together(0, 1500);
    EXPECT_EQ(pairs_.comparisons(), 1u) << "at 1 s";
    feed(a, 2'000'000, 0, 0);
    const std::uint64_t compared = pairs_.comparisons();
    EXPECT_EQ(compared, 2u) << "at 2 s, on what they did up to 1.5 s";
    // Packets that move nothing, seconds later: neither mouse moved since.
    for (int s = 3; s < 6; ++s)
        feed(a, s * 1'000'000, 0, 0);
    EXPECT_EQ(pairs_.comparisons(), compared);
    pairs_.compare_now(store_);
    EXPECT_EQ(pairs_.comparisons(), compared);
}

}  // namespace
