// What every measures window does on Qt, one row a window: made on first use
// by its key from the main window, hidden by it again, opened from and
// opening the other measures windows; its Close button and the title bar's
// close hide it and give the focus back; raw input it receives is handled by
// the main window.
#include "tests/ui/measures_window_test.h"

#include <QSize>
#include <QWidget>

#include <cstdio>
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

// Its cost line times the whole of its frames: its drawing, the paint events
// of its window and the backing store's flush, each part of it, on a cost
// clock that moves on a millisecond at each reading.
TEST_P(EveryMeasuresWindow, ItsCostLineHasEachPartOfItsFrames) {
    std::int64_t now_ns = 0;
    vcl::set_cost_clock([&] { return now_ns += 1'000'000; });
    GetParam().show();
    ASSERT_TRUE(active(window()));
    for (int i = 0; i < 400; ++i) {
        // Moving, with a click every 50 ms, which every window shows.
        measures::Packet packet{measures::handle_of(first_mouse), 1'000'000 + i * 1000};
        packet.motion = {3, -1, false};
        packet.button_flags = i % 50 == 0    ? RI_MOUSE_LEFT_BUTTON_DOWN
                              : i % 50 == 25 ? RI_MOUSE_LEFT_BUTTON_UP
                                             : 0;
        measures::feed().packet(packet);
    }
    measures::feed().batch_handled();
    const auto has = [](vcl::FrameCost::Part part) { return window()->frame_cost().ns[part] > 0; };
    EXPECT_TRUE(wait_until([&] {
        return has(vcl::FrameCost::drawing) && has(vcl::FrameCost::painting) &&
               has(vcl::FrameCost::flushing);
    }));
    const std::string line = window()->cost_line();
    vcl::set_cost_clock({});
    std::string name = std::string(GetParam().caption) + " window: ";
    name[0] = static_cast<char>(name[0] - 'A' + 'a');
    ASSERT_EQ(line.rfind(name, 0), 0u) << line;
    double total = 0, drawing = 0, painting = 0, flushing = 0;
    unsigned long long frames = 0;
    ASSERT_EQ(std::sscanf(line.c_str() + name.size(),
                          "%lf ms a second in its frames (drawing %lf, painting %lf, flushing "
                          "%lf), %llu frames",
                          &total, &drawing, &painting, &flushing, &frames),
              5)
        << line;
    EXPECT_GT(drawing, 0) << line;
    EXPECT_GT(painting, 0) << line;
    EXPECT_GT(flushing, 0) << line;
    EXPECT_NEAR(total, drawing + painting + flushing, 0.015) << line;
    EXPECT_EQ(frames, window()->frame_cost().frames);
    EXPECT_GT(frames, 0u);
}

// The line as data: each part in ms a second of the time open, hand-worked
// (93 ms of drawing over 30 s is 3.10 ms a second).
TEST(FrameCostLineTest, EachPartIsMillisecondsASecondOfTheTimeOpen) {
    struct Row {
        vcl::FrameCost cost;
        std::int64_t open_ns;
        const char* details;
        const char* line;
    };
    for (const Row& row :
         {Row{{{93'000'000, 186'000'000, 93'000'000}, 905},
              30'000'000'000,
              "2 drawn whole, spans 16.9 MB",
              "plot window: 12.40 ms a second in its frames (drawing 3.10, painting 6.20, "
              "flushing 3.10), 905 frames over 30.0 s open; 2 drawn whole, spans 16.9 MB\n"},
          Row{{{1'500'000, 500'000, 0}, 3},
              500'000'000,
              "",
              "plot window: 4.00 ms a second in its frames (drawing 3.00, painting 1.00, "
              "flushing 0.00), 3 frames over 0.5 s open\n"},
          Row{{{}, 0},
              0,
              "",
              "plot window: 0.00 ms a second in its frames (drawing 0.00, painting 0.00, "
              "flushing 0.00), 0 frames over 0.0 s open\n"}}) {
        EXPECT_EQ(frame_cost_line("plot window", row.cost, row.open_ns, row.details), row.line);
    }
}

INSTANTIATE_TEST_SUITE_P(Windows, EveryMeasuresWindow, ::testing::ValuesIn(windows()),
                         [](const ::testing::TestParamInfo<Window>& info) {
                             return std::string(info.param.caption);
                         });

}  // namespace
