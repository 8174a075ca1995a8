// The check window on Qt: a card per numbered mouse that sent a packet, its
// verdict's colour on the canvas's pixels, the Next line following what the
// mice did, the boxes of the CPI setting and of D, Reset, and Save report
// through the real file dialog (the picture and the report beside it).
#include <gtest/gtest.h>

#include <QByteArray>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <filesystem>
#include <string>
#include <vector>

#include "measures/check.h"
#include "measures/feed.h"
#include "tests/support/test_support.h"
#include "tests/ui/facade_driver.h"
#include "tests/ui/measures_window_test.h"
#include "ui/frmCheck.h"

namespace {

namespace check = measures::check;
namespace buttons = measures::buttons;
using CheckTest = check::Test;
using check::Verdict;

class CheckWindowTest : public MeasuresWindowTest {
  protected:
    void SetUp() override {
        MeasuresWindowTest::SetUp();
        show_main_window();
        show_measures_window(Form7);
        ASSERT_NE(Form7, nullptr);
    }

    // `count` clicks of `button` of `mouse`, every 200 ms from `from_us`,
    // each held 80 ms; from click `bouncing` on, each bounces: pressed again
    // 6 ms after its release.
    static void click(HANDLE mouse, buttons::Button button, int count, std::int64_t from_us,
                      int bouncing = 1'000) {
        const auto h = measures::handle_of(mouse);
        for (int i = 0; i < count; ++i) {
            const std::int64_t t = from_us + i * 200'000;
            measures::feed().packet({h, t, false, false, buttons::down_flag(button)});
            measures::feed().packet({h, t + 80'000, false, false, buttons::up_flag(button)});
            if (i >= bouncing) {
                measures::feed().packet({h, t + 86'000, false, false, buttons::down_flag(button)});
                measures::feed().packet({h, t + 90'000, false, false, buttons::up_flag(button)});
            }
        }
    }

    // The share of the pixels of `area` in `colour`.
    static double share_in(const vcl::TRect& area, vcl::TColor colour) {
        int in = 0;
        for (int y = area.Top; y < area.Bottom; ++y) {
            for (int x = area.Left; x < area.Right; ++x)
                in += Form7->Canvas->Pixel(x, y) == colour ? 1 : 0;
        }
        return static_cast<double>(in) / (area.Width() * area.Height());
    }
};

TEST_F(CheckWindowTest, ACardPerNumberedMouseThatSentAPacketInItsVerdictsColour) {
    Form7->draw();
    EXPECT_TRUE(Form7->cards().empty());
    EXPECT_EQ(Form7->next_line(),
              "Next: Move a mouse: each numbered mouse gets a card with its first packet.");

    // Mouse 1 (the second listed) clicks its left button 20 times cleanly and
    // its right one 20 times, the 6th bouncing: its buttons fail, and with them
    // the mouse, whatever its other tests still wait for.
    click(second_mouse, buttons::Button::left, 20, 1'000'000);
    click(second_mouse, buttons::Button::right, 20, 6'000'000, 5);
    Form7->draw();
    ASSERT_EQ(Form7->cards().size(), 1u);
    const check::Card& card = Form7->cards()[0];
    EXPECT_EQ(card.number, 1);
    EXPECT_EQ(card.buttons.result.verdict, Verdict::fail);
    EXPECT_EQ(card.buttons.result.figure, "right 15 of 35 chatter");
    EXPECT_EQ(card.verdict, check::MouseVerdict::fail);
    EXPECT_EQ(card.polling.result.verdict, Verdict::waiting);

    // On the canvas: the badge and the buttons' mark red, polling's grey.
    EXPECT_GT(share_in(TForm7::badge_rect(0), TForm7::colour(check::MouseVerdict::fail)), 0.6);
    EXPECT_EQ(share_in(TForm7::mark_rect(0, CheckTest::buttons), TForm7::colour(Verdict::fail)),
              1.0);
    EXPECT_EQ(share_in(TForm7::mark_rect(0, CheckTest::polling), TForm7::colour(Verdict::waiting)),
              1.0);
    EXPECT_EQ(share_in(TForm7::mark_rect(0, CheckTest::together), TForm7::colour(Verdict::info)),
              1.0);
    EXPECT_EQ(Form7->next_line(), "Next: Move mouse 1 in circles for 5 seconds: 0.0 of 5 s.");

    // Mouse 0 clicks too, cleanly: a card before mouse 1's, the Next line for both.
    click(first_mouse, buttons::Button::left, 3, 20'000'000);
    Form7->draw();
    ASSERT_EQ(Form7->cards().size(), 2u);
    EXPECT_EQ(Form7->cards()[0].number, 0);
    EXPECT_EQ(Form7->cards()[0].name, "First Mouse");
    EXPECT_EQ(Form7->cards()[0].buttons.result.verdict, Verdict::waiting);
    EXPECT_EQ(Form7->cards()[1].verdict, check::MouseVerdict::fail);
    EXPECT_GT(share_in(TForm7::badge_rect(1), TForm7::colour(check::MouseVerdict::fail)), 0.6)
        << "mouse 1's card moved down a slot";
    EXPECT_GT(share_in(TForm7::badge_rect(0), TForm7::colour(check::MouseVerdict::incomplete)),
              0.6);
    EXPECT_EQ(Form7->next_line(),
              "Next: Move mouse 0 and mouse 1 in circles for 5 seconds: mouse 0 "
              "0.0 of 5 s; mouse 1 0.0 of 5 s.");

    // A mouse the engine did not number: no card, and the Next line says why.
    measures::feed().packet({0x999, 30'000'000, false, false, 0, {3, 0, false}});
    Form7->draw();
    EXPECT_EQ(Form7->cards().size(), 2u);
    EXPECT_NE(Form7->next_line().find("A mouse plugged in after start has no number and no card: "
                                      "restart rawmice to number it."),
              std::string::npos)
        << Form7->next_line();

    // Reset: every measure afresh, the timing's too.
    Form7->btnReset->Click();
    for (std::size_t i = 0; i < measures::feed().store().size(); ++i) {
        EXPECT_EQ(measures::feed().store()[i].timing.reports(), 0u);
        EXPECT_EQ(measures::feed().store()[i].buttons.summary(buttons::Button::right).presses, 0u);
    }
    ASSERT_EQ(Form7->cards().size(), 2u) << "the mice stay, their figures go";
    EXPECT_EQ(Form7->cards()[1].buttons.result.verdict, Verdict::waiting);
    EXPECT_GT(share_in(TForm7::badge_rect(1), TForm7::colour(check::MouseVerdict::incomplete)),
              0.6);
}

TEST_F(CheckWindowTest, ItsBoxesTakeTheCpiAMouseIsSetToAndDWithEnter) {
    measures::feed().packet(
        {measures::handle_of(first_mouse), 1'000'000, false, false, 0, {2, 1, false}});
    Form7->draw();
    vcl::TEdit* box = Form7->cpi_box(0);
    ASSERT_TRUE(box->Visible.get());
    EXPECT_FALSE(Form7->cpi_box(1)->Visible.get()) << "a box only where there is a card";

    box->Text = "1600";
    box->SetFocus();
    ASSERT_TRUE(testsupport::wait_until([&] { return box->Focused(); }));
    press(Form7, Qt::Key_Return);
    EXPECT_EQ(measures::feed().cpi_setting(measures::handle_of(first_mouse)), 1600);
    const measures::Mouse* mouse = measures::feed().store().find(measures::handle_of(first_mouse));
    EXPECT_EQ(mouse->tracking.cpi(), 1600) << "its speeds read at it, as --cpi does";
    EXPECT_EQ(Form7->cards()[0].cpi.set_cpi, 1600);

    box->Text = "16OO";
    press(Form7, Qt::Key_Return);
    EXPECT_EQ(Form7->note(), "'16OO' is not a CPI: a whole number from 50 to 100000.");
    EXPECT_EQ(measures::feed().cpi_setting(measures::handle_of(first_mouse)), 1600);

    Form7->edtDistance->Text = "96.5";
    Form7->edtDistance->SetFocus();
    ASSERT_TRUE(testsupport::wait_until([] { return Form7->edtDistance->Focused(); }));
    press(Form7, Qt::Key_Return);
    EXPECT_EQ(measures::feed().distance_mm(), 96.5);
    EXPECT_EQ(Form7->note().rfind("Marks:", 0), 0u) << "the problem said is gone";
}

TEST_F(CheckWindowTest, SaveReportWritesTheWindowAsAPictureAndTheReportBesideIt) {
    click(first_mouse, buttons::Button::left, 2, 1'000'000, 1);
    Form7->draw();
    ASSERT_EQ(Form7->cards().size(), 1u);
    {
        facade_driver::SaveDialogUser user("Save report", (dir_ / "check").string());
        Form7->btnSaveReport->Click();
        ASSERT_TRUE(user.answered());
        EXPECT_EQ(user.proposed(), "rawmice-check.png");
        EXPECT_EQ(user.file_type(), "PNG picture and JSON report (*.png)");
    }
    const facade_driver::Picture png = facade_driver::read_png((dir_ / "check.png").string());
    const vcl::TRect area = TForm7::picture_rect();
    ASSERT_EQ(png.width, area.Width());
    ASSERT_EQ(png.height, area.Height());
    const vcl::TRect badge = TForm7::badge_rect(0);
    EXPECT_EQ(png.at(badge.Left + 2, badge.Top + 2), TForm7::colour(check::MouseVerdict::fail));

    QJsonParseError error{};
    const QJsonDocument report = QJsonDocument::fromJson(
        QByteArray::fromStdString(testsupport::read_file(dir_ / "check.json")), &error);
    ASSERT_EQ(error.error, QJsonParseError::NoError) << error.errorString().toStdString();
    EXPECT_EQ(report["rawmice_check"].toInt(), 1);
    const QJsonObject mouse = report["mice"].toArray()[0].toObject();
    EXPECT_EQ(mouse["number"].toInt(), 0);
    EXPECT_EQ(mouse["handle"].toInt(), 0x101);
    EXPECT_EQ(mouse["name"].toString(), "First Mouse");
    EXPECT_EQ(mouse["verdict"].toString(), "fail");
    const QJsonObject left = mouse["tests"]["buttons"]["buttons"].toArray()[0].toObject();
    EXPECT_EQ(left["presses"].toInt(), 3);
    EXPECT_EQ(left["chatter"].toInt(), 1);
    EXPECT_FALSE(std::filesystem::exists(dir_ / "check.json.part"));
    EXPECT_EQ(Form7->note(), "Saved the report to " + (dir_ / "check.png").string() + " and " +
                                 (dir_ / "check.json").string());

    // A folder that is not there: said, and nothing left.
    EXPECT_FALSE(Form7->save_report((dir_ / "missing" / "check.png").string()));
    EXPECT_EQ(Form7->note().rfind("Could not save", 0), 0u) << Form7->note();
    EXPECT_FALSE(std::filesystem::exists(dir_ / "missing"));
}

}  // namespace
