// The real program, run offscreen on recordings the tests write: what it
// logs, what it draws, how it exits, and what it says about bad input.
#include <gtest/gtest.h>
#include <linux/input.h>

#include <QImage>
#include <QProcess>

#include <csignal>
#include <filesystem>
#include <map>

#include "tests/support/recording_files.h"
#include "tests/support/test_support.h"
#include "ui/principal.h"

namespace {

namespace fs = std::filesystem;
using testsupport::description;
using testsupport::event_text;
using testsupport::read_file;
using testsupport::run_rawmice;
using testsupport::split_lines;
using testsupport::TempDir;
using testsupport::write_file;

constexpr vcl::TColor green = 0x008000;

std::string mouse_description(const std::string& name) {
    return description(name, {REL_X, REL_Y, REL_WHEEL}, {{BTN_LEFT, BTN_MIDDLE}});
}

// A recording of frames of relative motion, one every `step_us`.
std::string motion_recording(const std::string& name, const std::vector<std::pair<int, int>>& moves,
                             std::int64_t start_us, std::int64_t step_us) {
    std::string text = mouse_description(name);
    std::int64_t t = start_us;
    for (const auto& [dx, dy] : moves) {
        if (dx != 0)
            text += event_text(t, EV_REL, REL_X, dx);
        if (dy != 0)
            text += event_text(t, EV_REL, REL_Y, dy);
        text += event_text(t, EV_SYN, SYN_REPORT, 0);
        t += step_us;
    }
    return text;
}

std::string line(int mouse, int dx, int dy, unsigned flags = 0, unsigned data = 0,
                 unsigned held = 0) {
    char text[256];
    std::snprintf(text, sizeof text,
                  "Mouse: num %d, usFlags=0000 ulButtons=%04x usButtonFlags=%04x "
                  "usButtonData=%04x ulRawButtons=%04x lLastX=%04x lLastY=%04x "
                  "ulExtraInformation=0000\r\n",
                  mouse, (data << 16) | flags, flags, data, held, static_cast<unsigned>(dx),
                  static_cast<unsigned>(dy));
    return text;
}

class ProgramTest : public ::testing::Test {
  protected:
    fs::path write(const std::string& name, const std::string& text) {
        const fs::path path = dir_ / name;
        write_file(path, text);
        return path;
    }
    static std::string replay(const fs::path& file) { return "--replay=" + file.string(); }

