// The plot window on Qt: each view on the pixels of its canvas (a curve
// where the stroke is, the marks where the flags are, the path's equal
// axes), the chooser, the keys and the CPI box, Reset, drawing only what
// changed, and Save picture and Save data through the real dialog.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "measures/feed.h"
#include "platform/vcl/qt/native.h"
#include "tests/support/strokes.h"
#include "tests/support/test_support.h"
#include "tests/ui/facade_driver.h"
#include "tests/ui/measures_window_test.h"
#include "ui/frmPlot.h"

namespace {

using testsupport::wait_until;
using vcl::qt::widget;
using View = TForm6::View;

constexpr std::int64_t start = 5'000'000;

class PlotWindowTest : public MeasuresWindowTest {
  protected:
    void SetUp() override {
        MeasuresWindowTest::SetUp();
        show_main_window();
        show_measures_window(Form6);
        ASSERT_NE(Form6, nullptr);
        ASSERT_NE(measures::feed().plot(), nullptr) << "kept from the window's first opening";
    }

    static void packet(HANDLE mouse, std::int64_t time_us, int dx, int dy) {
        measures::feed().packet(
            {measures::handle_of(mouse), time_us, false, false, 0, {dx, dy, false}});
    }
    // `count` reports of `dx`, `dy` every `step_us` from `from_us`; the time after the last.
    static std::int64_t steady(HANDLE mouse, std::int64_t from_us, std::int64_t step_us, int count,
                               int dx, int dy) {
        for (int i = 0; i < count; ++i)
            packet(mouse, from_us + i * step_us, dx, dy);
        return from_us + count * step_us;
    }
    static vcl::TColor pixel(int x, int y) { return Form6->Canvas->Pixel(x, y); }
    static vcl::TColor colour(int number) { return TForm6::mouse_colour(number); }
    // Pixels of `colour` in the panels.
    static int count_in_panels(vcl::TColor wanted) {
        int count = 0;
        for (const TForm6::Panel& p : Form6->panels()) {
            for (int y = p.top; y < p.top + p.height; ++y) {
                for (int x = p.left; x < p.left + p.width; ++x)
                    count += pixel(x, y) == wanted ? 1 : 0;
            }
        }
        return count;
    }
    // Whether the column at `x` of panel `panel` has `wanted` within a pixel of `y`.
    static bool near(int x, int y, vcl::TColor wanted) {
        for (int dy = -1; dy <= 1; ++dy) {
            if (pixel(x, y + dy) == wanted)
                return true;
        }
        return false;
    }
    static std::vector<vcl::TColor> picture() {
        const vcl::TRect r = Form6->picture_rect();
        std::vector<vcl::TColor> pixels;
        for (int y = r.Top; y < r.Bottom; ++y) {
            for (int x = r.Left; x < r.Right; ++x)
                pixels.push_back(pixel(x, y));
        }
        return pixels;
    }
};

TEST_F(PlotWindowTest, EachViewDrawsTheStrokeWhereItIs) {
    // Mouse 0 at 1 kHz: 0.5 s still, then 20 counts right and 0 down a
    // report for 1 s; mouse 1 nothing.
    std::int64_t t = steady(first_mouse, start, 1000, 500, 0, 1);
    t = steady(first_mouse, t, 1000, 1000, 20, 0);
    Form6->choose(0);
    Form6->draw();
    ASSERT_EQ(Form6->view(), View::counts);
    ASSERT_EQ(Form6->panels().size(), 2u) << "x above, y below";
    EXPECT_EQ(Form6->unit(), "counts");
    const int during = Form6->x_of_time(t - 300'000);
    const int before = Form6->x_of_time(start + 200'000);
    EXPECT_TRUE(near(during, Form6->y_of_value(0, 20), colour(0)));
    EXPECT_FALSE(near(during, Form6->y_of_value(0, -20), colour(0)));
    EXPECT_TRUE(near(during, Form6->y_of_value(1, 0), colour(0)));
    EXPECT_TRUE(near(before, Form6->y_of_value(0, 0), colour(0)));
    EXPECT_TRUE(near(before, Form6->y_of_value(1, 1), colour(0)));
    EXPECT_FALSE(near(before, Form6->y_of_value(0, 20), colour(0)));
    EXPECT_EQ(Form6->x_of_time(t - 1000), TForm6::plot_left + TForm6::plot_width - 1)
        << "the newest report at the right edge";
    EXPECT_EQ(count_in_panels(colour(1)), 0);

    // Speed: 20 counts/ms, then in m/s once the mouse has a CPI.
    press(Form6, Qt::Key_2);
    ASSERT_EQ(Form6->view(), View::speed);
    Form6->draw();
    EXPECT_EQ(Form6->cmbView->ItemIndex.get(), 1);
    EXPECT_EQ(Form6->unit(), "counts/ms");
    EXPECT_TRUE(near(during, Form6->y_of_value(0, 20), colour(0)));
    EXPECT_FALSE(near(during, Form6->y_of_value(0, 10), colour(0)));
    Form6->edtCpi->SetFocus();
    ASSERT_TRUE(wait_until([] { return Form6->edtCpi->Focused(); }));
    press(Form6, Qt::Key_1);
    EXPECT_EQ(Form6->view(), View::speed) << "1 in the CPI box is typed, not a view";
    Form6->edtCpi->Text = "1000";
    press(Form6, Qt::Key_Return);
    Form6->draw();
    EXPECT_EQ(Form6->unit(), "m/s");
    EXPECT_TRUE(near(during, Form6->y_of_value(0, 20 * 25.4 / 1000), colour(0)));

    // Intervals: every report 1 ms after the one before.
    Form6->cmbView->SetFocus();
    press(Form6, Qt::Key_3);
    ASSERT_EQ(Form6->view(), View::intervals);
    Form6->draw();
    EXPECT_TRUE(near(during, Form6->y_of_value(0, 1000), colour(0)));
    EXPECT_FALSE(near(during, Form6->y_of_value(0, 8000), colour(0)));

    // The path: 20 000 counts right and 500 down, on equal axes, y down.
    press(Form6, Qt::Key_4);
    ASSERT_EQ(Form6->view(), View::path);
    Form6->draw();
    const auto [x0, y0] = Form6->path_pixel(0, 0);
    const auto [x1, y1] = Form6->path_pixel(0, 500);
    const auto [x2, y2] = Form6->path_pixel(500, 0);
    EXPECT_NEAR(x2 - x0, y1 - y0, 1) << "equal axes";
    EXPECT_EQ(y2, y0);
    EXPECT_EQ(x1, x0);
    EXPECT_GT(y1, y0) << "y down the screen";
    EXPECT_TRUE(near(Form6->path_pixel(0, 250).first, Form6->path_pixel(0, 250).second, colour(0)));
    EXPECT_TRUE(near(Form6->path_pixel(10'000, 500).first, Form6->path_pixel(10'000, 500).second,
                     colour(0)));
    EXPECT_FALSE(
        near(Form6->path_pixel(10'000, 0).first, Form6->path_pixel(10'000, 0).second, colour(0)));
    const auto [right, bottom] = Form6->path_pixel(20'000, 500);
    EXPECT_LT(right, TForm6::plot_left + TForm6::plot_width);
    EXPECT_GT(right, TForm6::plot_left + TForm6::plot_width * 3 / 4) << "the path fills the plot";
    EXPECT_LT(bottom, TForm6::plot_top + TForm6::plot_height);
}

TEST_F(PlotWindowTest, SpinOutsAndSaturatedReportsAreMarkedWhereTheyHappen) {
    // Mouse 0 spins out (its counts collapse for 2 ms at 4 m/s); mouse 1's
    // 8-bit field clips at 127.
    std::int64_t spin_us = 0;
    std::int64_t last = 0;
    for (const auto& [us, dx, dy] : testsupport::polled(testsupport::spinning_out(), 1000)) {
        if (us - last == 3000)
            spin_us = start + us;
        packet(first_mouse, start + us, dx, dy);
        last = us;
    }
    ASSERT_GT(spin_us, 0);
    std::int64_t clip_us = 0;
    std::int64_t second_us = 0;
    for (const auto& [us, dx, dy] : testsupport::polled(testsupport::clipping_127(), 1000)) {
        if (dx == 127 && clip_us == 0)
            clip_us = start + us;
        packet(second_mouse, start + us, dx, dy);
        second_us = start + us;
    }
    // Frame by frame the marks move with the plot, alone in their rows
    // above the intervals.
    Form6->set_view(View::intervals);
    Form6->draw();
    const std::uint64_t whole = Form6->whole_drawings();
    second_us = std::max(second_us, start + last);  // the plot's right edge
    for (int frame = 0; frame < 20; ++frame) {
        second_us = steady(second_mouse, second_us + 1000, 1000, 16, 1, 0) - 1000;
        Form6->draw();
    }
    ASSERT_EQ(Form6->whole_drawings(), whole) << "each frame moved the plot on";
    const std::vector<vcl::TColor> moved = picture();
    Form6->refresh();
    ASSERT_TRUE(moved == picture()) << "the same as drawn whole";
    Form6->set_view(View::speed);
    Form6->draw();
    const TForm6::Panel& p = Form6->panels()[0];
    const int mark_y = p.top + 3;
    const int spin_x = Form6->x_of_time(spin_us);
    EXPECT_EQ(pixel(spin_x, mark_y), TForm6::mark_colour) << "a solid square";
    EXPECT_EQ(pixel(spin_x, p.top + p.height - 2), TForm6::mark_colour)
        << "and a dotted line down the plot";
    const int clip_x = Form6->x_of_time(clip_us);
    EXPECT_EQ(pixel(clip_x, mark_y), colour(1)) << "a square of the mouse's colour";
    EXPECT_EQ(pixel(clip_x, p.top), TForm6::mark_colour) << "framed";
    EXPECT_NE(pixel(clip_x, p.top + p.height - 2), TForm6::mark_colour) << "no line";

    // Mouse 1 alone: its mark stays, mouse 0's goes.
    Form6->choose(1);
    Form6->draw();
    EXPECT_NE(pixel(Form6->x_of_time(spin_us), p.top + p.height - 2), TForm6::mark_colour);
    EXPECT_EQ(pixel(Form6->x_of_time(clip_us), mark_y), colour(1));
    EXPECT_EQ(count_in_panels(colour(0)), 0);
    EXPECT_GT(count_in_panels(colour(1)), 0);
}

TEST_F(PlotWindowTest, TheChooserResetAndTheSpanShownByTheirControls) {
    steady(first_mouse, start, 1000, 2000, 3, 0);
    steady(second_mouse, start + 500, 1000, 2000, -3, 0);
    Form6->draw();
    const std::vector<std::string> items = Form6->cmbMouse->Items();
    ASSERT_EQ(items.size(), 4u) << "every mouse, then the three numbered";
    EXPECT_EQ(items[1], "Mouse 0: First Mouse");
    EXPECT_EQ(items[2], "Mouse 1");
    EXPECT_EQ(Form6->cmbMouse->ItemIndex.get(), 0);
    EXPECT_GT(count_in_panels(colour(0)), 0);
    EXPECT_GT(count_in_panels(colour(1)), 0);
    // 2 s shown across the plot: the time axis's width holds the span.
    EXPECT_EQ(Form6->x_of_time(start), TForm6::plot_left) << "the first report at the left edge";

    Form6->cmbMouse->ItemIndex = 2;
    Form6->cmbMouseChange(Form6->cmbMouse);
    EXPECT_EQ(Form6->chosen(), 1);
    Form6->draw();
    EXPECT_EQ(count_in_panels(colour(0)), 0);
    EXPECT_GT(count_in_panels(colour(1)), 0);

    Form6->btnReset->Click();
    Form6->draw();
    EXPECT_EQ(count_in_panels(colour(1)), 0) << "nothing since Reset";
    EXPECT_TRUE(measures::feed().plot()->find(measures::handle_of(second_mouse))->empty());
    steady(second_mouse, start + 3'000'000, 1000, 10, -3, 0);
    Form6->draw();
    EXPECT_GT(count_in_panels(colour(1)), 0);
}

TEST_F(PlotWindowTest, AFrameDrawsOnlyTheNewColumnsAndTheyMatchAWholeDrawing) {
    // Three numbered mice at 8 kHz for 10.5 s (20 s across), and one not
    // numbered; then five frames more.
    HANDLE fourth = reinterpret_cast<HANDLE>(0x104);
    const std::vector<HANDLE> mice = {first_mouse, second_mouse, third_mouse};
    std::int64_t t = start;
    for (int i = 0; i < 84'000; ++i, t += 125) {
        for (std::size_t m = 0; m < mice.size(); ++m)
            packet(mice[m], t, (i / 800 % 7) - 3 + static_cast<int>(m), (i / 2000 % 3) - 1);
    }
    packet(fourth, t, 1, 1);  // not numbered: not shown
    for (View view : {View::counts, View::speed, View::intervals}) {
        SCOPED_TRACE(static_cast<int>(view));
        Form6->set_view(view);
        Form6->draw();
        const std::uint64_t whole = Form6->whole_drawings();
        for (int frame = 0; frame < 5; ++frame) {
            for (int i = 0; i < 264; ++i, t += 125) {
                for (std::size_t m = 0; m < mice.size(); ++m)
                    packet(mice[m], t, (i / 50 % 5) - 2, static_cast<int>(m) - 1);
            }
            Form6->draw();
        }
        EXPECT_EQ(Form6->whole_drawings(), whole) << "each frame moved the plot on";
        const std::vector<vcl::TColor> moved = picture();
        Form6->refresh();
        EXPECT_EQ(Form6->whole_drawings(), whole + 1);
        EXPECT_TRUE(moved == picture()) << "the same as drawn whole";
    }
}

// A numbered mouse that never sent, and one that stopped long ago, change
// none of the columns: a frame draws only those the moving mouse added (a
// 30 ms frame at 20 s across, 25.3 ms a column: one or two) and the marks'
// reach before them, not the whole plot.
TEST_F(PlotWindowTest, MiceThatSendNothingMakeAFrameDrawNoColumnOfTheirs) {
    std::int64_t t = start;
    for (int i = 0; i < 8'000; ++i, t += 125)
        packet(second_mouse, t, 1, 0);  // one second, then nothing more
    for (int i = 0; i < 84'000; ++i, t += 125)
        packet(first_mouse, t, (i / 800 % 7) - 3, 1);  // 10.5 s: 20 s across
    Form6->draw();
    const std::uint64_t whole = Form6->whole_drawings();
    for (int frame = 0; frame < 5; ++frame) {
        const std::uint64_t drawn = Form6->columns_drawn();
        for (int i = 0; i < 240; ++i, t += 125)
            packet(first_mouse, t, (i / 50 % 5) - 2, 1);
        Form6->draw();
        EXPECT_LE(Form6->columns_drawn() - drawn, 3u) << "frame " << frame;
    }
    EXPECT_EQ(Form6->whole_drawings(), whole);
    const std::vector<vcl::TColor> moved = picture();
    Form6->refresh();
    EXPECT_TRUE(moved == picture()) << "the same as drawn whole";
}

TEST_F(PlotWindowTest, SavePictureAndSaveDataGoThroughTheRealDialog) {
    steady(first_mouse, start, 1000, 600, 4, -2);
    steady(second_mouse, start + 500, 1000, 600, -1, 0);
    Form6->set_view(View::path);
    Form6->draw();
    const vcl::TRect area = Form6->picture_rect();
    const std::vector<vcl::TColor> shown = picture();
    {
        facade_driver::SaveDialogUser user("Save picture", (dir_ / "plot").string());
        Form6->btnSavePicture->Click();
        ASSERT_TRUE(user.answered());
        EXPECT_EQ(user.proposed(), "rawmice-plot.png");
        EXPECT_EQ(user.file_type(), "PNG picture (*.png)");
    }
    const facade_driver::Picture png = facade_driver::read_png((dir_ / "plot.png").string());
    ASSERT_EQ(png.width, area.Width());
    ASSERT_EQ(png.height, area.Height());
    EXPECT_TRUE(png.pixels == shown) << "the view as it is shown";
    EXPECT_EQ(Form6->notes().back(), "Saved the picture to " + (dir_ / "plot.png").string());

    // The data of the mouse shown: its header, then a line a packet.
    Form6->choose(0);
    {
        facade_driver::SaveDialogUser user("Save data", (dir_ / "plot.csv").string());
        Form6->btnSaveData->Click();
        ASSERT_TRUE(user.answered());
        EXPECT_EQ(user.file_type(), "CSV data (*.csv)");
    }
    std::istringstream csv(testsupport::read_file(dir_ / "plot.csv"));
    std::string line;
    std::getline(csv, line);
    EXPECT_EQ(line, "mouse,handle,time_us,dx,dy,interval_us,speed_cpms,speed_mps");
    std::vector<std::string> lines;
    while (std::getline(csv, line))
        lines.push_back(line);
    ASSERT_EQ(lines.size(), 600u);
    EXPECT_EQ(lines[0], "0,257,5000000,4,-2,,,");
    EXPECT_EQ(lines[599], "0,257,5599000,4,-2,1000,4.472,");
    EXPECT_FALSE(std::filesystem::exists(dir_ / "plot.csv.part"));

    // Cancelled: nothing written, nothing said.
    const std::string before = Form6->notes().back();
    {
        facade_driver::SaveDialogUser user("Save data", std::nullopt);
        Form6->btnSaveData->Click();
        ASSERT_TRUE(user.answered());
    }
    EXPECT_EQ(Form6->notes().back(), before);

    // A folder that is not there: said, and no file left.
    EXPECT_FALSE(Form6->save_data((dir_ / "missing" / "plot.csv").string()));
    Form6->draw();
    EXPECT_EQ(Form6->notes().back().rfind("Could not save the data to ", 0), 0u)
        << Form6->notes().back();
    EXPECT_FALSE(Form6->save_picture((dir_ / "missing" / "plot.png").string()));
    EXPECT_FALSE(std::filesystem::exists(dir_ / "missing"));
}

}  // namespace
