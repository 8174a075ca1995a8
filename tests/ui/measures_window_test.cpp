// What every measures window does on Qt, one row a window: made on first use
// by its key from the main window, hidden by it again, opened from and
// opening the other measures windows; its Close button and the title bar's
// close hide it and give the focus back; raw input it receives is handled by
// the main window.
#include "tests/ui/measures_window_test.h"

#include <QSize>
#include <QWidget>

#include <ostream>
#include <string>
#include <vector>

#include "rawinput/report.h"

namespace {

using testsupport::wait_until;
using vcl::qt::widget;

struct Window {
    const char* caption;
    const char* layout;
    QSize size;  // its client size
    int key;
    MeasuresWindow* (*get)();
    void (*show)();
};

void PrintTo(const Window& window, std::ostream* out) {
    *out << window.caption;
}

const std::vector<Window>& windows() {
    static const std::vector<Window> all = {
        {"Timing",
         "Form3",
         {880, 470},
         Qt::Key_F2,
         []() -> MeasuresWindow* { return Form3; },
         [] { show_measures_window(Form3); }},
        {"Buttons",
         "Form4",
         {720, 470},
         Qt::Key_F3,
         []() -> MeasuresWindow* { return Form4; },
         [] { show_measures_window(Form4); }},
        {"Movement",
         "Form5",
         {720, 600},
         Qt::Key_F4,
         []() -> MeasuresWindow* { return Form5; },
         [] { show_measures_window(Form5); }},
        {"Plot",
         "Form6",
         {880, 560},
         Qt::Key_F5,
         []() -> MeasuresWindow* { return Form6; },
         [] { show_measures_window(Form6); }},
        {"Check",
         "Form7",
         {900, 632},
         Qt::Key_F6,
         []() -> MeasuresWindow* { return Form7; },
         [] { show_measures_window(Form7); }},
    };
    return all;
}

class EveryMeasuresWindow : public MeasuresWindowTest,
                            public ::testing::WithParamInterface<Window> {
  protected:
    void SetUp() override {
        MeasuresWindowTest::SetUp();
        show_main_window();
    }
    static MeasuresWindow* window() { return GetParam().get(); }
    static bool shown() { return window() != nullptr && window()->Visible.get(); }
    static bool active(vcl::TForm* form) {
        return wait_until([form] { return vcl::TForm::active() == form; });
    }
};

TEST_P(EveryMeasuresWindow, ItsKeyMakesItOnFirstUseAndHidesItFromAnyRawmiceWindow) {
    const Window& w = GetParam();
    EXPECT_EQ(window(), nullptr) << "made on first use, not at start";
    press(Form1, w.key);
    ASSERT_TRUE(shown());
    EXPECT_EQ(window()->Caption.get(), w.caption);
    ASSERT_NE(window()->btnClose, nullptr);
    EXPECT_EQ(window()->btnClose->Caption.get(), "Close");
    EXPECT_EQ(widget(window())->size(), w.size);
    EXPECT_EQ(widget(window())->objectName(), w.layout);
    EXPECT_EQ(vcl::Application->forms(), (std::vector<vcl::TForm*>{Form1, window()}));
    EXPECT_TRUE(active(window())) << "it takes the focus";

    press(window(), w.key);
    EXPECT_FALSE(shown());
    EXPECT_TRUE(active(Form1)) << "the main window takes the focus back, and the raw input with it";
    press(Form1, w.key);
    EXPECT_TRUE(shown()) << "shown again";
    EXPECT_EQ(vcl::Application->forms().size(), 2u) << "the same window";
    hide_measures_window(window());

    // From each other measures window, and each of them from it.
    for (const Window& other : windows()) {
        if (std::string(other.layout) == w.layout)
            continue;
        other.show();
        ASSERT_TRUE(active(other.get()));
        press(other.get(), w.key);
        ASSERT_TRUE(shown()) << "from the " << other.caption << " window";
        ASSERT_TRUE(active(window()));
        hide_measures_window(other.get());
        press(window(), other.key);
        EXPECT_TRUE(other.get()->Visible.get()) << "the " << other.caption << " window from it";
        hide_measures_window(other.get());
        hide_measures_window(window());
    }
    EXPECT_EQ(vcl::Application->forms().size(), 1 + windows().size()) << "each window made once";
}

TEST_P(EveryMeasuresWindow, CloseAndTheTitleBarsCloseHideItAndRawInputGoesOnToTheMainWindow) {
    GetParam().show();
    ASSERT_TRUE(active(window()));
    RAWMOUSE moved{};
    moved.lLastX = 7;
    moved.lLastY = -3;
    const HRAWINPUT packet = fake::add_mouse_packet(user32_, third_mouse, moved);
    vcl::TMessage message{WM_INPUT, RIM_INPUT, reinterpret_cast<LPARAM>(packet), 0};
    vcl::TForm::active()->Dispatch(&message);
    flush_log();
    EXPECT_EQ(testsupport::read_file(dir_ / "log.txt"), report::packet_line(2, moved));
    EXPECT_EQ((*Form1->Memo1->Lines)[Form1->Memo1->Lines->Count() - 1],
              report::packet_line(2, moved));
    EXPECT_EQ(Form1->cursor_x, 157) << "mouse 2's cursor moved";
    EXPECT_EQ(Form1->cursor_y, 147);

    window()->btnClose->Click();
    EXPECT_FALSE(shown());
    EXPECT_TRUE(active(Form1));
    GetParam().show();
    ASSERT_TRUE(active(window()));
    widget(window())->close();  // as the title bar's close asks
    EXPECT_FALSE(shown());
    EXPECT_NE(window(), nullptr) << "hidden, not destroyed";
    EXPECT_TRUE(Form1->Visible.get());
    EXPECT_TRUE(active(Form1));
}

INSTANTIATE_TEST_SUITE_P(Windows, EveryMeasuresWindow, ::testing::ValuesIn(windows()),
                         [](const ::testing::TestParamInfo<Window>& info) {
                             return std::string(info.param.caption);
                         });

}  // namespace