    TempDir dir_;
    fs::path previous_dir_;
};

TEST_F(ProgramTest, AReplayIsLoggedLineByLineAndTheProgramExitsZero) {
    // Command-line order: keyboard, then three mice; mice are numbered in that order.
    const fs::path keyboard =
        write("kbd.evemu", description("Keys", {}, {{KEY_ESC, KEY_SPACE}}) +
                               event_text(0, EV_KEY, KEY_A, 1) + event_text(0, EV_SYN, 0, 0));
    const fs::path first = write("m0.evemu", motion_recording("First", {{1, -2}, {3, 4}}, 0, 1000));
    const fs::path second = write(
        "m1.evemu", mouse_description("Second") + event_text(500, EV_KEY, BTN_LEFT, 1) +
                        event_text(500, EV_SYN, 0, 0) + event_text(1500, EV_REL, REL_WHEEL, -1) +
                        event_text(1500, EV_SYN, 0, 0) + event_text(2500, EV_KEY, BTN_LEFT, 0) +
                        event_text(2500, EV_SYN, 0, 0));
    const fs::path third = write("m2.evemu", motion_recording("Third", {{-5, 0}}, 700, 1000));

    const auto result = run_rawmice({replay(keyboard), replay(first), replay(second), replay(third),
                                     "--replay-speed=max", "--exit-after-replay"},
                                    dir_.path());
    ASSERT_FALSE(result.timed_out);
    EXPECT_EQ(result.exit_code, 0) << result.err;
    EXPECT_EQ(result.out, "");
    // Merged by time from each file's first event: 0 m0, 0 m1, 0 m2, 1000 m0, 1000 m1, 2000 m1.
    EXPECT_EQ(read_file(dir_ / "log.txt"),
              line(0, 1, -2) + line(1, 0, 0, 0x0001, 0, 1) + line(2, -5, 0) + line(0, 3, 4) +
                  line(1, 0, 0, 0x0400, 0xff88, 1) + line(1, 0, 0, 0x0002, 0, 0));
}

TEST_F(ProgramTest, ListsDevicesAsTheMemoDoes) {
    const fs::path keyboard = write("kbd.evemu", description("Keys", {}, {{KEY_ESC, KEY_SPACE}}));
    const fs::path mouse = write("m.evemu", mouse_description("Mouse"));
    const auto result =
        run_rawmice({replay(keyboard), replay(mouse), "--list-devices"}, dir_.path());
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_EQ(result.out, "0 65538  Mouse\nAmouse[0] = 65538\n1 65537  Keyboard\n");
    EXPECT_FALSE(fs::exists(dir_ / "log.txt")) << "no window, no log";
}

TEST_F(ProgramTest, BadInputStopsBeforeAnyWindowWithOneLine) {
    const fs::path garbage = write("garbage.evemu", std::string("\x7f"
                                                                "ELF\x01\x02\x00\xff",
                                                                8));
    const fs::path headless = write("headless.events", event_text(0, EV_REL, REL_X, 1));
    const fs::path good = write("good.evemu", mouse_description("Good"));
    fs::create_directory(dir_ / "folder.evemu");
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"--replay=" + (dir_ / "missing.evemu").string()}, "missing.evemu"},
        {{"--replay=" + (dir_ / "folder.evemu").string()}, "folder.evemu"},
        {{replay(good), replay(garbage)}, "garbage.evemu:1:"},
        {{replay(headless)}, "headless.events:1:"},
        {{"--input=sideways"}, "sideways"},
        {{"--replay-speed=fast", replay(good)}, "--replay-speed"},
        {{"--replay-speed=0", replay(good)}, "--replay-speed"},
        {{"--exit-after-replay"}, "--exit-after-replay"},
        {{"--input=evdev", replay(good)}, "--replay"},
        {{"stray"}, "stray"},
    };
    for (const auto& [args, named] : cases) {
        SCOPED_TRACE(args.back());
        const auto result = run_rawmice(args, dir_.path());
        EXPECT_EQ(result.exit_code, 2);
        const auto lines = split_lines(result.err);
        ASSERT_EQ(lines.size(), 1u) << result.err;
        EXPECT_NE(lines[0].find(named), std::string::npos) << lines[0];
        EXPECT_FALSE(fs::exists(dir_ / "log.txt"));
    }
}

TEST_F(ProgramTest, HelpAndVersion) {
    const auto help = run_rawmice({"--help"}, dir_.path());
    EXPECT_EQ(help.exit_code, 0);
    EXPECT_NE(help.out.find("--replay-speed"), std::string::npos);
    const auto version = run_rawmice({"--version"}, dir_.path());
    EXPECT_EQ(version.exit_code, 0);
    EXPECT_EQ(version.out.rfind("rawmice ", 0), 0u);
}

TEST_F(ProgramTest, AnUnwritableLogLeavesTheProgramRunning) {
    fs::create_directory(dir_ / "log.txt");
    const fs::path mouse = write("m.evemu", motion_recording("M", {{1, 1}, {2, 2}}, 0, 1000));
    const auto result =
        run_rawmice({replay(mouse), "--replay-speed=max", "--exit-after-replay"}, dir_.path());
    EXPECT_EQ(result.exit_code, 0) << result.err;
    EXPECT_TRUE(fs::is_directory(dir_ / "log.txt"));
}

