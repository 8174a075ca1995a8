// The timing window on Qt: made on first use, F2 from either window, its
// Close button and the title bar's close; raw input it receives handled by the
// main window; its table and strip charts on the pixels of its canvas.
#include <gtest/gtest.h>

#include <QApplication>
#include <QKeyEvent>
#include <QWindow>

#include <cmath>
#include <filesystem>
#include <random>
#include <vector>

#include "measures/feed.h"
#include "platform/vcl/qt/native.h"
#include "rawinput/rawinput.h"
#include "rawinput/report.h"
#include "tests/support/test_support.h"
#include "tests/ui/measures_window_test.h"
#include "ui/frmTiming.h"
#include "ui/principal.h"

namespace {

namespace fs = std::filesystem;
using testsupport::wait_until;
using vcl::qt::widget;

class TimingWindowTest : public MeasuresWindowTest {
  protected:
    static bool timing_shown() { return Form3 != nullptr && Form3->Visible.get(); }

    // The timing window shown, with `rows` rows laid out.
    void open_timing_window() {
        show_measures_window(Form3);
        ASSERT_NE(Form3, nullptr);
        Form3->draw();
    }

    static vcl::TColor pixel(int x, int y) { return Form3->Canvas->Pixel(x, y); }

    // The pixels of the charts' plots.
    static std::vector<vcl::TColor> plots() {
        std::vector<vcl::TColor> pixels;
        for (std::size_t r = 0; r < Form3->row_count(); ++r) {
            const TForm3::Strip s = Form3->strip(r);
            for (int y = s.top; y < s.top + s.height; ++y) {
                for (int x = TForm3::plot_left; x < TForm3::plot_left + TForm3::plot_width; ++x)
                    pixels.push_back(pixel(x, y));
            }
        }
        return pixels;
    }

    // How many pixels of row `row`'s plot have its mouse's colour, in the
    // columns [from, to) of the plot.
    static int dots_in(std::size_t row, int from = 0, int to = TForm3::plot_width) {
        const TForm3::Strip s = Form3->strip(row);
        int count = 0;
        for (int y = s.top; y < s.top + s.height; ++y) {
            for (int x = TForm3::plot_left + from; x < TForm3::plot_left + to; ++x)
                count += pixel(x, y) == Form3->colour(row) ? 1 : 0;
        }
        return count;
    }

