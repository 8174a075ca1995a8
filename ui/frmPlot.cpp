#include "ui/frmPlot.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "measures/feed.h"
#include "measures/movement.h"
#include "measures/tracking.h"
#include "platform/frames/frames.h"
#include "rawinput/rawinput.h"
#include "rawinput/report.h"
#include "ui/frmTiming.h"

TForm6* Form6 = nullptr;

namespace {

namespace plot = measures::plot;

constexpr int client_width = 880;
constexpr int margin = table_margin;
constexpr int panel_gap = 22;  // between the counts' x and y panels: the x panel's labels
constexpr int notes_top = TForm6::plot_top + TForm6::plot_height + 22;
constexpr int notes_bottom = 520;  // above Reset and Close
constexpr int mark_size = 7;
static_assert(TForm6::plot_left + TForm6::plot_width + 2 * margin == client_width);

constexpr vcl::TColor face = vcl::clBtnFace;
constexpr vcl::TColor plot_colour = vcl::clWhite;
constexpr vcl::TColor grid_colour = 0xE0E0E0;
constexpr vcl::TColor axis_colour = 0xA0A0A0;
constexpr vcl::TColor text_colour = vcl::clWindowText;

const char* const view_names[] = {"1  Counts (x, y)", "2  Speed", "3  Intervals", "4  Path (x, y)"};

// The least of 1, 2 and 5 times a power of ten that is at least `value`.
double nice_ceiling(double value) {
    if (!(value > 0))
        return 1;
    const double power = std::pow(10.0, std::floor(std::log10(value)));
    for (double m : {1.0, 2.0, 5.0, 10.0}) {
        if (m * power >= value * (1 - 1e-9))
            return m * power;
    }
    return 10 * power;
}

// The tick step for an axis from 0 to `top` (a nice_ceiling): 4 or 5 ticks.
double tick_step(double top) {
    const double power = std::pow(10.0, std::floor(std::log10(top) + 1e-9));
    const double mantissa = top / power;
    return mantissa < 1.5 ? power / 5 : mantissa < 3 ? power / 2 : power;
}

// A figure as an axis label: whole when it is, else to the decimals its step needs.
std::string axis_label(double value, double step) {
    int decimals = 0;
    while (decimals < 6 && std::abs(step * std::pow(10.0, decimals) -
                                    std::round(step * std::pow(10.0, decimals))) > 1e-6)
        ++decimals;
    std::array<char, 48> text{};
    std::snprintf(text.data(), text.size(), "%.*f", decimals, value);
    std::string s = text.data();
    if (s == "-0")
        s = "0";
    return s;
}

// The text of a file name in the system's form, from UTF-8.
std::filesystem::path path_of(const std::string& utf8) {
    return std::filesystem::path(
        std::u8string(reinterpret_cast<const char8_t*>(utf8.data()), utf8.size()));
}

// Runs `each(report, index)` on the relative reports of `span` from number
// `drawn` on (those a path has not drawn yet, or the span's first where it
// dropped them since), until `each` returns false.
template <class Each>
void each_new_report(const plot::MouseSpan& span, std::uint64_t drawn, Each&& each) {
    const std::uint64_t from = std::max(drawn, span.first_number());
    for (auto i = static_cast<std::size_t>(from - span.first_number()); i < span.size(); ++i) {
        const plot::Report r = span[i];
        if (!r.absolute && !each(r, i))
            return;
    }
}

}  // namespace

TForm6::TForm6(vcl::TComponent* Owner) : MeasuresWindow(Owner), frame_([this] { draw(); }) {
    frame_.charge_to(this);
    frame_.at_most(plot_frames_per_second);
}

TForm6::~TForm6() {
    if (Form6 == this)
        Form6 = nullptr;
}

const vcl::FormClass& TForm6::form_class() {
    static const vcl::FormClass form_class = [] {
        vcl::FormClass c = form_class_of<TForm6>("Form6");
        c.field("cmbMouse", &TForm6::cmbMouse)
            .field("cmbView", &TForm6::cmbView)
            .field("edtCpi", &TForm6::edtCpi)
            .field("btnSavePicture", &TForm6::btnSavePicture)
            .field("btnSaveData", &TForm6::btnSaveData)
            .field("btnReset", &TForm6::btnReset)
            .handler("cmbMouseChange", &TForm6::cmbMouseChange)
            .handler("cmbViewChange", &TForm6::cmbViewChange)
            .handler("btnSavePictureClick", &TForm6::btnSavePictureClick)
            .handler("btnSaveDataClick", &TForm6::btnSaveDataClick)
            .handler("btnResetClick", &TForm6::btnResetClick);
        return c;
    }();
    return form_class;
}

void TForm6::FormCreate(vcl::TObject* /*Sender*/) {
    // From now on every packet is kept for the plot.
    measures::feed().start_plot();
    row_height_ = Canvas->TextHeight("Hg") + 2;
    cmbView->SetItems(std::vector<std::string>(std::begin(view_names), std::end(view_names)));
    cmbView->ItemIndex = 0;
    fill_chooser();
    lay_out();
}

