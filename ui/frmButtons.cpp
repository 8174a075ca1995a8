#include "ui/frmButtons.h"

#include <algorithm>

#include "measures/feed.h"
#include "rawinput/rawinput.h"

TForm4* Form4 = nullptr;

namespace {

namespace buttons = measures::buttons;

// The layout's client size; the table and its notes are placed within it.
constexpr int client_width = 720;
constexpr int table_top = 8;
constexpr int notes_bottom = 429;  // above the Reset and Close buttons
constexpr int max_notes = 3;       // the chatter window, the clock, the scrolling

constexpr vcl::TColor face = vcl::clBtnFace;
constexpr vcl::TColor text_colour = vcl::clWindowText;

// Changes whenever any mouse's button figures do: motion alone changes nothing shown.
std::uint64_t buttons_generation(const measures::Store& store) {
    std::uint64_t generation = 0;
    for (std::size_t i = 0; i < store.size(); ++i)
        generation += store[i].buttons.generation();
    return generation;
}

}  // namespace

TForm4::TForm4(vcl::TComponent* Owner) : MeasuresWindow(Owner), frame_([this] { draw(); }) {
    frame_.charge_to(this);
}

TForm4::~TForm4() {
    if (Form4 == this)
        Form4 = nullptr;
}

const vcl::FormClass& TForm4::form_class() {
    static const vcl::FormClass form_class = form_class_of<TForm4>("Form4")
                                                 .field("btnReset", &TForm4::btnReset)
                                                 .handler("btnResetClick", &TForm4::btnResetClick);
    return form_class;
}

void TForm4::FormCreate(vcl::TObject* /*Sender*/) {
    vcl::TCanvas& canvas = *Canvas;
    row_height_ = canvas.TextHeight("Hg") + 2;
    notes_top_ = notes_bottom - max_notes * row_height_;
    fit_ = static_cast<std::size_t>(std::max(1, (notes_top_ - 4 - line_top(0)) / row_height_));

    // Each column as wide as its title or its widest usual figure; the name
    // takes what is left.
    const buttons::Row& titles = buttons::column_titles();
    const auto width_of = [&](std::size_t c, const char* widest) {
        return column_width(canvas, titles[c], widest);
    };
    std::vector<int> widths(buttons::column::count);
    widths[buttons::column::mouse] = width_of(buttons::column::mouse, "-1");
    widths[buttons::column::button] = width_of(buttons::column::button, "middle");
    for (std::size_t c : {buttons::column::presses, buttons::column::clicks,
                          buttons::column::chatter, buttons::column::unpaired})
        widths[c] = width_of(c, "888888");
    for (std::size_t c : {buttons::column::gap, buttons::column::hold, buttons::column::hold_min})
        widths[c] = width_of(c, "88888.8");
    columns_ = lay_out_columns(widths, buttons::column::name,
                               {buttons::column::name, buttons::column::button}, client_width);
}

void TForm4::FormKeyDown(vcl::TObject* /*Sender*/, WORD& Key, vcl::TShiftState Shift) {
    measures_window_keys(Key, Shift);
    if (!plain_key(Shift))
        return;
    const auto first = static_cast<std::ptrdiff_t>(first_shown_);
    const auto page = static_cast<std::ptrdiff_t>(fit_);
    switch (Key) {
        case VK_UP:
            scroll_to(first - 1);
            break;
        case VK_DOWN:
            scroll_to(first + 1);
            break;
        case VK_PRIOR:
            scroll_to(first - page);
            break;
        case VK_NEXT:
            scroll_to(first + page);
            break;
        case VK_HOME:
            scroll_to(0);
            break;
        case VK_END:
            scroll_to(static_cast<std::ptrdiff_t>(rows_.size()));
            break;
        default:
            return;
    }
    Key = 0;
}

void TForm4::btnResetClick(vcl::TObject* /*Sender*/) {
    measures::feed().reset_buttons();
    draw();
}

void TForm4::measures_changed() {
    // Once per packet: a frame asked for already settles it at once.
    if (!frame_.pending() && Visible)
        frame_.request();
}

int TForm4::line_top(int line) const {
    return table_top + (line + 1) * row_height_;
}

vcl::TRect TForm4::cell_rect(std::size_t row, std::size_t column) const {
    const int top = line_top(static_cast<int>(row - first_shown_));
    const Column& c = columns_.at(column);
    return vcl::Rect(c.left, top, c.left + c.width, top + row_height_);
}

std::vector<TForm4::Row> TForm4::wanted_rows() const {
    // The mice: those listed at start, in their numbering, then the others.
    std::vector<std::pair<measures::Handle, int>> mice;
    const RawInputState& listed = raw_input_state;
    for (int i = 0; i < listed.raw_mouse_count; ++i)
        mice.emplace_back(measures::handle_of(listed.raw_mouse_handles[i]), i);
    const measures::Store& store = measures::feed().store();
    for (std::size_t i = 0; i < store.size(); ++i) {
        const measures::Handle handle = store[i].handle;
        if (std::none_of(mice.begin(), mice.end(),
                         [&](const auto& m) { return m.first == handle; }))
            mice.emplace_back(handle, -1);
    }
    std::vector<Row> rows;
    for (const auto& [handle, number] : mice) {
        const measures::Mouse* mouse = store.find(handle);
        if (mouse == nullptr)
            continue;
        const std::string name = measures::feed().name_of(handle);
        for (buttons::Button b : buttons::all) {
            const buttons::ButtonSummary s = mouse->buttons.summary(b);
            if (!s.seen())
                continue;
            rows.push_back({handle, number, b,
                            buttons::format_row(number, b, name, s, mouse->buttons.clock())});
        }
    }
    return rows;
}