    // `count` reports of `mouse` every `interval_us` from `start_us`; the time after the last.
    static std::int64_t feed(HANDLE mouse, std::int64_t start_us, std::int64_t interval_us,
                             int count) {
        for (int i = 0; i < count; ++i)
            measures::feed().packet({measures::handle_of(mouse), start_us + i * interval_us});
        return start_us + count * interval_us;
    }
};

TEST_F(TimingWindowTest, F2WorksWhateverHasTheFocusAndEscStillPressesCopy) {
    show_main_window();
    ASSERT_TRUE(wait_until([] { return QApplication::focusWidget() == widget(Form1->btnCopy); }));
    press(Form1, Qt::Key_F2, Qt::ShiftModifier);
    press(Form1, Qt::Key_F2, Qt::ControlModifier);
    EXPECT_FALSE(timing_shown()) << "F2 with a modifier is not F2";
    press(Form1, Qt::Key_F2);
    EXPECT_TRUE(timing_shown()) << "with the focus on Copy";
    hide_measures_window(Form3);

    // Copy disables itself, and leaves the focus nowhere in particular.
    press(Form1, Qt::Key_Escape);
    EXPECT_FALSE(Form1->btnCopy->Enabled.get()) << "Esc still presses Copy";
    EXPECT_FALSE(Form1->Memo1->Visible.get());
    press(Form1, Qt::Key_F2);
    EXPECT_TRUE(timing_shown()) << "after Copy disabled itself";
    press(Form1, Qt::Key_F2);
    EXPECT_FALSE(timing_shown()) << "F2 in the main window hides it too";
}

TEST_F(TimingWindowTest, EachMouseHasARowAndAStripWithADotPerReportAtItsInterval) {
    show_main_window();
    open_timing_window();
    ASSERT_EQ(Form3->row_count(), 3u) << "the three mice listed";
    EXPECT_EQ(Form3->cells(0)[measures::timing::column::name], "First Mouse");
    EXPECT_EQ(Form3->cells(1)[measures::timing::column::name], "-");
    EXPECT_EQ(Form3->cells(0)[measures::timing::column::hz], "-") << "nothing measured yet";
    EXPECT_EQ(dots_in(0), 0);

    feed(first_mouse, 1'000'000, 1000, 2001);  // 1 kHz for 2 s
    feed(second_mouse, 5'000'000, 8000, 251);  // 125 Hz for 2 s
    Form3->draw();
    EXPECT_EQ(Form3->cells(0)[measures::timing::column::mouse], "0");
    EXPECT_EQ(Form3->cells(0)[measures::timing::column::hz], "1000");
    EXPECT_EQ(Form3->cells(0)[measures::timing::column::median], "1000");
    EXPECT_EQ(Form3->cells(1)[measures::timing::column::hz], "125");
    EXPECT_EQ(Form3->cells(2)[measures::timing::column::hz], "-");
    EXPECT_NE(Form3->colour(0), Form3->colour(1));

    // Each mouse's dots lie on the row of its interval, over the right half
    // of its strip (2 s of the 4 s shown), its newest at the right edge.
    for (std::size_t row : {0u, 1u}) {
        SCOPED_TRACE(row);
        const TForm3::Strip s = Form3->strip(row);
        const int y = TForm3::y_of(row == 0 ? 1000 : 8000, s);
        const int right = TForm3::plot_left + TForm3::plot_width - 1;
        EXPECT_EQ(pixel(right, y), Form3->colour(row));
        EXPECT_EQ(pixel(right - TForm3::plot_width / 2 + 3, y), Form3->colour(row));
        EXPECT_NE(pixel(right - TForm3::plot_width / 2 - 3, y), Form3->colour(row))
            << "nothing before the mouse's first report";
        EXPECT_EQ(dots_in(row),
                  dots_in(row, 0, TForm3::plot_width) - dots_in(row, 0, TForm3::plot_width / 2 - 2))
            << "all in the right half";
        int off_row = 0;
        for (int yy = s.top; yy < s.top + s.height; ++yy) {
            if (std::abs(yy - y) > 1)
                off_row += pixel(right, yy) == Form3->colour(row) ? 1 : 0;
        }
        EXPECT_EQ(off_row, 0);
    }
    EXPECT_EQ(dots_in(2), 0);
    // Faster mice sit lower: 1 ms below 8 ms, on a log scale from 100 µs to 50 ms.
    const TForm3::Strip s = Form3->strip(0);
    EXPECT_EQ(TForm3::y_of(100, s), s.top + s.height - 1);
    EXPECT_EQ(TForm3::y_of(50'000, s), s.top);
    EXPECT_EQ(TForm3::y_of(10, s), TForm3::y_of(100, s));
    EXPECT_EQ(TForm3::y_of(900'000, s), s.top) << "a pause shows at the top";
}

// A 1 kHz mouse with every tenth report 400 µs late: those reports, and the
// early-looking intervals after them, in the off-grid colour; a mouse on its
// grid has none, and its row says so.
TEST_F(TimingWindowTest, ReportsOffThePollGridAreDrawnInTheirOwnColour) {
    show_main_window();
    open_timing_window();
    for (int i = 0; i < 2001; ++i)
        measures::feed().packet(
            {measures::handle_of(first_mouse), 1'000'000 + i * 1000 + (i % 10 == 9 ? 400 : 0)});
    feed(second_mouse, 5'000'000, 8000, 251);
    Form3->draw();
    namespace column = measures::timing::column;
    EXPECT_EQ(Form3->cells(0)[column::poll_hz], "1000");
    EXPECT_EQ(Form3->cells(0)[column::skipped], "0.0");
    EXPECT_EQ(Form3->cells(0)[column::off_grid], "10.0");
    EXPECT_EQ(Form3->cells(1)[column::poll_hz], "125");
    EXPECT_EQ(Form3->cells(1)[column::off_grid], "0.0");

    const auto pink_at = [](std::size_t row, std::int64_t interval_us) {
        const int y = TForm3::y_of(interval_us, Form3->strip(row));
        int count = 0;
        for (int x = TForm3::plot_left; x < TForm3::plot_left + TForm3::plot_width; ++x)
            count += pixel(x, y) == TForm3::off_grid_colour ? 1 : 0;
        return count;
    };
    EXPECT_GT(pink_at(0, 1400), TForm3::plot_width / 4) << "the late reports, over 2 s";
    EXPECT_EQ(pink_at(0, 600), 0) << "the report after a late one is on the grid";
    EXPECT_EQ(pink_at(0, 1000), 0);
    EXPECT_GT(dots_in(0), 0) << "the reports on the grid keep the mouse's colour";
    for (int y = Form3->strip(1).top; y < Form3->strip(1).top + Form3->strip(1).height; ++y)
        EXPECT_NE(pixel(TForm3::plot_left + TForm3::plot_width - 1, y), TForm3::off_grid_colour);
    EXPECT_EQ(Form3->notes().at(1).rfind("Pink dots: reports off the mouse's poll grid", 0), 0u);
}

TEST_F(TimingWindowTest, NothingIsDrawnWhileNothingChangesNorWhileHidden) {
    show_main_window();
    open_timing_window();
    feed(first_mouse, 0, 1000, 10);
    Form3->draw();
    const std::uint64_t drawn = Form3->drawings();
    Form3->draw();
    Form3->draw();
    EXPECT_EQ(Form3->drawings(), drawn) << "nothing changed";

    // Packets ask for a frame; one frame draws all that came.
    feed(first_mouse, 10'000, 1000, 100);
    EXPECT_TRUE(wait_until([&] { return Form3->drawings() == drawn + 1; }));
    EXPECT_EQ(Form3->cells(0)[measures::timing::column::hz], "1000");

    hide_measures_window(Form3);
    const std::uint64_t hidden = Form3->drawings();
    feed(first_mouse, 110'000, 500, 1000);
    Form3->draw();
    EXPECT_EQ(Form3->drawings(), hidden) << "nothing drawn while hidden";
    show_measures_window(Form3);
    EXPECT_EQ(Form3->drawings(), hidden + 1) << "drawn as it shows";
    EXPECT_EQ(Form3->cells(0)[measures::timing::column::hz], "2000");
}

TEST_F(TimingWindowTest, FrameByFrameTheChartsShowWhatAWholeDrawingShows) {
    show_main_window();
    open_timing_window();
    // Three mice at 8 kHz, 1 kHz and 125 Hz with jitter, pauses and bursts,
    // drawn after each few reports as frames would be.
    std::mt19937 random(21);
    std::int64_t times[] = {0, 3'000, 7'000};
    const std::int64_t intervals[] = {125, 1000, 8000};
    const HANDLE mice[] = {first_mouse, second_mouse, third_mouse};
    for (int frame = 0; frame < 400; ++frame) {
        for (int m = 0; m < 3; ++m) {
            const int reports = static_cast<int>(random() % (m == 0 ? 300 : 40));
            for (int r = 0; r < reports; ++r) {
                std::int64_t step = intervals[m] + static_cast<std::int64_t>(random() % 200) - 100;
                if (random() % 500 == 0)
                    step = 80'000;  // a pause
                if (random() % 50 == 0)
                    step = 0;  // merged
                times[m] += std::max<std::int64_t>(step, 0);
                measures::feed().packet({measures::handle_of(mice[m]), times[m]});
            }
        }
        Form3->draw();
    }
    ASSERT_GT(dots_in(0), 100);
    ASSERT_GT(dots_in(2), 10);
    const std::vector<vcl::TColor> frame_by_frame = plots();
    Form3->redraw_all();
    Form3->draw();
    EXPECT_TRUE(plots() == frame_by_frame);
}

// A chart moves only the rows that hold dots: a late report alone in its
// rows still moves with the rest, and leaves at the left.
TEST_F(TimingWindowTest, ADotAloneInItsRowsMovesOutOfTheChartFrameByFrame) {
    show_main_window();
    open_timing_window();
    std::int64_t t = feed(first_mouse, 1'000'000, 1000, 100);
    t = feed(first_mouse, t + 20'000, 1000, 16);  // one report 21 ms after the one before
    Form3->draw();
    const TForm3::Strip s = Form3->strip(0);
    const int late_y = TForm3::y_of(21'000, s);
    const auto late_dots = [&] {
        int count = 0;
        for (int x = TForm3::plot_left; x < TForm3::plot_left + TForm3::plot_width; ++x)
            count += pixel(x, late_y) == Form3->colour(0) ? 1 : 0;
        return count;
    };
    ASSERT_EQ(late_dots(), 2);
    // 16 ms frames (3 or 4 columns each) for 4.2 s: the late dot goes out.
    for (int frame = 0; frame < 262; ++frame) {
        t = feed(first_mouse, t, 1000, 16);
        Form3->draw();
        if (frame == 100) {
            const std::vector<vcl::TColor> moving = plots();
            Form3->redraw_all();
            Form3->draw();
            ASSERT_TRUE(plots() == moving) << "halfway";
            ASSERT_EQ(late_dots(), 2);
        }
    }
    EXPECT_EQ(late_dots(), 0);
    const std::vector<vcl::TColor> frame_by_frame = plots();
    Form3->redraw_all();
    Form3->draw();
    EXPECT_TRUE(plots() == frame_by_frame);
}

TEST_F(TimingWindowTest, AStampThatGoesBackStartsTheChartAgain) {
    show_main_window();
    open_timing_window();
    feed(first_mouse, 10'000'000, 1000, 3000);
    Form3->draw();
    ASSERT_GT(dots_in(0, TForm3::plot_width / 4, TForm3::plot_width / 2), 0);
    feed(first_mouse, 5'000'000, 2000, 50);  // an earlier time: the clock stepped back
    Form3->draw();
    // The 98 ms since the step take the last 20 columns (5 ms each), and a dot
    // is two columns wide.
    EXPECT_EQ(dots_in(0, 0, TForm3::plot_width - 22), 0) << "the earlier reports are gone";
    EXPECT_GT(dots_in(0, TForm3::plot_width - 22), 0) << "those since the step";
    const std::vector<vcl::TColor> drawn = plots();
    Form3->redraw_all();
    Form3->draw();
    EXPECT_TRUE(plots() == drawn);
}

TEST_F(TimingWindowTest, AMouseNotListedGetsARowOfItsOwnInGrey) {
    show_main_window();
    open_timing_window();
    const auto late = reinterpret_cast<HANDLE>(0x1ff);
    feed(late, 0, 4000, 100);
    Form3->draw();
    ASSERT_EQ(Form3->row_count(), 4u);
    EXPECT_EQ(Form3->cells(3)[measures::timing::column::mouse], "-1");
    EXPECT_EQ(Form3->cells(3)[measures::timing::column::hz], "250");
    EXPECT_EQ(Form3->colour(3), TForm3::mouse_colour(-1));
    EXPECT_GT(dots_in(3), 0);
    EXPECT_GT(Form3->strip(3).top, Form3->strip(2).top) << "below the listed mice";
}

TEST_F(TimingWindowTest, TimesThatAreNotThePacketsOwnAreSaidUnderTheTable) {
    show_main_window();
    open_timing_window();
    feed(first_mouse, 0, 1000, 10);
    Form3->draw();
    ASSERT_EQ(Form3->notes().size(), 2u) << "the packets' own stamps need no word";
    const int charts_top = Form3->strip(0).top;

    measures::feed().reset({.clock = measures::Clock::receipt});
    feed(first_mouse, 0, 1000, 10);
    Form3->draw();
    ASSERT_EQ(Form3->notes().size(), 3u);
    EXPECT_EQ(Form3->notes()[2].rfind("Times: receipt time", 0), 0u) << Form3->notes()[2];
    EXPECT_GT(Form3->strip(0).top, charts_top) << "the charts make room for it";
    measures::feed().reset({.clock = measures::Clock::milliseconds});
    feed(first_mouse, 0, 1000, 10);
    Form3->draw();
    ASSERT_EQ(Form3->notes().size(), 3u);
    EXPECT_EQ(Form3->notes()[2].rfind("Times: ms clock", 0), 0u) << Form3->notes()[2];
}

TEST_F(TimingWindowTest, TheTableShowsItsTitlesAndEachRowsFigures) {
    show_main_window();
    open_timing_window();
    feed(first_mouse, 0, 1000, 500);
    Form3->draw();
    const vcl::TColor face = pixel(2, 2);
    // Text in every title's and every figure's place; the swatch in the mouse's colour.
    const auto has_text = [&](int top, int left, int right) {
        for (int y = top; y < top + Form3->row_top(0) - Form3->row_top(-1); ++y) {
            for (int x = left; x < right; ++x) {
                if (pixel(x, y) == vcl::qt::from_qcolor(vcl::qt::to_qcolor(vcl::clWindowText)))
                    return true;
            }
        }
        return false;
    };
    EXPECT_TRUE(has_text(Form3->row_top(-1), 8, 700)) << "the titles";
    EXPECT_TRUE(has_text(Form3->row_top(0), 8, 700)) << "the first mouse's figures";
    int swatch = 0;
    for (int y = Form3->row_top(0); y < Form3->row_top(1); ++y) {
        for (int x = 8; x < 20; ++x)
            swatch += pixel(x, y) == Form3->colour(0) ? 1 : 0;
    }
    EXPECT_EQ(swatch, 64) << "an 8 x 8 swatch";
    EXPECT_EQ(pixel(4, Form3->row_top(0) + 4), face) << "nothing in the margin";
}

}  // namespace