vcl::TColor TForm6::mouse_colour(int number) {
    return TForm3::mouse_colour(number);
}

std::vector<TForm6::Shown> TForm6::numbered() const {
    std::vector<Shown> mice;
    const RawInputState& listed = raw_input_state;
    for (int i = 0; i < listed.raw_mouse_count; ++i) {
        Shown m;
        m.handle = measures::handle_of(listed.raw_mouse_handles[i]);
        m.number = i;
        m.log_handle = report::handle_as_int(listed.raw_mouse_handles[i]);
        m.colour = mouse_colour(i);
        mice.push_back(std::move(m));
    }
    return mice;
}

void TForm6::fill_chooser() {
    std::vector<std::string> items = {"Every numbered mouse"};
    for (const Shown& m : numbered()) {
        const std::string name = measures::feed().name_of(m.handle);
        items.push_back("Mouse " + std::to_string(m.number) + (name.empty() ? "" : ": " + name));
    }
    cmbMouse->SetItems(items);
    const int count = static_cast<int>(items.size()) - 1;
    if (chosen_ >= count)
        chosen_ = -1;
    cmbMouse->ItemIndex = chosen_ + 1;
}

void TForm6::choose(int number) {
    chosen_ = number;
    cmbMouse->ItemIndex = number + 1;
    whole_wanted_ = true;
    if (Visible)
        frame_.run_or_request();
}

void TForm6::set_view(View view) {
    view_ = view;
    cmbView->ItemIndex = static_cast<int>(view);
    whole_wanted_ = true;
    if (Visible)
        frame_.run_or_request();
}

void TForm6::cmbMouseChange(vcl::TObject* /*Sender*/) {
    choose(std::max(-1, cmbMouse->ItemIndex.get() - 1));
}

void TForm6::cmbViewChange(vcl::TObject* /*Sender*/) {
    const int index = cmbView->ItemIndex;
    if (index >= 0 && index < static_cast<int>(view_count))
        set_view(static_cast<View>(index));
}

void TForm6::FormKeyDown(vcl::TObject* /*Sender*/, WORD& Key, vcl::TShiftState Shift) {
    measures_window_keys(Key, Shift);
    if (Key == 0 || !plain_key(Shift))
        return;
    if (edtCpi->Focused()) {
        if (Key == VK_RETURN) {
            apply_cpi();
            Key = 0;
        }
        return;
    }
    if (Key >= '1' && Key < '1' + view_count) {
        set_view(static_cast<View>(Key - '1'));
        Key = 0;
    }
}

void TForm6::apply_cpi() {
    const std::string text = edtCpi->Text;
    const std::size_t first = text.find_first_not_of(' ');
    const std::string trimmed = first == std::string::npos
                                    ? std::string()
                                    : text.substr(first, text.find_last_not_of(' ') - first + 1);
    double cpi = 0;
    std::size_t used = 0;
    bool valid = false;
    try {
        cpi = std::stod(trimmed, &used);
        valid = used == trimmed.size() && cpi >= measures::tracking::min_cpi &&
                cpi <= measures::tracking::max_cpi;
    } catch (const std::exception&) {
        valid = false;
    }
    if (!valid) {
        status_ = "'" + trimmed + "' is not a CPI from " +
                  std::to_string(measures::tracking::min_cpi) + " to " +
                  std::to_string(measures::tracking::max_cpi) + ".";
    } else {
        status_.clear();
        for (const Shown& m : numbered()) {
            if (chosen_ < 0 || m.number == chosen_)
                measures::feed().set_cpi(m.handle, cpi);
        }
    }
    whole_wanted_ = true;
    if (Visible)
        frame_.run_or_request();
}

void TForm6::btnResetClick(vcl::TObject* /*Sender*/) {
    measures::feed().reset_tracking();
    status_.clear();
    whole_wanted_ = true;
    if (Visible)
        frame_.run_or_request();
}

std::optional<std::string> TForm6::ask_file(const char* title, const char* kind,
                                            const char* extension) {
    vcl::TSaveDialog dialog(this);
    dialog.Title = title;
    dialog.Filter = std::string(kind) + " (*." + extension + ")|*." + extension;
    dialog.DefaultExt = extension;
    dialog.FileName = std::string("rawmice-plot.") + extension;
    if (!dialog.Execute())
        return std::nullopt;
    return dialog.FileName;
}

void TForm6::btnSavePictureClick(vcl::TObject* /*Sender*/) {
    if (const std::optional<std::string> path = ask_file("Save picture", "PNG picture", "png"))
        save_picture(*path);
}

void TForm6::btnSaveDataClick(vcl::TObject* /*Sender*/) {
    if (const std::optional<std::string> path = ask_file("Save data", "CSV data", "csv"))
        save_data(*path);
}

vcl::TRect TForm6::picture_rect() const {
    return vcl::Rect(0, plot_top - 22, client_width, notes_bottom);
}

bool TForm6::save_picture(const std::string& path) {
    frame_.flush();
    draw();
    try {
        Canvas->SaveToPNG(path, picture_rect());
        status_ = "Saved the picture to " + path;
    } catch (const vcl::Exception& e) {
        status_ = "Could not save the picture: " + e.Message();
        whole_wanted_ = true;
        draw();
        return false;
    }
    whole_wanted_ = true;
    draw();
    return true;
}

