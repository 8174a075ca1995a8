// The engine and the main window on the real user32, under Wine: Wine's device
// list in the memo, real WM_INPUT packets logged and shown, a handle that is
// no packet dropped, the log written out once the queue has drained; the
// timing window opened and hidden by F2, passing the raw input it receives
// on to the main window, and each packet measured on its receipt time; the
// buttons window opened and hidden by F3, its rows from real button packets;
// the movement window by F4, its counts from real motion packets; the plot
// window by F5, its path from real motion packets, saved as a picture and as
// data through the system's own save dialog; the check window by F6, its
// card's buttons test passed by real clicks.
#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <utility>

#include "measures/feed.h"
#include "platform/vcl/vcl.h"
#include "platform/vcl/win32/native.h"
#include "rawinput/rawinput.h"
#include "rawinput/report.h"
#include "tests/ui/facade_driver.h"
#include "tests/win32/pump_until.h"
#include "ui/frmButtons.h"
#include "ui/frmCheck.h"
#include "ui/frmMovement.h"
#include "ui/frmPlot.h"
#include "ui/frmTiming.h"
#include "ui/principal.h"

namespace {

namespace fs = std::filesystem;

std::string read_log() {
    std::ifstream in("log.txt", std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

RAWMOUSE buttons(USHORT flags) {
    RAWMOUSE mouse = {};
    mouse.usButtonFlags = flags;
    return mouse;
}

// The log's button lines: SendInput may add motion before the buttons (nothing
// moved, or on Wine's first input the jump from (0,0) to where the pointer is).
std::string button_lines(const std::string& log) {
    std::string kept;
    for (std::size_t start = 0, end; start < log.size(); start = end) {
        end = log.find('\n', start);
        end = end == std::string::npos ? log.size() : end + 1;
        const std::string line = log.substr(start, end - start);
        if (line.find("usButtonFlags=0000 ") == std::string::npos)
            kept += line;
    }
    return kept;
}

// One button change: the MOUSEEVENTF_ flag SendInput is given, and the
// usButtonFlags of the packet it must come back as.
struct ButtonChange {
    DWORD sent;
    USHORT logged;
};
constexpr ButtonChange left_down{MOUSEEVENTF_LEFTDOWN, RI_MOUSE_LEFT_BUTTON_DOWN};
constexpr ButtonChange left_up{MOUSEEVENTF_LEFTUP, RI_MOUSE_LEFT_BUTTON_UP};
constexpr ButtonChange right_down{MOUSEEVENTF_RIGHTDOWN, RI_MOUSE_RIGHT_BUTTON_DOWN};
constexpr ButtonChange right_up{MOUSEEVENTF_RIGHTUP, RI_MOUSE_RIGHT_BUTTON_UP};
constexpr ButtonChange middle_down{MOUSEEVENTF_MIDDLEDOWN, RI_MOUSE_MIDDLE_BUTTON_DOWN};
constexpr ButtonChange middle_up{MOUSEEVENTF_MIDDLEUP, RI_MOUSE_MIDDLE_BUTTON_UP};

// Sends the changes through user32, then handles messages until the log's
// button lines are exactly their packets' lines, in order.
testing::AssertionResult sent_and_logged(std::initializer_list<ButtonChange> changes) {
    std::string expected;
    for (const ButtonChange& change : changes) {
        INPUT input = {};
        input.type = INPUT_MOUSE;
        input.mi.dwFlags = change.sent;
        if (SendInput(1, &input, sizeof input) != 1u)
            return testing::AssertionFailure() << "SendInput: error " << GetLastError();
        expected += report::packet_line(0, buttons(change.logged));
    }
    if (pump_until([&] { return button_lines(read_log()) == expected; }))
        return testing::AssertionSuccess();
    return testing::AssertionFailure()
           << "log.txt holds: " << read_log() << "\nexpected: " << expected;
}

void send_key(WORD key) {
    INPUT input[2] = {};
    input[0].type = INPUT_KEYBOARD;
    input[0].ki.wVk = key;
    input[1] = input[0];
    input[1].ki.dwFlags = KEYEVENTF_KEYUP;
    ASSERT_EQ(SendInput(2, input, sizeof input[0]), 2u) << GetLastError();
}

// One relative move through user32, as a mouse's would come.
void move(LONG dx, LONG dy) {
    INPUT input = {};
    input.type = INPUT_MOUSE;
    input.mi.dx = dx;
    input.mi.dy = dy;
    input.mi.dwFlags = MOUSEEVENTF_MOVE;
    ASSERT_EQ(SendInput(1, &input, sizeof input), 1u) << GetLastError();
}

bool timing_shown() {
    return Form3 != nullptr && Form3->Visible;
}

bool buttons_shown() {
    return Form4 != nullptr && Form4->Visible;
}

// The main window made as the program makes it, in a scratch folder that
// receives its log.txt, shown and in the foreground so raw input reaches it.
class MainWindowOnUser32 : public testing::Test {
  protected:
    void SetUp() override {
        std::random_device random;
        folder_ = fs::temp_directory_path() / ("rawmice-engine-" + std::to_string(random()));
        ASSERT_TRUE(fs::create_directory(folder_));
        previous_ = fs::current_path();
        fs::current_path(folder_);
        measures::feed().reset({.clock = measures::Clock::receipt});
        vcl::Application->CreateForm(&Form1);
        Form1->Show();
        SetForegroundWindow(Form1->native().hwnd);
        vcl::win32::process_messages();
    }
    void TearDown() override {
        log_file.close();
        raw_input_release(Form1);
        vcl::Application->destroy_forms();
        Form1 = nullptr;
        vcl::win32::process_messages();
        fs::current_path(previous_);
        std::error_code ignored;
        fs::remove_all(folder_, ignored);
    }

    std::vector<std::string> memo() const {
        std::vector<std::string> lines;
        for (int i = 0; i < Form1->Memo1->Lines->Count(); ++i)
            lines.emplace_back((*Form1->Memo1->Lines)[i]);
        return lines;
    }

    fs::path folder_;
    fs::path previous_;
};

// Wine lists one mouse (handle 1) and one keyboard (handle 2).
TEST_F(MainWindowOnUser32, ListsWinesDevicesAndNumbersTheMouse) {
    ASSERT_EQ(raw_input_state.raw_mouse_count, 1);
    EXPECT_EQ(raw_input_state.raw_mouse_handles[0], reinterpret_cast<HANDLE>(1));
    const std::vector<std::string> lines = memo();
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[0], "0 1  Mouse");
    EXPECT_EQ(lines[1], "Amouse[0] = 1");
    EXPECT_EQ(lines[2], "1 2  Keyboard");
}

// In the background the engine registers the mouse with RIDEV_INPUTSINK and
// the main window, whose Handle is its HWND, as the target: user32 holds that.
TEST_F(MainWindowOnUser32, InTheBackgroundUser32HoldsAnInputSinkRegistrationForTheMainWindow) {
    const auto registered = [] {
        RAWINPUTDEVICE mouse = {};
        UINT count = 1;
        return GetRegisteredRawInputDevices(&mouse, &count, sizeof mouse) == 1
                   ? mouse
                   : RAWINPUTDEVICE{0, 0, 0xffffffff, nullptr};
    };
    EXPECT_EQ(registered().dwFlags, 0u);
    EXPECT_EQ(registered().hwndTarget, nullptr);

    raw_input_release(Form1);
    rawinput::background = true;
    const std::int32_t ready = raw_input_init(Form1);
    rawinput::background = false;
    ASSERT_EQ(ready, 1);
    const RAWINPUTDEVICE mouse = registered();
    EXPECT_EQ(mouse.usUsagePage, 1);
    EXPECT_EQ(mouse.usUsage, 2);
    EXPECT_EQ(mouse.dwFlags, static_cast<DWORD>(RIDEV_INPUTSINK));
    EXPECT_EQ(mouse.hwndTarget, Form1->native().hwnd);
    EXPECT_EQ(static_cast<HWND>(Form1->Handle), Form1->native().hwnd);
    EXPECT_EQ(vcl::TForm::from_handle(Form1->Handle), Form1);

    ASSERT_TRUE(sent_and_logged({left_down, left_up}));
}

TEST_F(MainWindowOnUser32, RealButtonPacketsAreLoggedShownAndWrittenOutOnceTheQueueDrains) {
    // Nothing but the queue draining writes the log out while the window is open.
    ASSERT_TRUE(sent_and_logged({left_down, left_up, right_down, right_up}));
    EXPECT_EQ(Form1->Label1->Caption.get(), "Hola");
    const std::vector<std::string> lines = memo();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), report::packet_line(0, buttons(RI_MOUSE_RIGHT_BUTTON_UP)));
}

