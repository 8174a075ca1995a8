// What the measures windows (timing, buttons, movement, plot, check) share.
// Each listens to the measures' feed while it lives, passes the raw input it
// receives on to the main window, gives the focus back to the main window
// when it is hidden, and answers F2 to F6 as every rawmice window does; each draws
// a table of columns with notes under it, its cells cut to their width.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "platform/vcl/vcl.h"
#include "platform/win32/win32.h"

class MeasuresWindow : public vcl::TForm {
  public:
    vcl::TButton* btnClose = nullptr;

    // Hides it, as its key (F2 to F6) does.
    void btnCloseClick(vcl::TObject* Sender);
    // Hidden, as the title bar's close hides it; the main window takes the
    // focus back when this one had it.
    void FormClose(vcl::TObject* Sender, vcl::TCloseAction& Action);
    // Raw input reaches the active window: passed on to the main window.
    void WMInput(vcl::TMessage& Message);

    // The measures changed (once per packet): what changed is drawn soon,
    // while shown.
    virtual void measures_changed() = 0;
    // Brings what it shows up to date now, as when it is shown.
    virtual void refresh() = 0;

    // What its frames cost since it was made, for --stats: "plot window:
    // 12.40 ms a second in its frames (drawing 3.10, painting 6.20, flushing
    // 3.10), 905 frames over 30.2 s open; 2 drawn whole, spans 16.9 MB\n".
    std::string cost_line() const;

    BEGIN_MESSAGE_MAP
    VCL_MESSAGE_HANDLER(WM_INPUT, vcl::TMessage, WMInput)
    END_MESSAGE_MAP(vcl::TForm)

  protected:
    // How window class F is streamed from its layout `layout`: with the Close
    // button and the handlers every measures window binds (F's FormCreate,
    // FormClose, btnCloseClick); F adds its own fields and handlers.
    template <class F>
    static vcl::FormClass form_class_of(const char* layout) {
        vcl::FormClass form_class = vcl::FormClass::of<F>(layout);
        form_class.field("btnClose", &MeasuresWindow::btnClose)
            .handler("FormCreate", &F::FormCreate)
            .handler("FormClose", &MeasuresWindow::FormClose)
            .handler("btnCloseClick", &MeasuresWindow::btnCloseClick);
        return form_class;
    }

    // Listens to the feed from now on; its keys go to FormKeyDown first.
    explicit MeasuresWindow(vcl::TComponent* Owner);
    ~MeasuresWindow() override;
    virtual void FormKeyDown(vcl::TObject* Sender, WORD& Key, vcl::TShiftState Shift);

    // Its name in the cost line ("plot window"), and what the line says of
    // it after the frames ("2 drawn whole, spans 16.9 MB"), if anything.
    virtual const char* cost_name() const = 0;
    virtual std::string cost_details() const { return {}; }
    // Runs `work` as drawing of one of its frames, into its frame cost (for
    // work its own timers run; its frame pacers are charged already).
    template <class Work>
    void timed_drawing(Work&& work) {
        const std::int64_t began = vcl::cost_clock_ns();
        work();
        add_cost(vcl::FrameCost::drawing, vcl::cost_clock_ns() - began, current_frame());
    }

  private:
    static std::int64_t current_frame();
    std::int64_t made_ns_;
};

// The cost line of a window named `name` whose frames cost `cost` over
// `open_ns` (see MeasuresWindow::cost_line); `details` after the frames.
std::string frame_cost_line(const std::string& name, const vcl::FrameCost& cost,
                            std::int64_t open_ns, const std::string& details);

// Whether a key came without Shift, Alt or Ctrl.
inline bool plain_key(vcl::TShiftState Shift) {
    return (Shift & (vcl::ssShift | vcl::ssAlt | vcl::ssCtrl)) == 0;
}

// F2, F3, F4, F5 or F6 without Shift, Alt or Ctrl, in any rawmice window:
// opens the timing, buttons, movement, plot or check window, or hides it
// when it is shown; `Key` becomes 0. Any other key is left as it is.
void measures_window_keys(WORD& Key, vcl::TShiftState Shift);