bool TForm6::save_data(const std::string& path) {
    const plot::Plot* spans = measures::feed().plot();
    std::vector<plot::CsvMouse> mice;
    for (const Shown& m : numbered()) {
        if (chosen_ < 0 || m.number == chosen_) {
            const measures::Mouse* mouse = measures::feed().store().find(m.handle);
            mice.push_back({m.handle, m.number, m.log_handle,
                            mouse != nullptr ? mouse->tracking.cpi() : std::nullopt});
        }
    }
    // Written beside it and put in its place once whole: a failed save
    // leaves no half file, and an older file stays until then.
    const std::filesystem::path target = path_of(path);
    std::filesystem::path part = target;
    part += ".part";
    std::uint64_t lines = 0;
    bool written = false;
    {
        std::ofstream out(part, std::ios::binary | std::ios::trunc);
        if (out) {
            static const plot::Plot empty;
            lines = plot::write_csv(out, spans != nullptr ? *spans : empty, mice);
            out.close();
            written = !out.fail();
        }
    }
    std::error_code error;
    if (written) {
        std::filesystem::rename(part, target, error);
        if (error) {
            // Some systems do not replace a file by renaming over it.
            std::filesystem::remove(target, error);
            std::filesystem::rename(part, target, error);
        }
    }
    if (!written || error) {
        std::filesystem::remove(part, error);
        status_ = "Could not save the data to " + path;
        whole_wanted_ = true;
        draw();
        return false;
    }
    status_ = "Saved " + std::to_string(lines) + " reports to " + path;
    whole_wanted_ = true;
    draw();
    return true;
}

void TForm6::measures_changed() {
    // Once per packet: a frame asked for already settles it at once.
    if (!frame_.pending() && Visible)
        frame_.request();
}

void TForm6::refresh() {
    whole_wanted_ = true;
    draw();
}

void TForm6::lay_out() {
    panels_.clear();
    if (view_ == View::counts) {
        const int height = (plot_height - panel_gap) / 2;
        panels_.push_back({plot_left, plot_top, plot_width, height});
        panels_.push_back({plot_left, plot_top + height + panel_gap, plot_width, height});
    } else {
        panels_.push_back({plot_left, plot_top, plot_width, plot_height});
    }
}

double TForm6::value_factor(const Shown& mouse) const {
    return mps_ && mouse.cpi ? 25.4 / *mouse.cpi : 1.0;
}

std::int64_t TForm6::wanted_width_us() const {
    const std::int64_t length = shown_length_us();
    for (std::int64_t width : widths_us) {
        if (width >= length)
            return width;
    }
    return widths_us[std::size(widths_us) - 1];
}

std::int64_t TForm6::shown_length_us() const {
    const plot::Plot* spans = measures::feed().plot();
    std::int64_t oldest = 0;
    std::int64_t newest = 0;
    bool any = false;
    for (const Shown& m : shown_) {
        const plot::MouseSpan* span = spans != nullptr ? spans->find(m.handle) : nullptr;
        if (span == nullptr || span->empty())
            continue;
        const std::int64_t first = span->time_us(0);
        const std::int64_t last = span->time_us(span->size() - 1);
        oldest = any ? std::min(oldest, first) : first;
        newest = any ? std::max(newest, last) : last;
        any = true;
    }
    return any ? newest - oldest : 0;
}

void TForm6::scale_values(bool& changed) {
    // The greatest value in view; the axis changes only when it no longer
    // holds it, or holds it in less than a fifth of its height.
    double greatest = 0;
    const std::int64_t from = right_column_ - plot_width + 1;
    for (const Shown& m : shown_) {
        const plot::Columns& cs = m.columns;
        if (cs.empty())
            continue;
        const double factor = value_factor(m);
        for (std::int64_t n = std::max(from, cs.first()); n <= std::min(right_column_, cs.last());
             ++n) {
            const plot::Column& c = cs.at(n);
            if (view_ == View::counts && c.counts) {
                greatest = std::max({greatest, std::abs(static_cast<double>(c.min_dx)),
                                     std::abs(static_cast<double>(c.max_dx)),
                                     std::abs(static_cast<double>(c.min_dy)),
                                     std::abs(static_cast<double>(c.max_dy))});
            } else if (view_ == View::speed && c.speed()) {
                greatest = std::max(greatest, c.max_speed * factor);
            }
        }
    }
    const double floor = view_ == View::counts ? 1 : mps_ ? 0.01 : 0.1;
    greatest = std::max(greatest, floor);
    if (top_ > 0 && greatest <= top_ && greatest > top_ / 5)
        return;
    const double top = nice_ceiling(greatest);
    if (top != top_) {
        top_ = top;
        step_ = tick_step(top);
        changed = true;
    }
}

