#include "ui/frmMovement.h"

#include <algorithm>

#include "measures/feed.h"
#include "measures/store.h"
#include "rawinput/rawinput.h"

TForm5* Form5 = nullptr;

namespace {

namespace movement = measures::movement;
namespace strokes = measures::strokes;

// The layout's client size; the tables and their notes are placed within it.
constexpr int client_width = 720;
constexpr int table_top = 8;
constexpr int notes_bottom = 559;           // above the distance box and the buttons
constexpr std::size_t max_mouse_rows = 10;  // the mice a run numbers, and a few others

constexpr vcl::TColor face = vcl::clBtnFace;
constexpr vcl::TColor text_colour = vcl::clWindowText;

// Changes whenever any mouse's movement or strokes do: clicks alone change
// nothing shown.
std::uint64_t movement_generation(const measures::Store& store) {
    std::uint64_t generation = store.size();
    for (std::size_t i = 0; i < store.size(); ++i)
        generation += store[i].movement.generation() + store[i].strokes.generation();
    return generation;
}

// The mice: those listed at start, in their numbering, then the others seen
// (numbered -1).
std::vector<std::pair<const measures::Mouse*, int>> measured_mice() {
    std::vector<std::pair<const measures::Mouse*, int>> mice;
    const measures::Store& store = measures::feed().store();
    const RawInputState& listed = raw_input_state;
    for (int i = 0; i < listed.raw_mouse_count; ++i) {
        if (const measures::Mouse* m = store.find(measures::handle_of(listed.raw_mouse_handles[i])))
            mice.emplace_back(m, i);
    }
    for (std::size_t i = 0; i < store.size(); ++i) {
        if (std::none_of(mice.begin(), mice.end(),
                         [&](const auto& m) { return m.first == &store[i]; }))
            mice.emplace_back(&store[i], -1);
    }
    return mice;
}

}  // namespace

TForm5::TForm5(vcl::TComponent* Owner)
    : MeasuresWindow(Owner),
      refresh_([this] { timed_drawing([this] { draw(); }); }),
      compare_timer_([this] {
          timed_drawing([this] {
              compare_step();
              // A pair found or lost is drawn now; the mice's figures wait for
              // their own refresh.
              if (!drawn_)
                  draw();
          });
      }) {}

TForm5::~TForm5() {
    if (Form5 == this)
        Form5 = nullptr;
}

const vcl::FormClass& TForm5::form_class() {
    static const vcl::FormClass form_class = form_class_of<TForm5>("Form5")
                                                 .field("lblDistance", &TForm5::lblDistance)
                                                 .field("edtDistance", &TForm5::edtDistance)
                                                 .field("btnReset", &TForm5::btnReset)
                                                 .handler("btnResetClick", &TForm5::btnResetClick);
    return form_class;
}

void TForm5::FormCreate(vcl::TObject* /*Sender*/) {
    vcl::TCanvas& canvas = *Canvas;
    row_height_ = canvas.TextHeight("Hg") + 2;
    notes_top_ = notes_bottom - max_notes * row_height_;
    mouse_fit_ = max_mouse_rows;
    const int pairs_space = notes_top_ - 4 - pair_line_top(0);
    pair_fit_ = static_cast<std::size_t>(std::max(1, pairs_space / row_height_));

    // Each column as wide as its title or its widest usual figure; the name
    // takes what is left.
    const movement::Row& titles = movement::column_titles();
    const auto width = [&](const std::string& title, const char* widest) {
        return column_width(canvas, title, widest);
    };
    mouse_columns_ =
        lay_out_columns({width(titles[movement::column::mouse], "-1"),
                         width(titles[movement::column::counts_x], "-8888888"),
                         width(titles[movement::column::counts_y], "-8888888"),
                         width(titles[movement::column::path], "88888888.8"),
                         width(titles[movement::column::angle], "-888.8"),
                         width(titles[movement::column::cpi], "888888"), 0},
                        movement::column::name, {movement::column::name}, client_width);
    const strokes::Row& stroke_titles = strokes::column_titles();
    stroke_columns_ =
        lay_out_columns({width(stroke_titles[strokes::column::mouse], "-1"),
                         width(stroke_titles[strokes::column::strokes], "88888"),
                         width(stroke_titles[strokes::column::between], "88"),
                         width(stroke_titles[strokes::column::cpi], "888888"),
                         width(stroke_titles[strokes::column::spread_pct], "888.8"),
                         width(stroke_titles[strokes::column::slow_cpms], "888.88"),
                         width(stroke_titles[strokes::column::fast_cpms], "888.88"),
                         width(stroke_titles[strokes::column::slow_mps], "88.88"),
                         width(stroke_titles[strokes::column::fast_mps], "88.88"),
                         width(stroke_titles[strokes::column::variation_pct], "-88.8"), 0},
                        strokes::column::name, {strokes::column::name}, client_width);
    const movement::PairRow& pair_titles = movement::pair_titles();
    pair_columns_ =
        lay_out_columns({width(pair_titles[movement::pair_column::a], "-1"),
                         width(pair_titles[movement::pair_column::b], "-1"),
                         width(pair_titles[movement::pair_column::ratio], "8888.888"),
                         width(pair_titles[movement::pair_column::lag], "-88.888"),
                         width(pair_titles[movement::pair_column::correlation], "0.88")},
                        movement::pair_column::count, {}, client_width);
    if (const std::optional<double> distance = measures::feed().distance_mm())
        edtDistance->Text = movement::format_distance_mm(*distance);
}

