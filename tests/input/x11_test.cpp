// The real program on a real X server: rawmice --input=x11 on Xvfb, with three
// extra master devices whose XTEST pointers are moved one at a time.
#include <QCoreApplication>
#include <QImage>

#include <gtest/gtest.h>

#include <X11/extensions/XI2.h>

#include <algorithm>
#include <cctype>
#include <cinttypes>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <regex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/input/evdev.h"
#include "tests/support/test_support.h"
#include "tests/support/xfake.h"
#include "tests/support/xvfb.h"
#include "tests/support/xvfb_fixture.h"

// Last: Xlib's macros (None, Bool, Status) would trip the headers above.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace {

using namespace std::chrono_literals;

// What the tests follow of a report line of log.txt, read back.
struct Report {
    int num = 0;
    unsigned button_flags = 0;
    int x = 0;
    int y = 0;
};

std::optional<Report> parse_report(const std::string& line) {
    Report r;
    unsigned x = 0;
    unsigned y = 0;
    int end = 0;
    std::sscanf(line.c_str(),
                "Mouse: num %d, usFlags=%*x ulButtons=%*x usButtonFlags=%x usButtonData=%*x "
                "ulRawButtons=%*x lLastX=%x lLastY=%x ulExtraInformation=%*x%n",
                &r.num, &r.button_flags, &x, &y, &end);
    if (end == 0)
        return std::nullopt;
    r.x = static_cast<int>(x);
    r.y = static_cast<int>(y);
    return r;
}

std::string describe(const Report& r) {
    return "num " + std::to_string(r.num) + " x " + std::to_string(r.x) + " y " +
           std::to_string(r.y) + " flags " + std::to_string(r.button_flags);
}

class X11EndToEnd : public XvfbWithMiceTest {
  protected:
    void SetUpWithServer() override {
        XvfbWithMiceTest::SetUpWithServer();
        for (const xfake::XiDevice& d : driver_->devices()) {
            if (d.name == "Virtual core XTEST pointer")
                core_xtest_ = d.id;
            // Every pointer waits in the bottom right corner, off the window, so
            // that moving it raises no pointer events in the program.
            if (d.use == XIMasterPointer)
                driver_->warp(d.id, 1020, 760);
        }
        ASSERT_NE(core_xtest_, 0);
        // The mouse numbers, as the program's own listing gives them.
        const testsupport::RunResult run =
            testsupport::run_rawmice({"--input=x11", "--list-devices"}, dir_.path(), 60s,
                                     {"DISPLAY=" + xvfb_->display(), "QT_QPA_PLATFORM=offscreen"});
        ASSERT_EQ(run.exit_code, 0) << run.err;
        for (const std::string& line : testsupport::split_lines(run.out)) {
            int number = 0;
            int id = 0;
            if (std::sscanf(line.c_str(), "Amouse[%d] = %d", &number, &id) == 2)
                mouse_of_id_[id] = number;
        }
        ASSERT_TRUE(mouse_of_id_.count(core_xtest_)) << run.out;
        core_mouse_ = mouse_of_id_[core_xtest_];
    }

    // The mouse number the listing gives the device `id`.
    int mouse(int id) const {
        const auto found = mouse_of_id_.find(id);
        return found == mouse_of_id_.end() ? -1 : found->second;
    }

    std::vector<std::string> log_lines() const { return log_lines(dir_.path()); }
    // The report lines of the log.txt in `folder`.
    static std::vector<std::string> log_lines(const std::filesystem::path& folder) {
        std::vector<std::string> lines;
        for (std::string line :
             testsupport::split_lines(testsupport::read_file(folder / "log.txt"))) {
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            if (!line.empty())
                lines.push_back(line);
        }
        return lines;
    }

    std::vector<Report> reports(std::size_t from = 0) const {
        std::vector<Report> out;
        const std::vector<std::string> lines = log_lines();
        for (std::size_t i = from; i < lines.size(); ++i) {
            const std::optional<Report> r = parse_report(lines[i]);
            EXPECT_TRUE(r.has_value()) << "not a report line: " << lines[i];
            if (r)
                out.push_back(*r);
        }
        return out;
    }

    // Moves the core XTEST pointer by one until the program in `folder` (the
    // test's own by default) reports it; false when nothing comes within
    // `deadline`. Each move is counted in probes_sent_.
    bool probe_reaches_program(std::chrono::milliseconds deadline,
                               const std::filesystem::path& folder = {}) {
        const std::filesystem::path& where = folder.empty() ? dir_.path() : folder;
        const auto end = std::chrono::steady_clock::now() + deadline;
        while (std::chrono::steady_clock::now() < end) {
            const std::size_t before = log_lines(where).size();
            driver_->move(core_xtest_, 1, 0);
            driver_->sync();
            ++probes_sent_;
            if (testsupport::wait_until([&] { return log_lines(where).size() > before; }, 1500ms))
                return true;
        }
        return false;
    }

