#include "ui/frmTiming.h"

#include <algorithm>
#include <cmath>

#include "measures/feed.h"
#include "measures/store.h"
#include "rawinput/rawinput.h"

TForm3* Form3 = nullptr;

namespace {

namespace timing = measures::timing;

// The layout's client size; the table and charts are placed within it. As
// wide as fourteen columns need with the name still readable.
constexpr int client_width = 880;
constexpr int margin = table_margin;
constexpr int charts_bottom = 429;  // above the Close button
constexpr int strip_gap = 4;
constexpr int min_strip = 16;
constexpr int max_strip = 90;
constexpr int swatch = 8;
static_assert(TForm3::plot_left + TForm3::plot_width + margin == client_width);

constexpr double axis_low_us = 100;
constexpr double axis_high_us = 50'000;

constexpr vcl::TColor face = vcl::clBtnFace;
constexpr vcl::TColor plot_colour = vcl::clWhite;
constexpr vcl::TColor grid_colour = 0xE0E0E0;
constexpr vcl::TColor frame_colour = 0xA0A0A0;
constexpr vcl::TColor text_colour = vcl::clWindowText;

// One colour per mouse number, each clear on white; a mouse not in the
// table (number -1) is grey.
constexpr vcl::TColor mouse_colours[] = {
    0xC04000,  // blue
    0x0000D0,  // red
    0x008000,  // green
    0xC000C0,  // purple
    0x0080E0,  // orange
    0x808000,  // teal
    0x404080,  // brown
    0xFF8080,  // light blue
    0x000000,  // black
    0x008080,  // olive
};
constexpr vcl::TColor unlisted_colour = 0x808080;

}  // namespace

TForm3::TForm3(vcl::TComponent* Owner) : MeasuresWindow(Owner), frame_([this] { draw(); }) {
    frame_.charge_to(this);
    frame_.at_most(chart_frames_per_second);
}

TForm3::~TForm3() {
    if (Form3 == this)
        Form3 = nullptr;
}

const vcl::FormClass& TForm3::form_class() {
    static const vcl::FormClass form_class = form_class_of<TForm3>("Form3");
    return form_class;
}

void TForm3::FormCreate(vcl::TObject* /*Sender*/) {
    vcl::TCanvas& canvas = *Canvas;
    row_height_ = canvas.TextHeight("Hg") + 2;

    // Each column as wide as its title or its widest usual figure; the name
    // takes what is left.
    const timing::Row& titles = timing::column_titles();
    const auto figure_width = [&](std::size_t c, const char* widest) {
        return column_width(canvas, titles[c], widest);
    };
    std::vector<int> widths(timing::column::count);
    widths[timing::column::mouse] = std::max(canvas.TextWidth(titles[timing::column::mouse]),
                                             swatch + 4 + canvas.TextWidth("-1"));
    widths[timing::column::hz] = figure_width(timing::column::hz, "88888");
    widths[timing::column::declared_hz] = figure_width(timing::column::declared_hz, "88888");
    for (std::size_t c :
         {timing::column::p1, timing::column::median, timing::column::p99, timing::column::max})
        widths[c] = figure_width(c, "888888");
    widths[timing::column::irregular] = figure_width(timing::column::irregular, "100.0");
    widths[timing::column::overflows] = figure_width(timing::column::overflows, "88888");
    widths[timing::column::background] = figure_width(timing::column::background, "100.0");
    widths[timing::column::poll_hz] = figure_width(timing::column::poll_hz, "8000");
    widths[timing::column::skipped] = figure_width(timing::column::skipped, "100.0");
    widths[timing::column::off_grid] = figure_width(timing::column::off_grid, "100.0");
    columns_ = lay_out_columns(widths, timing::column::name, {timing::column::name}, client_width);
}

void TForm3::measures_changed() {
    // Once per packet: a frame asked for already settles it at once.
    if (!frame_.pending() && Visible)
        frame_.request();
}

void TForm3::redraw_all() {
    rows_.clear();
    layout_drawn_ = false;
}