TEST_F(MainWindowOnUser32, AHandleThatIsNoPacketIsDroppedAndTheNextPacketIsRead) {
    EXPECT_EQ(process_raw_input(Form1, reinterpret_cast<HRAWINPUT>(0x7777)), 0);
    ASSERT_TRUE(sent_and_logged({middle_down, middle_up}));
}

TEST_F(MainWindowOnUser32, F2OpensAndHidesTheTimingWindowAlsoAfterCopyDisabledItself) {
    ASSERT_TRUE(pump_until([] { return vcl::TForm::active() == Form1; }));
    send_key(VK_F2);
    ASSERT_TRUE(pump_until([] { return timing_shown() && vcl::TForm::active() == Form3; }));
    EXPECT_EQ(std::string(Form3->Caption), "Timing");
    send_key(VK_F2);
    ASSERT_TRUE(pump_until([] { return !timing_shown() && vcl::TForm::active() == Form1; }))
        << "F2 in it hides it and the main window takes the focus back";

    send_key(VK_ESCAPE);  // Copy: the memo goes, the button disables itself
    ASSERT_TRUE(pump_until([] { return !Form1->btnCopy->Enabled; }));
    send_key(VK_F2);
    ASSERT_TRUE(pump_until([] { return timing_shown(); })) << "with Copy disabled";
    Form3->btnClose->Click();
    EXPECT_FALSE(timing_shown());
    EXPECT_TRUE(pump_until([] { return vcl::TForm::active() == Form1; }));
}