    // Starts the program in `folder` and waits until its window is mapped, has
    // the focus and the program reports packets.
    void launch(const std::filesystem::path& folder, const std::vector<std::string>& extra_args,
                std::unique_ptr<testsupport::Process>& program, unsigned long& window) {
        std::vector<std::string> args = {"--input=x11",
                                         "--screenshot=" + (folder / "shot.png").string()};
        args.insert(args.end(), extra_args.begin(), extra_args.end());
        program = std::make_unique<testsupport::Process>(
            testsupport::rawmice_argv(args),
            testsupport::Launch{folder, {"DISPLAY=" + xvfb_->display(), "QT_QPA_PLATFORM=xcb"}});
        ASSERT_TRUE(testsupport::wait_until(
            [&] { return (window = driver_->window_of(program->pid(), "Form1")) != 0; }, 30s))
            << "the main window was never mapped";
        // It asks for the focus itself when first shown; with no window manager
        // nothing else gives it, so make sure.
        if (!testsupport::wait_until([&] { return driver_->focused_window() == window; }, 5s))
            driver_->focus(window);
        ASSERT_EQ(driver_->focused_window(), window);
        ASSERT_TRUE(probe_reaches_program(30s, folder)) << "no packet reached the focused program";
    }
    void start_program(const std::vector<std::string>& extra_args = {}) {
        launch(dir_.path(), extra_args, program_, window_);
    }

    // Moves each added pointer twice, then presses, clicks and turns every
    // wheel of the last one, with a button held meanwhile: the packets they
    // must give, in order (mouse numbers as the listing gives them).
    std::vector<testsupport::RelativePacket> move_click_and_turn_every_wheel() {
        for (std::size_t i = 0; i < masters_.size(); ++i) {
            const int n = static_cast<int>(i) + 1;
            driver_->move(masters_[i].xtest_pointer, 3 * n, -n);
            driver_->move(masters_[i].xtest_pointer, -n, 20 * n);
        }
        const int pointer = masters_[2].xtest_pointer;
        driver_->press(pointer, 1);
        driver_->click(pointer, 3);
        driver_->click(pointer, 2);
        driver_->release(pointer, 1);
        driver_->click(pointer, 8);
        driver_->click(pointer, 9);
        for (int button = 4; button <= 7; ++button)
            driver_->wheel(pointer, button);
        driver_->sync();

        const int a = mouse(masters_[0].xtest_pointer);
        const int b = mouse(masters_[1].xtest_pointer);
        const int c = mouse(masters_[2].xtest_pointer);
        EXPECT_EQ(std::set<int>({a, b, c, core_mouse_}).size(), 4u) << "numbers shared or missing";
        return {
            {a, 3, -1, 0, 0, 0},          {a, -1, 20, 0, 0, 0},
            {b, 6, -2, 0, 0, 0},          {b, -2, 40, 0, 0, 0},
            {c, 9, -3, 0, 0, 0},          {c, -3, 60, 0, 0, 0},
            {c, 0, 0, 0x0001, 0, 0x1},    {c, 0, 0, 0x0004, 0, 0x3},
            {c, 0, 0, 0x0008, 0, 0x1},    {c, 0, 0, 0x0010, 0, 0x5},
            {c, 0, 0, 0x0020, 0, 0x1},    {c, 0, 0, 0x0002, 0, 0x0},
            {c, 0, 0, 0x0040, 0, 0x8},    {c, 0, 0, 0x0080, 0, 0x0},
            {c, 0, 0, 0x0100, 0, 0x10},   {c, 0, 0, 0x0200, 0, 0x0},
            {c, 0, 0, 0x0400, 0x0078, 0}, {c, 0, 0, 0x0400, 0xff88, 0},
            {c, 0, 0, 0x0800, 0xff88, 0}, {c, 0, 0, 0x0800, 0x0078, 0},
        };
    }

    // Exactly one line per packet from `start` on: none lost, none counted twice.
    static void expect_logged(const std::vector<std::string>& lines, std::size_t start,
                              const std::vector<testsupport::RelativePacket>& expected) {
        ASSERT_EQ(lines.size() - start, expected.size());
        for (std::size_t i = 0; i < expected.size(); ++i) {
            EXPECT_EQ(lines[start + i] + "\r\n", testsupport::expected_line(expected[i]))
                << "line " << i;
        }
    }

    // SIGTERM; the exit status, or -1 when it did not end normally in time.
    int terminate() {
        program_->send(SIGTERM);
        return program_->wait(20s) ? program_->exit_code() : -1;
    }

