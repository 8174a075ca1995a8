// The timing window: how often each mouse sends, live. A table with one row
// per mouse (its measured and declared rate, interval percentiles, irregular
// share, overflows) and, for each mouse, a strip chart of its recent reports.
// Made on first use (F2 in the main or buttons window, or --timing), hidden by
// F2, Close or the title bar's close (F3 in it opens the buttons window); the raw input it receives
// while active goes on to the main window.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "measures/store.h"
#include "measures/timing.h"
#include "platform/vcl/vcl.h"
#include "platform/win32/win32.h"
#include "ui/measures_window.h"

class TForm3 : public MeasuresWindow {
  public:
    void FormCreate(vcl::TObject* Sender);

    explicit TForm3(vcl::TComponent* Owner);
    ~TForm3() override;

    static const vcl::FormClass& form_class();

    // The measures changed: what changed is drawn at the next frame, while shown.
    void measures_changed() override;
    void refresh() override { draw(); }
    // Draws what changed since the last drawing, now (normally once a frame).
    void draw();
    // Forgets what is on the window: the next drawing draws everything.
    void redraw_all();
    // Drawings that found something to draw.
    std::uint64_t drawings() const { return drawings_; }

    // Where things are, for the window's tests.
    struct Strip {
        int top;
        int height;
    };
    // The chart of row `row` (0 for the first mouse listed).
    Strip strip(std::size_t row) const { return rows_.at(row).strip; }
    std::size_t row_count() const { return rows_.size(); }
    // The colour of the mouse in row `row`: its dots and its swatch.
    vcl::TColor colour(std::size_t row) const { return rows_.at(row).colour; }
    // The cells of row `row` as drawn.
    const measures::timing::Row& cells(std::size_t row) const { return rows_.at(row).shown; }
    // The lines under the table: what the dots are, and what the times are
    // when they are not the packets' own.
    const std::vector<std::string>& notes() const { return notes_; }
    // The colour of mouse number `number` (-1: a mouse not in the table).
    static vcl::TColor mouse_colour(int number);
    // The colour of every mouse's reports off its poll grid: in no mouse's colour.
    static constexpr vcl::TColor off_grid_colour = 0x9314FF;  // deep pink
    // The top of the table's line for row `row` (-1: the column titles).
    int row_top(int row) const;

    static constexpr int plot_left = 72;
    static constexpr int plot_width = 800;
    // Each column of a chart is this much of its mouse's time.
    static constexpr std::int64_t column_us = measures::timing::recent_span_us / plot_width;
    static constexpr int max_rows = 10;
    // The y of an interval in a strip: 100 µs at its bottom, 50 ms at its top,
    // logarithmic between.
    static int y_of(std::int64_t interval_us, const Strip& strip);
    // The column of a time stamp, counted from time 0.
    static std::int64_t column_of(std::int64_t time_us);

  protected:
    const char* cost_name() const override { return "timing window"; }

  private:
    struct Row {
        measures::Handle handle = 0;
        int number = -1;
        std::string name;
        vcl::TColor colour = vcl::clBlack;
        Strip strip{0, 0};
        // The cells as last drawn, and the mouse's generation then.
        measures::timing::Row shown;
        bool cells_drawn = false;
        std::uint64_t generation = 0;
        // The chart as last drawn: reports in it, the newest one's time and
        // column (its right edge).
        bool chart_drawn = false;
        std::uint64_t reports = 0;
        std::int64_t newest_us = 0;
        std::int64_t right_column = 0;
        // The chart's rows that hold dots, column by column.
        ChartRows chart_rows;
    };

    // The mice to show now: those listed at start, then the others seen.
    std::vector<Row> wanted_rows() const;
    void lay_out();
    void draw_layout();
    void draw_row(Row& row, const measures::timing::MouseTiming* mouse);
    void draw_cells(Row& row, const measures::timing::Row& cells);
    void draw_cell(std::size_t column, int top, const std::string& text, vcl::TColor colour);
    void draw_chart(Row& row, const measures::timing::MouseTiming& mouse);
    void draw_whole_chart(Row& row, const measures::timing::MouseTiming& mouse);
    // The plot's background and grid lines over columns [from, to) of the plot.
    void draw_plot_background(Row& row, int from, int to);
    // The last dot drawn in a run of dots: a dot drawn over it again is skipped.
    struct LastDot {
        int x = -1;
        int y = -1;
        vcl::TColor colour = vcl::clBlack;
    };
    void draw_dot(Row& row, const measures::timing::RecentReport& report, std::int64_t right_column,
                  LastDot& last);

    std::vector<Row> rows_;
    std::vector<Column> columns_;
    int row_height_ = 0;
    int table_top_ = 8;
    int note_top_ = 0;
    int charts_top_ = 0;
    bool layout_drawn_ = false;
    std::uint64_t drawn_resets_ = ~std::uint64_t{0};  // of the measures drawn
    std::uint64_t drawn_generation_ = 0;
    std::uint64_t drawings_ = 0;
    std::vector<std::string> notes_;
    vcl::FramePacer frame_;
};

extern TForm3* Form3;