// A click activates the window under the pointer, as on Windows: the clicks
// must land on the timing window for its focus to be the question. The
// pointer is where the tests before left it, and the main window's own
// activation from SetUp must have come before the timing window's.
TEST_F(MainWindowOnUser32, RealPacketsReachTheLogWhileTheTimingWindowHasTheFocus) {
    ASSERT_TRUE(pump_until([] { return vcl::TForm::active() == Form1; }));
    show_measures_window(Form3);
    ASSERT_TRUE(pump_until([] { return vcl::TForm::active() == Form3; }));
    RECT timing;
    ASSERT_TRUE(GetWindowRect(Form3->native().hwnd, &timing));
    const POINT inside{(timing.left + timing.right) / 2, (timing.top + timing.bottom) / 2};
    ASSERT_TRUE(SetCursorPos(inside.x, inside.y));
    ASSERT_TRUE(pump_until([&] {
        POINT at;
        return GetCursorPos(&at) && at.x == inside.x && at.y == inside.y &&
               WindowFromPoint(at) != nullptr &&
               GetAncestor(WindowFromPoint(at), GA_ROOT) == Form3->native().hwnd;
    })) << "the pointer over the timing window";
    ASSERT_TRUE(sent_and_logged({left_down, left_up, middle_down, middle_up}));
    EXPECT_EQ(vcl::TForm::active(), Form3) << "it kept the focus";
    EXPECT_EQ(memo().back(), report::packet_line(0, buttons(RI_MOUSE_MIDDLE_BUTTON_UP)));

    // Each packet measured on when it came, and shown in the window's row.
    const measures::Mouse* mouse = measures::feed().store().find(1);
    ASSERT_NE(mouse, nullptr);
    EXPECT_EQ(mouse->timing.clock(), measures::Clock::receipt);
    EXPECT_GE(mouse->timing.reports(), 4u);
    const measures::timing::RecentReports& recent = mouse->timing.recent();
    for (std::size_t i = 1; i < recent.size(); ++i)
        EXPECT_GE(recent[i].time_us, recent[i - 1].time_us) << "receipt times never go back";
    Form3->draw();
    ASSERT_GE(Form3->row_count(), 1u);
    EXPECT_EQ(Form3->cells(0)[measures::timing::column::mouse], "0");
    EXPECT_EQ(Form3->cells(0)[measures::timing::column::name], "-");
    ASSERT_EQ(Form3->notes().size(), 3u);
    EXPECT_EQ(Form3->notes()[2].rfind("Times: receipt time", 0), 0u) << Form3->notes()[2];
}