    // Sends a last move on the core pointer and waits for its line, so that
    // every line of what came before is in the log.
    void settle() {
        const std::size_t before = log_lines().size();
        driver_->move(core_xtest_, 0, 1);
        driver_->sync();
        ASSERT_TRUE(testsupport::wait_until([&] {
            const std::vector<Report> r = reports(before);
            return !r.empty() && r.back().num == core_mouse_ && r.back().y == 1 && r.back().x == 0;
        }));
    }

    testsupport::TempDir dir_;
    int core_xtest_ = 0;
    int core_mouse_ = -1;
    std::map<int, int> mouse_of_id_;
    std::unique_ptr<testsupport::Process> program_;
    unsigned long window_ = 0;
    std::size_t probes_sent_ = 0;
};

TEST_F(X11EndToEnd, ListDevicesNamesEverySlavePointerThenEveryKeyboardXTestLast) {
    std::vector<std::string> expected;
    int index = 0;
    int mouse = 0;
    // Within each kind the server's XTest devices ("... XTEST pointer") come
    // after the others, so the Xvfb mouse is mouse 0.
    for (int use : {XISlavePointer, XISlaveKeyboard}) {
        std::vector<xfake::XiDevice> kind;
        for (const xfake::XiDevice& d : driver_->devices()) {
            if (d.use == use)
                kind.push_back(d);
        }
        std::stable_sort(kind.begin(), kind.end(), [](const auto& a, const auto& b) {
            return a.name.find(" XTEST ") == std::string::npos &&
                   b.name.find(" XTEST ") != std::string::npos;
        });
        for (const xfake::XiDevice& d : kind) {
            expected.push_back(std::to_string(index++) + " " + std::to_string(d.id) + "  " +
                               (use == XISlavePointer ? "Mouse" : "Keyboard"));
            if (use == XISlavePointer) {
                expected.push_back("Amouse[" + std::to_string(mouse++) +
                                   "] = " + std::to_string(d.id));
            }
        }
    }
    // The Xvfb mouse, the core XTEST pointer and the three added XTEST pointers;
    // their keyboards make ten devices, all of them examined.
    ASSERT_EQ(mouse, 5);
    ASSERT_EQ(index, 10);
    int xvfb_mouse = 0;
    for (const xfake::XiDevice& d : driver_->devices()) {
        if (d.name == "Xvfb mouse")
            xvfb_mouse = d.id;
    }
    EXPECT_EQ(mouse_of_id_[xvfb_mouse], 0);
    EXPECT_EQ(mouse_of_id_[core_xtest_], 1);

    const testsupport::RunResult run =
        testsupport::run_rawmice({"--input=x11", "--list-devices"}, dir_.path(), 60s,
                                 {"DISPLAY=" + xvfb_->display(), "QT_QPA_PLATFORM=offscreen"});
    ASSERT_EQ(run.exit_code, 0) << run.err;
    // The memo's lines, then a table row per device with its XI id and name.
    const std::vector<std::string> lines = testsupport::split_lines(run.out);
    ASSERT_GE(lines.size(), expected.size()) << run.out;
    EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + expected.size()), expected)
        << run.out;
    for (const xfake::XiDevice& d : driver_->devices()) {
        if (d.use != XISlavePointer && d.use != XISlaveKeyboard)
            continue;
        const std::string where = " device " + std::to_string(d.id) + " ";
        EXPECT_TRUE(std::any_of(lines.begin() + expected.size(), lines.end(),
                                [&](auto& l) {
                                    return l.find(where) != std::string::npos &&
                                           l.find('"' + d.name + '"') != l.npos;
                                }))
            << d.name << " in\n"
            << run.out;
    }

    // `auto` in this X11 session takes x11 when no mouse node is readable,
    // says so, and lists the same devices.
    if (input::any_mouse_readable())
        return;
    const testsupport::RunResult automatic =
        testsupport::run_rawmice({"--list-devices"}, dir_.path(), 60s,
                                 {"DISPLAY=" + xvfb_->display(), "QT_QPA_PLATFORM=offscreen",
                                  "WAYLAND_DISPLAY=", "XDG_SESSION_TYPE=x11"});
    ASSERT_EQ(automatic.exit_code, 0) << automatic.err;
    EXPECT_EQ(
        testsupport::split_lines(automatic.err),
        std::vector<std::string>{
            "rawmice: input: x11 (no mouse node is readable; reading the X server's devices)"});
    EXPECT_EQ(automatic.out, run.out);
}

