#include "measures/check.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <utility>

namespace measures::check {
namespace {

constexpr std::array<Threshold, limit_count> table = {{
    {Limit::polling_seconds, Test::polling, 5, "s",
     "movement within counted spells before polling is judged",
     "A browser bench measures for 5 s too; at 125 Hz it holds 625 intervals, enough for the poll "
     "grid to settle and for 2 % to mean a dozen reports rather than one."},
    {Limit::off_grid_warn_pct, Test::polling, 2, "%", "reports off the poll grid: pass at most",
     "A healthy USB mouse sends almost every report on its grid and a healthy Bluetooth mouse "
     "reads about 1.3 % off it (its radio resends): up to 2 % is a link doing its job."},
    {Limit::off_grid_fail_pct, Test::polling, 5, "%",
     "reports off the poll grid: fail above (warn between)",
     "One report in twenty late or doubled is a host, hub, cable or radio losing polls: a cursor "
     "that stutters."},
    {Limit::declared_pct, Test::polling, 10, "%",
     "poll rate off the rate the mouse declares: warn above",
     "The grid's period is exact, not an average: 10 % off is another interval (500 Hz for a "
     "declared 1000 Hz), the host's or a hub's choice, never jitter."},
    {Limit::ms_clock_period_ms, Test::polling, 8, "ms",
     "shortest poll period whole-millisecond stamps (x11) can tell",
     "The X server stamps in whole milliseconds, each stamp up to one off: a grid finer than 8 "
     "ms cannot be told from that noise."},
    {Limit::presses, Test::buttons, 20, "presses",
     "presses of left and of right without chatter to pass",
     "A worn switch bounces on some presses, not all: 20 presses catch one that bounces once in "
     "ten with 88 % certainty (1 - 0.9^20), in half a minute."},
    {Limit::cpi_warn_pct, Test::cpi, 5, "%", "CPI off the CPI the mouse is set to: pass within",
     "Sensors hold their setting within a few percent; reviewers count 5 % as accurate."},
    {Limit::cpi_fail_pct, Test::cpi, 10, "%", "CPI off its setting: fail beyond (warn between)",
     "Beyond 10 % the setting is not what the mouse does: the cursor a tenth too fast or too "
     "slow, or another step than the one chosen."},
    {Limit::spread_pct, Test::cpi, strokes::max_spread_pct, "%",
     "spread of the slow strokes: no CPI above (waiting)",
     "Strokes between two fixed stops differ by far less than 1 %; more than 3 % means they were "
     "not between the same stops, and a CPI from them would be wrong."},
    {Limit::variation_warn_pct, Test::cpi_at_speed, 3, "%",
     "CPI variation, fast strokes against slow: pass within \xC2\xB1",
     "The best sensors stay within a couple of percent slow and fast; within 3 % no hand can "
     "feel it."},
    {Limit::variation_fail_pct, Test::cpi_at_speed, 10, "%",
     "CPI variation: fail beyond \xC2\xB1 (warn between)",
     "Reviewers count a mouse within 10 % as good; beyond it a fast flick lands visibly further "
     "or shorter than a slow move (acceleration or smoothing in the firmware)."},
    {Limit::speed_mps, Test::speed, 1.5, "m/s",
     "swipe without a spin-out or saturated report to pass",
     "Fast flicks of people who play peak at about 1 to 1.5 m/s: a mouse that tracks 1.5 m/s "
     "will not fail a hand."},
    {Limit::speed_cpms, Test::speed, 60, "counts/ms", "the same where the CPI is not known",
     "1.5 m/s at 1000 CPI is 59 counts/ms: about the same swipe."},
}};

static_assert(static_cast<std::size_t>(Limit::speed_cpms) + 1 == limit_count);

// `value` to `places` decimals, a figure that rounds to zero without a sign.
std::string fixed(double value, int places) {
    char text[48];
    std::snprintf(text, sizeof text, "%.*f", places, value);
    std::string s = text;
    if (s.find_first_not_of("-0.") == std::string::npos && s.front() == '-')
        s.erase(0, 1);
    return s;
}

// The shortest of `value` to at most `places` decimals: "5", "1.5", "0.25".
std::string shortest(double value, int places) {
    std::string s = fixed(value, places);
    if (s.find('.') != std::string::npos) {
        while (s.back() == '0')
            s.pop_back();
        if (s.back() == '.')
            s.pop_back();
    }
    return s;
}

std::string limit_text(Limit which) {
    return shortest(limit(which), 2);
}

// A poll rate: whole Hz, to one decimal below 100 Hz (Bluetooth's 88.9 Hz).
std::string hz_text(double hz) {
    return fixed(hz, hz < 100 ? 1 : 0);
}

std::string percent_text(double pct) {
    return fixed(pct, 1) + " %";
}

// "mouse 1", "mouse 0 and mouse 2", "mice 0, 1 and 3".
std::string mice_text(const std::vector<int>& numbers) {
    if (numbers.size() == 1)
        return "mouse " + std::to_string(numbers[0]);
    if (numbers.size() == 2)
        return "mouse " + std::to_string(numbers[0]) + " and mouse " + std::to_string(numbers[1]);
    std::string text = "mice ";
    for (std::size_t i = 0; i < numbers.size(); ++i) {
        text += std::to_string(numbers[i]);
        text += i + 2 < numbers.size() ? ", " : i + 1 < numbers.size() ? " and " : "";
    }
    return text;
}

std::string joined(const std::vector<std::string>& parts, const char* between) {
    std::string text;
    for (std::size_t i = 0; i < parts.size(); ++i)
        text += (i > 0 ? between : "") + parts[i];
    return text;
}

std::optional<double> mps_at(std::optional<double> cpms, std::optional<double> cpi) {
    if (!cpms || !cpi)
        return std::nullopt;
    return tracking::metres_per_second(*cpms, *cpi);
}

// A speed as a card shows it: m/s where the CPI is known, else counts/ms.
std::string speed_text(double cpms, std::optional<double> cpi) {
    return cpi ? fixed(tracking::metres_per_second(cpms, *cpi), 2) + " m/s"
               : fixed(cpms, 1) + " counts/ms";
}

}  // namespace

std::string_view test_key(Test test) {
    static constexpr std::array<std::string_view, test_count> keys = {
        "polling", "buttons", "cpi", "cpi_at_speed", "speed", "together"};
    return keys[static_cast<std::size_t>(test)];
}

std::string_view test_title(Test test) {
    static constexpr std::array<std::string_view, test_count> titles = {
        "Polling", "Buttons", "CPI", "CPI at speed", "Speed", "Together"};
    return titles[static_cast<std::size_t>(test)];
}

std::string_view verdict_key(Verdict verdict) {
    static constexpr std::array<std::string_view, 6> keys = {"pass",    "warn",      "fail",
                                                             "waiting", "cant_tell", "info"};
    return keys[static_cast<std::size_t>(verdict)];
}

std::string_view verdict_word(Verdict verdict) {
    return verdict == Verdict::cant_tell ? "can't tell" : verdict_key(verdict);
}

std::string_view verdict_key(MouseVerdict verdict) {
    static constexpr std::array<std::string_view, 4> keys = {"pass", "warn", "fail", "incomplete"};
    return keys[static_cast<std::size_t>(verdict)];
}

MouseVerdict mouse_verdict(std::span<const Verdict> tests) {
    const auto any = [&](Verdict v) {
        return std::find(tests.begin(), tests.end(), v) != tests.end();
    };
    if (any(Verdict::fail))
        return MouseVerdict::fail;
    if (any(Verdict::waiting))
        return MouseVerdict::incomplete;
    if (any(Verdict::warn))
        return MouseVerdict::warn;
    return MouseVerdict::pass;
}

const std::array<Threshold, limit_count>& thresholds() {
    return table;
}

double limit(Limit which) {
    return table[static_cast<std::size_t>(which)].value;
}

std::string thresholds_markdown() {
    std::string text = "| test | rule | threshold | why |\n| --- | --- | --- | --- |\n";
    for (const Threshold& t : table) {
        text += "| " + std::string(test_title(t.test)) + " | " + std::string(t.rule) + " | " +
                shortest(t.value, 2) + " " + std::string(t.unit) + " | " + std::string(t.why) +
                " |\n";
    }
    return text;
}

Polling judge_polling(const timing::Summary& s) {
    Polling p;
    Result& r = p.result;
    if (s.poll_period_us)
        p.poll_hz = 1e6 / static_cast<double>(*s.poll_period_us);
    if (s.declared_interval_us)
        p.declared_hz = 1e6 / static_cast<double>(*s.declared_interval_us);
    if (s.skipped_share)
        p.skipped_pct = *s.skipped_share * 100;
    if (s.off_grid_share)
        p.off_grid_pct = *s.off_grid_share * 100;

    if (s.background_share && *s.background_share > 0) {
        r.verdict = Verdict::cant_tell;
        r.reason =
            "read in the background, where the system may merge reports: bring rawmice "
            "to the front";
        return p;
    }
    const double needed_us = limit(Limit::polling_seconds) * 1e6;
    const bool long_enough = static_cast<double>(s.spell_time_us) >= needed_us;
    // Whole-millisecond stamps show no grid finer than their tick: a mouse
    // sending faster than that cannot be judged, however long it moves.
    const double ms_period_us = limit(Limit::ms_clock_period_ms) * 1000;
    if (s.clock == Clock::milliseconds && !s.poll_period_us &&
        (long_enough || (s.rate_hz && 1e6 / *s.rate_hz < ms_period_us))) {
        r.verdict = Verdict::cant_tell;
        r.figure = s.rate_hz ? hz_text(*s.rate_hz) + " Hz" : "";
        r.reason = "the X server stamps whole ms, too coarse under " +
                   limit_text(Limit::ms_clock_period_ms) + " ms: use the evdev input";
        return p;
    }
    if (!long_enough) {
        r.verdict = Verdict::waiting;
        // Tenths reached, never rounded up to what is not reached yet.
        r.figure = fixed(std::floor(static_cast<double>(s.spell_time_us) / 1e5) / 10, 1) + " of " +
                   limit_text(Limit::polling_seconds) + " s";
        r.reason = "move it in circles";
        return p;
    }
    if (!s.poll_period_us || !p.off_grid_pct) {
        r.figure = s.rate_hz ? hz_text(*s.rate_hz) + " Hz" : "";
        if (s.clock == Clock::receipt) {
            r.verdict = Verdict::cant_tell;
            r.reason =
                "Windows stamps reports when they arrive, and these never settled on a "
                "poll grid";
        } else {
            r.verdict = Verdict::warn;
            r.reason = "reports on no poll grid (as a PS/2 mouse or one that wanders does)";
        }
        return p;
    }
    r.figure = hz_text(*p.poll_hz) + " Hz, " + percent_text(*p.off_grid_pct) + " off grid";
    const double off = *p.off_grid_pct;
    if (off > limit(Limit::off_grid_fail_pct)) {
        r.verdict = Verdict::fail;
        r.reason = percent_text(off) + " of its reports late or two in one poll (over " +
                   limit_text(Limit::off_grid_fail_pct) + " %)";
        return p;
    }
    std::vector<std::string> warnings;
    if (off > limit(Limit::off_grid_warn_pct)) {
        warnings.push_back(percent_text(off) + " of its reports late or two in one poll (over " +
                           limit_text(Limit::off_grid_warn_pct) + " %)");
    }
    if (p.declared_hz &&
        std::abs(*p.poll_hz - *p.declared_hz) > *p.declared_hz * limit(Limit::declared_pct) / 100) {
        warnings.push_back("the system polls it at " + hz_text(*p.poll_hz) + " Hz, it declares " +
                           hz_text(*p.declared_hz) + " Hz");
    }
    if (s.overflows && *s.overflows > 0) {
        warnings.push_back(std::to_string(*s.overflows) +
                           (*s.overflows == 1 ? " overflow" : " overflows") +
                           ": reports lost on the way");
    }
    if (!warnings.empty()) {
        r.verdict = Verdict::warn;
        r.reason = joined(warnings, "; ");
        return p;
    }
    r.verdict = Verdict::pass;
    r.reason =
        "on its poll grid" + (p.skipped_pct ? "; " + percent_text(*p.skipped_pct) +
                                                  " of polls skipped (nothing new to send: healthy)"
                                            : std::string());
    return p;
}

Buttons judge_buttons(const std::array<buttons::ButtonSummary, buttons::button_count>& summaries,
                      std::int64_t chatter_window_us, bool debounced) {
    Buttons b;
    Result& r = b.result;
    for (buttons::Button button : buttons::all) {
        const buttons::ButtonSummary& s = summaries[static_cast<std::size_t>(button)];
        const bool main = button == buttons::Button::left || button == buttons::Button::right;
        if (main || s.presses > 0)
            b.buttons.push_back({button, s.presses, s.chatter});
    }
    if (debounced) {
        r.verdict = Verdict::cant_tell;
        r.reason = "the X server's libinput debounces buttons: use the evdev input";
        return b;
    }
    const std::string window = std::to_string(chatter_window_us / 1000) + " ms";
    std::vector<std::string> chattering;
    for (const ButtonCount& c : b.buttons) {
        if (c.chatter > 0) {
            chattering.push_back(std::string(buttons::button_name(c.button)) + " " +
                                 std::to_string(c.chatter) + " of " + std::to_string(c.presses));
        }
    }
    if (!chattering.empty()) {
        r.verdict = Verdict::fail;
        r.figure = joined(chattering, ", ") + " chatter";
        r.reason = (chattering.size() == 1 ? "its switch bounces: " : "its switches bounce: ") +
                   std::string("presses less than ") + window + " after a release (--chatter-ms)";
        return b;
    }
    const auto presses_needed = static_cast<std::uint64_t>(limit(Limit::presses));
    std::vector<std::string> counts;
    bool enough = true;
    for (const ButtonCount& c : b.buttons) {
        const bool main = c.button == buttons::Button::left || c.button == buttons::Button::right;
        std::string count =
            std::string(buttons::button_name(c.button)) + " " + std::to_string(c.presses);
        if (main && c.presses < presses_needed) {
            enough = false;
            count += " of " + std::to_string(presses_needed);
        }
        counts.push_back(count);
    }
    r.figure = joined(counts, ", ");
    if (!enough) {
        r.verdict = Verdict::waiting;
        r.reason = "click each button " + std::to_string(presses_needed) + " times";
        return b;
    }
    r.verdict = Verdict::pass;
    r.reason = "no chatter: no press within " + window + " of a release";
    return b;
}

Cpi judge_cpi(const strokes::Summary& s, std::optional<double> set_cpi) {
    Cpi c;
    Result& r = c.result;
    c.cpi = s.cpi;
    c.set_cpi = set_cpi;
    c.strokes = s.cpi_strokes;
    c.spread_pct = s.spread_pct;
    const auto slow_needed = static_cast<std::size_t>(strokes::min_slow);
    if (s.spread_pct && *s.spread_pct > limit(Limit::spread_pct) && !s.cpi) {
        r.verdict = Verdict::waiting;
        r.figure = "spread " + percent_text(*s.spread_pct);
        r.reason =
            "strokes differ by " + fixed(*s.spread_pct, 1) + " %: move between the same stops";
        return c;
    }
    if (!s.distance_mm) {
        r.verdict = Verdict::waiting;
        r.figure = std::to_string(std::min(s.slow, slow_needed)) + " of " +
                   std::to_string(slow_needed) + " slow strokes";
        r.reason = "type D, the mouse's travel between two stops, below";
        return c;
    }
    if (!s.cpi) {
        r.verdict = Verdict::waiting;
        r.figure = std::to_string(std::min(s.slow, slow_needed)) + " of " +
                   std::to_string(slow_needed) + " slow strokes";
        r.reason = "move slowly from one stop to the other and back, 3 times";
        return c;
    }
    r.figure = fixed(*s.cpi, 0) + " CPI";
    if (!set_cpi) {
        r.verdict = Verdict::info;
        r.reason = "from " + std::to_string(s.cpi_strokes) +
                   " slow strokes over D = " + movement::format_distance_mm(*s.distance_mm) +
                   " mm; type the CPI it is set to, to judge it";
        return c;
    }
    const double deviation = (*s.cpi - *set_cpi) / *set_cpi * 100;
    c.deviation_pct = deviation;
    r.figure += ", set " + fixed(*set_cpi, 0);
    const double off = std::abs(deviation);
    // Within what the figure shows: at it.
    const std::string how =
        off < 0.05 ? std::string("at its setting")
                   : percent_text(off) + (deviation >= 0 ? " above" : " below") + " its setting";
    if (off <= limit(Limit::cpi_warn_pct)) {
        r.verdict = Verdict::pass;
        r.reason = how + " (within " + limit_text(Limit::cpi_warn_pct) + " %)";
    } else if (off <= limit(Limit::cpi_fail_pct)) {
        r.verdict = Verdict::warn;
        r.reason = how + " (over " + limit_text(Limit::cpi_warn_pct) + " %)";
    } else {
        r.verdict = Verdict::fail;
        r.reason = how + " (over " + limit_text(Limit::cpi_fail_pct) + " %)";
    }
    return c;
}

CpiAtSpeed judge_cpi_at_speed(const strokes::Summary& s, std::optional<double> speed_cpi) {
    CpiAtSpeed v;
    Result& r = v.result;
    const std::optional<double> cpi = s.cpi ? s.cpi : speed_cpi;
    v.slow_mps = mps_at(s.slow_cpms, cpi);
    v.fast_mps = mps_at(s.fast_cpms, cpi);
    if (!s.variation_pct) {
        r.verdict = Verdict::waiting;
        const auto slow_needed = static_cast<std::size_t>(strokes::min_slow);
        const auto fast_needed = static_cast<std::size_t>(strokes::min_fast);
        if (s.spread_pct && *s.spread_pct > limit(Limit::spread_pct)) {
            r.figure = "spread " + percent_text(*s.spread_pct);
            r.reason = "slow strokes differ by " + fixed(*s.spread_pct, 1) +
                       " %: move between the same stops";
        } else {
            r.figure = "slow " + std::to_string(std::min(s.slow, slow_needed)) + " of " +
                       std::to_string(slow_needed) + ", fast " +
                       std::to_string(std::min(s.fast, fast_needed)) + " of " +
                       std::to_string(fast_needed);
            r.reason = "move fast one way and slowly back, 3 times";
        }
        return v;
    }
    const double variation = *s.variation_pct;
    v.variation_pct = variation;
    r.figure = (variation > 0 ? "+" : "") + percent_text(variation);
    if (r.figure == "+0.0 %")
        r.figure = "0.0 %";
    const auto at = [&](const std::optional<double>& cpms) {
        return cpms ? " (" + speed_text(*cpms, cpi) + ")" : std::string();
    };
    const std::string how =
        "fast strokes" + at(s.fast_cpms) + " go " +
        (std::abs(variation) < 0.05 ? std::string("as far as")
                                    : percent_text(std::abs(variation)) +
                                          (variation >= 0 ? " further than" : " less far than")) +
        " slow ones" + at(s.slow_cpms);
    const double off = std::abs(variation);
    if (off <= limit(Limit::variation_warn_pct)) {
        r.verdict = Verdict::pass;
        r.reason = how + ": within \xC2\xB1" + limit_text(Limit::variation_warn_pct) + " %";
    } else if (off <= limit(Limit::variation_fail_pct)) {
        r.verdict = Verdict::warn;
        r.reason = how + ": over \xC2\xB1" + limit_text(Limit::variation_warn_pct) + " %";
    } else {
        r.verdict = Verdict::fail;
        r.reason = how + ": over \xC2\xB1" + limit_text(Limit::variation_fail_pct) + " %";
    }
    return v;
}

Speed judge_speed(const tracking::Summary& s) {
    Speed v;
    Result& r = v.result;
    v.peak_cpms = s.peak_cpms;
    v.peak_mps = mps_at(s.peak_cpms, s.cpi);
    v.spinouts = s.spinouts;
    v.saturated = s.saturated;
    v.malfunction_mps = mps_at(s.malfunction_cpms, s.cpi);
    const std::uint64_t saturated = s.saturated.value_or(0);
    if (s.spinouts > 0 || saturated > 0) {
        r.verdict = Verdict::fail;
        std::vector<std::string> what;
        if (s.spinouts > 0)
            what.push_back(std::to_string(s.spinouts) +
                           (s.spinouts == 1 ? " spin-out" : " spin-outs"));
        if (saturated > 0)
            what.push_back(std::to_string(saturated) + " saturated");
        r.figure = joined(what, ", ");
        r.reason = s.malfunction_cpms
                       ? "its sensor failed at " + speed_text(*s.malfunction_cpms, s.cpi) +
                             (s.spinouts > 0 ? " (lost track)" : " (counts beyond its field lost)")
                       : std::string("its sensor failed mid-stroke");
        return v;
    }
    const bool fast_enough = s.cpi ? v.peak_mps && *v.peak_mps >= limit(Limit::speed_mps)
                                   : s.peak_cpms && *s.peak_cpms >= limit(Limit::speed_cpms);
    if (!fast_enough) {
        r.verdict = Verdict::waiting;
        const std::string target = s.cpi ? limit_text(Limit::speed_mps) + " m/s"
                                         : limit_text(Limit::speed_cpms) + " counts/ms";
        r.figure = "peak " +
                   (s.peak_cpms ? (s.cpi ? fixed(*v.peak_mps, 2) : fixed(*s.peak_cpms, 1))
                                : std::string("0")) +
                   " of " + target;
        r.reason = "swipe as fast as you can";
        return v;
    }
    r.verdict = Verdict::pass;
    r.figure = "peak " + speed_text(*s.peak_cpms, s.cpi);
    r.reason = "no failure up to " + speed_text(*s.peak_cpms, s.cpi);
    if (!s.saturated)
        r.reason += "; the x11 input cannot show a clipped report field";
    return v;
}

Together judge_together(int number, std::vector<Partner> partners, std::size_t others,
                        Clock clock) {
    Together t;
    Result& r = t.result;
    r.verdict = Verdict::info;
    std::sort(partners.begin(), partners.end(),
              [](const Partner& a, const Partner& b) { return a.with < b.with; });
    t.pairs = std::move(partners);
    if (t.pairs.empty()) {
        r.reason = others == 0 ? "one mouse: nothing to compare it with"
                               : "none found: hold two mice together and move them";
        return t;
    }
    r.figure = std::to_string(t.pairs.size()) + (t.pairs.size() == 1 ? " pair" : " pairs");
    const int places = clock == Clock::milliseconds ? 0 : 2;
    std::vector<std::string> said;
    for (const Partner& p : t.pairs) {
        said.push_back("mouse " + std::to_string(p.with) + " reports " +
                       fixed(std::abs(p.lag_ms), places) + " ms " +
                       (p.lag_ms >= 0 ? "after" : "before") + " mouse " + std::to_string(number) +
                       ", " + fixed(p.ratio, 2) + " of its counts");
    }
    r.reason = joined(said, "; ");
    return t;
}

const Result& Card::result(Test test) const {
    switch (test) {
        case Test::polling:
            return polling.result;
        case Test::buttons:
            return buttons.result;
        case Test::cpi:
            return cpi.result;
        case Test::cpi_at_speed:
            return cpi_at_speed.result;
        case Test::speed:
            return speed.result;
        case Test::together:
            break;
    }
    return together.result;
}

Card card_of(const Mouse& mouse, const CardFacts& facts) {
    Card card;
    card.number = facts.number;
    card.handle = facts.log_handle;
    card.name = facts.name;
    card.polling = judge_polling(mouse.timing.summary());
    std::array<buttons::ButtonSummary, buttons::button_count> buttons{};
    for (buttons::Button b : buttons::all)
        buttons[static_cast<std::size_t>(b)] = mouse.buttons.summary(b);
    card.buttons =
        judge_buttons(buttons, mouse.buttons.chatter_window_us(), facts.debounced_buttons);
    const strokes::Summary strokes = mouse.strokes.summary(facts.distance_mm);
    card.cpi = judge_cpi(strokes, facts.set_cpi);
    card.cpi_at_speed = judge_cpi_at_speed(strokes, mouse.tracking.cpi());
    card.speed = judge_speed(mouse.tracking.summary());
    card.together =
        judge_together(facts.number, facts.partners, facts.others, mouse.timing.clock());
    std::array<Verdict, test_count> verdicts{};
    for (Test t : all_tests)
        verdicts[static_cast<std::size_t>(t)] = card.result(t).verdict;
    card.verdict = mouse_verdict(verdicts);
    return card;
}

std::string NextStep::text() const {
    return what + (progress.empty() ? "" : ": " + progress) + "." +
           (unnumbered.empty() ? "" : " " + unnumbered + ".");
}

NextStep next_step(std::span<const Card> cards, const NextFacts& facts) {
    NextStep next;
    for (Test test : all_tests) {
        std::vector<int> numbers;
        std::vector<std::string> progress;
        for (const Card& card : cards) {
            const Result& r = card.result(test);
            if (r.verdict != Verdict::waiting)
                continue;
            numbers.push_back(card.number);
            progress.push_back(r.figure);
        }
        if (numbers.empty())
            continue;
        const std::string mice = mice_text(numbers);
        switch (test) {
            case Test::polling:
                next.what = "Move " + mice + " in circles for " +
                            limit_text(Limit::polling_seconds) + " seconds";
                break;
            case Test::buttons:
                next.what =
                    "Click each button of " + mice + " " + limit_text(Limit::presses) + " times";
                break;
            case Test::cpi:
                next.what =
                    facts.distance_known
                        ? "Move " + mice + " slowly from one stop to the other and back, 3 times"
                        : "Put two stops apart and type D below: the travel of " + mice +
                              " between them (the gap less the mouse's length)";
                break;
            case Test::cpi_at_speed:
                next.what = "Between the same stops, move " + mice +
                            " fast one way and slowly back, 3 times";
                break;
            case Test::speed:
                next.what = "Swipe " + mice + " as fast as you can, 5 times";
                break;
            case Test::together:
                break;
        }
        for (std::size_t i = 0; i < numbers.size(); ++i) {
            if (progress[i].empty())
                continue;
            next.progress +=
                (next.progress.empty() ? "" : "; ") +
                (numbers.size() > 1 ? "mouse " + std::to_string(numbers[i]) + " " : "") +
                progress[i];
        }
        break;
    }
    if (next.what.empty()) {
        next.what = cards.empty()
                        ? "Move a mouse: each numbered mouse gets a card with its first packet"
                        : "Nothing: every test has its verdict (Save report keeps them)";
    }
    if (facts.unnumbered > 0) {
        next.unnumbered = facts.unnumbered == 1
                              ? "A mouse plugged in after start has no number and no card: "
                                "restart rawmice to number it"
                              : std::to_string(facts.unnumbered) +
                                    " mice plugged in after start have no number and no card: "
                                    "restart rawmice to number them";
    }
    return next;
}

namespace {

// A JSON text, written as it goes: two spaces an indent, one value a line
// in objects, arrays of numbers on one line.
class Json {
  public:
    void begin_object(std::string_view key = {}) { open(key, '{'); }
    void end_object() { close('}'); }
    void begin_array(std::string_view key) { open(key, '['); }
    void end_array() { close(']'); }
    void string(std::string_view key, std::string_view value) {
        item(key);
        quoted(value);
    }
    void number(std::string_view key, std::optional<double> value, int places) {
        item(key);
        text_ += value && std::isfinite(*value) ? shortest(*value, places) : "null";
    }
    void whole(std::string_view key, std::optional<std::int64_t> value) {
        item(key);
        text_ += value ? std::to_string(*value) : "null";
    }
    const std::string& text() const { return text_; }