// Reports off the poll grid in their own colour on the Win32 canvas: a 1 kHz
// mouse whose every tenth report comes 400 µs late, fed to the measures as
// WMInput would, then drawn.
TEST_F(MainWindowOnUser32, TheTimingChartDrawsReportsOffThePollGridInTheirColour) {
    show_measures_window(Form3);
    for (int i = 0; i < 2001; ++i)
        measures::feed().packet({1, 1'000'000 + i * 1000 + (i % 10 == 9 ? 400 : 0)});
    Form3->draw();
    ASSERT_GE(Form3->row_count(), 1u);
    EXPECT_EQ(Form3->cells(0)[measures::timing::column::off_grid], "10.0");
    const TForm3::Strip s = Form3->strip(0);
    int late = 0;
    int on_time = 0;
    for (int x = TForm3::plot_left; x < TForm3::plot_left + TForm3::plot_width; ++x) {
        late += Form3->Canvas->Pixel(x, TForm3::y_of(1400, s)) == TForm3::off_grid_colour ? 1 : 0;
        on_time += Form3->Canvas->Pixel(x, TForm3::y_of(1000, s)) == Form3->colour(0) ? 1 : 0;
    }
    EXPECT_GT(late, TForm3::plot_width / 4);
    EXPECT_GT(on_time, TForm3::plot_width / 4);
}

// A click and a second press straight after its release, as a bouncing switch
// sends them: SendInput's packets come microseconds apart, well inside the
// chatter window, and the chatter cell shows in its colour.
TEST_F(MainWindowOnUser32, F3OpensTheButtonsWindowWhoseRowsComeFromRealButtonPackets) {
    ASSERT_TRUE(pump_until([] { return vcl::TForm::active() == Form1; }));
    send_key(VK_F3);
    ASSERT_TRUE(pump_until([] { return buttons_shown() && vcl::TForm::active() == Form4; }));
    EXPECT_EQ(std::string(Form4->Caption), "Buttons");
    ASSERT_TRUE(sent_and_logged({left_down, left_up, left_down, left_up}))
        << "passed on to the main window while it has the focus";
    Form4->draw();
    ASSERT_EQ(Form4->row_count(), 1u);
    const measures::buttons::Row& cells = Form4->cells(0);
    EXPECT_EQ(cells[measures::buttons::column::mouse], "0");
    EXPECT_EQ(cells[measures::buttons::column::button], "left");
    EXPECT_EQ(cells[measures::buttons::column::presses], "2");
    EXPECT_EQ(cells[measures::buttons::column::chatter], "1");
    EXPECT_EQ(cells[measures::buttons::column::clicks], "1");
    ASSERT_EQ(Form4->notes().size(), 2u);
    EXPECT_EQ(Form4->notes()[1].rfind("Times: receipt time", 0), 0u) << Form4->notes()[1];
    const vcl::TRect chatter = Form4->cell_rect(0, measures::buttons::column::chatter);
    int coloured = 0;
    for (int y = chatter.Top; y < chatter.Bottom; ++y) {
        for (int x = chatter.Left; x < chatter.Right; ++x)
            coloured += Form4->Canvas->Pixel(x, y) == TForm4::chatter_face ? 1 : 0;
    }
    EXPECT_GT(coloured, chatter.Width() * chatter.Height() / 2) << "the chatter cell stands out";

    Form4->btnReset->Click();
    EXPECT_EQ(Form4->row_count(), 0u);
    send_key(VK_F3);
    ASSERT_TRUE(pump_until([] { return !buttons_shown() && vcl::TForm::active() == Form1; }))
        << "F3 in it hides it and the main window takes the focus back";
}

