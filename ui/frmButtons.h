// The buttons window: whether each button of each mouse is healthy, live. A
// table with a row per mouse and button pressed: presses, clicks, chatter
// (its cell in its own colour when not 0), the shortest gap, the median and
// shortest hold, unpaired changes. Made on first use (F3 in any rawmice
// window, or --buttons), hidden by F3, Close or the title bar's close; Reset
// starts every figure afresh. Rows past the window's height scroll with the
// arrow keys, Page Up / Page Down, Home and End. The raw input it receives
// while active goes on to the main window.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "measures/buttons.h"
#include "measures/store.h"
#include "platform/vcl/vcl.h"
#include "platform/win32/win32.h"
#include "ui/measures_window.h"

class TForm4 : public MeasuresWindow {
  public:
    vcl::TButton* btnReset = nullptr;

    void FormCreate(vcl::TObject* Sender);
    // F2, F3 and F4 as in every rawmice window; the arrows, Page Up / Page
    // Down, Home and End scroll.
    void FormKeyDown(vcl::TObject* Sender, WORD& Key, vcl::TShiftState Shift) override;
    void btnResetClick(vcl::TObject* Sender);

    explicit TForm4(vcl::TComponent* Owner);
    ~TForm4() override;

    static const vcl::FormClass& form_class();

    // The measures changed: what changed is drawn at the next frame, while shown.
    void measures_changed() override;
    void refresh() override { draw(); }
    // Draws what changed since the last drawing, now (normally once a frame).
    void draw();
    // Drawings that found something to draw.
    std::uint64_t drawings() const { return drawings_; }

    // What is on the window, for its tests: every row (shown or scrolled
    // away) with its cells as last laid out, the first row shown and how
    // many fit, and the lines under the table.
    std::size_t row_count() const { return rows_.size(); }
    const measures::buttons::Row& cells(std::size_t row) const { return rows_.at(row).cells; }
    std::size_t first_shown() const { return first_shown_; }
    std::size_t rows_that_fit() const { return fit_; }
    const std::vector<std::string>& notes() const { return notes_; }
    // Where the cell of row `row` (shown) and `column` is on the canvas.
    vcl::TRect cell_rect(std::size_t row, std::size_t column) const;
    // The top of the table's line `line` from the top (-1: the column titles).
    int line_top(int line) const;

    // The background of a chatter cell that is not 0.
    static constexpr vcl::TColor chatter_face = 0x8080FF;

  protected:
    const char* cost_name() const override { return "buttons window"; }

  private:
    struct Row {
        measures::Handle handle = 0;
        int number = -1;
        measures::buttons::Button button = measures::buttons::Button::left;
        measures::buttons::Row cells;
    };

    // The rows to show now: a row per button that changed, of the mice
    // listed at start, then of the others seen.
    std::vector<Row> wanted_rows() const;
    std::vector<std::string> wanted_notes() const;
    // Scrolls so that row `first` is the first shown (kept within the rows).
    void scroll_to(std::ptrdiff_t first);
    void draw_all();

    std::vector<Row> rows_;
    std::vector<Column> columns_;
    std::vector<std::string> notes_;
    int row_height_ = 0;
    int notes_top_ = 0;
    std::size_t fit_ = 1;
    std::size_t first_shown_ = 0;
    bool drawn_ = false;  // the whole window drawn since the rows, notes or scroll changed
    std::uint64_t drawn_generation_ = 0;
    std::uint64_t drawn_resets_ = 0;
    std::uint64_t drawings_ = 0;
    vcl::FramePacer frame_;
};

extern TForm4* Form4;
