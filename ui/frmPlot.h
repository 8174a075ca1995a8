// The plot window: what a mouse sent, drawn against time, as reviewers and
// users plot it to judge a mouse: its x and y counts, its speed, its
// intervals, or its path (x against y). One mouse, or every numbered mouse
// in its colour; saturated reports and spin-outs marked where they happen.
// It shows each mouse's last 30 s of its packets' own time since Reset, and
// saves the view as a PNG picture and the span as CSV data. Made on first
// use (F5 in any rawmice window, or --plot), which is when the feed starts
// keeping the span; hidden by F5, Close or the title bar's close. Keys 1 to
// 4 choose the view (but in the CPI box, where Enter sets the chosen mice's
// CPI). The raw input it receives while active goes on to the main window.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "measures/plot.h"
#include "measures/store.h"
#include "platform/vcl/vcl.h"
#include "platform/win32/win32.h"
#include "ui/measures_window.h"

class TForm6 : public MeasuresWindow {
  public:
    vcl::TComboBox* cmbMouse = nullptr;
    vcl::TComboBox* cmbView = nullptr;
    vcl::TEdit* edtCpi = nullptr;
    vcl::TButton* btnSavePicture = nullptr;
    vcl::TButton* btnSaveData = nullptr;
    vcl::TButton* btnReset = nullptr;

    void FormCreate(vcl::TObject* Sender);
    // F5 hides it, F2 to F4 open the other windows, 1 to 4 choose the view
    // (not in the CPI box), Enter in the CPI box sets the CPI.
    void FormKeyDown(vcl::TObject* Sender, WORD& Key, vcl::TShiftState Shift) override;
    void cmbMouseChange(vcl::TObject* Sender);
    void cmbViewChange(vcl::TObject* Sender);
    void btnSavePictureClick(vcl::TObject* Sender);
    void btnSaveDataClick(vcl::TObject* Sender);
    void btnResetClick(vcl::TObject* Sender);

    explicit TForm6(vcl::TComponent* Owner);
    ~TForm6() override;

    static const vcl::FormClass& form_class();

    // The measures changed: what changed is drawn at the next frame, while shown.
    void measures_changed() override;
    void refresh() override;
    // Draws what changed since the last drawing, now (normally once a frame).
    void draw();
    // Drawings that found something to draw, and whole ones among them.
    std::uint64_t drawings() const { return drawings_; }
    std::uint64_t whole_drawings() const { return whole_drawings_; }
    // The pixel columns of the time views drawn in all.
    std::uint64_t columns_drawn() const { return columns_drawn_; }

    enum class View { counts, speed, intervals, path };
    static constexpr std::size_t view_count = 4;
    View view() const { return view_; }
    void set_view(View view);
    // The mice shown: every numbered one (-1), or the one numbered so.
    int chosen() const { return chosen_; }
    void choose(int number);

    // Takes the CPI in the box for the chosen mice: a valid one sets it,
    // anything else is said in a note and changes nothing.
    void apply_cpi();
    // Writes the view shown as a PNG, and the span of the mice shown as
    // CSV, to `path` (Save picture and Save data, after their dialog).
    // False, with the reason in the notes, when it could not.
    bool save_picture(const std::string& path);
    bool save_data(const std::string& path);

    // Where things are, for the window's tests.
    struct Panel {
        int left;
        int top;
        int width;
        int height;
    };
    // The panels of the view: two for counts (x above, y below), else one.
    const std::vector<Panel>& panels() const { return panels_; }
    // The x of a time stamp in the time views (outside the panel when out
    // of view), and the newest stamp shown (the right edge).
    int x_of_time(std::int64_t time_us) const;
    std::int64_t right_time_us() const { return right_us_; }
    // The y of a value in panel `panel` of a time view (counts, counts/ms or
    // m/s, or µs on the intervals' log scale).
    int y_of_value(std::size_t panel, double value) const;
    // The path's pixel of a position (counts from the span's first report).
    std::pair<int, int> path_pixel(double x, double y) const;
    // Pixels per count across and down in the path view: equal.
    double path_scale() const { return path_scale_; }
    // The y axis's unit as drawn ("counts", "m/s", "counts/ms", "interval").
    const std::string& unit() const { return unit_; }
    const std::vector<std::string>& notes() const { return notes_; }
    // The colour of a mouse, and of the marks.
    static vcl::TColor mouse_colour(int number);
    static constexpr vcl::TColor mark_colour = vcl::clBlack;
    // The part of the window a picture holds: the plot, its axes and notes.
    vcl::TRect picture_rect() const;