// Motion sent while the movement window has the focus reaches the log
// through it and adds up in its row; Reset starts it afresh.
TEST_F(MainWindowOnUser32, F4OpensTheMovementWindowWhoseCountsComeFromRealMotionPackets) {
    ASSERT_TRUE(pump_until([] { return vcl::TForm::active() == Form1; }));
    send_key(VK_F4);
    ASSERT_TRUE(pump_until(
        [] { return Form5 != nullptr && Form5->Visible && vcl::TForm::active() == Form5; }));
    EXPECT_EQ(std::string(Form5->Caption), "Movement");
    const auto counts = [] {
        const measures::Mouse* mouse = measures::feed().store().find(1);
        return mouse != nullptr ? mouse->movement.summary().counts_x : 0;
    };
    // Wine's first input of a session may carry the jump from (0, 0) to where
    // the pointer is: one move, then Reset, before the counted ones.
    move(1, 0);
    ASSERT_TRUE(pump_until([&] { return counts() != 0; }));
    Form5->btnReset->Click();
    ASSERT_EQ(counts(), 0);
    // The pixels of the mouse's row, as the canvas holds them.
    const auto row_pixels = [] {
        std::vector<vcl::TColor> pixels;
        const int top = Form5->mouse_line_top(0);
        for (int y = top; y < top + 12; ++y) {
            for (int x = 0; x < 400; ++x)
                pixels.push_back(Form5->Canvas->Pixel(x, y));
        }
        return pixels;
    };
    const std::vector<vcl::TColor> zero_row = row_pixels();
    for (int i = 0; i < 10; ++i)
        move(4, -2);
    ASSERT_TRUE(pump_until([&] { return counts() == 40; })) << "counts: " << counts();
    Form5->draw();
    EXPECT_NE(row_pixels(), zero_row) << "the mouse's row is drawn with its counts";
    ASSERT_EQ(Form5->mouse_rows().size(), 1u);
    EXPECT_EQ(Form5->mouse_rows()[0][measures::movement::column::counts_y], "-20");
    EXPECT_EQ(Form5->mouse_rows()[0][measures::movement::column::angle], "26.6");
    ASSERT_EQ(Form5->notes().size(), 7u);
    EXPECT_EQ(Form5->notes().back().rfind("Lags: receipt time", 0), 0u) << Form5->notes().back();

    // Enter takes the distance typed in the box: 40 x -20 counts over 1.136 mm is 1000 CPI.
    Form5->edtDistance->Text = "1.136";
    send_key(VK_RETURN);
    ASSERT_TRUE(pump_until([] { return measures::feed().distance_mm() == 1.136; }));
    EXPECT_EQ(Form5->mouse_rows()[0][measures::movement::column::cpi], "1000");
    measures::feed().set_distance_mm(std::nullopt);  // the feed is the process's

    const std::vector<vcl::TColor> moved_row = row_pixels();
    Form5->btnReset->Click();
    EXPECT_EQ(Form5->mouse_rows()[0][measures::movement::column::counts_x], "0");
    EXPECT_NE(row_pixels(), moved_row) << "its counts drawn again";
    send_key(VK_F4);
    ASSERT_TRUE(pump_until([] { return !Form5->Visible && vcl::TForm::active() == Form1; }))
        << "F4 in it hides it and the main window takes the focus back";
}

