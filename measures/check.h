// The check: is each mouse all right? A verdict for each mouse and each of
// six tests (polling, buttons, CPI, CPI at speed, speed, together), read
// from the figures the other measures keep: nothing is measured again here
// but which mice were moved together, compared on the packets' own time so
// that a recording replays to the same verdicts at any speed. The rules are
// one table of thresholds (thresholds()), which the check window, --report
// and the README read. Pure C++, built into both programs.
//
//   measures::feed().start_check();  // pairs compared from now on (pairs())
//   const check::Card card = check::card_of(mouse, {.number = 0, .log_handle = 13, ...});
//   card.verdict;                             // pass, warn, fail, incomplete
//   card.result(check::Test::polling);        // its verdict, figure and reason
//   check::next_step(cards, facts).text()     // what the person does next
//   check::report_json({.version = ..., .mice = cards})  // --report, Save report
//
// A test's verdict is pass, warn or fail where its figures say so; waiting
// while there are not enough of them; can't tell where the input cannot say
// (whole-millisecond stamps, debounced buttons, receipt times); info where
// there is nothing to judge. A mouse fails if any test fails, else is
// incomplete while any test waits, else warns if any warns, else passes.
// Not thread-safe: feed and read from one thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "measures/buttons.h"
#include "measures/clock.h"
#include "measures/movement.h"
#include "measures/store.h"
#include "measures/strokes.h"
#include "measures/timing.h"
#include "measures/tracking.h"

namespace measures::check {

enum class Test : std::uint8_t { polling, buttons, cpi, cpi_at_speed, speed, together };
constexpr std::size_t test_count = 6;
constexpr std::array<Test, test_count> all_tests = {
    Test::polling, Test::buttons, Test::cpi, Test::cpi_at_speed, Test::speed, Test::together};

// "polling", "buttons", "cpi", "cpi_at_speed", "speed", "together" (the
// report's keys); and as the card titles them: "Polling", "Buttons", "CPI",
// "CPI at speed", "Speed", "Together".
std::string_view test_key(Test test);
std::string_view test_title(Test test);

enum class Verdict : std::uint8_t { pass, warn, fail, waiting, cant_tell, info };
// "pass", "warn", "fail", "waiting", "cant_tell", "info"; and as the card
// says it, "can't tell" for cant_tell.
std::string_view verdict_key(Verdict verdict);
std::string_view verdict_word(Verdict verdict);

enum class MouseVerdict : std::uint8_t { pass, warn, fail, incomplete };
// "pass", "warn", "fail", "incomplete".
std::string_view verdict_key(MouseVerdict verdict);
// Fail if any test fails; else incomplete while any waits; else warn if
// any warns; else pass (can't tell and info leave it as it is).
MouseVerdict mouse_verdict(std::span<const Verdict> tests);

// The thresholds, each one row of the table.
enum class Limit : std::uint8_t {
    polling_seconds,     // counted spells needed before polling is judged
    off_grid_warn_pct,   // reports off the poll grid: a warning above
    off_grid_fail_pct,   // and a failure above
    declared_pct,        // the poll rate this far from the declared one warns
    ms_clock_period_ms,  // the shortest poll period whole-ms stamps can tell
    presses,             // presses of left and right before buttons pass
    cpi_warn_pct,        // the CPI this far from its setting warns
    cpi_fail_pct,        // and this far fails
    spread_pct,          // slow strokes differing more were not between the same stops
    variation_warn_pct,  // the CPI variation warns beyond
    variation_fail_pct,  // and fails beyond
    speed_mps,           // a swipe this fast without failure passes
    speed_cpms,          // the same without a CPI
};
constexpr std::size_t limit_count = 13;

struct Threshold {
    Limit limit;
    Test test;
    double value;
    std::string_view unit;  // "s", "%", "presses", "ms", "m/s", "counts/ms"
    std::string_view rule;  // what it decides
    std::string_view why;   // why it is what it is
};
// The table, in the tests' order.
const std::array<Threshold, limit_count>& thresholds();
double limit(Limit which);
// The table as the README shows it: a Markdown table of test, rule, value
// and why.
std::string thresholds_markdown();

// What a test found: its verdict, the figure it shows ("1000 Hz, 0.3 % off
// grid"; while waiting, how far it is: "2.1 of 5 s") and the reason, or
// what to do.
struct Result {
    Verdict verdict = Verdict::waiting;
    std::string figure;
    std::string reason;
};

struct Polling {
    Result result;
    std::optional<double> poll_hz;
    std::optional<double> declared_hz;
    std::optional<double> skipped_pct;
    std::optional<double> off_grid_pct;
};
// Pass on a poll grid with few reports off it; warn with more, a poll rate
// not the declared one, overflows, or no grid at all; fail with many. Needs
// polling_seconds of counted spells. Can't tell read in the background, on
// the ms clock without a grid (or under 8 ms), on receipt times that do not
// settle on one.
Polling judge_polling(const timing::Summary& s);

struct ButtonCount {
    buttons::Button button;
    std::uint64_t presses = 0;
    std::uint64_t chatter = 0;
};
struct Buttons {
    Result result;
    std::vector<ButtonCount> buttons;  // left and right, then any other pressed
};
// Fails at the first chatter of any button; waits for `presses` of left and
// right; other buttons are judged once pressed. Can't tell where the input
// debounces buttons.
Buttons judge_buttons(const std::array<buttons::ButtonSummary, buttons::button_count>& summaries,
                      std::int64_t chatter_window_us, bool debounced);

struct Cpi {
    Result result;
    std::optional<double> cpi;
    std::optional<double> set_cpi;
    std::optional<double> deviation_pct;
    std::size_t strokes = 0;
    std::optional<double> spread_pct;
};
// The strokes' CPI over D against `set_cpi`, the CPI the mouse is set to;
// info with no setting; waiting without D, without enough slow strokes, or
// while they spread over spread_pct.
Cpi judge_cpi(const strokes::Summary& s, std::optional<double> set_cpi);

struct CpiAtSpeed {
    Result result;
    std::optional<double> variation_pct;
    std::optional<double> slow_mps;
    std::optional<double> fast_mps;
};
// The CPI variation of the fast strokes against the slow ones; speeds in
// m/s at the strokes' CPI, else at `speed_cpi`.
CpiAtSpeed judge_cpi_at_speed(const strokes::Summary& s, std::optional<double> speed_cpi);

struct Speed {
    Result result;
    std::optional<double> peak_mps;
    std::optional<double> peak_cpms;
    std::uint64_t spinouts = 0;
    std::optional<std::uint64_t> saturated;
    std::optional<double> malfunction_mps;
};
// Fails at a spin-out or a saturated report; passes once it went speed_mps
// (speed_cpms without a CPI) with neither.
Speed judge_speed(const tracking::Summary& s);

// A pair of mice moved together, from one mouse's side: the other's number,
// its counts over this one's, and how much later it reports.
struct Partner {
    int with = -1;
    double ratio = 0;
    double lag_ms = 0;
};
struct Together {
    Result result;  // always info
    std::vector<Partner> pairs;
};
// `number`'s partners, with `others` other numbered mice to be moved with;
// on the ms clock the lags are whole milliseconds.
Together judge_together(int number, std::vector<Partner> partners, std::size_t others, Clock clock);

// One mouse's card: who it is, its verdict and each test's.
struct Card {
    int number = -1;
    std::int32_t handle = 0;  // as the log prints it
    std::string name;
    MouseVerdict verdict = MouseVerdict::incomplete;
    Polling polling;
    Buttons buttons;
    Cpi cpi;
    CpiAtSpeed cpi_at_speed;
    Speed speed;
    Together together;