bool TForm6::take_changes() {
    bool whole = whole_wanted_ || !drawn_;
    whole_wanted_ = false;
    // The mice shown: the chooser follows the numbered mice.
    std::vector<Shown> wanted = numbered();
    if (static_cast<int>(cmbMouse->Items().size()) != static_cast<int>(wanted.size()) + 1)
        fill_chooser();
    if (chosen_ >= 0)
        std::erase_if(wanted, [&](const Shown& m) { return m.number != chosen_; });
    const bool same_mice = wanted.size() == shown_.size() &&
                           std::equal(wanted.begin(), wanted.end(), shown_.begin(),
                                      [](const Shown& a, const Shown& b) {
                                          return a.handle == b.handle && a.number == b.number;
                                      });
    if (!same_mice) {
        shown_ = std::move(wanted);
        width_us_ = 0;
        whole = true;
    }
    const measures::Store& store = measures::feed().store();
    bool every_cpi = !shown_.empty();
    for (Shown& m : shown_) {
        const measures::Mouse* mouse = store.find(m.handle);
        const std::optional<double> cpi = mouse != nullptr ? mouse->tracking.cpi() : std::nullopt;
        if (cpi != m.cpi) {
            m.cpi = cpi;
            whole = true;
        }
        every_cpi = every_cpi && cpi.has_value();
    }
    if (every_cpi != mps_) {
        mps_ = every_cpi;
        top_ = 0;
        whole = true;
    }
    lay_out();
    const std::string unit = view_ == View::counts      ? "counts"
                             : view_ == View::speed     ? (mps_ ? "m/s" : "counts/ms")
                             : view_ == View::intervals ? "interval"
                                                        : "counts";
    if (unit != unit_) {
        unit_ = unit;
        top_ = 0;
        whole = true;
    }
    std::vector<std::string> notes = wanted_notes();
    if (notes != notes_) {
        notes_ = std::move(notes);
        notes_changed_ = true;
    }
    if (view_ == View::path)
        return whole;

    const std::int64_t width = wanted_width_us();
    if (width != width_us_) {
        width_us_ = width;
        column_us_ = (width + plot_width - 1) / plot_width;
        for (Shown& m : shown_)
            m.columns.restart(column_us_);
        whole = true;
    }
    const plot::Plot* spans = measures::feed().plot();
    std::int64_t right = std::numeric_limits<std::int64_t>::min();
    for (Shown& m : shown_) {
        const plot::MouseSpan* span = spans != nullptr ? spans->find(m.handle) : nullptr;
        if (span == nullptr)
            continue;
        m.columns.fold(*span, plot_width + 2);
        if (!span->empty())
            right = std::max(right, span->time_us(span->size() - 1));
    }
    if (right == std::numeric_limits<std::int64_t>::min())
        right = right_us_;
    const std::int64_t right_column = measures::floor_div(right, column_us_);
    if (right_column < right_column_)
        whole = true;  // a stamp went back
    right_us_ = right;
    if (view_ != View::intervals) {
        const std::int64_t before = right_column_;
        right_column_ = right_column;
        scale_values(whole);
        right_column_ = before;
    }
    return whole;
}

std::string TForm6::cost_details() const {
    const plot::Plot* spans = measures::feed().plot();
    std::array<char, 100> text{};
    std::snprintf(text.data(), text.size(), "%llu drawn whole, spans %.1f MB",
                  static_cast<unsigned long long>(whole_drawings_),
                  spans != nullptr ? static_cast<double>(spans->memory_bytes()) / 1e6 : 0.0);
    return text.data();
}

void TForm6::draw() {
    if (!Visible)
        return;
    draw_now();
}

void TForm6::draw_now() {
    const plot::Plot* spans = measures::feed().plot();
    const std::uint64_t generation = (spans != nullptr ? spans->generation() : 0) +
                                     measures::feed().store().generation() +
                                     measures::feed().resets();
    if (drawn_ && !whole_wanted_ && generation == drawn_generation_)
        return;  // nothing changed: nothing drawn
    drawn_generation_ = generation;
    const bool whole = take_changes();
    ++drawings_;
    if (notes_changed_ && !whole) {
        Canvas->Brush->Color = face;
        Canvas->FillRect(vcl::Rect(0, notes_top, client_width, notes_bottom));
        draw_notes(*Canvas, notes_, notes_top, row_height_, client_width);
    }
    notes_changed_ = false;
    if (view_ == View::path) {
        draw_path(whole);
        drawn_ = true;
        return;
    }
    const std::int64_t right = measures::floor_div(right_us_, column_us_);
    const bool rows_kept =
        std::equal(panels_.begin(), panels_.end(), panel_rows_.begin(), panel_rows_.end(),
                   [](const Panel& p, const ChartRows& r) { return r.fits(p.width, p.height); });
    if (whole || right - right_column_ >= plot_width || !rows_kept) {
        right_column_ = right;
        draw_whole();
        return;
    }
    // What changed: the columns new since, and those that gained reports (a
    // mouse that sent nothing since changed none of its columns).
    std::int64_t from = right_column_;
    for (const Shown& m : shown_) {
        if (m.columns.changed_from() <= m.columns.last())
            from = std::min(from, m.columns.changed_from());
    }
    const std::int64_t shift = right - right_column_;
    if (shift > 0) {
        // Everything moves left by the columns the time moved on: the rows
        // that hold anything, the others are background alone across.
        for (std::size_t i = 0; i < panels_.size(); ++i)
            panel_rows_[i].move_left(*Canvas, panels_[i].left, panels_[i].top,
                                     static_cast<int>(shift));
    }
    right_column_ = right;
    draw_time_columns(std::max(from, right - plot_width + 1), right);
}

