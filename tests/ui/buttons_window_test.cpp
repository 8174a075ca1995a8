// The buttons window on Qt: made on first use, F3 from any rawmice window,
// Reset, Close and the title bar's close; raw input it receives handled by the
// main window; a row per mouse and button with the chatter cell in its own
// colour, every row reachable by scrolling, on the pixels of its canvas.
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
#include "tests/support/test_support.h"
#include "tests/ui/measures_window_test.h"
#include "ui/frmButtons.h"
#include "ui/frmTiming.h"
#include "ui/principal.h"

namespace {

namespace fs = std::filesystem;
namespace buttons = measures::buttons;
using buttons::Button;
using testsupport::wait_until;
using vcl::qt::widget;

class ButtonsWindowTest : public MeasuresWindowTest {
  protected:
    void SetUp() override {
        MeasuresWindowTest::SetUp();
        show_main_window();
    }

    static bool shown() { return Form4 != nullptr && Form4->Visible.get(); }

    void open_buttons_window() {
        show_measures_window(Form4);
        ASSERT_NE(Form4, nullptr);
        Form4->draw();
    }

    // `count` clicks of `button` of `mouse`, every 300 ms from `from_us`, each
    // held 100 ms; each click after the first `clean` bounces (a press 5 ms
    // after its release, held 10 ms).
    static void click(HANDLE mouse, Button button, int count, std::int64_t from_us, int clean) {
        const auto h = measures::handle_of(mouse);
        for (int i = 0; i < count; ++i) {
            const std::int64_t t = from_us + i * 300'000;
            measures::feed().packet({h, t, false, false, buttons::down_flag(button)});
            measures::feed().packet({h, t + 100'000, false, false, buttons::up_flag(button)});
            if (i >= clean) {
                measures::feed().packet({h, t + 105'000, false, false, buttons::down_flag(button)});
                measures::feed().packet({h, t + 115'000, false, false, buttons::up_flag(button)});
            }
        }
    }

    // How many pixels of the cell have `colour`.
    static int pixels_of(const vcl::TRect& cell, vcl::TColor colour) {
        int count = 0;
        for (int y = cell.Top; y < cell.Bottom; ++y) {
            for (int x = cell.Left; x < cell.Right; ++x)
                count += Form4->Canvas->Pixel(x, y) == colour ? 1 : 0;
        }
        return count;
    }
};

TEST_F(ButtonsWindowTest, ARowPerMouseAndButtonPressedWithItsChatterInItsOwnColour) {
    open_buttons_window();
    EXPECT_EQ(Form4->row_count(), 0u) << "no button pressed yet";
    const auto late = reinterpret_cast<HANDLE>(0x1ff);
    click(late, Button::left, 2, 0, 2);           // a mouse not listed
    click(second_mouse, Button::right, 4, 0, 2);  // two bounce
    click(first_mouse, Button::middle, 3, 0, 3);  // clean
    click(first_mouse, Button::left, 5, 2'000'000, 5);
    Form4->draw();
    ASSERT_EQ(Form4->row_count(), 4u);
    // The listed mice in their numbering, each button in its order; then the others.
    EXPECT_EQ(Form4->cells(0), (buttons::Row{"0", "left", "5", "5", "0", "200.0", "100.0", "100.0",
                                             "0", "First Mouse"}));
    EXPECT_EQ(Form4->cells(1)[buttons::column::button], "middle");
    EXPECT_EQ(Form4->cells(2),
              (buttons::Row{"1", "right", "6", "4", "2", "5.0", "100.0", "10.0", "0", "-"}));
    EXPECT_EQ(Form4->cells(3)[buttons::column::mouse], "-1");

    const vcl::TColor face = Form4->Canvas->Pixel(2, 2);
    const vcl::TRect chatter = Form4->cell_rect(2, buttons::column::chatter);
    const int area = chatter.Width() * chatter.Height();
    EXPECT_GT(pixels_of(chatter, TForm4::chatter_face), area / 2) << "it stands out";
    EXPECT_LT(pixels_of(chatter, TForm4::chatter_face), area) << "with its figure on it";
    EXPECT_EQ(pixels_of(Form4->cell_rect(0, buttons::column::chatter), TForm4::chatter_face), 0);
    EXPECT_GT(pixels_of(Form4->cell_rect(0, buttons::column::chatter), face), area / 2);
    const vcl::TColor text = vcl::qt::from_qcolor(vcl::qt::to_qcolor(vcl::clWindowText));
    EXPECT_GT(pixels_of(Form4->cell_rect(0, buttons::column::presses), text), 0) << "a figure";
    EXPECT_GT(pixels_of(Form4->cell_rect(0, buttons::column::name), text), 0) << "the name";

    // A new chatter turns the first row's cell too, frame by frame.
    const std::uint64_t drawn = Form4->drawings();
    click(first_mouse, Button::left, 2, 4'000'000, 1);
    EXPECT_TRUE(wait_until([&] { return Form4->drawings() > drawn; }));
    EXPECT_EQ(Form4->cells(0)[buttons::column::chatter], "1");
    EXPECT_GT(pixels_of(Form4->cell_rect(0, buttons::column::chatter), TForm4::chatter_face),
              area / 2);
}

TEST_F(ButtonsWindowTest, ResetStartsAfreshAndNothingIsDrawnWhileNothingChangesNorWhileHidden) {
    open_buttons_window();
    click(first_mouse, Button::left, 3, 0, 1);
    Form4->draw();
    ASSERT_EQ(Form4->row_count(), 1u);
    const std::uint64_t drawn = Form4->drawings();
    Form4->draw();
    measures::feed().packet({measures::handle_of(first_mouse), 1'000'000});  // motion
    Form4->draw();
    EXPECT_EQ(Form4->drawings(), drawn) << "nothing it shows changed";

    ASSERT_NE(Form4->btnReset, nullptr);
    EXPECT_EQ(Form4->btnReset->Caption.get(), "Reset");
    Form4->btnReset->Click();
    EXPECT_EQ(Form4->row_count(), 0u) << "every figure forgotten";
    click(first_mouse, Button::right, 1, 2'000'000, 1);
    Form4->draw();
    ASSERT_EQ(Form4->row_count(), 1u);
    EXPECT_EQ(Form4->cells(0)[buttons::column::button], "right");
    EXPECT_EQ(Form4->cells(0)[buttons::column::presses], "1");

    hide_measures_window(Form4);
    const std::uint64_t hidden = Form4->drawings();
    click(first_mouse, Button::right, 1, 3'000'000, 0);
    Form4->draw();
    EXPECT_EQ(Form4->drawings(), hidden) << "nothing drawn while hidden";
    show_measures_window(Form4);
    EXPECT_EQ(Form4->cells(0)[buttons::column::presses], "3") << "drawn as it shows";
}

TEST_F(ButtonsWindowTest, EveryRowIsReachableByScrolling) {
    open_buttons_window();
    // Fifteen mice with every button pressed: far more rows than fit.
    for (std::uintptr_t m = 0; m < 15; ++m) {
        for (Button b : buttons::all)
            click(reinterpret_cast<HANDLE>(0x101 + m), b, 1, 0, 1);
    }
    Form4->draw();
    ASSERT_EQ(Form4->row_count(), 75u);
    const std::size_t fit = Form4->rows_that_fit();
    ASSERT_GE(fit, 10u);
    ASSERT_LT(fit, 75u);
    EXPECT_EQ(Form4->first_shown(), 0u);
    EXPECT_EQ(Form4->notes().back(), "Rows 1 to " + std::to_string(fit) +
                                         " of 75: the arrow keys, Page Up, Page Down, Home and "
                                         "End scroll");
    // The rows fit above the notes, the notes above the buttons.
    EXPECT_LE(Form4->cell_rect(fit - 1, 0).Bottom,
              437 - 3 * (Form4->line_top(0) - Form4->line_top(-1)));

    press(Form4, Qt::Key_Down);
    EXPECT_EQ(Form4->first_shown(), 1u);
    press(Form4, Qt::Key_PageDown);
    EXPECT_EQ(Form4->first_shown(), 1u + fit);
    press(Form4, Qt::Key_End);
    EXPECT_EQ(Form4->first_shown(), 75u - fit) << "the last row shown at the bottom";
    press(Form4, Qt::Key_Down);
    EXPECT_EQ(Form4->first_shown(), 75u - fit) << "no further";
    const vcl::TColor text = vcl::qt::from_qcolor(vcl::qt::to_qcolor(vcl::clWindowText));
    EXPECT_GT(pixels_of(Form4->cell_rect(74, buttons::column::button), text), 0)
        << "the last row drawn";
    EXPECT_EQ(Form4->cells(74)[buttons::column::button], "extra");
    press(Form4, Qt::Key_PageUp);
    EXPECT_EQ(Form4->first_shown(), 75u - 2 * fit);
    press(Form4, Qt::Key_Home);
    EXPECT_EQ(Form4->first_shown(), 0u);
    press(Form4, Qt::Key_Up);
    EXPECT_EQ(Form4->first_shown(), 0u);

    // Fewer rows after a Reset: back to the top, no scrolling note.
    press(Form4, Qt::Key_End);
    Form4->btnReset->Click();
    click(first_mouse, Button::left, 1, 5'000'000, 1);
    Form4->draw();
    EXPECT_EQ(Form4->first_shown(), 0u);
    EXPECT_EQ(Form4->notes().size(), 1u);
}

TEST_F(ButtonsWindowTest, TheChatterWindowAndTimesThatAreNotThePacketsOwnAreSaid) {
    measures::feed().reset({.chatter_window_us = 40'000});
    open_buttons_window();
    ASSERT_EQ(Form4->notes().size(), 1u);
    EXPECT_EQ(Form4->notes()[0].rfind("Chatter: a press less than 40 ms after", 0), 0u)
        << Form4->notes()[0];
    measures::feed().reset({.clock = measures::Clock::milliseconds});
    click(first_mouse, Button::left, 2, 0, 1);
    Form4->draw();
    ASSERT_EQ(Form4->notes().size(), 2u);
    EXPECT_EQ(Form4->notes()[1].rfind("Times: ms clock", 0), 0u) << Form4->notes()[1];
    EXPECT_EQ(Form4->cells(0)[buttons::column::gap], "5") << "whole ms";
}

}  // namespace