// Shows the window `form` points to (made on first use), gives it the focus
// and brings it up to date.
template <class Form>
void show_measures_window(Form*& form) {
    if (form == nullptr)
        vcl::Application->CreateForm(&form);
    form->Show();
    form->SetFocus();
    form->refresh();
}
// Hides it, when shown; when it was the active window, the main window takes
// the focus (and with it the raw input).
void hide_measures_window(MeasuresWindow* form);
template <class Form>
void toggle_measures_window(Form*& form) {
    if (form != nullptr && form->Visible) {
        hide_measures_window(form);
    } else {
        show_measures_window(form);
    }
}

// One column of a measures table: where it starts, how wide it is, and
// whether its text starts at its left (names) or ends at its right (figures).
struct Column {
    int left = 0;
    int width = 0;
    bool left_aligned = false;
};

// The width of a column: its title's, or its widest usual figure's when wider.
int column_width(const vcl::TCanvas& canvas, const std::string& title, const std::string& widest);

// Lays out columns of `widths` side by side from the left margin, 10 pixels
// apart, within `client_width`: the column `stretch` takes what the others
// leave (at least 40 pixels); those in `left_aligned` start their text at
// their left.
std::vector<Column> lay_out_columns(std::vector<int> widths, std::size_t stretch,
                                    const std::vector<std::size_t>& left_aligned, int client_width);
// The margin the columns start at.
constexpr int table_margin = 8;

// Draws one cell: its rectangle of `height` filled with `face`, then `text`
// in `colour`, cut to the column's width and aligned as the column says.
void draw_cell(vcl::TCanvas& canvas, const Column& column, int top, int height,
               const std::string& text, vcl::TColor face, vcl::TColor colour);

// Draws `notes` a line each from `top`, `row_height` apart, in the window
// text colour on the button face, each cut to fit between the margins of a
// window `client_width` wide.
void draw_notes(vcl::TCanvas& canvas, const std::vector<std::string>& notes, int top,
                int row_height, int client_width);

// `text` as it fits `width` pixels in `canvas`'s font: whole, or cut at a
// character boundary (never inside a UTF-8 sequence) and ended with "…".
std::string fitted_text(const vcl::TCanvas& canvas, const std::string& text, int width);

// How often a window whose frames move a chart draws at most, whatever the
// display's rate: a chart moving 30 times a second reads as smoothly as
// one moving at every frame, and each frame that moves it costs the paint,
// the flush and the server's copies of every row that holds something.
constexpr int chart_frames_per_second = 30;
// The plot's panels fill most of their rows (a mouse's counts, scaled to
// fit), so each move copies nearly all of them, twice in the server (within
// the window's backing pixmap, then to the window); an overview of up to
// 30 s moves 20 times a second.
constexpr int plot_frames_per_second = 20;

// The rows of a chart that hold more than their background, column by
// column, for a chart that moves left as time goes on. Its background is a
// colour per row (the plot's white, a grid line), so a row that holds nothing
// else across the chart is the same once moved: only the rows that hold
// something are moved. Every pixel moved costs the window's paint, the flush
// to the server and the server's own copies, and a chart of dots at a
// steady rate fills a few rows of its height.
class ChartRows {
  public:
    // A chart `width` columns wide and `height` rows high, background alone.
    void reset(int width, int height);
    // Whether it is `width` by `height`; reset to that size if not.
    bool fits(int width, int height) const { return width_ == width && height_ == height; }
    void fit(int width, int height) {
        if (!fits(width, height))
            reset(width, height);
    }
    // Columns [left, right) and rows [top, bottom) of it (cut to it) hold
    // more than background.
    void drawn(int left, int right, int top, int bottom);
    // Columns [left, right) hold their background alone again.
    void cleared(int left, int right);
    // The runs of rows that hold anything in some column, [top, bottom),
    // from the top.
    std::vector<std::pair<int, int>> runs() const;
    // Moves the chart at (`x`, `y`) on `canvas` left by `shift` columns
    // (0 < shift < width): the rows that hold anything, each run a block.
    // The `shift` columns at its right are the caller's to draw again, and
    // count as holding anything until they are cleared.
    void move_left(vcl::TCanvas& canvas, int x, int y, int shift);

  private:
    struct Span {
        std::int16_t top = 0;
        std::int16_t bottom = 0;  // top == bottom: background alone
    };
    Span& at(int column) { return spans_[static_cast<std::size_t>((first_ + column) % width_)]; }

    int width_ = 0;
    int height_ = 0;
    int first_ = 0;            // the slot of the chart's leftmost column
    std::vector<Span> spans_;  // a ring of the columns: what rows each holds
};
