#include "measures/buttons.h"

#include <algorithm>

namespace measures::buttons {
namespace {

void keep_shortest(std::optional<std::int64_t>& shortest, std::int64_t value) {
    if (!shortest || value < *shortest)
        shortest = value;
}

}  // namespace

std::string_view button_name(Button button) {
    static constexpr std::array<std::string_view, button_count> names = {"left", "right", "middle",
                                                                         "side", "extra"};
    return names[static_cast<std::size_t>(button)];
}

MouseButtons::MouseButtons(Clock clock, std::int64_t chatter_window_us)
    : clock_(clock), chatter_window_us_(chatter_window_us) {}

void MouseButtons::add_changes(std::int64_t time_us, std::uint16_t flags, bool resync) {
    ++generation_;
    for (Button b : all) {
        const bool pressed = (flags & down_flag(b)) != 0;
        const bool released = (flags & up_flag(b)) != 0;
        State& s = states_[index(b)];
        if (pressed && released) {
            // Both in one packet: a release and a new press of a button that
            // was down, a whole click of one that was up.
            if (s.down) {
                release(s, time_us, resync);
                press(s, time_us, resync);
            } else {
                press(s, time_us, resync);
                release(s, time_us, resync);
            }
        } else if (pressed) {
            press(s, time_us, resync);
        } else if (released) {
            release(s, time_us, resync);
        }
    }
}

void MouseButtons::press(State& s, std::int64_t time_us, bool resync) {
    ++s.presses;
    if (s.down) {
        // Its release was not seen: this press starts no timed hold.
        ++s.unpaired;
        s.pressed_us.reset();
        return;
    }
    s.down = true;
    if (!resync && s.released_us && time_us >= *s.released_us) {
        const std::int64_t gap = time_us - *s.released_us;
        keep_shortest(s.shortest_gap_us, gap);
        if (gap < chatter_window_us_)
            ++s.chatter;
    }
    s.released_us.reset();
    if (resync) {
        s.pressed_us.reset();
    } else {
        s.pressed_us = time_us;
    }
}

void MouseButtons::release(State& s, std::int64_t time_us, bool resync) {
    ++s.releases;
    if (!s.down) {
        // Its press was not seen: this release is no end of a hold, and the
        // gap after it is not timed either.
        ++s.unpaired;
        s.released_us.reset();
        return;
    }
    s.down = false;
    if (!resync && s.pressed_us && time_us >= *s.pressed_us) {
        const std::int64_t hold = time_us - *s.pressed_us;
        s.holds.add((hold + hold_unit_us / 2) / hold_unit_us);
        keep_shortest(s.shortest_hold_us, hold);
    }
    s.pressed_us.reset();
    if (resync) {
        s.released_us.reset();
    } else {
        s.released_us = time_us;
    }
}

void MouseButtons::reset() {
    for (State& s : states_) {
        const bool down = s.down;
        s = State{};
        s.down = down;
    }
    ++generation_;
}

ButtonSummary MouseButtons::summary(Button button) const {
    const State& s = states_[index(button)];
    ButtonSummary summary;
    summary.presses = s.presses;
    summary.releases = s.releases;
    summary.chatter = s.chatter;
    summary.unpaired = s.unpaired;
    summary.shortest_gap_us = s.shortest_gap_us;
    summary.shortest_hold_us = s.shortest_hold_us;
    summary.holds = s.holds.count();
    if (const std::optional<std::int64_t> median = s.holds.quantile(0.5))
        summary.median_hold_us = *median * hold_unit_us;
    return summary;
}

const Row& column_titles() {
    static const Row titles = {"mouse",  "button",  "presses",          "clicks",   "chatter",
                               "gap ms", "hold ms", "shortest hold ms", "unpaired", "name"};
    return titles;
}

const Row& stats_titles() {
    static const Row titles = {"mouse",  "button",  "presses",     "clicks",   "chatter",
                               "gap_ms", "hold_ms", "hold_min_ms", "unpaired", "name"};
    return titles;
}

std::string format_ms(std::optional<std::int64_t> us, Clock clock) {
    if (!us)
        return "-";
    const std::int64_t value = std::max<std::int64_t>(*us, 0);
    if (clock == Clock::milliseconds)
        return std::to_string((value + 500) / 1000);
    const std::int64_t tenths = (value + 50) / 100;
    return std::to_string(tenths / 10) + "." + std::to_string(tenths % 10);
}

Row format_row(int mouse_number, Button button, std::string_view name, const ButtonSummary& s,
               Clock clock) {
    Row row;
    row[column::mouse] = std::to_string(mouse_number);
    row[column::button] = std::string(button_name(button));
    row[column::presses] = std::to_string(s.presses);
    row[column::clicks] = std::to_string(s.clicks());
    row[column::chatter] = std::to_string(s.chatter);
    row[column::gap] = format_ms(s.shortest_gap_us, clock);
    row[column::hold] = format_ms(s.median_hold_us, clock);
    row[column::hold_min] = format_ms(s.shortest_hold_us, clock);
    row[column::unpaired] = std::to_string(s.unpaired);
    row[column::name] = name.empty() ? "-" : std::string(name);
    return row;
}

}  // namespace measures::buttons
