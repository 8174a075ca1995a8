// The real program, run offscreen on recordings the tests write: what it
// logs, what it draws, how it exits, and what it says about bad input.
#include <gtest/gtest.h>
#include <linux/input.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <QImage>
#include <QLibraryInfo>
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

// Where no window can open, the program says what to do before the toolkit
// aborts: one line, exit status 2, no log.
TEST_F(ProgramTest, WithNoUsableDisplayItSaysWhatToDoAndExitsTwo) {
    const fs::path mouse = write("m.evemu", motion_recording("M", {{1, 1}}, 0, 1000));
    int unused = 9876;  // a display number nothing listens on
    while (fs::exists("/tmp/.X11-unix/X" + std::to_string(unused)))
        ++unused;
    const std::string dead = ":" + std::to_string(unused);
    struct Case {
        std::string what;
        std::vector<std::string> env;
        std::string phrase;
    };
    const std::vector<Case> cases = {
        {"no DISPLAY", {"DISPLAY=", "WAYLAND_DISPLAY=", "QT_QPA_PLATFORM="}, "DISPLAY is not set"},
        {"a display that does not open",
         {"DISPLAY=" + dead, "WAYLAND_DISPLAY=", "QT_QPA_PLATFORM="},
         "cannot open the display '" + dead + "'"},
        {"xcb asked for without a display",
         {"DISPLAY=", "WAYLAND_DISPLAY=", "QT_QPA_PLATFORM=xcb"},
         "DISPLAY is not set"},
        {"wayland asked for with no compositor",
         {"DISPLAY=", "WAYLAND_DISPLAY=", "QT_QPA_PLATFORM=wayland"},
         "no Wayland compositor"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const auto result = run_rawmice({replay(mouse), "--exit-after-replay"}, dir_.path(),
                                        std::chrono::seconds(30), c.env);
        ASSERT_FALSE(result.timed_out);
        EXPECT_EQ(result.exit_code, 2) << result.err;
        const auto lines = split_lines(result.err);
        ASSERT_EQ(lines.size(), 1u) << result.err;
        EXPECT_EQ(lines[0].rfind("rawmice: ", 0), 0u) << lines[0];
        EXPECT_NE(lines[0].find(c.phrase), std::string::npos) << lines[0];
        EXPECT_NE(lines[0].find("desktop session"), std::string::npos) << lines[0];
        EXPECT_NE(lines[0].find("QT_QPA_PLATFORM=offscreen"), std::string::npos) << lines[0];
        EXPECT_FALSE(fs::exists(dir_ / "log.txt"));
    }

    // Offscreen needs no display at all.
    const auto offscreen =
        run_rawmice({replay(mouse), "--exit-after-replay"}, dir_.path(), std::chrono::seconds(60),
                    {"DISPLAY=", "WAYLAND_DISPLAY=", "QT_QPA_PLATFORM=offscreen"});
    EXPECT_EQ(offscreen.exit_code, 0) << offscreen.err;
    EXPECT_EQ(read_file(dir_ / "log.txt"), line(0, 1, 1));
}

// A Wayland session without X: Qt could only draw through its Wayland
// platform; without it, the program says so instead of aborting.
TEST_F(ProgramTest, OnWaylandWithoutXOrQtWaylandItSaysWhatToInstall) {
    if (fs::exists(QLibraryInfo::path(QLibraryInfo::PluginsPath).toStdString() +
                   "/platforms/libqwayland-generic.so")) {
        GTEST_SKIP() << "Qt's Wayland platform is installed here: Qt would use it";
    }
    // A compositor's socket, as far as connecting to it goes.
    const fs::path socket_path = dir_ / "wayland-test";
    const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(listener, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", socket_path.c_str());
    ASSERT_EQ(::bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener, 4), 0);
    const fs::path mouse = write("m.evemu", motion_recording("M", {{1, 1}}, 0, 1000));
    const auto result =
        run_rawmice({replay(mouse), "--exit-after-replay"}, dir_.path(), std::chrono::seconds(30),
                    {"DISPLAY=", "WAYLAND_DISPLAY=wayland-test",
                     "XDG_RUNTIME_DIR=" + dir_.path().string(), "QT_QPA_PLATFORM="});
    ::close(listener);
    EXPECT_EQ(result.exit_code, 2) << result.err;
    const auto lines = split_lines(result.err);
    ASSERT_EQ(lines.size(), 1u) << result.err;
    EXPECT_NE(lines[0].find("qt6-wayland"), std::string::npos) << lines[0];
    EXPECT_NE(lines[0].find("QT_QPA_PLATFORM=offscreen"), std::string::npos) << lines[0];
}

TEST_F(ProgramTest, AScreenshotThatCannotBeSavedFailsTheRun) {
    const fs::path mouse = write("m.evemu", motion_recording("M", {{1, 1}, {2, 2}}, 0, 1000));
    const fs::path nowhere = dir_ / "no-such-folder" / "shot.png";
    const auto result = run_rawmice({replay(mouse), "--replay-speed=max", "--exit-after-replay",
                                     "--screenshot=" + nowhere.string()},
                                    dir_.path());
    EXPECT_EQ(result.exit_code, 1) << result.err;
    EXPECT_NE(result.err.find("cannot save the screenshot to " + nowhere.string()),
              std::string::npos)
        << result.err;
    // The run itself went through: its log is whole.
    EXPECT_EQ(read_file(dir_ / "log.txt"), line(0, 1, 1) + line(0, 2, 2));
}

// `make run` in a shell without a display or a session: only rawmice speaks.
TEST_F(ProgramTest, TheRunScriptWithoutADisplayPrintsOnlyItsOwnLines) {
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "XDG_RUNTIME_DIR", "QT_QPA_PLATFORM"})
        env.remove(name);
    process.setProcessEnvironment(env);
    process.setWorkingDirectory(QString::fromStdString(dir_.path().string()));
    process.start(QString::fromStdString((testsupport::source_dir() / "scripts" / "run").string()),
                  {QString::fromUtf8(std::getenv("RAWMICE_BINARY"))});
    ASSERT_TRUE(process.waitForStarted(10000));
    ASSERT_TRUE(process.waitForFinished(120000));
    const std::string err = process.readAllStandardError().toStdString();
    EXPECT_EQ(process.exitCode(), 0) << err;
    for (const std::string& l : split_lines(err))
        EXPECT_EQ(l.rfind("rawmice", 0), 0u) << "not rawmice's own: " << l;
    EXPECT_NE(process.readAllStandardOutput().toStdString().find("report lines"),
              std::string::npos);
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