TEST_F(X11EndToEnd, EachPointerReportsUnderItsMouseNumberOnce) {
    start_program();
    const std::size_t start = log_lines().size();
    std::vector<testsupport::RelativePacket> expected = move_click_and_turn_every_wheel();
    settle();
    expected.push_back({core_mouse_, 0, 1});
    expect_logged(log_lines(), start, expected);
    EXPECT_EQ(terminate(), 0) << program_->err();
}

TEST_F(X11EndToEnd, MouseTwoDrawsItsTrailAndSigtermClosesNormally) {
    start_program();
    const std::size_t start = log_lines().size();
    // Mouse 2, as the listing numbers it, is one of the added masters' XTEST
    // pointers: right, down, right.
    int pointer = 0;
    int other = 0;
    for (const xfake::Master& m : masters_)
        (mouse(m.xtest_pointer) == 2 ? pointer : other) = m.xtest_pointer;
    ASSERT_NE(pointer, 0) << "no added pointer is mouse 2";
    driver_->move(pointer, 60, 0);
    driver_->move(pointer, 0, 50);
    driver_->move(pointer, 40, 0);
    // Other mice draw nothing.
    driver_->move(other, -30, -30);
    driver_->sync();
    settle();

    int x = 150;
    int y = 150;
    for (const Report& r : reports(start)) {
        if (r.num != 2)
            continue;
        x += r.x;
        y += r.y;
    }
    EXPECT_EQ(x, 250);
    EXPECT_EQ(y, 200);

    ASSERT_EQ(terminate(), 0) << program_->err();
    // Closed through its normal path: the log holds every line, the screenshot is saved.
    EXPECT_EQ(reports(start).size(), 5u);
    QImage shot(QString::fromStdString((dir_ / "shot.png").string()));
    ASSERT_FALSE(shot.isNull()) << "no screenshot";
    const auto green = [&](int px, int py) { return shot.pixel(px, py) == qRgb(0x00, 0x80, 0x00); };
    // Along the path, clear of the marks at its corners.
    for (int px = 160; px <= 200; px += 5)
        EXPECT_TRUE(green(px, 150)) << px << ",150";
    for (int py = 160; py <= 190; py += 5)
        EXPECT_TRUE(green(210, py)) << "210," << py;
    for (int px = 220; px <= 240; px += 5)
        EXPECT_TRUE(green(px, 200)) << px << ",200";
    // Off the path nothing is green; mouse 3's move drew nothing.
    EXPECT_FALSE(green(180, 170));
    EXPECT_FALSE(green(230, 180));
    EXPECT_FALSE(green(135, 135));
}

TEST_F(X11EndToEnd, NothingIsReportedWhileTheWindowIsNotFocused) {
    start_program();
    driver_->focus(0);
    ASSERT_NE(driver_->focused_window(), window_);
    // The toolkit notices the lost focus a little later: once probes stop
    // coming through, the window is inactive.
    const auto give_up = std::chrono::steady_clock::now() + 30s;
    while (probe_reaches_program(1500ms)) {
        ASSERT_LT(std::chrono::steady_clock::now(), give_up)
            << "the program never noticed it lost the focus";
    }
    const std::size_t unfocused = log_lines().size();
    for (const xfake::Master& m : masters_) {
        driver_->move(m.xtest_pointer, 17, 23);
        driver_->click(m.xtest_pointer, 1);
    }
    driver_->sync();
    // Still unfocused: a probe sent after them does not come through either,
    // and by then the program has read what came before it.
    EXPECT_FALSE(probe_reaches_program(1500ms));

    // NOTE: packets in flight when the focus comes back go to the window then
    // active, so the focus returns only once they have been dropped.
    driver_->focus(window_);
    ASSERT_TRUE(probe_reaches_program(30s)) << "packets did not come back with the focus";
    for (const Report& r : reports(unfocused)) {
        EXPECT_EQ(r.num, core_mouse_) << "reported while unfocused: " << describe(r);
        EXPECT_EQ(r.x, 1);
    }
    EXPECT_EQ(terminate(), 0);
    // At exit one line counts what was dropped.
    const std::string err_text = program_->err();
    const std::vector<std::string> err = testsupport::split_lines(err_text);
    const auto dropped = std::count_if(err.begin(), err.end(), [](const std::string& l) {
        return l.find("packets dropped because no window of rawmice was active") !=
               std::string::npos;
    });
    EXPECT_EQ(dropped, 1) << err_text;
}