std::vector<std::string> TForm4::wanted_notes() const {
    const measures::Store& store = measures::feed().store();
    std::vector<std::string> notes = {
        "Chatter: a press less than " + std::to_string(store.options().chatter_window_us / 1000) +
        " ms after the same button's release, a switch bouncing. Clicks: presses less chatter."};
    const measures::Clock clock = store.options().clock;
    if (clock == measures::Clock::receipt) {
        notes.push_back("Times: " + std::string(measures::clock_note(clock)) +
                        " (when rawmice received each packet: raw input carries no time stamp)");
    } else if (clock == measures::Clock::milliseconds) {
        notes.push_back("Times: " + std::string(measures::clock_note(clock)) +
                        " (the stamps are whole milliseconds)");
    }
    if (rows_.size() > fit_) {
        const std::size_t last = std::min(first_shown_ + fit_, rows_.size());
        notes.push_back("Rows " + std::to_string(first_shown_ + 1) + " to " + std::to_string(last) +
                        " of " + std::to_string(rows_.size()) +
                        ": the arrow keys, Page Up, Page Down, Home and End scroll");
    }
    return notes;
}

void TForm4::scroll_to(std::ptrdiff_t first) {
    const auto last_first =
        static_cast<std::ptrdiff_t>(rows_.size() > fit_ ? rows_.size() - fit_ : 0);
    const auto kept = static_cast<std::size_t>(std::clamp<std::ptrdiff_t>(first, 0, last_first));
    if (kept == first_shown_)
        return;
    first_shown_ = kept;
    drawn_ = false;
    draw();
}

void TForm4::draw() {
    if (!Visible)
        return;
    const measures::Store& store = measures::feed().store();
    const std::uint64_t generation = buttons_generation(store);
    if (drawn_ && generation == drawn_generation_ && measures::feed().resets() == drawn_resets_)
        return;  // nothing changed: nothing drawn
    drawn_generation_ = generation;
    drawn_resets_ = measures::feed().resets();
    ++drawings_;

    std::vector<Row> wanted = wanted_rows();
    const bool same_rows =
        wanted.size() == rows_.size() &&
        std::equal(wanted.begin(), wanted.end(), rows_.begin(), [](const Row& a, const Row& b) {
            return a.handle == b.handle && a.number == b.number && a.button == b.button;
        });
    if (!drawn_ || !same_rows || wanted_notes() != notes_) {
        rows_ = std::move(wanted);
        // Rows gone (a Reset) may leave the scroll past the end.
        first_shown_ = std::min(first_shown_, rows_.size() > fit_ ? rows_.size() - fit_ : 0);
        notes_ = wanted_notes();
        draw_all();
        drawn_ = true;
        return;
    }
    const std::size_t end = std::min(first_shown_ + fit_, rows_.size());
    for (std::size_t r = first_shown_; r < end; ++r) {
        const buttons::Row& cells = wanted[r].cells;
        for (std::size_t c = 0; c < cells.size(); ++c) {
            if (cells[c] == rows_[r].cells[c])
                continue;
            const bool chatter = c == buttons::column::chatter && cells[c] != "0";
            draw_cell(*Canvas, columns_[c], cell_rect(r, c).Top, row_height_, cells[c],
                      chatter ? chatter_face : face, text_colour);
        }
    }
    for (std::size_t r = 0; r < rows_.size(); ++r)
        rows_[r].cells = std::move(wanted[r].cells);
}

void TForm4::draw_all() {
    vcl::TCanvas& canvas = *Canvas;
    canvas.Brush->Color = face;
    canvas.FillRect(vcl::Rect(0, 0, client_width, notes_bottom + 4));
    const buttons::Row& titles = buttons::column_titles();
    for (std::size_t c = 0; c < titles.size(); ++c)
        draw_cell(canvas, columns_[c], line_top(-1), row_height_, titles[c], face, text_colour);
    if (rows_.empty()) {
        canvas.Font->Color = text_colour;
        canvas.TextOut(table_margin, line_top(0),
                       "No button pressed yet: a button appears here with its first press.");
    }
    const std::size_t end = std::min(first_shown_ + fit_, rows_.size());
    for (std::size_t r = first_shown_; r < end; ++r) {
        const buttons::Row& cells = rows_[r].cells;
        for (std::size_t c = 0; c < cells.size(); ++c) {
            const bool chatter = c == buttons::column::chatter && cells[c] != "0";
            draw_cell(*Canvas, columns_[c], cell_rect(r, c).Top, row_height_, cells[c],
                      chatter ? chatter_face : face, text_colour);
        }
    }
    draw_notes(canvas, notes_, notes_top_, row_height_, client_width);
}