void TForm6::draw_whole() {
    ++whole_drawings_;
    draw_frame_and_axes();
    draw_time_columns(right_column_ - plot_width + 1, right_column_);
    drawn_ = true;
}

int TForm6::x_of_time(std::int64_t time_us) const {
    const std::int64_t back = right_column_ - measures::floor_div(time_us, column_us_);
    return plot_left + plot_width - 1 -
           static_cast<int>(std::clamp<std::int64_t>(back, -1, plot_width));
}

int TForm6::y_of_value(std::size_t panel, double value) const {
    const Panel& p = panels_.at(panel);
    if (view_ == View::intervals)
        return TForm3::y_of(static_cast<std::int64_t>(std::llround(value)), {p.top, p.height});
    const double low = view_ == View::counts ? -top_ : 0;
    const double up = (std::clamp(value, low, top_) - low) / (top_ - low);
    return p.top + (p.height - 1) - static_cast<int>(std::lround(up * (p.height - 1)));
}

std::pair<int, int> TForm6::path_pixel(double x, double y) const {
    return {plot_left + static_cast<int>(std::floor((x - path_left_) * path_scale_)),
            plot_top + static_cast<int>(std::floor((y - path_top_) * path_scale_))};
}

std::vector<std::string> TForm6::wanted_notes() const {
    std::vector<std::string> notes;
    switch (view_) {
        case View::counts:
            notes.push_back(
                "Counts: each report's x (above) and y (below) against its own time; a column "
                "spans its reports' least and greatest.");
            break;
        case View::speed:
            notes.push_back(std::string("Speed: over the last 4 ms of each stroke, in ") +
                            (mps_ ? "m/s (every mouse shown has a CPI)"
                                  : "counts/ms (m/s once every mouse shown has a CPI: type it "
                                    "and press Enter)"));
            break;
        case View::intervals:
            notes.push_back(
                "Intervals: since each report's report before (100 \xC2\xB5s to 50 ms, "
                "logarithmic); pink: off the mouse's poll grid.");
            break;
        case View::path:
            notes.push_back(
                "Path: each mouse's counts added up from its first report shown, x across and y "
                "down, equal scales.");
            break;
    }
    notes.push_back(
        "Marks: a framed square is a saturated report (counts beyond its field's limit lost); a "
        "black square and dotted line a spin-out.");
    // What is shown and kept, in whole seconds and megabytes: it changes
    // seldom, and only then are the notes drawn again.
    const plot::Plot* spans = measures::feed().plot();
    std::string span = "Each mouse's last 30 s of its own time since Reset";
    if (spans != nullptr) {
        span += ": " + std::to_string(shown_length_us() / 1'000'000) + " s shown, " +
                std::to_string((spans->memory_bytes() + 512 * 1024) / (1024 * 1024)) +
                " MB kept for every mouse";
    }
    notes.push_back(span + ".");
    if (!status_.empty())
        notes.push_back(status_);
    return notes;
}