  private:
    void open(std::string_view key, char bracket) {
        item(key);
        text_ += bracket;
        first_.push_back(true);
    }
    void close(char bracket) {
        const bool empty = first_.back();
        first_.pop_back();
        if (!empty)
            line();
        text_ += bracket;
    }
    void item(std::string_view key) {
        if (!first_.empty()) {
            if (!first_.back())
                text_ += ',';
            first_.back() = false;
            line();
        }
        if (!key.empty()) {
            quoted(key);
            text_ += ": ";
        }
    }
    void line() {
        text_ += '\n';
        text_.append(2 * first_.size(), ' ');
    }
    void quoted(std::string_view s) {
        text_ += '"';
        for (std::size_t i = 0; i < s.size();) {
            const char c = s[i];
            const auto u = static_cast<unsigned char>(c);
            if (c == '"' || c == '\\') {
                text_ += '\\';
                text_ += c;
            } else if (u < 0x20) {
                char escape[8];
                std::snprintf(escape, sizeof escape, "\\u%04x", u);
                text_ += escape;
            } else if (u >= 0x80) {
                // A device's name is the kernel's or a recording's bytes: a
                // sequence that is not UTF-8 becomes U+FFFD, so that the
                // report stays JSON a script can read.
                const std::size_t n = utf8_sequence(s.substr(i));
                if (n == 0) {
                    text_ += "\xEF\xBF\xBD";
                    ++i;
                } else {
                    text_.append(s.substr(i, n));
                    i += n;
                }
                continue;
            } else {
                text_ += c;
            }
            ++i;
        }
        text_ += '"';
    }