TEST_F(X11EndToEnd, UnderAWindowManagerPacketsReachTheLogWhileTheTimingWindowHasTheFocus) {
    if (!testsupport::program_available("openbox"))
        GTEST_SKIP() << "openbox is not installed (scripts/install-deps installs it)";
    testsupport::Openbox window_manager(xvfb_->display());
    program_ = std::make_unique<testsupport::Process>(
        testsupport::rawmice_argv(
            {"--input=x11", "--timing", "--screenshot=" + (dir_ / "shot.png").string()}),
        testsupport::Launch{dir_.path(), {"DISPLAY=" + xvfb_->display(), "QT_QPA_PLATFORM=xcb"}});
    unsigned long timing = 0;
    unsigned long main_window = 0;
    ASSERT_TRUE(testsupport::wait_until(
        [&] {
            timing = driver_->window_of(program_->pid(), "Timing");
            main_window = driver_->window_of(program_->pid(), "Form1");
            return timing != 0 && main_window != 0;
        },
        30s))
        << "--timing opens the timing window beside the main window";
    // The window manager hands out the focus; opened last, the timing window has it.
    ASSERT_TRUE(testsupport::wait_until([&] { return driver_->focused_window() == timing; }, 30s))
        << "focus on " << driver_->focused_window();
    ASSERT_TRUE(probe_reaches_program(30s))
        << "no packet reached the log through the timing window";
    const std::size_t start = log_lines().size();
    for (std::size_t i = 0; i < masters_.size(); ++i)
        driver_->move(masters_[i].xtest_pointer, static_cast<int>(i) + 1, 2);
    driver_->sync();
    settle();
    std::vector<int> numbers;
    for (const Report& r : reports(start))
        numbers.push_back(r.num);
    EXPECT_EQ(numbers,
              (std::vector<int>{mouse(masters_[0].xtest_pointer), mouse(masters_[1].xtest_pointer),
                                mouse(masters_[2].xtest_pointer), core_mouse_}));

    // F2 hides it; the main window takes the focus back, and the packets with it.
    driver_->key("F2");
    driver_->sync();
    ASSERT_TRUE(testsupport::wait_until(
        [&] { return driver_->window_of(program_->pid(), "Timing") == 0; }, 30s));
    ASSERT_TRUE(
        testsupport::wait_until([&] { return driver_->focused_window() == main_window; }, 30s))
        << "focus on " << driver_->focused_window();
    ASSERT_TRUE(probe_reaches_program(30s));
    // F2 in the main window opens it again.
    driver_->key("F2");
    driver_->sync();
    EXPECT_TRUE(testsupport::wait_until(
        [&] { return driver_->window_of(program_->pid(), "Timing") != 0; }, 30s));
    EXPECT_TRUE(probe_reaches_program(30s));
    ASSERT_EQ(terminate(), 0) << program_->err();
    const QImage shot(QString::fromStdString((dir_ / "shot-timing.png").string()));
    EXPECT_EQ(shot.size(), QSize(880, 470)) << "the timing window's picture beside the main one's";
}

// Waits until the process `pid` has handled all it was sent: every thread of
// it asleep, and its CPU time the same over two frames (a reader that waits for
// the next frame would have woken in that time). False at the deadline.
bool wait_until_idle(pid_t pid, std::chrono::milliseconds deadline = 30s) {
    std::uint64_t last_cpu = 0;
    auto quiet_since = std::chrono::steady_clock::now();
    return testsupport::wait_until(
        [&] {
            std::uint64_t cpu = 0;
            bool asleep = true;
            const std::filesystem::path tasks = "/proc/" + std::to_string(pid) + "/task";
            std::error_code error;
            for (const auto& task : std::filesystem::directory_iterator(tasks, error)) {
                std::uint64_t ns = 0;
                std::sscanf(testsupport::read_file(task.path() / "schedstat").c_str(), "%" SCNu64,
                            &ns);
                cpu += ns;
                const std::string stat = testsupport::read_file(task.path() / "stat");
                const std::size_t state = stat.rfind(") ");
                asleep = asleep && state != std::string::npos && stat[state + 2] == 'S';
            }
            const auto now = std::chrono::steady_clock::now();
            if (error || !asleep || cpu != last_cpu) {
                last_cpu = cpu;
                quiet_since = now;
                return false;
            }
            return now - quiet_since >= 70ms;
        },
        deadline);
}

// A window of another program: a plain X client of the test's own, which a
// window manager frames and gives the focus as it gives any new window's.
class OtherProgramWindow {
  public:
    explicit OtherProgramWindow(const std::string& display)
        : display_(XOpenDisplay(display.c_str())) {
        if (display_ == nullptr)
            throw std::runtime_error("cannot open the display " + display);
        window_ = XCreateSimpleWindow(display_, DefaultRootWindow(display_), 40, 420, 300, 200, 0,
                                      0, WhitePixel(display_, DefaultScreen(display_)));
        XStoreName(display_, window_, "another program");
        XWMHints hints{};
        hints.flags = InputHint;
        hints.input = True;
        XSetWMHints(display_, window_, &hints);
        XMapWindow(display_, window_);
        XSync(display_, False);
    }
    ~OtherProgramWindow() { XCloseDisplay(display_); }
    OtherProgramWindow(const OtherProgramWindow&) = delete;
    OtherProgramWindow& operator=(const OtherProgramWindow&) = delete;

