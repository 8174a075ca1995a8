// The tracked cursor of mouse number 2, the pointer readout and the Copy
// button, checked on the pixels of the main window's canvas.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QKeyEvent>

#include <climits>
#include <filesystem>

#include "platform/vcl/qt/native.h"
#include "rawinput/rawinput.h"
#include "tests/engine/fake_user32.h"
#include "tests/engine/main_window_test.h"
#include "tests/support/test_support.h"
#include "ui/principal.h"

namespace {

using vcl::clGreen;

class CursorTest : public MainWindowTest {
  protected:
    void SetUp() override {
        MainWindowTest::SetUp();
        form_->Show();
        background_ = form_->Canvas->Pixel(400, 200);
    }
    vcl::TColor pixel(int x, int y) const { return form_->Canvas->Pixel(x, y); }
    QImage snapshot() const { return vcl::qt::image(*form_->Canvas).copy(); }
    std::string label4() const { return form_->Label4->Caption; }

    vcl::TColor background_ = 0;
};

TEST_F(CursorTest, StartsAt150WithNoMarkThere) {
    EXPECT_EQ(form_->cursor_x, 150);
    EXPECT_EQ(form_->cursor_y, 150);
    EXPECT_EQ(pixel(153, 149), background_);
    EXPECT_EQ(label4(), "Label4");
}

TEST_F(CursorTest, AFirstLongMoveLeavesTheStrayMarkAndTheNewOne) {
    move_tracking_cursor(form_, 2, 20, 0);
    EXPECT_EQ(form_->cursor_x, 170);
    EXPECT_EQ(form_->cursor_y, 150);
    EXPECT_NE(pixel(153, 148), background_) << "the stray mark at (150, 150)";
    EXPECT_NE(pixel(173, 148), background_) << "the new mark at (170, 150)";
    EXPECT_EQ(pixel(163, 148), background_) << "nothing between the marks but the trail";
    for (int x = 157; x < 170; ++x)
        EXPECT_EQ(pixel(x, 150), clGreen) << "trail at x=" << x;
    EXPECT_EQ(label4(), "X = 170 , Y = 150");
}

TEST_F(CursorTest, OverlappingMarksCancelWhereTheyOverlap) {
    move_tracking_cursor(form_, 2, 1, 0);
    // Inside both ellipses, well off the trail row: both fills cancel out.
    EXPECT_EQ(pixel(153, 149), background_);
    EXPECT_EQ(pixel(154, 151), background_);
    EXPECT_EQ(label4(), "X = 151 , Y = 150");
}

TEST_F(CursorTest, AZeroMoveRedrawsInPlace) {
    move_tracking_cursor(form_, 2, 30, 12);
    const QImage before = snapshot();
    form_->Label4->Caption = "changed";
    move_tracking_cursor(form_, 2, 0, 0);
    EXPECT_TRUE(snapshot() == before);
    EXPECT_EQ(label4(), "X = 180 , Y = 162");
}

TEST_F(CursorTest, TheTrailFollowsThePathAndSurvivesTheMarks) {
    move_tracking_cursor(form_, 2, 100, 0);    // to (250, 150)
    move_tracking_cursor(form_, 2, 0, 100);    // to (250, 250)
    move_tracking_cursor(form_, 2, -60, -60);  // to (190, 190)
    for (int y = 154; y < 247; ++y)
        EXPECT_EQ(pixel(250, y), clGreen) << "vertical trail y=" << y;
    for (int d = 5; d < 56; ++d)
        EXPECT_EQ(pixel(250 - d, 250 - d), clGreen) << "diagonal d=" << d;

    // A mark drawn over the trail and drawn again leaves the trail as it was.
    const QImage before = snapshot();
    draw_cursor_marker(form_, vcl::clLime, 247, 200);
    EXPECT_NE(pixel(250, 200), clGreen);
    draw_cursor_marker(form_, vcl::clLime, 247, 200);
    EXPECT_TRUE(snapshot() == before);
    EXPECT_EQ(form_->Canvas->Pen->Mode, vcl::pmCopy);
    EXPECT_EQ(form_->Canvas->Pen->Color, vcl::clLime);
}

TEST_F(CursorTest, OtherMiceDrawNothing) {
    move_tracking_cursor(form_, 2, 5, 5);
    const QImage before = snapshot();
    const std::string label = label4();
    for (int n : {0, 1, 3, -1}) {
        move_tracking_cursor(form_, n, 40, 40);
        EXPECT_TRUE(snapshot() == before) << "mouse " << n;
        EXPECT_EQ(label4(), label);
    }
    EXPECT_EQ(form_->cursor_x, 155);
}

TEST_F(CursorTest, NegativePositionsAndTheEdgesOfTheRange) {
    move_tracking_cursor(form_, 2, -154, -138);
    EXPECT_EQ(label4(), "X = -4 , Y = 12");
    move_tracking_cursor(form_, 2, INT_MAX, INT_MIN);
    move_tracking_cursor(form_, 2, INT_MAX, INT_MIN);
    EXPECT_EQ(form_->cursor_x, INT_MAX);
    EXPECT_EQ(form_->cursor_y, INT_MIN);
    EXPECT_EQ(label4(), "X = 2147483647 , Y = -2147483648");
    move_tracking_cursor(form_, 2, INT_MIN, INT_MAX);
    EXPECT_EQ(form_->cursor_x, -1);
    EXPECT_EQ(form_->cursor_y, -1);
}

TEST_F(CursorTest, ThePointerReadoutSetsOnlyTheLabelAndThePen) {
    form_->Canvas->Pen->Width = 3;
    const QImage before = snapshot();
    form_->FormMouseMove(form_, 0, 35, 210);
    EXPECT_EQ(form_->Label2->Caption.get(), "X = 35 , 210");
    EXPECT_EQ(form_->Canvas->Pen->Mode, vcl::pmXor);
    EXPECT_EQ(form_->Canvas->Pen->Color, vcl::clWhite);
    EXPECT_EQ(form_->Canvas->Pen->Width, 1);
    EXPECT_TRUE(snapshot() == before);

    // The next move sets its own colour and mode: the trail is still green.
    move_tracking_cursor(form_, 2, 0, 30);
    for (int y = 154; y < 177; ++y)
        EXPECT_EQ(pixel(150, y), clGreen) << y;
    EXPECT_EQ(pixel(151, 165), background_) << "the width of 1 carried over";
}

TEST_F(CursorTest, CopyHidesTheMemoForGoodWhileReportsGoOn) {
    ASSERT_TRUE(form_->Memo1->Visible.get());
    QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
    QCoreApplication::sendEvent(vcl::qt::widget(form_), &escape);
    EXPECT_FALSE(form_->Memo1->Visible.get());
    EXPECT_FALSE(form_->btnCopy->Enabled.get());

    // Esc again finds the button disabled; nothing changes.
    form_->Memo1->Show();
    QCoreApplication::sendEvent(vcl::qt::widget(form_), &escape);
    EXPECT_TRUE(form_->Memo1->Visible.get());
    form_->Memo1->Hide();

    user32_.devices = {{reinterpret_cast<HANDLE>(7), RIM_TYPEMOUSE}};
    raw_input_release(form_);
    ASSERT_EQ(raw_input_init(form_), 1);
    const int before = form_->Memo1->Lines->Count();
    RAWMOUSE m{};
    m.lLastX = 1;
    process_raw_input(form_, fake::add_mouse_packet(user32_, reinterpret_cast<HANDLE>(7), m));
    EXPECT_EQ(form_->Memo1->Lines->Count(), before + 1);
}

}  // namespace