    const Result& result(Test test) const;
};

// What a card needs besides the mouse's measures.
struct CardFacts {
    int number = -1;
    std::int32_t log_handle = 0;
    std::string name;
    std::optional<double> distance_mm;  // D, the travel between the stops
    std::optional<double> set_cpi;      // the CPI it is set to
    bool debounced_buttons = false;     // the input's (x11)
    std::vector<Partner> partners;
    std::size_t others = 0;  // the other numbered mice
};
Card card_of(const Mouse& mouse, const CardFacts& facts);

// What the Next line says: the first thing still to do, for the mice that
// still need it ("Click each button of mouse 1 20 times: left 12 of 20,
// right 0 of 20"), or that nothing is left; `unnumbered` mice that sent
// packets but have no number (plugged in after start) are said last.
struct NextFacts {
    bool distance_known = false;
    std::size_t unnumbered = 0;
};
struct NextStep {
    std::string what;        // "Click each button of mouse 1 20 times"
    std::string progress;    // "left 12 of 20, right 0 of 20"; "" where none
    std::string unnumbered;  // about the mice without a card; "" where none
    // "what: progress. unnumbered."
    std::string text() const;
};
NextStep next_step(std::span<const Card> cards, const NextFacts& facts);

// The report: the same facts as the cards, keys stable, for scripts.
struct Report {
    std::string version;
    std::string_view input;  // InputClock::report_input
    std::string_view clock;  // InputClock::report_clock
    std::optional<double> distance_mm;
    int chatter_ms = buttons::default_chatter_ms;
    std::vector<Card> mice;
};
// {"rawmice_check": 1, "version", "input", "clock", "distance_mm",
// "chatter_ms", "mice": [{"number", "handle", "name", "verdict", "tests":
// {...}}]}, unknown figures null, ending in a line break.
std::string report_json(const Report& report);

// Which mice were moved together, on the packets' own time: once every
// compare_every_us of it, before the packet that reaches the next time, each
// pair of mice either of which moved since is compared (movement::compare).
// A pair found together stays, with the figures of its best correlation.
class Pairs {
  public:
    static constexpr std::int64_t compare_every_us = 1'000'000;

    // Before `store` takes a packet stamped `stamp_us`.
    void before_packet(const Store& store, std::int64_t stamp_us) {
        if (stamp_us >= next_us_ || stamp_us < next_us_ - 2 * compare_every_us) [[unlikely]]
            reached(store, stamp_us);
    }
    // Compares every pair either of which moved since it was compared: at
    // exit, for the report.
    void compare_now(const Store& store);
    void reset();

    struct Found {
        Handle a;
        Handle b;
        movement::Pair pair;  // B against A, at its best correlation
    };
    const std::vector<Found>& found() const { return found_; }
    // `mouse`'s partners as handles, from its side (Partner::with unset).
    std::vector<std::pair<Handle, Partner>> partners_of(Handle mouse) const;
    // Changes whenever found() does.
    std::uint64_t generation() const { return generation_; }
    std::uint64_t comparisons() const { return comparisons_; }

  private:
    void reached(const Store& store, std::int64_t stamp_us);

    struct Compared {
        Handle a;
        Handle b;
        std::uint64_t generation_a;
        std::uint64_t generation_b;
    };
    static constexpr std::int64_t not_started = INT64_MIN / 2;
    std::int64_t next_us_ = not_started;
    std::vector<Compared> compared_;
    std::vector<Found> found_;
    std::uint64_t generation_ = 0;
    std::uint64_t comparisons_ = 0;
};

}  // namespace measures::check