    unsigned long id() const { return window_; }
    // Where its middle is on the screen, wherever the window manager put it.
    std::pair<int, int> middle() const {
        int x = 0;
        int y = 0;
        Window child = 0;
        XTranslateCoordinates(display_, window_, DefaultRootWindow(display_), 150, 100, &x, &y,
                              &child);
        return {x, y};
    }

  private:
    Display* display_;
    Window window_ = 0;
};

// The "bg %" cell of each mouse's row in --stats's table on standard error, by
// mouse number (cells are two or more spaces apart); the table ends where the
// next one's title begins.
std::map<int, std::string> background_shares(const std::string& err) {
    std::map<int, std::string> shares;
    constexpr std::size_t none = 0;  // the mouse's own column: never the share's
    std::size_t column = none;
    const std::regex gap(" {2,}");
    for (const std::string& line : testsupport::split_lines(err)) {
        const std::vector<std::string> cells(
            std::sregex_token_iterator(line.begin(), line.end(), gap, -1), {});
        if (line.rfind("rawmice ", 0) == 0) {
            column = none;
        } else if (cells.size() > 1 && cells[0] == "mouse" && cells[1] == "handle") {
            const auto at = std::find(cells.begin(), cells.end(), "bg %");
            if (at != cells.end())
                column = static_cast<std::size_t>(at - cells.begin());
        } else if (column != none && cells.size() > column && !cells[0].empty() &&
                   std::isdigit(static_cast<unsigned char>(cells[0][0]))) {
            shares[std::stoi(cells[0])] = cells[column];
        }
    }
    return shares;
}