TEST_F(ProgramTest, SigtermClosesThroughTheClosePathWithWholeLines) {
    // Ten seconds of a 1 kHz mouse at recorded speed: far longer than the test waits.
    std::vector<std::pair<int, int>> moves(10000, {1, -1});
    const fs::path mouse = write("m.evemu", motion_recording("M", moves, 0, 1000));
    QProcess process;
    process.setWorkingDirectory(QString::fromStdString(dir_.path().string()));
    auto env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    process.setProcessEnvironment(env);
    process.start(QString::fromUtf8(std::getenv("RAWMICE_BINARY")),
                  {QString::fromStdString(replay(mouse))});
    ASSERT_TRUE(process.waitForStarted(10000));
    // The log is flushed after each burst: wait until some lines have landed.
    ASSERT_TRUE(testsupport::wait_until(
        [&] { return fs::exists(dir_ / "log.txt") && fs::file_size(dir_ / "log.txt") > 1000; },
        std::chrono::seconds(20)));
    ::kill(static_cast<pid_t>(process.processId()), SIGTERM);
    ASSERT_TRUE(process.waitForFinished(20000));
    EXPECT_EQ(process.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(process.exitCode(), 0);
    const std::string log = read_file(dir_ / "log.txt");
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.substr(log.size() - 2), "\r\n");
    const auto lines = split_lines(log);
    EXPECT_LT(lines.size(), moves.size()) << "closed before the replay ended";
    for (const std::string& l : lines)
        ASSERT_EQ(l, line(0, 1, -1).substr(0, l.size())) << l;
}

// Mouse 2 draws an L: 40 pixels right, then 40 down, in steps of 4.
class TrailTest : public ProgramTest {
  protected:
    std::vector<std::pair<int, int>> path() const {
        std::vector<std::pair<int, int>> moves(10, {4, 0});
        moves.insert(moves.end(), 10, {0, 4});
        return moves;
    }
};

TEST_F(TrailTest, TheThirdMouseDrawsItsTrailAndShowsItsPosition) {
    const fs::path a = write("a.evemu", motion_recording("A", {{50, 50}}, 0, 1000));
    const fs::path b = write("b.evemu", motion_recording("B", {{-50, 0}}, 0, 1000));
    const fs::path c = write("c.evemu", motion_recording("C", path(), 0, 1000));
    const auto result = run_rawmice({replay(a), replay(b), replay(c), "--replay-speed=max",
                                     "--exit-after-replay", "--screenshot=shot.png"},
                                    dir_.path());
    ASSERT_EQ(result.exit_code, 0) << result.err;
    const QImage shot(QString::fromStdString((dir_ / "shot.png").string()));
    ASSERT_FALSE(shot.isNull());
    auto colour = [&](int x, int y) { return vcl::from_qcolor(shot.pixelColor(x, y)); };
    for (int x = 157; x < 187; ++x)
        EXPECT_EQ(colour(x, 150), green) << "x=" << x;
    for (int y = 154; y < 187; ++y)
        EXPECT_EQ(colour(190, y), green) << "y=" << y;
    EXPECT_NE(colour(193, 189), colour(400, 200)) << "the mark at the end";

    // Label4 as the program drew it, against the same label drawn here with
    // the text the motion sums to.
    previous_dir_ = fs::current_path();
    fs::current_path(dir_.path());
    testing::internal::CaptureStdout();  // no user32 here: the listing fails quietly
    vcl::Application->Initialize();      // the program's fonts
    vcl::Application->CreateForm(&Form1);
    testing::internal::GetCapturedStdout();
    Form1->Label4->Caption = "X = 190 , Y = 190";
    const QRect where = Form1->Label4->geometry();
    const QImage expected = Form1->Label4->grab().toImage().convertToFormat(QImage::Format_RGB32);
    EXPECT_TRUE(shot.copy(where).convertToFormat(QImage::Format_RGB32) == expected)
        << "Label4 at " << where.x() << "," << where.y();
    log_file.close();
    fs::current_path(previous_dir_);
}

}  // namespace