void TForm5::FormKeyDown(vcl::TObject* /*Sender*/, WORD& Key, vcl::TShiftState Shift) {
    measures_window_keys(Key, Shift);
    if (Key == VK_RETURN && plain_key(Shift)) {
        apply_distance();
        Key = 0;
    }
}

void TForm5::apply_distance() {
    const std::string text = edtDistance->Text;
    const std::size_t first = text.find_first_not_of(' ');
    const std::string trimmed = first == std::string::npos
                                    ? std::string()
                                    : text.substr(first, text.find_last_not_of(' ') - first + 1);
    if (trimmed.empty()) {
        distance_problem_.clear();
        measures::feed().set_distance_mm(std::nullopt);
    } else if (const std::optional<double> distance = movement::parse_distance_mm(trimmed)) {
        distance_problem_.clear();
        measures::feed().set_distance_mm(distance);
        // Each mouse's speeds are read at the CPI its strokes between two
        // stops give; without one, at the CPI its first row shows, where it
        // went one way since the Reset (a to and fro's net counts are a
        // residue: 8 % of 100 mm reads as 64 CPI); else it keeps its CPI.
        for (const auto& [mouse, number] : measured_mice()) {
            const strokes::Summary between = mouse->strokes.summary(distance);
            if (between.cpi) {
                measures::feed().set_cpi(mouse->handle, *between.cpi);
                continue;
            }
            const std::string shown = movement::format_row(number, "", mouse->movement.summary(),
                                                           distance)[movement::column::cpi];
            if (between.one_way && shown != "-" && shown != "0")
                measures::feed().set_cpi(mouse->handle, std::stod(shown));
        }
    } else {
        distance_problem_ = "'" + trimmed + "' is not a distance in mm above 0 and at most 10000.";
    }
    drawn_ = false;
    draw();
}

void TForm5::btnResetClick(vcl::TObject* /*Sender*/) {
    measures::feed().reset_movement();
    compare_pairs();
    draw();
}

void TForm5::refresh() {
    compare_pairs();
    draw();
}

void TForm5::measures_changed() {
    // Once per packet: a drawing or a comparison asked for already settles it at once.
    if (!Visible)
        return;
    if (!refresh_.active())
        refresh_.start(refresh_ms);
    if (!compare_timer_.active())
        compare_timer_.start(compare_step_ms());
}

int TForm5::mouse_line_top(int line) const {
    return table_top + (line + 1) * row_height_;
}

int TForm5::stroke_line_top(int line) const {
    // Below the mice's rows and a blank line.
    return mouse_line_top(static_cast<int>(max_mouse_rows) + 1) + (line + 1) * row_height_;
}

int TForm5::pair_line_top(int line) const {
    // Below the strokes' rows and a blank line.
    return stroke_line_top(static_cast<int>(max_mouse_rows) + 1) + (line + 1) * row_height_;
}

std::size_t TForm5::pairs_of_numbered_mice() {
    numbered_.clear();
    for (const auto& mouse : measured_mice()) {
        if (mouse.second >= 0)
            numbered_.push_back(mouse);
    }
    const std::size_t n = numbered_.size();
    const std::size_t pairs = n < 2 ? 0 : n * (n - 1) / 2;
    if (pair_results_.size() != pairs) {
        pair_results_.assign(pairs, PairResult{});
        next_pair_ = 0;
        comparing_.reset();  // its place means another pair now
    }
    return pairs;
}

std::pair<std::size_t, std::size_t> TForm5::pair_mice(std::size_t index) const {
    // The pairs in the order (0, 1), (0, 2) ... (1, 2) ...
    std::size_t i = 0;
    std::size_t j = 1;
    for (std::size_t k = 0; k < index; ++k) {
        if (++j == numbered_.size()) {
            ++i;
            j = i + 1;
        }
    }
    return {i, j};
}

