#include "measures/tables.h"

#include <algorithm>
#include <cstdint>
#include <utility>

namespace measures {
namespace {

// Characters, not bytes: "µs" is two bytes and one character.
std::size_t characters(const std::string& text) {
    return static_cast<std::size_t>(std::count_if(text.begin(), text.end(), [](char c) {
        return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    }));
}

// The measured mice: listed ones first, in their numbering; then anything
// else measured, unlabelled.
std::vector<std::pair<const Mouse*, const Label*>> measured_order(const std::vector<Label>& labels,
                                                                  const Store& store) {
    std::vector<std::pair<const Mouse*, const Label*>> order;
    for (const Label& label : labels) {
        if (const Mouse* m = store.find(label.handle))
            order.emplace_back(m, &label);
    }
    for (std::size_t i = 0; i < store.size(); ++i) {
        const bool listed = std::any_of(order.begin(), order.end(),
                                        [&](const auto& o) { return o.first == &store[i]; });
        if (!listed)
            order.emplace_back(&store[i], nullptr);
    }
    return order;
}

// A mouse's line of a table: its number ("-" without one), the row's cells
// from `first` up to its name's column, then the handle and the name (last,
// as it may hold spaces).
template <class Row>
std::vector<std::string> mouse_line(const Label* label, const Row& row, std::size_t first,
                                    std::size_t name_column, Handle handle) {
    std::vector<std::string> cells = {label != nullptr && label->mouse_number >= 0
                                          ? std::to_string(label->mouse_number)
                                          : std::string("-")};
    cells.insert(cells.end(), row.begin() + static_cast<std::ptrdiff_t>(first),
                 row.begin() + static_cast<std::ptrdiff_t>(name_column));
    cells.push_back(handle_text(handle));
    cells.push_back(label != nullptr ? label->name : "");
    return cells;
}

// The header of those lines: the titles up to the name's, then "handle" and "name".
template <class Row>
std::vector<std::string> mouse_header(const Row& titles, std::size_t name_column) {
    std::vector<std::string> header(titles.begin(),
                                    titles.begin() + static_cast<std::ptrdiff_t>(name_column));
    header.insert(header.end(), {"handle", "name"});
    return header;
}

// Left-aligned: the mouse, the columns flagged, the handle and the name.
std::vector<bool> mouse_alignment(std::size_t columns, std::initializer_list<std::size_t> left) {
    std::vector<bool> aligned(columns, false);
    aligned[0] = aligned[columns - 2] = aligned[columns - 1] = true;
    for (const std::size_t c : left)
        aligned[c] = true;
    return aligned;
}

std::string clock_part(Clock clock) {
    const std::string_view note = clock_note(clock);
    return note.empty() ? std::string() : ", on the " + std::string(note);
}

}  // namespace

std::string handle_text(Handle handle) {
    return std::to_string(static_cast<int>(static_cast<std::uint32_t>(handle)));
}

std::string align_columns(const std::vector<std::vector<std::string>>& lines,
                          const std::vector<bool>& left_aligned) {
    std::vector<std::size_t> widths;
    for (const auto& cells : lines) {
        if (widths.size() < cells.size())
            widths.resize(cells.size(), 0);
        for (std::size_t i = 0; i < cells.size(); ++i)
            widths[i] = std::max(widths[i], characters(cells[i]));
    }
    std::string out;
    for (const auto& cells : lines) {
        std::string line;
        for (std::size_t i = 0; i < cells.size(); ++i) {
            const std::string padding(widths[i] - characters(cells[i]), ' ');
            if (i > 0)
                line += "  ";
            const bool left = i < left_aligned.size() && left_aligned[i];
            line += left ? cells[i] + padding : padding + cells[i];
        }
        while (!line.empty() && line.back() == ' ')
            line.pop_back();
        out += line + "\n";
    }
    return out;
}

std::string buttons_table(const std::vector<Label>& labels, const Store& store) {
    std::string out = "rawmice buttons (chatter: a press less than " +
                      std::to_string(store.options().chatter_window_us / 1000) +
                      " ms after the same button's release; gap_ms the shortest release to "
                      "press, hold_ms the median press to release" +
                      clock_part(store.options().clock) + ")\n";
    std::vector<std::vector<std::string>> lines = {
        mouse_header(buttons::stats_titles(), buttons::column::name)};
    for (const auto& [mouse, label] : measured_order(labels, store)) {
        for (buttons::Button b : buttons::all) {
            const buttons::ButtonSummary s = mouse->buttons.summary(b);
            if (s.seen())
                lines.push_back(
                    mouse_line(label,
                               buttons::format_row(label != nullptr ? label->mouse_number : -1, b,
                                                   label != nullptr ? label->name : "", s,
                                                   mouse->buttons.clock()),
                               buttons::column::button, buttons::column::name, mouse->handle));
        }
    }
    return out + align_columns(lines, mouse_alignment(lines[0].size(), {buttons::column::button}));
}

std::string movement_tables(const std::vector<Label>& labels, const Store& store,
                            std::optional<double> distance_mm) {
    std::string out =
        "rawmice movement (net counts and path since the start; angle_deg 0 along +x, positive "
        "up the screen; cpi " +
        (distance_mm ? "over " + movement::format_distance_mm(*distance_mm) + " mm"
                     : std::string("needs --distance-mm")) +
        ")\n";
    std::vector<std::vector<std::string>> lines = {
        mouse_header(movement::stats_titles(), movement::column::name)};
    // The numbered mice, for the pairs, A before B in their numbering.
    std::vector<std::pair<const Mouse*, int>> numbered;
    for (const auto& [mouse, label] : measured_order(labels, store)) {
        const int number = label != nullptr ? label->mouse_number : -1;
        lines.push_back(mouse_line(label,
                                   movement::format_row(number, label != nullptr ? label->name : "",
                                                        mouse->movement.summary(), distance_mm),
                                   movement::column::counts_x, movement::column::name,
                                   mouse->handle));
        if (number >= 0)
            numbered.emplace_back(mouse, number);
    }
    out += align_columns(lines, mouse_alignment(lines[0].size(), {}));

    const Clock clock = store.options().clock;
    out +=
        "rawmice pairs moved together (speeds over the last 4 s correlating at 0.8 or more; "
        "ratio b's movement over a's; lag_ms how much later b reports it than a" +
        clock_part(clock) + ")\n";
    const movement::PairRow& pair_titles = movement::stats_pair_titles();
    std::vector<std::vector<std::string>> pairs = {{pair_titles.begin(), pair_titles.end()}};
    for (std::size_t i = 0; i < numbered.size(); ++i) {
        for (std::size_t j = i + 1; j < numbered.size(); ++j) {
            const movement::Pair pair = compare(*numbered[i].first, *numbered[j].first);
            if (!pair.together)
                continue;
            const movement::PairRow row =
                movement::format_pair(numbered[i].second, numbered[j].second, pair, clock);
            pairs.emplace_back(row.begin(), row.end());
        }
    }
    std::vector<bool> pair_left(movement::pair_column::count, false);
    pair_left[movement::pair_column::a] = pair_left[movement::pair_column::b] = true;
    return out + align_columns(pairs, pair_left);
}

std::string tracking_table(const std::vector<Label>& labels, const Store& store) {
    const Clock clock = store.options().clock;
    const std::int64_t window_ms =
        (clock == Clock::milliseconds ? tracking::speed_window_ms_clock_us
                                      : tracking::speed_window_us) /
        1000;
    std::string out =
        "rawmice tracking (speed over the last " + std::to_string(window_ms) +
        " ms or two intervals, whichever is longer, in counts/ms, and in m/s at the cpi "
        "(--cpi); saturated: reports at a report field's limit, 127, 2047 or 32767 counts" +
        (store.options().device_counts ? "" : " (unknown here: the X server's values)") +
        "; spin-outs: above 1 m/s (40 counts/ms without a cpi) the movement over 1 ms or two "
        "polls collapsing below a quarter or reversing, the stroke going on within 20 ms; "
        "malfunction: the speed just before the first of either" +
        clock_part(clock) + ")\n";
    std::vector<std::vector<std::string>> lines = {
        mouse_header(tracking::stats_titles(), tracking::column::name)};
    for (const auto& [mouse, label] : measured_order(labels, store)) {
        const tracking::Summary s = mouse->tracking.summary();
        if (s.moved == 0)
            continue;
        lines.push_back(mouse_line(label,
                                   tracking::format_row(label != nullptr ? label->mouse_number : -1,
                                                        label != nullptr ? label->name : "", s),
                                   tracking::column::cpi, tracking::column::name, mouse->handle));
    }
    return out + align_columns(lines, mouse_alignment(lines[0].size(), {}));
}

std::string strokes_table(const std::vector<Label>& labels, const Store& store,
                          std::optional<double> distance_mm) {
    std::string out =
        "rawmice strokes (rest to rest, or to where it turns back, the last 64 kept; between: "
        "the straight ones of about one length going to and fro between two stops; cpi: the "
        "median length of the last 5 slow ones " +
        (distance_mm ? "over " + movement::format_distance_mm(*distance_mm) + " mm"
                     : std::string("over --distance-mm")) +
        ", the travel between the stops (the gap less the mouse's length), while their "
        "spread_pct (largest less smallest, over the median) is at most 3; slow and fast: their "
        "median peak speeds; variation_pct: the last 5 fast ones' median length over the slow "
        "ones', less 1" +
        clock_part(store.options().clock) + ")\n";
    std::vector<std::vector<std::string>> lines = {
        mouse_header(strokes::stats_titles(), strokes::column::name)};
    for (const auto& [mouse, label] : measured_order(labels, store)) {
        const strokes::Summary s = mouse->strokes.summary(distance_mm);
        if (s.strokes == 0)
            continue;
        lines.push_back(mouse_line(
            label,
            strokes::format_row(label != nullptr ? label->mouse_number : -1,
                                label != nullptr ? label->name : "", s, mouse->tracking.cpi()),
            strokes::column::strokes, strokes::column::name, mouse->handle));
    }
    return out + align_columns(lines, mouse_alignment(lines[0].size(), {}));
}

}  // namespace measures
