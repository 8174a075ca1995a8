#include "ui/measures_window.h"

#include <algorithm>
#include <cstdio>

#include "measures/feed.h"
#include "platform/frames/frames.h"
#include "ui/frmButtons.h"
#include "ui/frmCheck.h"
#include "ui/frmMovement.h"
#include "ui/frmPlot.h"
#include "ui/frmTiming.h"
#include "ui/principal.h"

namespace {

constexpr int column_gap = 10;

bool is_continuation(char c) {
    return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

}  // namespace

MeasuresWindow::MeasuresWindow(vcl::TComponent* Owner)
    : vcl::TForm(Owner), made_ns_(vcl::cost_clock_ns()) {
    KeyPreview = true;
    OnKeyDown = [this](vcl::TObject* sender, WORD& key, vcl::TShiftState shift) {
        FormKeyDown(sender, key, shift);
    };
    measures::feed().add_listener(this, [this] { measures_changed(); });
}

MeasuresWindow::~MeasuresWindow() {
    measures::feed().remove_listener(this);
}

std::int64_t MeasuresWindow::current_frame() {
    return frames::current_frame();
}

std::string MeasuresWindow::cost_line() const {
    return frame_cost_line(cost_name(), frame_cost(), vcl::cost_clock_ns() - made_ns_,
                           cost_details());
}

std::string frame_cost_line(const std::string& name, const vcl::FrameCost& cost,
                            std::int64_t open_ns, const std::string& details) {
    const double open_s = static_cast<double>(open_ns) / 1e9;
    // Milliseconds a second: the part's nanoseconds over the seconds open, over 10^6.
    const auto per_second = [&](std::int64_t ns) {
        return open_s > 0 ? static_cast<double>(ns) / 1e6 / open_s : 0.0;
    };
    char text[200];
    std::snprintf(text, sizeof text,
                  ": %.2f ms a second in its frames (drawing %.2f, painting %.2f, flushing "
                  "%.2f), %llu frames over %.1f s open",
                  per_second(cost.total_ns()), per_second(cost.ns[vcl::FrameCost::drawing]),
                  per_second(cost.ns[vcl::FrameCost::painting]),
                  per_second(cost.ns[vcl::FrameCost::flushing]),
                  static_cast<unsigned long long>(cost.frames), open_s);
    return name + text + (details.empty() ? "" : "; " + details) + "\n";
}

void MeasuresWindow::FormClose(vcl::TObject* /*Sender*/, vcl::TCloseAction& /*Action*/) {
    if (vcl::TForm::active() == this && Form1 != nullptr && Form1->Visible)
        Form1->SetFocus();
}

void MeasuresWindow::btnCloseClick(vcl::TObject* /*Sender*/) {
    hide_measures_window(this);
}

void MeasuresWindow::WMInput(vcl::TMessage& Message) {
    if (Form1 != nullptr)
        Form1->Dispatch(&Message);
}

void MeasuresWindow::FormKeyDown(vcl::TObject* /*Sender*/, WORD& Key, vcl::TShiftState Shift) {
    measures_window_keys(Key, Shift);
}

void measures_window_keys(WORD& Key, vcl::TShiftState Shift) {
    if (!plain_key(Shift))
        return;
    switch (Key) {
        case VK_F2:
            toggle_measures_window(Form3);
            break;
        case VK_F3:
            toggle_measures_window(Form4);
            break;
        case VK_F4:
            toggle_measures_window(Form5);
            break;
        case VK_F5:
            toggle_measures_window(Form6);
            break;
        case VK_F6:
            toggle_measures_window(Form7);
            break;
        default:
            return;
    }
    Key = 0;
}

void hide_measures_window(MeasuresWindow* form) {
    if (form == nullptr || !form->Visible)
        return;
    if (vcl::TForm::active() == form && Form1 != nullptr && Form1->Visible)
        Form1->SetFocus();
    form->Hide();
}

int column_width(const vcl::TCanvas& canvas, const std::string& title, const std::string& widest) {
    return std::max(canvas.TextWidth(title), canvas.TextWidth(widest));
}

std::vector<Column> lay_out_columns(std::vector<int> widths, std::size_t stretch,
                                    const std::vector<std::size_t>& left_aligned,
                                    int client_width) {
    int fixed = 0;
    for (std::size_t c = 0; c < widths.size(); ++c) {
        if (c != stretch)
            fixed += widths[c];
    }
    const int gaps = column_gap * static_cast<int>(widths.size() - 1);
    if (stretch < widths.size())
        widths[stretch] = std::max(40, client_width - 2 * table_margin - fixed - gaps);
    std::vector<Column> columns;
    int left = table_margin;
    for (std::size_t c = 0; c < widths.size(); ++c) {
        const bool text =
            std::find(left_aligned.begin(), left_aligned.end(), c) != left_aligned.end();
        columns.push_back({left, widths[c], text});
        left += widths[c] + column_gap;
    }
    return columns;
}

void draw_cell(vcl::TCanvas& canvas, const Column& column, int top, int height,
               const std::string& text, vcl::TColor face, vcl::TColor colour) {
    canvas.Brush->Color = face;
    canvas.FillRect(vcl::Rect(column.left, top, column.left + column.width, top + height));
    canvas.Font->Color = colour;
    const std::string shown = fitted_text(canvas, text, column.width);
    const int width = canvas.TextWidth(shown);
    canvas.TextOut(column.left_aligned ? column.left : column.left + column.width - width, top,
                   shown);
}

void draw_notes(vcl::TCanvas& canvas, const std::vector<std::string>& notes, int top,
                int row_height, int client_width) {
    canvas.Font->Color = vcl::clWindowText;
    canvas.Brush->Color = vcl::clBtnFace;
    for (std::size_t i = 0; i < notes.size(); ++i) {
        canvas.TextOut(table_margin, top + static_cast<int>(i) * row_height,
                       fitted_text(canvas, notes[i], client_width - 2 * table_margin));
    }
}

std::string fitted_text(const vcl::TCanvas& canvas, const std::string& text, int width) {
    if (canvas.TextWidth(text) <= width)
        return text;
    static const std::string ellipsis = "\xE2\x80\xA6";
    std::string cut = text;
    while (!cut.empty() && canvas.TextWidth(cut + ellipsis) > width) {
        cut.pop_back();
        while (!cut.empty() && is_continuation(cut.back()))
            cut.pop_back();
        if (!cut.empty() && (static_cast<unsigned char>(cut.back()) & 0xC0) == 0xC0)
            cut.pop_back();  // the lead byte of a character cut short
    }
    return cut + ellipsis;
}

void ChartRows::reset(int width, int height) {
    width_ = std::max(width, 1);
    height_ = std::clamp(height, 0, 32767);
    first_ = 0;
    spans_.assign(static_cast<std::size_t>(width_), Span{});
}

void ChartRows::drawn(int left, int right, int top, int bottom) {
    left = std::max(left, 0);
    right = std::min(right, width_);
    top = std::max(top, 0);
    bottom = std::min(bottom, height_);
    if (left >= right || top >= bottom)
        return;
    for (int c = left; c < right; ++c) {
        Span& span = at(c);
        if (span.top == span.bottom) {
            span = {static_cast<std::int16_t>(top), static_cast<std::int16_t>(bottom)};
        } else {
            span.top = std::min(span.top, static_cast<std::int16_t>(top));
            span.bottom = std::max(span.bottom, static_cast<std::int16_t>(bottom));
        }
    }
}

void ChartRows::cleared(int left, int right) {
    for (int c = std::max(left, 0); c < std::min(right, width_); ++c)
        at(c) = Span{};
}

std::vector<std::pair<int, int>> ChartRows::runs() const {
    // How many columns hold each row, by the rows where each column's span
    // starts and ends.
    std::vector<int> starts(static_cast<std::size_t>(height_) + 1, 0);
    for (const Span& span : spans_) {
        if (span.top == span.bottom)
            continue;
        ++starts[static_cast<std::size_t>(span.top)];
        --starts[static_cast<std::size_t>(span.bottom)];
    }
    std::vector<std::pair<int, int>> runs;
    int held = 0;
    for (int row = 0; row <= height_; ++row) {
        const int before = held;
        held += starts[static_cast<std::size_t>(row)];
        if (before == 0 && held > 0)
            runs.emplace_back(row, row);
        else if (before > 0 && held == 0)
            runs.back().second = row;
    }
    return runs;
}

void ChartRows::move_left(vcl::TCanvas& canvas, int x, int y, int shift) {
    if (shift <= 0 || shift >= width_)
        return;
    const int kept = width_ - shift;
    for (const auto& [top, bottom] : runs()) {
        canvas.CopyRect(vcl::Rect(x, y + top, x + kept, y + bottom), &canvas,
                        vcl::Rect(x + shift, y + top, x + width_, y + bottom));
    }
    first_ = (first_ + shift) % width_;
    // The columns now at the right still hold what was there: anything, until
    // they are drawn again.
    for (int c = kept; c < width_; ++c)
        at(c) = {0, static_cast<std::int16_t>(height_)};
}