TEST_F(MainWindowOnUser32, F5OpensThePlotWindowWhichSavesRealPacketsThroughTheSystemsDialog) {
    ASSERT_TRUE(pump_until([] { return vcl::TForm::active() == Form1; }));
    send_key(VK_F5);
    ASSERT_TRUE(pump_until(
        [] { return Form6 != nullptr && Form6->Visible && vcl::TForm::active() == Form6; }));
    EXPECT_EQ(std::string(Form6->Caption), "Plot");
    const auto span = [] {
        return measures::feed().plot() != nullptr ? measures::feed().plot()->find(1) : nullptr;
    };
    const auto reports = [&] { return span() != nullptr ? span()->size() : 0u; };
    // The moves of (4, 2) in the span, and where the path ends.
    const auto moves = [&] {
        int count = 0;
        for (std::size_t i = 0; span() != nullptr && i < span()->size(); ++i)
            count += (*span())[i].dx == 4 && (*span())[i].dy == 2 ? 1 : 0;
        return count;
    };
    // Wine's first input may carry the jump to where the pointer is (its
    // packet may come after the Reset, and is left alone).
    move(1, 0);
    ASSERT_TRUE(pump_until([&] { return reports() != 0; }));
    Form6->btnReset->Click();
    ASSERT_EQ(reports(), 0u);
    for (int i = 0; i < 10; ++i)
        move(4, 2);
    ASSERT_TRUE(pump_until([&] { return moves() == 10; })) << moves() << " of " << reports();
    double end_x = 0;
    double end_y = 0;
    for (std::size_t i = 0; i < span()->size(); ++i) {
        end_x += (*span())[i].dx;
        end_y += (*span())[i].dy;
    }
    // Each time view draws the last move in the mouse's colour: 4 counts
    // across (2 down), at its speed (when the moves came slowly enough for
    // one: they come in a burst), at its interval.
    std::size_t last_move = span()->size() - 1;
    while ((*span())[last_move].dx != 4)
        --last_move;
    const measures::plot::Report newest = (*span())[last_move];
    ASSERT_TRUE(newest.interval_us);
    for (const auto& [view, value] :
         {std::pair{TForm6::View::counts, 4.0}, std::pair{TForm6::View::speed, -1.0},
          std::pair{TForm6::View::intervals, static_cast<double>(*newest.interval_us)}}) {
        Form6->set_view(view);
        Form6->draw();
        const int column = Form6->x_of_time(newest.time_us);
        const TForm6::Panel& panel = Form6->panels()[0];
        int coloured = 0;
        for (int y = panel.top; y < panel.top + panel.height; ++y)
            coloured += Form6->Canvas->Pixel(column, y) == TForm6::mouse_colour(0) ? 1 : 0;
        if (view != TForm6::View::speed || newest.speed_cpms) {
            EXPECT_GT(coloured, 0) << "view " << static_cast<int>(view);
        }
        if (value >= 0) {
            const int y = Form6->y_of_value(0, value);
            EXPECT_TRUE(Form6->Canvas->Pixel(column, y) == TForm6::mouse_colour(0) ||
                        Form6->Canvas->Pixel(column, y - 1) == TForm6::mouse_colour(0) ||
                        Form6->Canvas->Pixel(column, y + 1) == TForm6::mouse_colour(0))
                << "view " << static_cast<int>(view);
        }
    }
    Form6->set_view(TForm6::View::path);
    Form6->draw();
    const auto [x, y] = Form6->path_pixel(end_x, end_y);
    EXPECT_EQ(Form6->Canvas->Pixel(x, y), TForm6::mouse_colour(0)) << "the path's end";

    const fs::path picture = folder_ / "plot.png";
    {
        facade_driver::SaveDialogUser user("Save picture", picture.string());
        Form6->btnSavePicture->Click();
        ASSERT_TRUE(user.answered());
        EXPECT_EQ(user.file_type(), "PNG picture (*.png)");
    }
    const facade_driver::Picture png = facade_driver::read_png(picture.string());
    const vcl::TRect area = Form6->picture_rect();
    ASSERT_EQ(png.width, area.Width());
    ASSERT_EQ(png.height, area.Height());
    EXPECT_EQ(png.at(x - area.Left, y - area.Top), TForm6::mouse_colour(0));

    // Typed without its extension: the dialog adds ".csv".
    {
        facade_driver::SaveDialogUser user("Save data", (folder_ / "plot").string());
        Form6->btnSaveData->Click();
        ASSERT_TRUE(user.answered());
    }
    std::ifstream csv(folder_ / "plot.csv", std::ios::binary);
    std::string line;
    std::getline(csv, line);
    EXPECT_EQ(line, "mouse,handle,time_us,dx,dy,interval_us,speed_cpms,speed_mps");
    std::size_t lines = 0;
    int moved = 0;
    while (std::getline(csv, line)) {
        EXPECT_EQ(line.rfind("0,1,", 0), 0u) << line;
        moved += line.find(",4,2,") != std::string::npos ? 1 : 0;
        ++lines;
    }
    EXPECT_EQ(lines, reports());
    EXPECT_EQ(moved, 10);

    send_key(VK_F5);
    ASSERT_TRUE(pump_until([] { return !Form6->Visible && vcl::TForm::active() == Form1; }))
        << "F5 in it hides it and the main window takes the focus back";
}