void TForm6::draw_frame_and_axes() {
    vcl::TCanvas& canvas = *Canvas;
    canvas.Brush->Color = face;
    canvas.FillRect(vcl::Rect(0, plot_top - 22, client_width, notes_bottom));
    const int text_height = canvas.TextHeight("Hg");
    canvas.Font->Color = text_colour;
    canvas.TextOut(margin, plot_top - 20, unit_);
    if (shown_.empty()) {
        canvas.TextOut(plot_left, plot_top,
                       "No mouse is numbered yet: a mouse appears here once it is listed.");
    }
    // The mice shown, in their colours, along the top.
    int legend_x = plot_left + 80;
    for (const Shown& m : shown_) {
        const std::string text = "Mouse " + std::to_string(m.number);
        canvas.Brush->Color = m.colour;
        canvas.FillRect(vcl::Rect(legend_x, plot_top - 16, legend_x + 8, plot_top - 8));
        canvas.Brush->Color = face;
        canvas.Font->Color = m.colour;
        canvas.TextOut(legend_x + 12, plot_top - 20, text);
        legend_x += 12 + canvas.TextWidth(text) + 16;
    }
    canvas.Font->Color = text_colour;
    for (const Panel& p : panels_) {
        canvas.Brush->Color = axis_colour;
        canvas.FillRect(
            vcl::Rect(p.left - 1, p.top - 1, p.left + p.width + 1, p.top + p.height + 1));
        canvas.Brush->Color = face;
    }
    if (view_ == View::counts) {
        canvas.TextOut(margin, panels_[0].top + panels_[0].height / 2 - text_height, "x");
        canvas.TextOut(margin, panels_[1].top + panels_[1].height / 2 - text_height, "y");
    }
    // The value axis.
    for (std::size_t i = 0; i < panels_.size(); ++i) {
        const Panel& p = panels_[i];
        std::vector<std::pair<double, std::string>> ticks;
        if (view_ == View::intervals) {
            ticks = {{100, "100 \xC2\xB5s"}, {1000, "1 ms"}, {10'000, "10 ms"}, {50'000, "50 ms"}};
        } else if (view_ != View::path) {
            const double low = view_ == View::counts ? -top_ : 0;
            for (double v = low; v <= top_ * (1 + 1e-9); v += step_)
                ticks.emplace_back(v, axis_label(v, step_));
        }
        for (const auto& [value, label] : ticks) {
            const int y = std::clamp(y_of_value(i, value) - text_height / 2,
                                     p.top - text_height / 2, p.top + p.height - text_height / 2);
            canvas.TextOut(p.left - 4 - canvas.TextWidth(label), y, label);
        }
    }
    // The time axis, under the last panel: seconds before the newest report.
    if (view_ != View::path) {
        const Panel& p = panels_.back();
        const double seconds = static_cast<double>(width_us_) / 1e6;
        const double step = width_us_ <= 1'000'000    ? 0.2
                            : width_us_ <= 2'000'000  ? 0.5
                            : width_us_ <= 5'000'000  ? 1
                            : width_us_ <= 10'000'000 ? 2
                                                      : 5;
        for (double t = 0; t <= seconds + 1e-9; t += step) {
            const int x = p.left + p.width - 1 -
                          static_cast<int>(std::lround(t * 1e6 / static_cast<double>(column_us_)));
            const std::string label = (t == 0 ? std::string("0") : axis_label(-t, step)) + " s";
            canvas.Brush->Color = axis_colour;
            canvas.FillRect(vcl::Rect(x, p.top + p.height + 1, x + 1, p.top + p.height + 4));
            canvas.Brush->Color = face;
            canvas.TextOut(std::clamp(x - canvas.TextWidth(label) / 2, p.left - 20,
                                      client_width - margin - canvas.TextWidth(label)),
                           p.top + p.height + 4, label);
        }
    }
    draw_notes(canvas, notes_, notes_top, row_height_, client_width);
}