// Two rawmice read the same pointers while another program's window holds the
// focus: the one started with --background logs every packet, once each, and
// says at exit that the mice that moved only then were read in the background
// (bg 100 %); the other logs none, counts them all at exit, and read what it
// logged with its window active (bg 0 %).
TEST_F(X11EndToEnd, UnderAWindowManagerAnotherWindowsFocusStopsOnlyTheProgramNotInTheBackground) {
    if (!testsupport::program_available("openbox"))
        GTEST_SKIP() << "openbox is not installed (scripts/install-deps installs it)";
    testsupport::Openbox window_manager(xvfb_->display());
    testsupport::TempDir follows_dir;
    testsupport::TempDir background_dir;
    std::unique_ptr<testsupport::Process> follows;
    std::unique_ptr<testsupport::Process> background;
    unsigned long follows_window = 0;
    unsigned long background_window = 0;
    ASSERT_NO_FATAL_FAILURE(launch(follows_dir.path(), {"--stats"}, follows, follows_window));
    // From here the focus-following one logs or drops every packet. Of the
    // probes before, those that came before its window was active were dropped.
    const std::size_t first_probes = std::exchange(probes_sent_, 0);
    const std::size_t follows_start = log_lines(follows_dir.path()).size();
    ASSERT_NO_FATAL_FAILURE(
        launch(background_dir.path(), {"--background", "--stats"}, background, background_window));

    OtherProgramWindow other(xvfb_->display());
    if (!testsupport::wait_until([&] { return driver_->focused_window() == other.id(); }, 10s))
        driver_->focus(other.id());
    ASSERT_EQ(driver_->focused_window(), other.id());
    // Every pointer over it, where their clicks and wheels are the other
    // program's: over the desktop, the window manager would open its menus.
    const auto [x, y] = other.middle();
    for (const xfake::XiDevice& d : driver_->devices()) {
        if (d.use == XIMasterPointer)
            driver_->warp(d.id, x, y);
    }
    // Once probes stop reaching the program that follows the focus, both have
    // taken the change in (the toolkit takes it in a little after the server).
    // A probe counts as dropped only if that program, once idle, has not logged
    // it: on a loaded machine a line may come after the probe's wait.
    const auto give_up = std::chrono::steady_clock::now() + 30s;
    std::size_t unfocused = 0;
    for (;;) {
        ASSERT_LT(std::chrono::steady_clock::now(), give_up)
            << "the program never noticed it lost the focus";
        const std::size_t before = log_lines(follows_dir.path()).size();
        if (probe_reaches_program(1500ms, follows_dir.path()))
            continue;
        ASSERT_TRUE(wait_until_idle(follows->pid())) << "the other never caught up";
        unfocused = log_lines(follows_dir.path()).size();
        if (unfocused == before)
            break;
    }
    ASSERT_TRUE(probe_reaches_program(30s, background_dir.path())) << "no line in the background";
    const std::size_t start = log_lines(background_dir.path()).size();

    std::vector<testsupport::RelativePacket> expected = move_click_and_turn_every_wheel();
    driver_->move(core_xtest_, 0, 1);
    driver_->sync();
    expected.push_back({core_mouse_, 0, 1});
    ASSERT_TRUE(testsupport::wait_until([&] {
        return log_lines(background_dir.path()).size() >= start + expected.size();
    })) << "logged in the background: "
        << log_lines(background_dir.path()).size() - start << " of " << expected.size();
    // Each mouse's lines in the order it sent them. (Across mice the order may
    // differ: the window manager's click-to-focus grab holds a pointer's
    // events for a moment, and the other mice's go on.)
    const std::vector<std::string> lines = log_lines(background_dir.path());
    ASSERT_EQ(lines.size() - start, expected.size()) << "a packet logged twice";
    std::map<int, std::vector<std::string>> logged_by_mouse;
    std::map<int, std::vector<std::string>> expected_by_mouse;
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const std::optional<Report> r = parse_report(lines[start + i]);
        ASSERT_TRUE(r.has_value()) << lines[start + i];
        logged_by_mouse[r->num].push_back(lines[start + i] + "\r\n");
        expected_by_mouse[expected[i].mouse].push_back(testsupport::expected_line(expected[i]));
    }
    EXPECT_EQ(logged_by_mouse, expected_by_mouse);
    EXPECT_EQ(driver_->focused_window(), other.id())
        << "the focus moved meanwhile (rawmice's windows: " << follows_window
        << " following the focus, " << background_window << " in the background)";

    // The other, once it has handled them, logged none of them; given the
    // focus back, it logs again, and by then it has counted every packet before.
    ASSERT_TRUE(wait_until_idle(follows->pid())) << "the other never caught up";
    EXPECT_EQ(log_lines(follows_dir.path()).size(), unfocused);
    driver_->focus(follows_window);
    ASSERT_TRUE(probe_reaches_program(30s, follows_dir.path())) << "no line with the focus back";
    follows->send(SIGTERM);
    ASSERT_TRUE(follows->wait(20s));
    EXPECT_EQ(follows->exit_code(), 0) << follows->err();
    const std::size_t sent = probes_sent_ + expected.size();
    const std::size_t logged = log_lines(follows_dir.path()).size() - follows_start;
    std::size_t dropped = 0;  // --stats's count (its table stands for the notice without it)
    for (const std::string& line : testsupport::split_lines(follows->err())) {
        if (std::sscanf(line.c_str(), "dropped because no window was active: %zu", &dropped) == 1)
            break;
    }
    ASSERT_GE(sent, logged + expected.size());
    EXPECT_GE(dropped, sent - logged) << follows->err();
    EXPECT_LT(dropped, sent - logged + first_probes) << follows->err();
    EXPECT_EQ(background_shares(follows->err()), (std::map<int, std::string>{{core_mouse_, "0.0"}}))
        << follows->err();

    background->send(SIGTERM);
    ASSERT_TRUE(background->wait(20s));
    EXPECT_EQ(background->exit_code(), 0) << background->err();
    EXPECT_NE(background->err().find("dropped because no window was active: 0\n"),
              std::string::npos)
        << background->err();
    EXPECT_EQ(background->err().find("packets dropped"), std::string::npos) << background->err();
    const std::map<int, std::string> shares = background_shares(background->err());
    for (const xfake::Master& m : masters_) {
        const auto share = shares.find(mouse(m.xtest_pointer));
        ASSERT_NE(share, shares.end()) << background->err();
        EXPECT_EQ(share->second, "100.0") << "moved only while another window had the focus";
    }
}

// A program that is slow to start must not take the focus from the window the
// user turned to meanwhile: with no window manager, it asks for the focus only
// where no window holds it. (It reads in the background, so a packet logged
// shows that its first turns of the event loop, where it would ask, are over.)
TEST_F(X11EndToEnd, AWindowThatHoldsTheFocusKeepsItWhileTheProgramStarts) {
    OtherProgramWindow other(xvfb_->display());
    driver_->focus(other.id());
    ASSERT_EQ(driver_->focused_window(), other.id());
    program_ = std::make_unique<testsupport::Process>(
        testsupport::rawmice_argv({"--input=x11", "--background"}),
        testsupport::Launch{dir_.path(), {"DISPLAY=" + xvfb_->display(), "QT_QPA_PLATFORM=xcb"}});
    ASSERT_TRUE(testsupport::wait_until(
        [&] { return (window_ = driver_->window_of(program_->pid(), "Form1")) != 0; }, 30s));
    ASSERT_TRUE(probe_reaches_program(30s)) << "no packet reached the program";
    EXPECT_EQ(driver_->focused_window(), other.id()) << "the program took the focus";
    EXPECT_EQ(terminate(), 0);
}