vcl::TColor TForm3::mouse_colour(int number) {
    if (number < 0)
        return unlisted_colour;
    return mouse_colours[static_cast<std::size_t>(number) % std::size(mouse_colours)];
}

int TForm3::row_top(int row) const {
    return table_top_ + (row + 1) * row_height_;
}

int TForm3::y_of(std::int64_t interval_us, const Strip& strip) {
    static const double decades = std::log(axis_high_us / axis_low_us);
    const double clamped = std::clamp(static_cast<double>(interval_us), axis_low_us, axis_high_us);
    const double up = std::log(clamped / axis_low_us) / decades;
    return strip.top + (strip.height - 1) - static_cast<int>(std::lround(up * (strip.height - 1)));
}

std::int64_t TForm3::column_of(std::int64_t time_us) {
    return measures::floor_div(time_us, column_us);
}

std::vector<TForm3::Row> TForm3::wanted_rows() const {
    std::vector<Row> rows;
    const RawInputState& listed = raw_input_state;
    for (int i = 0; i < listed.raw_mouse_count && rows.size() < max_rows; ++i) {
        Row row;
        row.handle = measures::handle_of(listed.raw_mouse_handles[i]);
        row.number = i;
        rows.push_back(row);
    }
    const measures::Store& store = measures::feed().store();
    for (std::size_t i = 0; i < store.size() && rows.size() < max_rows; ++i) {
        const measures::Handle handle = store[i].handle;
        const bool known = std::any_of(rows.begin(), rows.end(),
                                       [&](const Row& row) { return row.handle == handle; });
        if (!known) {
            Row row;
            row.handle = handle;
            rows.push_back(row);
        }
    }
    return rows;
}

void TForm3::lay_out() {
    rows_ = wanted_rows();
    const int count = std::max<int>(1, static_cast<int>(rows_.size()));
    // What the dots are, and what the stamps are when they are not the
    // packets' own (said once for all).
    notes_ = {"Dots: one per report, across by its time over its mouse's last " +
                  std::to_string(timing::recent_span_us / 1'000'000) +
                  " s, up by the interval since the one before (100 "
                  "\xC2\xB5"
                  "s to 50 ms, logarithmic)",
              "Pink dots: reports off the mouse's poll grid (late, or two in one poll); skipped "
              "polls sit on whole periods"};
    const measures::Store& store = measures::feed().store();
    for (std::size_t i = 0; i < store.size(); ++i) {
        const measures::Clock clock = store[i].timing.clock();
        if (clock == measures::Clock::receipt) {
            notes_.push_back(
                "Times: " + std::string(measures::clock_note(clock)) +
                " (when rawmice received each packet: raw input carries no time stamp)");
            break;
        }
        if (clock == measures::Clock::milliseconds) {
            notes_.push_back("Times: " + std::string(measures::clock_note(clock)) +
                             " (the stamps are whole milliseconds)");
            break;
        }
    }
    // The table as high as its rows, the notes under it, the charts below.
    note_top_ = row_top(count) + 4;
    charts_top_ = note_top_ + static_cast<int>(notes_.size()) * row_height_ + 6;
    const int room = charts_bottom - charts_top_ - (count - 1) * strip_gap;
    const int height = std::clamp(room / count, min_strip, max_strip);
    for (std::size_t i = 0; i < rows_.size(); ++i) {
        Row& row = rows_[i];
        row.name = measures::feed().name_of(row.handle);
        row.colour = mouse_colour(row.number);
        row.strip = {charts_top_ + static_cast<int>(i) * (height + strip_gap), height};
    }
}