void TForm6::draw_time_columns(std::int64_t from, std::int64_t to) {
    if (from > to)
        return;
    columns_drawn_ += static_cast<std::uint64_t>(to - from + 1);
    vcl::TCanvas& canvas = *Canvas;
    const int left = plot_left + plot_width - 1 - static_cast<int>(right_column_ - from);
    const int right = plot_left + plot_width - static_cast<int>(right_column_ - to);
    // The background and the value grid over those columns.
    panel_rows_.resize(panels_.size());
    for (std::size_t i = 0; i < panels_.size(); ++i) {
        const Panel& p = panels_[i];
        ChartRows& rows = panel_rows_[i];
        rows.fit(p.width, p.height);
        rows.cleared(left - p.left, right - p.left);
        canvas.Brush->Color = plot_colour;
        canvas.FillRect(vcl::Rect(left, p.top, right, p.top + p.height));
        canvas.Brush->Color = grid_colour;
        if (view_ == View::intervals) {
            for (double us : {1000.0, 10'000.0}) {
                const int y = y_of_value(i, us);
                canvas.FillRect(vcl::Rect(left, y, right, y + 1));
            }
        } else {
            const double low = view_ == View::counts ? -top_ : 0;
            for (double v = low + step_; v < top_ * (1 - 1e-9); v += step_) {
                const int y = y_of_value(i, v);
                canvas.FillRect(vcl::Rect(left, y, right, y + 1));
            }
            if (view_ == View::counts) {
                canvas.Brush->Color = axis_colour;  // zero
                const int y = y_of_value(i, 0);
                canvas.FillRect(vcl::Rect(left, y, right, y + 1));
            }
        }
    }
    for (std::int64_t n = from; n <= to; ++n)
        draw_column(n, plot_left + plot_width - 1 - static_cast<int>(right_column_ - n));
    // The marks last: each is wider than a column, and those just left of
    // the columns drawn were cut by their background.
    // Their frames first, then the insides: a run of saturated reports
    // shows as one framed bar of its mouse's colour.
    for (int pass = 0; pass < 2; ++pass) {
        for (std::int64_t n = std::max(from - mark_size, right_column_ - plot_width + 1); n <= to;
             ++n) {
            const int x = plot_left + plot_width - 1 - static_cast<int>(right_column_ - n);
            for (const Shown& m : shown_) {
                const plot::Columns& cs = m.columns;
                if (cs.empty() || n < cs.first() || n > cs.last())
                    continue;
                const plot::Column& c = cs.at(n);
                if (c.spinout && pass == 0) {
                    canvas.Brush->Color = mark_colour;
                    for (std::size_t i = 0; i < panels_.size(); ++i) {
                        const Panel& p = panels_[i];
                        for (int y = p.top + mark_size + 1; y < p.top + p.height; y += 2)
                            canvas.FillRect(vcl::Rect(x, y, x + 1, y + 1));
                        panel_rows_[i].drawn(x - p.left, x + 1 - p.left, mark_size + 1, p.height);
                    }
                }
                if (c.spinout || c.saturated) {
                    for (std::size_t i = 0; i < panels_.size(); ++i) {
                        const Panel& p = panels_[i];
                        draw_mark(x, p.top + mark_size / 2, m.colour, c.spinout, pass);
                        panel_rows_[i].drawn(x - mark_size / 2 - p.left,
                                             x + mark_size / 2 + 1 - p.left, 0, mark_size);
                    }
                }
            }
        }
    }
}

void TForm6::draw_mark(int x, int y, vcl::TColor colour, bool spinout, int pass) {
    // A square of mark_size centred on (x, y), within the plot: solid for a
    // spin-out, framed around the mouse's colour for a saturated report.
    vcl::TCanvas& canvas = *Canvas;
    const int half = mark_size / 2;
    const auto clip = [&](int l, int t, int r, int b) {
        return vcl::Rect(std::max(l, plot_left), std::max(t, plot_top),
                         std::min(r, plot_left + plot_width), std::min(b, plot_top + plot_height));
    };
    if (pass != 1) {
        canvas.Brush->Color = mark_colour;
        canvas.FillRect(clip(x - half, y - half, x + half + 1, y + half + 1));
    }
    if (!spinout && pass != 0) {
        canvas.Brush->Color = colour;
        canvas.FillRect(clip(x - half + 1, y - half + 1, x + half, y + half));
    }
}

void TForm6::draw_column(std::int64_t number, int x) {
    vcl::TCanvas& canvas = *Canvas;
    const auto fill = [&](std::size_t panel, int y1, int y2) {
        const int top = std::min(y1, y2);
        const int bottom = std::max(y1, y2) + 1;
        canvas.FillRect(vcl::Rect(x, top, x + 1, bottom));
        const Panel& p = panels_[panel];
        panel_rows_[panel].drawn(x - p.left, x + 1 - p.left, top - p.top, bottom - p.top);
    };
    for (const Shown& m : shown_) {
        const plot::Columns& cs = m.columns;
        if (cs.empty() || number < cs.first() || number > cs.last())
            continue;
        const plot::Column& c = cs.at(number);
        const plot::Column* before = number > cs.first() ? &cs.at(number - 1) : nullptr;
        canvas.Brush->Color = m.colour;
        switch (view_) {
            case View::counts:
                if (!c.counts)
                    break;
                // Joined to the column before: its range reaches towards it.
                for (std::size_t axis = 0; axis < 2; ++axis) {
                    double low = axis == 0 ? c.min_dx : c.min_dy;
                    double high = axis == 0 ? c.max_dx : c.max_dy;
                    if (before != nullptr && before->counts) {
                        low = std::min(
                            low, static_cast<double>(axis == 0 ? before->max_dx : before->max_dy));
                        high = std::max(
                            high, static_cast<double>(axis == 0 ? before->min_dx : before->min_dy));
                    }
                    fill(axis, y_of_value(axis, low), y_of_value(axis, high));
                }
                break;
            case View::speed: {
                if (!c.speed())
                    break;
                const double factor = value_factor(m);
                double low = c.min_speed * factor;
                double high = c.max_speed * factor;
                if (before != nullptr && before->speed()) {
                    low = std::min(low, before->max_speed * factor);
                    high = std::max(high, before->min_speed * factor);
                }
                fill(0, y_of_value(0, low), y_of_value(0, high));
                break;
            }
            case View::intervals:
                if (c.on())
                    fill(0, y_of_value(0, c.min_on), y_of_value(0, c.max_on));
                if (c.off()) {
                    canvas.Brush->Color = TForm3::off_grid_colour;
                    fill(0, y_of_value(0, c.min_off), y_of_value(0, c.max_off));
                }
                break;
            case View::path:
                break;
        }
    }
}

void TForm6::draw_path(bool whole) {
    const plot::Plot* spans = measures::feed().plot();
    const auto span_of = [&](const Shown& m) -> const plot::MouseSpan* {
        return spans != nullptr ? spans->find(m.handle) : nullptr;
    };
    const std::int64_t now_ms = frames::clock_us() / 1000;
    if (!whole) {
        // Reports that left the span, or a span started again: drawn whole
        // again, at most every path_redraw_ms; new ones outside the box at once.
        for (const Shown& m : shown_) {
            const plot::MouseSpan* span = span_of(m);
            if (span == nullptr)
                continue;
            if (span->revision() != m.path_revision || span->added() < m.path_drawn ||
                (span->first_number() > m.path_first && now_ms - path_whole_ms_ >= path_redraw_ms))
                whole = true;
        }
    }
    if (!whole) {
        // Only the new reports, when they fit the box.
        for (const Shown& m : shown_) {
            const plot::MouseSpan* span = span_of(m);
            if (span == nullptr || span->empty())
                continue;
            double x = m.sum_x;
            double y = m.sum_y;
            each_new_report(*span, m.path_drawn, [&](const plot::Report& r, std::size_t) {
                x += r.dx;
                y += r.dy;
                const auto [px, py] = path_pixel(x, y);
                whole = px < plot_left || px >= plot_left + plot_width || py < plot_top ||
                        py >= plot_top + plot_height;
                return !whole;
            });
            if (whole)
                break;
        }
    }
    vcl::TCanvas& canvas = *Canvas;
    if (whole) {
        ++whole_drawings_;
        path_whole_ms_ = now_ms;
        // The box: every mouse's path from its first report shown.
        double min_x = 0, max_x = 0, min_y = 0, max_y = 0;
        for (const Shown& m : shown_) {
            const plot::MouseSpan* span = span_of(m);
            if (span == nullptr)
                continue;
            double x = 0, y = 0;
            for (std::size_t i = 0; i < span->size(); ++i) {
                const plot::Report r = (*span)[i];
                if (r.absolute)
                    continue;
                x += r.dx;
                y += r.dy;
                min_x = std::min(min_x, x);
                max_x = std::max(max_x, x);
                min_y = std::min(min_y, y);
                max_y = std::max(max_y, y);
            }
        }
        // Equal scales: the longer side of the box fills its side of the plot.
        const double extent = std::max({max_x - min_x, max_y - min_y, 10.0});
        path_step_ = tick_step(nice_ceiling(extent / 1.25));
        const double left = std::floor(min_x / path_step_) * path_step_;
        const double top = std::floor(min_y / path_step_) * path_step_;
        const double right = std::ceil(max_x / path_step_) * path_step_;
        const double bottom = std::ceil(max_y / path_step_) * path_step_;
        path_scale_ = std::min((plot_width - 1) / std::max(right - left, path_step_),
                               (plot_height - 1) / std::max(bottom - top, path_step_));
        // Centred in the plot.
        path_left_ = left - ((plot_width - 1) / path_scale_ - (right - left)) / 2;
        path_top_ = top - ((plot_height - 1) / path_scale_ - (bottom - top)) / 2;
        draw_frame_and_axes();
        canvas.Brush->Color = plot_colour;
        canvas.FillRect(
            vcl::Rect(plot_left, plot_top, plot_left + plot_width, plot_top + plot_height));
        // The grid, every step both ways, labelled along the left and the bottom.
        const int text_height = canvas.TextHeight("Hg");
        for (double v = std::ceil(path_left_ / path_step_) * path_step_;
             path_pixel(v, 0).first < plot_left + plot_width; v += path_step_) {
            const int x = path_pixel(v, 0).first;
            canvas.Brush->Color = v == 0 ? axis_colour : grid_colour;
            canvas.FillRect(vcl::Rect(x, plot_top, x + 1, plot_top + plot_height));
            canvas.Brush->Color = face;
            canvas.Font->Color = text_colour;
            const std::string label = axis_label(v, path_step_);
            canvas.TextOut(x - canvas.TextWidth(label) / 2, plot_top + plot_height + 4, label);
        }
        for (double v = std::ceil(path_top_ / path_step_) * path_step_;
             path_pixel(0, v).second < plot_top + plot_height; v += path_step_) {
            const int y = path_pixel(0, v).second;
            canvas.Brush->Color = v == 0 ? axis_colour : grid_colour;
            canvas.FillRect(vcl::Rect(plot_left, y, plot_left + plot_width, y + 1));
            canvas.Brush->Color = face;
            canvas.Font->Color = text_colour;
            const std::string label = axis_label(v, path_step_);
            canvas.TextOut(plot_left - 4 - canvas.TextWidth(label),
                           std::max(plot_top - text_height / 2, y - text_height / 2), label);
        }
        for (Shown& m : shown_) {
            m.path_drawn = 0;
            m.sum_x = m.sum_y = 0;
            const plot::MouseSpan* span = span_of(m);
            if (span != nullptr) {
                m.path_drawn = m.path_first = span->first_number();
                m.path_revision = span->revision();
            }
            const auto [x0, y0] = path_pixel(0, 0);
            m.path_x = x0;
            m.path_y = y0;
        }
    }
    // The new reports of each mouse: a pixel each, a line where one jumps.
    for (Shown& m : shown_) {
        const plot::MouseSpan* span = span_of(m);
        if (span == nullptr || span->empty())
            continue;
        canvas.Brush->Color = m.colour;
        canvas.Pen->Color = m.colour;
        each_new_report(*span, m.path_drawn, [&](const plot::Report& r, std::size_t i) {
            m.sum_x += r.dx;
            m.sum_y += r.dy;
            const auto [x, y] = path_pixel(m.sum_x, m.sum_y);
            if (std::abs(x - m.path_x) > 1 || std::abs(y - m.path_y) > 1) {
                canvas.MoveTo(m.path_x, m.path_y);
                canvas.LineTo(x, y);
            }
            if (x != m.path_x || y != m.path_y || i == 0)
                canvas.FillRect(vcl::Rect(x, y, x + 1, y + 1));
            m.path_x = x;
            m.path_y = y;
            if (r.saturated || r.spinout) {
                draw_mark(x, y, m.colour, r.spinout, -1);
                canvas.Brush->Color = m.colour;
            }
            return true;
        });
        m.path_drawn = span->added();
        m.path_revision = span->revision();
    }
}