    static constexpr int plot_left = 72;
    static constexpr int plot_width = 792;
    static constexpr int plot_top = 52;
    static constexpr int plot_height = 380;
    // The time views' widths, the smallest that holds the span shown.
    static constexpr std::int64_t widths_us[] = {1'000'000,  2'000'000,  5'000'000,
                                                 10'000'000, 20'000'000, 30'000'000};
    // The path is drawn again whole at most this often while it changes
    // (reports leaving the span); between, new reports are added to it.
    static constexpr int path_redraw_ms = 1000;

  protected:
    const char* cost_name() const override { return "plot window"; }
    // "2 drawn whole, spans 16.9 MB".
    std::string cost_details() const override;

  private:
    struct Shown {
        measures::Handle handle = 0;
        int number = -1;
        std::int32_t log_handle = 0;
        vcl::TColor colour = 0;
        measures::plot::Columns columns;
        // Path view: the reports drawn, the pixel last drawn.
        std::uint64_t path_drawn = 0;
        std::uint64_t path_first = 0;  // the span's first report at the last whole drawing
        std::uint64_t path_revision = 0;
        int path_x = 0;
        int path_y = 0;
        double sum_x = 0;
        double sum_y = 0;
        std::optional<double> cpi;
    };

    // The file the save dialog titled `title` was answered with (files of
    // `kind`, "rawmice-plot.EXTENSION" proposed); none when cancelled.
    std::optional<std::string> ask_file(const char* title, const char* kind, const char* extension);
    // The numbered mice, for the chooser; those shown.
    std::vector<Shown> numbered() const;
    void fill_chooser();
    void lay_out();
    // Whether the shown mice, the view, the scale or the width changed since
    // the last whole drawing.
    bool take_changes();
    void draw_now();
    void draw_whole();
    void draw_frame_and_axes();
    void draw_time_columns(std::int64_t from, std::int64_t to);
    void draw_column(std::int64_t number, int x);
    // pass 0 draws its black square, pass 1 a saturated mark's inside, -1 both.
    void draw_mark(int x, int y, vcl::TColor colour, bool spinout, int pass);
    void draw_path(bool whole);
    void fit_path(bool& changed);
    std::int64_t wanted_width_us() const;
    // From the oldest report of the mice shown to the newest.
    std::int64_t shown_length_us() const;
    void scale_values(bool& changed);
    std::vector<std::string> wanted_notes() const;
    double value_factor(const Shown& mouse) const;  // counts/ms to the unit shown

    View view_ = View::counts;
    int chosen_ = -1;
    std::vector<Shown> shown_;
    std::vector<Panel> panels_;
    // Each panel's rows that hold more than its background, column by column.
    std::vector<ChartRows> panel_rows_;
    std::int64_t width_us_ = 0;
    std::int64_t column_us_ = 1;
    std::int64_t right_column_ = 0;
    std::int64_t right_us_ = 0;
    bool drawn_ = false;
    bool whole_wanted_ = true;
    std::uint64_t drawn_generation_ = ~std::uint64_t{0};
    std::uint64_t drawings_ = 0;
    std::uint64_t whole_drawings_ = 0;
    std::uint64_t columns_drawn_ = 0;
    // The value axis of the time views: its top (and bottom: -top for
    // counts, 0 for speed), ticks every step.
    double top_ = 0;
    double step_ = 0;
    bool mps_ = false;
    std::string unit_;
    // Path view: the box shown (counts), pixels per count.
    double path_left_ = 0;
    double path_top_ = 0;
    double path_scale_ = 1;
    double path_step_ = 1;
    std::int64_t path_whole_ms_ = 0;
    std::vector<std::string> notes_;
    bool notes_changed_ = false;
    std::string status_;  // the last save's outcome, or what was wrong with the CPI
    int row_height_ = 0;
    vcl::FramePacer frame_;
};

extern TForm6* Form6;