void TForm3::draw_layout() {
    vcl::TCanvas& canvas = *Canvas;
    canvas.Brush->Color = face;
    canvas.FillRect(vcl::Rect(0, 0, client_width, charts_bottom + strip_gap));
    const timing::Row& titles = timing::column_titles();
    for (std::size_t c = 0; c < titles.size(); ++c)
        draw_cell(c, row_top(-1), titles[c], text_colour);
    draw_notes(canvas, notes_, note_top_, row_height_, client_width);
    if (rows_.empty()) {
        canvas.TextOut(margin, charts_top_,
                       "No mouse is listed yet: a mouse appears here with its first packet.");
        return;
    }
    const int text_height = canvas.TextHeight("Hg");
    for (Row& row : rows_) {
        const Strip& s = row.strip;
        // A frame just outside the plot, and what the strip's axis says.
        canvas.Brush->Color = frame_colour;
        canvas.FillRect(
            vcl::Rect(plot_left - 1, s.top - 1, plot_left + plot_width + 1, s.top + s.height + 1));
        canvas.Font->Color = row.colour;
        canvas.Brush->Color = face;
        canvas.TextOut(margin, s.top, vcl::IntToStr(row.number));
        if (s.height >= 3 * text_height) {
            canvas.Font->Color = text_colour;
            for (const auto& [us, label] :
                 {std::pair<std::int64_t, const char*>{1000, "1 ms"}, {10'000, "10 ms"}}) {
                const int y = std::clamp(y_of(us, s) - text_height / 2, s.top,
                                         s.top + s.height - text_height);
                canvas.TextOut(plot_left - 4 - canvas.TextWidth(label), y, label);
            }
        }
        draw_plot_background(row, 0, plot_width);
    }
}

void TForm3::draw() {
    if (!Visible)
        return;
    const measures::Store& store = measures::feed().store();
    const std::vector<Row> wanted = wanted_rows();
    const bool same_rows =
        wanted.size() == rows_.size() &&
        std::equal(wanted.begin(), wanted.end(), rows_.begin(), [](const Row& a, const Row& b) {
            return a.handle == b.handle && a.number == b.number;
        });
    if (!same_rows || measures::feed().resets() != drawn_resets_) {
        lay_out();
        layout_drawn_ = false;
        drawn_resets_ = measures::feed().resets();
    }
    if (layout_drawn_ && store.generation() == drawn_generation_)
        return;  // nothing changed: nothing drawn
    drawn_generation_ = store.generation();
    ++drawings_;
    if (!layout_drawn_) {
        draw_layout();
        layout_drawn_ = true;
    }
    for (Row& row : rows_) {
        const measures::Mouse* mouse = store.find(row.handle);
        draw_row(row, mouse != nullptr ? &mouse->timing : nullptr);
    }
}

void TForm3::draw_row(Row& row, const timing::MouseTiming* mouse) {
    if (mouse == nullptr) {
        if (!row.cells_drawn)
            draw_cells(row, timing::format_row(row.number, row.name, timing::Summary{}));
        return;
    }
    if (row.cells_drawn && row.generation == mouse->generation())
        return;
    row.generation = mouse->generation();
    draw_cells(row, timing::format_row(row.number, row.name, mouse->summary()));
    draw_chart(row, *mouse);
}

void TForm3::draw_cells(Row& row, const timing::Row& cells) {
    const int top = row_top(static_cast<int>(&row - rows_.data()));
    for (std::size_t c = 0; c < cells.size(); ++c) {
        if (row.cells_drawn && cells[c] == row.shown[c])
            continue;
        if (c == timing::column::mouse) {
            // The mouse's colour beside its number.
            draw_cell(c, top, cells[c], text_colour);
            Canvas->Brush->Color = row.colour;
            const int y = top + (row_height_ - 2 - swatch) / 2;
            Canvas->FillRect(vcl::Rect(columns_[c].left, y, columns_[c].left + swatch, y + swatch));
        } else {
            draw_cell(c, top, cells[c], text_colour);
        }
        row.shown[c] = cells[c];
    }
    row.cells_drawn = true;
}

void TForm3::draw_cell(std::size_t column, int top, const std::string& text, vcl::TColor colour) {
    ::draw_cell(*Canvas, columns_[column], top, row_height_, text, face, colour);
}

void TForm3::draw_plot_background(Row& row, int from, int to) {
    vcl::TCanvas& canvas = *Canvas;
    const Strip& s = row.strip;
    row.chart_rows.fit(plot_width, s.height);
    row.chart_rows.cleared(from, to);
    canvas.Brush->Color = plot_colour;
    canvas.FillRect(vcl::Rect(plot_left + from, s.top, plot_left + to, s.top + s.height));
    canvas.Brush->Color = grid_colour;
    for (std::int64_t us : {1000, 10'000}) {
        const int y = y_of(us, s);
        canvas.FillRect(vcl::Rect(plot_left + from, y, plot_left + to, y + 1));
    }
}

void TForm3::draw_dot(Row& row, const timing::RecentReport& report, std::int64_t right_column,
                      LastDot& last) {
    if (report.interval_us == timing::no_interval)
        return;
    const std::int64_t back = right_column - column_of(report.time_us);
    if (back < 0 || back >= plot_width)
        return;
    const int x = plot_left + plot_width - 1 - static_cast<int>(back);
    const int y = y_of(report.interval_us, row.strip);
    const vcl::TColor colour =
        report.grid == measures::grid::Mark::off ? off_grid_colour : row.colour;
    if (x == last.x && y == last.y && colour == last.colour)
        return;  // drawn already: a mouse at a steady rate repeats its dot
    if (colour != last.colour)
        Canvas->Brush->Color = colour;
    last = {x, y, colour};
    // Two columns (this one and the one to its left) by three rows, cut to the plot.
    const Strip& s = row.strip;
    Canvas->FillRect(vcl::Rect(std::max(x - 1, plot_left), std::max(y - 1, s.top), x + 1,
                               std::min(y + 2, s.top + s.height)));
    row.chart_rows.drawn(x - 1 - plot_left, x + 1 - plot_left, y - 1 - s.top, y + 2 - s.top);
}

void TForm3::draw_whole_chart(Row& row, const timing::MouseTiming& mouse) {
    draw_plot_background(row, 0, plot_width);
    const timing::RecentReports& recent = mouse.recent();
    row.chart_drawn = true;
    row.reports = mouse.reports();
    if (recent.size() == 0)
        return;
    row.newest_us = recent[recent.size() - 1].time_us;
    row.right_column = column_of(row.newest_us);
    Canvas->Brush->Color = row.colour;
    LastDot last{.colour = row.colour};
    for (std::size_t i = recent.first_within(timing::recent_span_us); i < recent.size(); ++i)
        draw_dot(row, recent[i], row.right_column, last);
}

void TForm3::draw_chart(Row& row, const timing::MouseTiming& mouse) {
    const timing::RecentReports& recent = mouse.recent();
    const std::uint64_t added = mouse.reports() - row.reports;
    if (row.chart_drawn && added == 0)
        return;
    if (!row.chart_drawn || added > recent.size()) {
        draw_whole_chart(row, mouse);
        return;
    }
    const std::size_t first = recent.size() - static_cast<std::size_t>(added);
    std::int64_t previous = row.newest_us;
    for (std::size_t i = first; i < recent.size(); ++i) {
        if (recent[i].time_us < previous) {
            // A stamp went back: the chart starts again from there.
            draw_whole_chart(row, mouse);
            return;
        }
        previous = recent[i].time_us;
    }
    const std::int64_t right = column_of(previous);
    const std::int64_t shift = right - row.right_column;
    if (shift >= plot_width) {
        draw_whole_chart(row, mouse);
        return;
    }
    if (shift > 0) {
        // The chart moves left by the columns its mouse's time moved on: the
        // rows that hold dots, the others are background alone across it.
        const int moved = static_cast<int>(shift);
        row.chart_rows.move_left(*Canvas, plot_left, row.strip.top, moved);
        draw_plot_background(row, plot_width - moved, plot_width);
    }
    Canvas->Brush->Color = row.colour;
    LastDot last{.colour = row.colour};
    for (std::size_t i = first; i < recent.size(); ++i)
        draw_dot(row, recent[i], right, last);
    row.reports = mouse.reports();
    row.newest_us = previous;
    row.right_column = right;
}