bool TForm5::pair_stale(std::size_t index) const {
    const auto [i, j] = pair_mice(index);
    const PairResult& result = pair_results_[index];
    return !result.compared ||
           result.generations != std::pair{numbered_[i].first->movement.generation(),
                                           numbered_[j].first->movement.generation()};
}

std::pair<std::uint64_t, std::uint64_t> TForm5::pair_generations(std::size_t index) const {
    const auto [i, j] = pair_mice(index);
    return {numbered_[i].first->movement.generation(), numbered_[j].first->movement.generation()};
}

void TForm5::take_pair(std::size_t index, const movement::Pair& pair,
                       std::pair<std::uint64_t, std::uint64_t> generations) {
    const auto [i, j] = pair_mice(index);
    ++comparisons_;
    PairResult& result = pair_results_[index];
    result.compared = true;
    result.generations = generations;
    result.row.reset();
    if (pair.together) {
        result.row = movement::format_pair(numbered_[i].second, numbered_[j].second, pair,
                                           measures::feed().store().options().clock);
    }
}

void TForm5::take_pair_results() {
    std::vector<movement::PairRow> pairs;
    for (const PairResult& result : pair_results_) {
        if (result.row)
            pairs.push_back(*result.row);
    }
    if (pairs != pair_rows_) {
        pair_rows_ = std::move(pairs);
        drawn_ = false;  // drawn whole at the next drawing
    }
}

void TForm5::compare_pairs() {
    const std::size_t pairs = pairs_of_numbered_mice();
    for (std::size_t k = 0; k < pairs; ++k) {
        const auto [i, j] = pair_mice(k);
        take_pair(k, measures::compare(*numbered_[i].first, *numbered_[j].first),
                  pair_generations(k));
    }
    next_pair_ = 0;
    comparing_.reset();
    take_pair_results();
}

void TForm5::compare_step() {
    const std::size_t pairs = pairs_of_numbered_mice();
    if (comparing_) {
        if (comparison_.step()) {
            take_pair(*comparing_, comparison_.result(), comparing_generations_);
            comparing_.reset();
        }
    } else {
        // The next pair, in turn, whose mice moved since it was compared.
        for (std::size_t k = 0; k < pairs; ++k) {
            const std::size_t index = (next_pair_ + k) % pairs;
            if (pair_stale(index)) {
                const auto [i, j] = pair_mice(index);
                const measures::Mouse& a = *numbered_[i].first;
                const measures::Mouse& b = *numbered_[j].first;
                comparison_.begin(a.movement, b.movement, measures::polls_of(a, b));
                comparing_ = index;
                comparing_generations_ = pair_generations(index);
                next_pair_ = index + 1;
                break;
            }
        }
    }
    take_pair_results();
    // Again soon while a comparison is under way or another pair is left.
    bool left = comparing_.has_value();
    for (std::size_t k = 0; k < pairs && !left; ++k)
        left = pair_stale(k);
    if (left && Visible)
        compare_timer_.start(compare_step_ms());
}

void TForm5::compare_next_pair() {
    do {
        compare_step();
    } while (comparing_);
}

int TForm5::compare_step_ms() const {
    // Each pair every compare_ms, one at a time and each in steps: a step
    // holds the packets back while it runs, a few tenths of a millisecond,
    // where all the pairs at once would hold them for all of them.
    const std::size_t pairs = std::max<std::size_t>(1, pair_results_.size());
    return std::max(1,
                    compare_ms / static_cast<int>(measures::movement::Comparison::steps * pairs));
}

std::vector<std::string> TForm5::wanted_notes() const {
    const measures::Store& store = measures::feed().store();
    std::vector<std::string> notes = {
        "Reset before each stroke, for the first table. Pairs: mice whose speeds over the last "
        "4 s correlate at 0.8 or more.",
        "Ratio: B's movement over A's (B's CPI over A's). Lag: how much later B reports the same "
        "movement than A."};
    if (!distance_problem_.empty()) {
        notes.push_back(distance_problem_);
    } else if (const std::optional<double> distance = measures::feed().distance_mm()) {
        notes.push_back("CPI: the net counts over " + movement::format_distance_mm(*distance) +
                        " mm.");
    } else {
        notes.push_back("CPI: type the distance moved in mm below and press Enter.");
    }
    notes.push_back(
        "Strokes: move the mouse to and fro between two stops on the desk, some strokes slow and "
        "some fast (c/ms: counts/ms).");
    notes.push_back(
        "D, the distance: the mouse's travel between the stops, their gap less its length. "
        "The figures stay until Reset.");
    notes.push_back(
        "Strokes' CPI: the slow ones' median length over D, if within 3 % (spread). Variation: "
        "the fast ones' over it, less 1.");
    const measures::Clock clock = store.options().clock;
    if (clock == measures::Clock::receipt) {
        notes.push_back("Lags: " + std::string(measures::clock_note(clock)) +
                        " (when rawmice received each packet: raw input carries no time stamp)");
    } else if (clock == measures::Clock::milliseconds) {
        notes.push_back("Lags: " + std::string(measures::clock_note(clock)) +
                        " (the stamps are whole milliseconds: lags to within 1 ms)");
    }
    const std::size_t hidden =
        2 * (mouse_rows_.size() > mouse_fit_ ? mouse_rows_.size() - mouse_fit_ : 0) +
        (pair_rows_.size() > pair_fit_ ? pair_rows_.size() - pair_fit_ : 0);
    if (hidden > 0) {
        notes.push_back(std::to_string(hidden) +
                        " rows do not fit the window: --stats prints every one at exit.");
    }
    return notes;
}

