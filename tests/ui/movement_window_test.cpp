// The movement window on Qt: made on first use, F4 from any rawmice window,
// Close; raw input it receives handled by the main window; a row per mouse,
// per mouse's strokes and per pair moved together, the pairs compared again
// while the mice move, the distance typed in its box and the CPI for speed
// it sets, Reset, on the pixels of its canvas.
#include <gtest/gtest.h>

#include <QApplication>
#include <QKeyEvent>
#include <QWindow>

#include <filesystem>
#include <vector>

#include "measures/feed.h"
#include "platform/vcl/qt/native.h"
#include "rawinput/rawinput.h"
#include "rawinput/report.h"
#include "tests/support/stroke_cases.h"
#include "tests/support/strokes.h"
#include "tests/support/test_support.h"
#include "tests/ui/measures_window_test.h"
#include "ui/frmButtons.h"
#include "ui/frmMovement.h"
#include "ui/frmTiming.h"
#include "ui/principal.h"

namespace {

namespace fs = std::filesystem;
namespace movement = measures::movement;
namespace strokes = measures::strokes;
using testsupport::wait_until;
using vcl::qt::widget;

class MovementWindowTest : public MeasuresWindowTest {
  protected:
    void SetUp() override {
        MeasuresWindowTest::SetUp();
        show_main_window();
    }

    static bool shown() { return Form5 != nullptr && Form5->Visible.get(); }

    static std::optional<double> speed_cpi(HANDLE mouse) {
        return measures::feed().store().find(measures::handle_of(mouse))->tracking.cpi();
    }

    // `mouse` sends `packets`, from `from_us` on.
    static void send(HANDLE mouse, const std::vector<testsupport::Counts>& packets,
                     std::int64_t from_us = 0) {
        for (const auto& [t, dx, dy] : packets)
            measures::feed().packet(
                {measures::handle_of(mouse), from_us + t, false, false, 0, {dx, dy}});
    }

    // `mouse` reports the hand's flicks at `scale` of its counts, `delay_us` late.
    static void move(HANDLE mouse, const testsupport::HandPath& path, double scale,
                     std::int64_t delay_us, int unit = 1) {
        for (const auto& [t, dx, dy] : testsupport::sensed(path, 125, scale, delay_us, unit))
            measures::feed().packet({measures::handle_of(mouse), t, false, false, 0, {dx, dy}});
    }

    // How many pixels of the band of a table line from `top` are not the face.
    static int marked(int top) {
        const vcl::TColor face = Form5->Canvas->Pixel(2, 2);
        int count = 0;
        for (int y = top; y < top + 12; ++y) {
            for (int x = 0; x < 400; ++x)
                count += Form5->Canvas->Pixel(x, y) != face ? 1 : 0;
        }
        return count;
    }