    // The length of the well-formed UTF-8 sequence `s` starts with (its
    // first byte 0x80 or above), or 0 where it is none.
    static std::size_t utf8_sequence(std::string_view s) {
        const auto at = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
        const unsigned char b = at(0);
        std::size_t n = 0;
        unsigned char low = 0x80;
        unsigned char high = 0xBF;  // the second byte's range
        if (b >= 0xC2 && b <= 0xDF) {
            n = 2;
        } else if (b >= 0xE0 && b <= 0xEF) {
            n = 3;
            low = b == 0xE0 ? 0xA0 : 0x80;   // no overlong form
            high = b == 0xED ? 0x9F : 0xBF;  // no surrogate
        } else if (b >= 0xF0 && b <= 0xF4) {
            n = 4;
            low = b == 0xF0 ? 0x90 : 0x80;
            high = b == 0xF4 ? 0x8F : 0xBF;  // nothing above U+10FFFF
        } else {
            return 0;
        }
        if (s.size() < n || at(1) < low || at(1) > high)
            return 0;
        for (std::size_t k = 2; k < n; ++k) {
            if (at(k) < 0x80 || at(k) > 0xBF)
                return 0;
        }
        return n;
    }

    std::string text_;
    std::vector<bool> first_;
};

void verdict_and_reason(Json& j, const Result& r) {
    j.string("verdict", verdict_key(r.verdict));
    j.string("reason", r.reason);
}

std::optional<std::int64_t> as_whole(std::optional<std::uint64_t> value) {
    if (!value)
        return std::nullopt;
    return static_cast<std::int64_t>(*value);
}

}  // namespace

std::string report_json(const Report& report) {
    Json j;
    j.begin_object();
    j.whole("rawmice_check", 1);
    j.string("version", report.version);
    j.string("input", report.input);
    j.string("clock", report.clock);
    j.number("distance_mm", report.distance_mm, 3);
    j.whole("chatter_ms", report.chatter_ms);
    j.begin_array("mice");
    for (const Card& card : report.mice) {
        j.begin_object();
        j.whole("number", card.number);
        j.whole("handle", card.handle);
        j.string("name", card.name);
        j.string("verdict", verdict_key(card.verdict));
        j.begin_object("tests");

        j.begin_object("polling");
        verdict_and_reason(j, card.polling.result);
        j.number("poll_hz", card.polling.poll_hz, 2);
        j.number("declared_hz", card.polling.declared_hz, 2);
        j.number("skipped_pct", card.polling.skipped_pct, 2);
        j.number("off_grid_pct", card.polling.off_grid_pct, 2);
        j.end_object();

        j.begin_object("buttons");
        verdict_and_reason(j, card.buttons.result);
        j.begin_array("buttons");
        for (const ButtonCount& b : card.buttons.buttons) {
            j.begin_object();
            j.string("button", buttons::button_name(b.button));
            j.whole("presses", static_cast<std::int64_t>(b.presses));
            j.whole("chatter", static_cast<std::int64_t>(b.chatter));
            j.end_object();
        }
        j.end_array();
        j.end_object();

        j.begin_object("cpi");
        verdict_and_reason(j, card.cpi.result);
        j.number("cpi", card.cpi.cpi, 1);
        j.number("set_cpi", card.cpi.set_cpi, 1);
        j.number("deviation_pct", card.cpi.deviation_pct, 2);
        j.whole("strokes", static_cast<std::int64_t>(card.cpi.strokes));
        j.number("spread_pct", card.cpi.spread_pct, 2);
        j.end_object();

        j.begin_object("cpi_at_speed");
        verdict_and_reason(j, card.cpi_at_speed.result);
        j.number("variation_pct", card.cpi_at_speed.variation_pct, 2);
        j.number("slow_mps", card.cpi_at_speed.slow_mps, 3);
        j.number("fast_mps", card.cpi_at_speed.fast_mps, 3);
        j.end_object();

        j.begin_object("speed");
        verdict_and_reason(j, card.speed.result);
        j.number("peak_mps", card.speed.peak_mps, 3);
        j.number("peak_cpms", card.speed.peak_cpms, 2);
        j.whole("spinouts", static_cast<std::int64_t>(card.speed.spinouts));
        j.whole("saturated", as_whole(card.speed.saturated));
        j.number("malfunction_mps", card.speed.malfunction_mps, 3);
        j.end_object();

        j.begin_object("together");
        j.string("verdict", verdict_key(card.together.result.verdict));
        j.begin_array("pairs");
        for (const Partner& p : card.together.pairs) {
            j.begin_object();
            j.whole("with", p.with);
            j.number("ratio", p.ratio, 4);
            j.number("lag_ms", p.lag_ms, 3);
            j.end_object();
        }
        j.end_array();
        j.end_object();

        j.end_object();
        j.end_object();
    }
    j.end_array();
    j.end_object();
    return j.text() + "\n";
}

void Pairs::reached(const Store& store, std::int64_t stamp_us) {
    if (next_us_ != not_started && stamp_us >= next_us_)
        compare_now(store);
    // The next time a whole step on; from a stamp that went back, afresh.
    if (next_us_ == not_started || stamp_us < next_us_) {
        next_us_ = stamp_us + compare_every_us;
    } else {
        next_us_ += ((stamp_us - next_us_) / compare_every_us + 1) * compare_every_us;
    }
}

void Pairs::compare_now(const Store& store) {
    for (std::size_t i = 0; i < store.size(); ++i) {
        for (std::size_t j = i + 1; j < store.size(); ++j) {
            const Mouse& a = store[i];
            const Mouse& b = store[j];
            auto seen = std::find_if(compared_.begin(), compared_.end(), [&](const Compared& c) {
                return c.a == a.handle && c.b == b.handle;
            });
            if (seen == compared_.end()) {
                compared_.push_back({a.handle, b.handle, 0, 0});
                seen = compared_.end() - 1;
            } else if (seen->generation_a == a.movement.generation() &&
                       seen->generation_b == b.movement.generation()) {
                continue;  // neither moved since
            }
            seen->generation_a = a.movement.generation();
            seen->generation_b = b.movement.generation();
            if (a.movement.summary().relative == 0 || b.movement.summary().relative == 0)
                continue;
            ++comparisons_;
            const movement::Pair pair = compare(a, b);
            if (!pair.together)
                continue;
            auto found = std::find_if(found_.begin(), found_.end(), [&](const Found& f) {
                return f.a == a.handle && f.b == b.handle;
            });
            if (found == found_.end()) {
                found_.push_back({a.handle, b.handle, pair});
                ++generation_;
            } else if (pair.correlation > found->pair.correlation) {
                found->pair = pair;
                ++generation_;
            }
        }
    }
}

void Pairs::reset() {
    next_us_ = not_started;
    compared_.clear();
    found_.clear();
    ++generation_;
}

std::vector<std::pair<Handle, Partner>> Pairs::partners_of(Handle mouse) const {
    std::vector<std::pair<Handle, Partner>> partners;
    for (const Found& f : found_) {
        const double lag_ms = static_cast<double>(f.pair.lag_us) / 1000;
        if (f.a == mouse) {
            partners.push_back({f.b, {-1, f.pair.ratio, lag_ms}});
        } else if (f.b == mouse && f.pair.ratio > 0) {
            partners.push_back({f.a, {-1, 1 / f.pair.ratio, -lag_ms}});
        }
    }
    return partners;
}

}  // namespace measures::check