// A check through the real user32: F6 opens the check window; with the
// pointer over its cards (where a click presses nothing, and activates it),
// 20 real clicks of each button reach the main window through it, each
// press 30 ms of receipt time after the release before it (SendInput's
// changes come microseconds apart: chatter), and real motion: the card's
// buttons test passes, its mark in the pass colour, the mouse incomplete.
TEST_F(MainWindowOnUser32, F6ChecksTheMouseOnRealClicksAndMotion) {
    ASSERT_TRUE(pump_until([] { return vcl::TForm::active() == Form1; }));
    send_key(VK_F6);
    ASSERT_TRUE(pump_until(
        [] { return Form7 != nullptr && Form7->Visible && vcl::TForm::active() == Form7; }));
    EXPECT_EQ(std::string(Form7->Caption), "Check");
    const HWND window = Form7->native().hwnd;
    POINT over = {300, TForm7::card_rect(1).Top + 40};
    ClientToScreen(window, &over);
    ASSERT_TRUE(SetCursorPos(over.x, over.y));
    ASSERT_TRUE(pump_until([&] {
        POINT at = {};
        return GetCursorPos(&at) && at.x == over.x && at.y == over.y &&
               WindowFromPoint(over) == window;
    })) << "the pointer over the check window";
    // Wine's first input may carry the jump to where the pointer is: one
    // move, then Reset, before the counted ones.
    move(1, 0);
    ASSERT_TRUE(pump_until([] { return measures::feed().store().find(1) != nullptr; }));
    Form7->btnReset->Click();

    const auto click = [](ButtonChange down, ButtonChange up) {
        for (const ButtonChange change : {down, up}) {
            INPUT input = {};
            input.type = INPUT_MOUSE;
            input.mi.dwFlags = change.sent;
            ASSERT_EQ(SendInput(1, &input, sizeof input), 1u) << GetLastError();
        }
        const std::int64_t released = measures::receipt_us();
        ASSERT_TRUE(pump_until([&] { return measures::receipt_us() >= released + 30'000; }));
    };
    for (int i = 0; i < 20; ++i) {
        click(left_down, left_up);
        click(right_down, right_up);
    }
    const auto presses = [](measures::buttons::Button b) {
        const measures::Mouse* mouse = measures::feed().store().find(1);
        return mouse != nullptr ? mouse->buttons.summary(b).presses : 0u;
    };
    ASSERT_TRUE(pump_until([&] {
        return presses(measures::buttons::Button::left) == 20 &&
               presses(measures::buttons::Button::right) == 20;
    })) << presses(measures::buttons::Button::left)
        << " and " << presses(measures::buttons::Button::right);
    for (int i = 0; i < 50; ++i)
        move(i % 2 == 0 ? 3 : -3, 0);
    ASSERT_TRUE(pump_until(
        [] { return measures::feed().store().find(1)->movement.summary().relative >= 50; }));
    EXPECT_EQ(vcl::TForm::active(), Form7) << "it kept the focus";

    Form7->draw();
    ASSERT_EQ(Form7->cards().size(), 1u);
    const measures::check::Card& card = Form7->cards()[0];
    EXPECT_EQ(card.number, 0);
    EXPECT_EQ(card.buttons.result.verdict, measures::check::Verdict::pass)
        << card.buttons.result.figure << ": " << card.buttons.result.reason;
    EXPECT_EQ(card.buttons.result.figure, "left 20, right 20");
    EXPECT_EQ(card.polling.result.verdict, measures::check::Verdict::waiting)
        << "receipt times of a few moves: not 5 s";
    EXPECT_EQ(card.speed.result.verdict, measures::check::Verdict::waiting);
    EXPECT_EQ(card.verdict, measures::check::MouseVerdict::incomplete);
    const vcl::TRect mark = TForm7::mark_rect(0, measures::check::Test::buttons);
    EXPECT_EQ(Form7->Canvas->Pixel(mark.Left + 2, mark.Top + 2),
              TForm7::colour(measures::check::Verdict::pass));
    const vcl::TRect badge = TForm7::badge_rect(0);
    EXPECT_EQ(Form7->Canvas->Pixel(badge.Left + 2, badge.Top + 2),
              TForm7::colour(measures::check::MouseVerdict::incomplete));
    EXPECT_EQ(Form7->next_line().rfind("Next: Move mouse 0 in circles for 5 seconds", 0), 0u)
        << Form7->next_line();

    send_key(VK_F6);
    ASSERT_TRUE(pump_until([] { return !Form7->Visible && vcl::TForm::active() == Form1; }))
        << "F6 in it hides it and the main window takes the focus back";
}

// The main window's mouse: its reports so far, and those read in the background.
std::pair<std::uint64_t, std::uint64_t> reports_and_background_reports() {
    const measures::Mouse* mouse = measures::feed().store().find(1);
    const measures::timing::Summary s =
        mouse != nullptr ? mouse->timing.summary() : measures::timing::Summary{};
    return {s.reports, s.background_reports};
}

// A visible top-level window of process `pid`, as EnumWindows finds it.
struct WindowOf {
    DWORD pid;
    HWND found;
};
BOOL CALLBACK find_window_of(HWND window, LPARAM data) {
    auto* search = reinterpret_cast<WindowOf*>(data);
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    if (pid != search->pid || !IsWindowVisible(window))
        return TRUE;
    search->found = window;
    return FALSE;
}

void send_motion(int count) {
    for (int i = 0; i < count; ++i) {
        INPUT input = {};
        input.type = INPUT_MOUSE;
        input.mi.dx = i % 2 == 0 ? 3 : -3;
        input.mi.dwFlags = MOUSEEVENTF_MOVE;
        ASSERT_EQ(SendInput(1, &input, sizeof input), 1u) << GetLastError();
    }
}

// Read in the background, a report counts as read so while another program's
// window is in the foreground (WM_INPUT's RIM_INPUTSINK), and only then.
TEST_F(MainWindowOnUser32, InTheBackgroundTheReportsReadWhileAnotherProgramIsInFrontAreCounted) {
    raw_input_release(Form1);
    rawinput::background = true;
    const std::int32_t ready = raw_input_init(Form1);
    rawinput::background = false;
    ASSERT_EQ(ready, 1);

    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION other = {};
    wchar_t command[] = L"notepad.exe";
    ASSERT_TRUE(CreateProcessW(nullptr, command, nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                               &startup, &other))
        << GetLastError();
    struct Ended {
        PROCESS_INFORMATION& p;
        ~Ended() {
            TerminateProcess(p.hProcess, 0);
            WaitForSingleObject(p.hProcess, 10000);
            CloseHandle(p.hThread);
            CloseHandle(p.hProcess);
        }
    } ended{other};
    const auto others_window = [&] {
        WindowOf search{other.dwProcessId, nullptr};
        EnumWindows(find_window_of, reinterpret_cast<LPARAM>(&search));
        return search.found;
    };
    HWND window = nullptr;
    ASSERT_TRUE(pump_until([&] { return (window = others_window()) != nullptr; }))
        << "the other program showed no window";
    SetForegroundWindow(window);
    ASSERT_TRUE(pump_until([&] { return GetForegroundWindow() == window; }));

    const auto before = reports_and_background_reports();
    send_motion(4);
    ASSERT_TRUE(pump_until([&] {
        return reports_and_background_reports().first >= before.first + 4;
    })) << "no packet reached the main window in the background";
    const auto behind = reports_and_background_reports();
    EXPECT_EQ(behind.second - before.second, behind.first - before.first)
        << "every report read while the other program was in front";

    SetForegroundWindow(Form1->native().hwnd);
    ASSERT_TRUE(pump_until([] { return GetForegroundWindow() == Form1->native().hwnd; }));
    send_motion(4);
    ASSERT_TRUE(
        pump_until([&] { return reports_and_background_reports().first >= behind.first + 4; }));
    EXPECT_EQ(reports_and_background_reports().second, behind.second)
        << "none read with the main window in front";
}

}  // namespace

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    vcl::TApplication application(argc, argv);
    application.Initialize();
    return RUN_ALL_TESTS();
}