    // The pixels of that band.
    static std::vector<vcl::TColor> band(int top) {
        std::vector<vcl::TColor> pixels;
        for (int y = top; y < top + 12; ++y) {
            for (int x = 0; x < 400; ++x)
                pixels.push_back(Form5->Canvas->Pixel(x, y));
        }
        return pixels;
    }
};

TEST_F(MovementWindowTest, ARowPerMouseAndPerPairMovedTogetherAndTheDistanceTyped) {
    show_measures_window(Form5);
    ASSERT_TRUE(shown());
    ASSERT_NE(Form5->edtDistance, nullptr);
    ASSERT_NE(Form5->btnReset, nullptr);
    EXPECT_EQ(Form5->btnReset->Caption.get(), "Reset");
    EXPECT_TRUE(Form5->mouse_rows().empty());
    EXPECT_TRUE(Form5->pair_rows().empty());
    const int empty_pairs = marked(Form5->pair_line_top(0));

    // The second mouse reports the first's movement 3 ms later at half its
    // counts; the third moved apart.
    const std::uint64_t compared = Form5->comparisons();
    move(first_mouse, testsupport::hand(), 1, 0, 2);
    move(second_mouse, testsupport::hand(), 0.5, 3000);
    move(third_mouse, testsupport::other_hand(), 1, 0);
    ASSERT_TRUE(wait_until([&] { return Form5->comparisons() >= compared + 3; }))
        << "each of the three pairs compared again in turn while shown, without a packet more";
    Form5->draw();
    ASSERT_EQ(Form5->mouse_rows().size(), 3u);
    EXPECT_EQ(Form5->mouse_rows()[0],
              (movement::Row{"0", "10700", "-1900", Form5->mouse_rows()[0][movement::column::path],
                             "10.1", "-", "First Mouse"}));
    EXPECT_EQ(Form5->mouse_rows()[1][movement::column::counts_x], "5350");
    ASSERT_EQ(Form5->pair_rows().size(), 1u);
    EXPECT_EQ(Form5->pair_rows()[0][movement::pair_column::a], "0");
    EXPECT_EQ(Form5->pair_rows()[0][movement::pair_column::b], "1");
    EXPECT_EQ(Form5->pair_rows()[0][movement::pair_column::ratio], "0.500");
    EXPECT_EQ(Form5->pair_rows()[0][movement::pair_column::lag], "3.000");
    EXPECT_NE(marked(Form5->pair_line_top(0)), empty_pairs) << "the pair is drawn";

    // Pairs are compared one at a time, and only when a mouse of theirs moved.
    const std::uint64_t settled = Form5->comparisons();
    Form5->compare_next_pair();
    EXPECT_EQ(Form5->comparisons(), settled) << "no mouse moved: no pair compared";

    // A mouse that moves on has its changed cells drawn again.
    const std::vector<vcl::TColor> before = band(Form5->mouse_line_top(0));
    measures::feed().packet(
        {measures::handle_of(first_mouse), 3'300'000, false, false, 0, {1000, 0}});
    Form5->compare_next_pair();
    EXPECT_EQ(Form5->comparisons(), settled + 1) << "one of its two pairs at a time";
    Form5->draw();
    EXPECT_EQ(Form5->mouse_rows()[0][movement::column::counts_x], "11700");
    EXPECT_NE(band(Form5->mouse_line_top(0)), before);

    // The distance applies with Enter; a text that is none says so and
    // leaves the last one.
    Form5->edtDistance->Text = "100";
    press(Form5, Qt::Key_Return);
    EXPECT_EQ(measures::feed().distance_mm(), 100.0);
    EXPECT_EQ(Form5->mouse_rows()[0][movement::column::cpi], "3011");
    EXPECT_EQ(Form5->notes().at(2), "CPI: the net counts over 100 mm.");
    EXPECT_FALSE(speed_cpi(first_mouse).has_value())
        << "its flicks went to and fro: 3011 is what they left over, not a CPI";
    // The notes change (the distance taken away elsewhere) while the rows
    // stay: the rows are still all there.
    measures::feed().set_distance_mm(std::nullopt);
    measures::feed().packet({measures::handle_of(first_mouse), 3'400'000, false, false, 0, {1, 0}});
    Form5->draw();
    ASSERT_EQ(Form5->mouse_rows().size(), 3u);
    EXPECT_EQ(Form5->mouse_rows()[0][movement::column::counts_x], "11701");
    EXPECT_EQ(Form5->notes().at(2), "CPI: type the distance moved in mm below and press Enter.");
    measures::feed().set_distance_mm(100.0);
    Form5->edtDistance->Text = "ten";
    press(Form5, Qt::Key_Return);
    EXPECT_EQ(measures::feed().distance_mm(), 100.0);
    EXPECT_EQ(Form5->notes().at(2), "'ten' is not a distance in mm above 0 and at most 10000.");

    // Reset: every count starts afresh, and no pair is left. A stroke one
    // way, 2000 counts over 50 mm: Enter reads its speeds at the 1016 CPI
    // it shows.
    Form5->btnReset->Click();
    ASSERT_EQ(Form5->mouse_rows().size(), 3u);
    EXPECT_EQ(Form5->mouse_rows()[0][movement::column::counts_x], "0");
    EXPECT_EQ(Form5->stroke_rows()[0][strokes::column::strokes], "0") << "Reset clears them too";
    std::vector<testsupport::Counts> stroke;
    for (int i = 0; i < 100; ++i)
        stroke.push_back({4'000'000 + i * 1000, 20, 0});
    send(first_mouse, stroke);
    Form5->edtDistance->Text = "50";
    press(Form5, Qt::Key_Return);
    EXPECT_EQ(Form5->mouse_rows()[0][movement::column::cpi], "1016");
    EXPECT_EQ(speed_cpi(first_mouse), 1016.0);
    // Reset again: the CPI for speed stays, and a mouse showing 0 keeps it
    // at the next Enter.
    Form5->btnReset->Click();
    press(Form5, Qt::Key_Return);
    EXPECT_EQ(Form5->mouse_rows()[0][movement::column::cpi], "0");
    EXPECT_EQ(speed_cpi(first_mouse), 1016.0);
    EXPECT_EQ(Form5->mouse_rows()[0][movement::column::angle], "-");
    EXPECT_TRUE(Form5->pair_rows().empty());
    EXPECT_EQ(marked(Form5->pair_line_top(0)), empty_pairs);
}

// Fast one way and slowly back between two stops 100 mm apart, at 800 CPI
// with fast strokes 8 % long: the strokes table reads the CPI and its
// variation, and Enter reads speeds at the strokes' CPI, not at the 756
// counts the to and fro left over (192 CPI). A mouse fast out and slowly
// back once (252 counts over, 64 CPI) keeps the CPI it had.
TEST_F(MovementWindowTest, EnterAfterAToAndFroReadsSpeedsAtTheStrokesCpi) {
    show_measures_window(Form5);
    const int empty = marked(Form5->stroke_line_top(0));
    const testsupport::StrokeCase long_fast = testsupport::stroke_cases()[2];
    ASSERT_STREQ(long_fast.name, "Long");
    send(first_mouse, long_fast.packets, 1'000'000);
    const testsupport::Timeline once = testsupport::timeline(testsupport::to_and_fro(
        "FS", testsupport::stops_counts, testsupport::slow_peak, testsupport::fast_peak, 1.08));
    send(second_mouse,
         testsupport::sensed(once.path, 125, 1, 0, 1,
                             static_cast<std::int64_t>(once.end_ms * 1000) + 60'000),
         1'000'000);
    Form5->draw();
    ASSERT_EQ(Form5->stroke_rows().size(), 2u);
    EXPECT_EQ(Form5->stroke_rows()[0], (strokes::Row{"0", "10", "10", "-", "0.0", "6.30", "85.00",
                                                     "-", "-", "+8.0", "First Mouse"}))
        << "no CPI before the distance is given";
    EXPECT_NE(marked(Form5->stroke_line_top(0)), empty) << "drawn";

    Form5->edtDistance->Text = "100";
    press(Form5, Qt::Key_Return);
    EXPECT_EQ(Form5->mouse_rows()[0][movement::column::cpi], "192");
    EXPECT_EQ(Form5->stroke_rows()[0][strokes::column::cpi], "800");
    EXPECT_EQ(Form5->stroke_rows()[0][strokes::column::slow_mps], "0.20");
    EXPECT_EQ(Form5->stroke_rows()[0][strokes::column::fast_mps], "2.70");
    ASSERT_TRUE(speed_cpi(first_mouse).has_value());
    EXPECT_NEAR(*speed_cpi(first_mouse), 800, 0.5);
    EXPECT_EQ(Form5->mouse_rows()[1][movement::column::cpi], "64");
    EXPECT_EQ(Form5->stroke_rows()[1][strokes::column::cpi], "-");
    EXPECT_FALSE(speed_cpi(second_mouse).has_value());

    // Readable at its size: every note whole within the window, the tables
    // and the notes apart, above the distance box.
    for (const std::string& note : Form5->notes()) {
        EXPECT_LE(Form5->Canvas->TextWidth(note), 720 - 2 * table_margin) << note;
    }
    const int row = Form5->mouse_line_top(1) - Form5->mouse_line_top(0);
    EXPECT_LE(Form5->mouse_line_top(9) + row, Form5->stroke_line_top(-1));
    EXPECT_LE(Form5->stroke_line_top(9) + row, Form5->pair_line_top(-1));
    EXPECT_LE(Form5->pair_line_top(2) + row, Form5->notes_top()) << "room for three pairs";
    constexpr int controls_top = 567;  // the buttons, the highest of the layout's controls
    EXPECT_LE(Form5->notes_top() + TForm5::max_notes * row, controls_top);
    EXPECT_LE(static_cast<int>(Form5->notes().size()), TForm5::max_notes);

    // Reset clears the strokes; the CPI for speed stays.
    Form5->btnReset->Click();
    EXPECT_EQ(Form5->stroke_rows()[0][strokes::column::strokes], "0");
    EXPECT_EQ(Form5->stroke_rows()[0][strokes::column::cpi], "-");
    EXPECT_NEAR(speed_cpi(first_mouse).value_or(0), 800, 0.5);
}

}  // namespace