TEST_F(X11EndToEnd, AMasterAddedWhileRunningReportsAsMouseMinusOne) {
    start_program();
    const xfake::Master late = driver_->add_masters(1, "late").front();
    driver_->warp(late.pointer, 1020, 760);
    const std::size_t start = log_lines().size();
    driver_->move(late.xtest_pointer, 7, 8);
    driver_->click(late.xtest_pointer, 1);
    driver_->move(masters_[0].xtest_pointer, 1, 0);
    driver_->sync();
    settle();

    const std::vector<Report> got = reports(start);
    ASSERT_EQ(got.size(), 5u);
    EXPECT_EQ(got[0].num, -1);
    EXPECT_EQ(got[0].x, 7);
    EXPECT_EQ(got[0].y, 8);
    EXPECT_EQ(got[1].num, -1);
    EXPECT_EQ(got[1].button_flags, 0x0001u);
    EXPECT_EQ(got[2].num, -1);
    EXPECT_EQ(got[2].button_flags, 0x0002u);
    EXPECT_EQ(got[3].num, mouse(masters_[0].xtest_pointer))
        << "the mice found at start keep their numbers";

    // Removed again while running: the program goes on with the others.
    driver_->remove_master(late);
    const std::size_t after_removal = log_lines().size();
    driver_->move(masters_[1].xtest_pointer, 2, 2);
    driver_->sync();
    settle();
    const std::vector<Report> rest = reports(after_removal);
    ASSERT_EQ(rest.size(), 2u);
    EXPECT_EQ(rest[0].num, mouse(masters_[1].xtest_pointer));
    EXPECT_EQ(terminate(), 0) << program_->err();
}

// The bundled recordings played into a window on a real X server, as a user
// starts a replay on a desktop.
class ReplayOnADesktop : public XvfbTest {
  protected:
    // Replays every bundled recording into the window with `args`; the run's
    // result, its report lines in `lines`.
    testsupport::RunResult replay_samples(const std::vector<std::string>& args,
                                          std::size_t& lines) {
        std::vector<std::string> all;
        std::vector<std::filesystem::path> samples;
        for (const auto& entry :
             std::filesystem::directory_iterator(testsupport::source_dir() / "samples")) {
            if (entry.path().extension() == ".evemu")
                samples.push_back(entry.path());
        }
        std::sort(samples.begin(), samples.end());
        for (const auto& sample : samples)
            all.push_back("--replay=" + sample.string());
        all.insert(all.end(), args.begin(), args.end());
        testsupport::TempDir dir;
        testsupport::RunResult result = testsupport::run_rawmice(
            all, dir.path(), 120s, {"DISPLAY=" + xvfb_->display(), "QT_QPA_PLATFORM=xcb"});
        lines = 0;
        for (const std::string& line :
             testsupport::split_lines(testsupport::read_file(dir / "log.txt"))) {
            if (line.rfind("Mouse: num ", 0) == 0)
                ++lines;
        }
        return result;
    }

    // Replays the samples `runs` times with `args`: each run logs every packet
    // and drops none.
    void expect_every_packet_logged(const std::vector<std::string>& args, int runs) {
        for (int run = 0; run < runs; ++run) {
            std::size_t lines = 0;
            const testsupport::RunResult result = replay_samples(args, lines);
            ASSERT_EQ(result.exit_code, 0) << "run " << run << ": " << result.err;
            EXPECT_EQ(lines, sample_packets) << "run " << run << ": " << result.err;
            EXPECT_EQ(result.err.find("dropped"), std::string::npos) << result.err;
        }
    }

    // The report lines of the bundled recordings (samples/, made by
    // scripts/make-samples): three mice, a keyboard that sends nothing.
    static constexpr std::size_t sample_packets = 6421;
};

TEST_F(ReplayOnADesktop, UnderALoadedCpuRepeatedFastReplaysLogEveryPacket) {
    // More busy processes than cores: the window comes up late and slowly.
    const int cores = static_cast<int>(std::thread::hardware_concurrency());
    testsupport::BusyLoops busy(std::max(3, cores + 1));
    expect_every_packet_logged({"--replay-speed=1000", "--exit-after-replay"}, 6);
}

TEST_F(ReplayOnADesktop, UnderAWindowManagerAFullSpeedReplayLogsEverything) {
    if (!testsupport::program_available("openbox"))
        GTEST_SKIP() << "openbox is not installed (scripts/install-deps installs it)";
    testsupport::Openbox window_manager(xvfb_->display());
    expect_every_packet_logged({"--replay-speed=max", "--exit-after-replay"}, 3);
}

}  // namespace