void TForm5::draw() {
    if (!Visible)
        return;
    const std::uint64_t generation = movement_generation(measures::feed().store());
    if (drawn_ && generation == drawn_generation_)
        return;  // nothing changed: nothing drawn
    drawn_generation_ = generation;
    std::vector<movement::Row> rows;
    std::vector<strokes::Row> stroke_rows;
    const std::optional<double> distance = measures::feed().distance_mm();
    for (const auto& [mouse, number] : measured_mice()) {
        const std::string name = measures::feed().name_of(mouse->handle);
        rows.push_back(movement::format_row(number, name, mouse->movement.summary(), distance));
        stroke_rows.push_back(strokes::format_row(number, name, mouse->strokes.summary(distance),
                                                  mouse->tracking.cpi()));
    }
    const bool same_rows = drawn_ && rows.size() == mouse_rows_.size();
    if (same_rows) {
        // The same rows: only the cells that changed are drawn (a moving
        // mouse's counts and path, its strokes).
        const auto redraw = [&](const auto& now, const auto& before, const auto& columns,
                                auto line_top) {
            for (std::size_t r = 0; r < std::min(now.size(), mouse_fit_); ++r) {
                for (std::size_t c = 0; c < now[r].size(); ++c) {
                    if (now[r][c] != before[r][c])
                        draw_cell(*Canvas, columns[c], line_top(static_cast<int>(r)), row_height_,
                                  now[r][c], face, text_colour);
                }
            }
        };
        redraw(rows, mouse_rows_, mouse_columns_, [this](int r) { return mouse_line_top(r); });
        redraw(stroke_rows, stroke_rows_, stroke_columns_,
               [this](int r) { return stroke_line_top(r); });
    }
    mouse_rows_ = std::move(rows);
    stroke_rows_ = std::move(stroke_rows);
    std::vector<std::string> notes = wanted_notes();
    if (same_rows && notes == notes_)
        return;
    notes_ = std::move(notes);
    draw_all();
    drawn_ = true;
}

void TForm5::draw_all() {
    vcl::TCanvas& canvas = *Canvas;
    canvas.Brush->Color = face;
    canvas.FillRect(vcl::Rect(0, 0, client_width, notes_bottom + 4));
    const auto draw_line = [&](const std::vector<Column>& columns, int top, const auto& cells) {
        for (std::size_t c = 0; c < columns.size(); ++c)
            draw_cell(canvas, columns[c], top, row_height_, cells[c], face, text_colour);
    };
    draw_line(mouse_columns_, mouse_line_top(-1), movement::column_titles());
    canvas.Font->Color = text_colour;
    if (mouse_rows_.empty())
        canvas.TextOut(table_margin, mouse_line_top(0), "No mouse moved yet.");
    for (std::size_t r = 0; r < std::min(mouse_rows_.size(), mouse_fit_); ++r)
        draw_line(mouse_columns_, mouse_line_top(static_cast<int>(r)), mouse_rows_[r]);
    draw_line(stroke_columns_, stroke_line_top(-1), strokes::column_titles());
    canvas.Font->Color = text_colour;
    if (stroke_rows_.empty())
        canvas.TextOut(table_margin, stroke_line_top(0), "No strokes yet.");
    for (std::size_t r = 0; r < std::min(stroke_rows_.size(), mouse_fit_); ++r)
        draw_line(stroke_columns_, stroke_line_top(static_cast<int>(r)), stroke_rows_[r]);
    draw_line(pair_columns_, pair_line_top(-1), movement::pair_titles());
    canvas.Font->Color = text_colour;
    if (pair_rows_.empty())
        canvas.TextOut(table_margin, pair_line_top(0), "No two mice moved together.");
    for (std::size_t r = 0; r < std::min(pair_rows_.size(), pair_fit_); ++r)
        draw_line(pair_columns_, pair_line_top(static_cast<int>(r)), pair_rows_[r]);
    draw_notes(canvas, notes_, notes_top_, row_height_, client_width);
}
