// The real program, run offscreen on recordings the tests write: what it
// logs, what it draws, how it exits, and what it says about bad input.
#include <gtest/gtest.h>
#include <linux/input.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <QImage>
#include <QLibraryInfo>
#include <QToolButton>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <map>
#include <sstream>
#include <tuple>

#include "measures/feed.h"
#include "platform/vcl/qt/native.h"
#include "platform/vcl/qt/notice.h"
#include "rawinput/rawinput.h"
#include "tests/app/program_fixture.h"
#include "tests/support/recording_files.h"
#include "tests/support/test_support.h"
#include "ui/frmButtons.h"
#include "ui/frmMovement.h"
#include "ui/frmTiming.h"
#include "ui/principal.h"

namespace {

namespace fs = std::filesystem;
using testsupport::event_text;
using testsupport::keyboard_description;
using testsupport::motion_recording;
using testsupport::mouse_description;
using testsupport::read_file;
using testsupport::split_lines;
using testsupport::TempDir;
using testsupport::write_file;

constexpr vcl::TColor green = 0x008000;

std::string line(int mouse, int dx, int dy, unsigned flags = 0, unsigned data = 0,
                 unsigned held = 0) {
    return testsupport::expected_line(mouse, dx, dy, flags, data, held);
}

TEST_F(ProgramTest, AReplayIsLoggedLineByLineAndTheProgramExitsZero) {
    // Command-line order: keyboard, then three mice; mice are numbered in that order.
    const fs::path keyboard =
        write("kbd.evemu", keyboard_description("Keys") + event_text(0, EV_KEY, KEY_A, 1) +
                               event_text(0, EV_SYN, 0, 0));
    const fs::path first = write("m0.evemu", motion_recording("First", {{1, -2}, {3, 4}}, 0, 1000));
    const fs::path second = write(
        "m1.evemu", mouse_description("Second") + event_text(500, EV_KEY, BTN_LEFT, 1) +
                        event_text(500, EV_SYN, 0, 0) + event_text(1500, EV_REL, REL_WHEEL, -1) +
                        event_text(1500, EV_SYN, 0, 0) + event_text(2500, EV_KEY, BTN_LEFT, 0) +
                        event_text(2500, EV_SYN, 0, 0));
    const fs::path third = write("m2.evemu", motion_recording("Third", {{-5, 0}}, 700, 1000));

    const auto result = run({replay(keyboard), replay(first), replay(second), replay(third),
                             "--replay-speed=max", "--exit-after-replay"});
    ASSERT_FALSE(result.timed_out);
    EXPECT_EQ(result.exit_code, 0) << result.err;
    EXPECT_EQ(result.out, "");
    // Merged by time from each file's first event: 0 m0, 0 m1, 0 m2, 1000 m0, 1000 m1, 2000 m1.
    EXPECT_EQ(read_file(dir_ / "log.txt"),
              line(0, 1, -2) + line(1, 0, 0, 0x0001, 0, 1) + line(2, -5, 0) + line(0, 3, 4) +
                  line(1, 0, 0, 0x0400, 0xff88, 1) + line(1, 0, 0, 0x0002, 0, 0));
}

// The whitespace-separated fields of a line.
std::vector<std::string> fields_of(const std::string& line) {
    std::istringstream words(line);
    std::vector<std::string> fields;
    std::string word;
    while (words >> word)
        fields.push_back(word);
    return fields;
}

TEST_F(ProgramTest, ListsDevicesAsTheMemoDoesThenWhereEachIsAndItsName) {
    const fs::path keyboard = write("kbd.evemu", keyboard_description("Keys"));
    const fs::path mouse = write("m.evemu", mouse_description("Wireless Mouse"));
    const auto result = run({replay(keyboard), replay(mouse), "--list-devices"});
    EXPECT_EQ(result.exit_code, 0) << result.err;
    const std::string memo = "0 65538  Mouse\nAmouse[0] = 65538\n1 65537  Keyboard\n";
    ASSERT_EQ(result.out.substr(0, memo.size()), memo) << "the memo's lines first, exactly";

    const auto lines = split_lines(result.out.substr(memo.size()));
    ASSERT_EQ(lines.size(), 4u) << result.out;
    EXPECT_EQ(lines[0], "");
    EXPECT_EQ(fields_of(lines[1]),
              (std::vector<std::string>{"index", "handle", "kind", "where", "name"}));
    EXPECT_EQ(fields_of(lines[2]), (std::vector<std::string>{"0", "65538", "Mouse", mouse.string(),
                                                             "\"Wireless", "Mouse\""}));
    EXPECT_EQ(fields_of(lines[3]),
              (std::vector<std::string>{"1", "65537", "Keyboard", keyboard.string(), "\"Keys\""}));
    // The columns line up: each heading starts where its values do.
    for (const char* heading : {"handle", "kind", "where", "name"}) {
        const std::size_t column = lines[1].find(heading);
        EXPECT_EQ(lines[2][column - 1], ' ') << heading;
        EXPECT_NE(lines[2][column], ' ') << heading;
        EXPECT_NE(lines[3][column], ' ') << heading;
    }
    EXPECT_FALSE(fs::exists(dir_ / "log.txt")) << "no window, no log";
}

TEST_F(ProgramTest, ListingNoDeviceSaysWhyAndFails) {
    if (fs::exists("/dev/input") && !fs::is_empty("/dev/input"))
        GTEST_SKIP() << "this machine has input devices";
    const auto result = run({"--input=evdev", "--list-devices"});
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_EQ(result.out, "");
    const auto lines = split_lines(result.err);
    ASSERT_EQ(lines.size(), 1u) << result.err;
    EXPECT_NE(lines[0].find("no input device"), std::string::npos) << lines[0];
    EXPECT_NE(lines[0].find("--input=x11"), std::string::npos) << "what to do: " << lines[0];
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
        {{"--replay="}, "--replay: the file name is empty"},
        {{replay(good), replay(write("v2.yml", testsupport::libinput_head(1, "2")))},
         "v2.yml:2: version '2' is not one rawmice reads"},
        {{replay(write("late.yml", testsupport::libinput_head(1) +
                                       testsupport::libinput_mouse("M") +
                                       testsupport::libinput_frame(5, {{EV_REL, REL_X, 1}}) +
                                       testsupport::libinput_frame(4, {{EV_REL, REL_X, 1}})))},
         "late.yml:37: a frame at 0.000004 is earlier than the one before it in this device"},
        {{replay(good), "--replay="}, "--replay: the file name is empty"},
        {{replay(good), "--csv=" + (dir_ / "no-folder/out.csv").string()},
         "--csv: cannot create " + (dir_ / "no-folder/out.csv").string() +
             ": No such file or directory"},
        {{replay(good), "--csv="}, "--csv: the file name is empty"},
        {{replay(good), "--record=" + (dir_ / "missing").string()},
         "--record: " + (dir_ / "missing").string() + " does not exist"},
        {{replay(good), "--record=" + good.string()}, good.string() + " is not a folder"},
        {{replay(good), "--record="}, "--record: the folder is empty"},
        {{"--input=x11", "--record=" + dir_.path().string()},
         "--record records the evdev and replay inputs"},
        {{replay(good), "--chatter-ms=0"},
         "--chatter-ms: '0' is not a whole number of milliseconds from 1 to 500"},
        {{replay(good), "--chatter-ms=501"}, "--chatter-ms: '501'"},
        {{replay(good), "--chatter-ms=2.5"}, "--chatter-ms: '2.5'"},
        {{replay(good), "--chatter-ms=-5"}, "--chatter-ms: '-5'"},
        {{replay(good), "--chatter-ms=+5"}, "--chatter-ms: '+5'"},
        {{replay(good), "--chatter-ms=0x10"}, "--chatter-ms: '0x10'"},
        {{replay(good), "--chatter-ms="}, "--chatter-ms: ''"},
        {{replay(good), "--chatter-ms=00000000000000000000001000"}, "--chatter-ms: '000"},
        {{replay(good), "--distance-mm=0"},
         "--distance-mm: '0' is not a distance in mm above 0 and at most 10000"},
        {{replay(good), "--distance-mm=10000.5"}, "--distance-mm: '10000.5'"},
        {{replay(good), "--distance-mm=-25.4"}, "--distance-mm: '-25.4'"},
        {{replay(good), "--distance-mm=25,4"}, "--distance-mm: '25,4'"},
        {{replay(good), "--distance-mm=1e2"}, "--distance-mm: '1e2'"},
        {{replay(good), "--distance-mm="}, "--distance-mm: ''"},
        {{replay(good), "--cpi=49"},
         "--cpi: '49' is not N or M:N (N a whole number of counts per inch from 50 to 100000, "
         "M a mouse number from the listing)"},
        {{replay(good), "--cpi=100001"}, "--cpi: '100001'"},
        {{replay(good), "--cpi=1.6e3"}, "--cpi: '1.6e3'"},
        {{replay(good), "--cpi=-1:800"}, "--cpi: '-1:800'"},
        {{replay(good), "--cpi=0:"}, "--cpi: '0:'"},
        {{replay(good), "--cpi=:800"}, "--cpi: ':800'"},
        {{replay(good), "--cpi=0:800:2"}, "--cpi: '0:800:2'"},
        {{replay(good), "--cpi="}, "--cpi: ''"},
        {{replay(good), "--cpi"}, "--cpi"},
        {{replay(good), "--cpi=0:800", "--cpi=1:800", "--cpi=0:1600"},
         "--cpi: mouse 0 is given twice ('0:800' and '0:1600')"},
        {{replay(good), "--cpi=800", "--cpi=1600"},
         "--cpi: the CPI of every mouse is given twice ('800' and '1600')"},
    };
    for (const auto& [args, named] : cases) {
        SCOPED_TRACE(args.back());
        const auto result = run(args);
        EXPECT_EQ(result.exit_code, 2);
        // Ours is the one line; libevemu's own complaint about a recording may come first.
        auto lines = split_lines(result.err);
        std::erase(lines, "");
        ASSERT_GE(lines.size(), 1u) << result.err;
        for (std::size_t i = 0; i + 1 < lines.size(); ++i)
            EXPECT_EQ(lines[i].rfind("FATAL: ", 0), 0u) << result.err;
        EXPECT_NE(lines.back().find(named), std::string::npos) << lines.back();
        EXPECT_FALSE(fs::exists(dir_ / "log.txt"));
    }
}

// --csv: a line per log.txt line, in its order, with the packets' own times
// from the first line's, each mouse's interval since its line before (0 for
// the second packet of a frame), the fields as signed numbers; LF line ends.
TEST_F(ProgramTest, TheCsvFileHasALinePerLoggedPacketWithItsTimes) {
    const fs::path keyboard =
        write("kbd.evemu", keyboard_description("Keys") + event_text(0, EV_KEY, KEY_A, 1) +
                               event_text(0, EV_SYN, SYN_REPORT, 0));
    const fs::path a =
        write("a.evemu", testsupport::description("A", {REL_X, REL_Y, REL_WHEEL, REL_HWHEEL},
                                                  {{BTN_LEFT, BTN_MIDDLE}}) +
                             event_text(1'000'000, EV_REL, REL_X, -2) +
                             event_text(1'000'000, EV_REL, REL_Y, 3) +
                             event_text(1'000'000, EV_SYN, SYN_REPORT, 0) +
                             event_text(1'000'500, EV_REL, REL_WHEEL, 1) +
                             event_text(1'000'500, EV_REL, REL_HWHEEL, -1) +
                             event_text(1'000'500, EV_SYN, SYN_REPORT, 0) +
                             event_text(1'002'000, EV_KEY, BTN_LEFT, 1) +
                             event_text(1'002'000, EV_SYN, SYN_REPORT, 0));
    const fs::path b = write("b.evemu", motion_recording("B", {{1, 0}, {1, 0}}, 5'000'000, 1000));
    const auto result = run({replay(keyboard), replay(a), replay(b), "--replay-speed=max",
                             "--exit-after-replay", "--csv=packets.csv"});
    ASSERT_EQ(result.exit_code, 0) << result.err;
    EXPECT_EQ(read_file(dir_ / "packets.csv"),
              "mouse,handle,time_us,interval_us,flags,dx,dy,button_flags,wheel\n"
              "0,65538,0,,0,-2,3,0,0\n"
              "1,65539,0,,0,1,0,0,0\n"
              "0,65538,500,500,0,0,0,1024,120\n"
              "0,65538,500,0,0,0,0,2048,-120\n"
              "1,65539,1000,1000,0,1,0,0,0\n"
              "0,65538,2000,1500,0,0,0,1,0\n");
    const auto logged = split_lines(read_file(dir_ / "log.txt"));
    ASSERT_EQ(logged.size(), 6u);
    EXPECT_EQ(logged[2], line(0, 0, 0, 0x0400, 0x0078).substr(0, logged[2].size()));

    // A file that is there already is replaced.
    const auto again =
        run({replay(b), "--replay-speed=max", "--exit-after-replay", "--csv=packets.csv"});
    ASSERT_EQ(again.exit_code, 0) << again.err;
    EXPECT_EQ(split_lines(read_file(dir_ / "packets.csv")).size(), 3u);
}

// --record: each mouse of a replay recorded again, keyboards never; the files,
// replayed in their order, give the same log byte for byte, and recorded once
// more, the same events from the same start.
TEST_F(ProgramTest, RecordedMiceReplayToTheSameLog) {
    const fs::path samples = testsupport::source_dir() / "samples";
    const fs::path keyboard =
        write("kbd.evemu", keyboard_description("Keys") + event_text(0, EV_KEY, KEY_A, 1) +
                               event_text(0, EV_SYN, SYN_REPORT, 0));
    const fs::path wheels = write(
        "wheels.evemu",
        testsupport::description("Two Wheels", {REL_X, REL_Y, REL_WHEEL, REL_HWHEEL},
                                 {{BTN_LEFT, BTN_MIDDLE}}) +
            event_text(3'000'000, EV_REL, REL_WHEEL, 1) +
            event_text(3'000'000, EV_REL, REL_HWHEEL, 1) +
            event_text(3'000'000, EV_SYN, SYN_REPORT, 0) +
            event_text(3'004'000, EV_KEY, BTN_MIDDLE, 1) + event_text(3'004'000, EV_REL, REL_X, 1));
    const fs::path idle = write("idle.evemu", mouse_description("Idle Mouse"));
    fs::create_directory(dir_ / "first");
    const auto first = run(
        {replay(keyboard), replay(samples / "mouse0-wander.evemu"), replay(wheels), replay(idle),
         replay(samples / "mouse1-click-scroll.evemu"), replay(samples / "mouse2-star.evemu"),
         "--replay-speed=max", "--exit-after-replay", "--record=first"});
    ASSERT_EQ(first.exit_code, 0) << first.err;
    const std::string log = read_file(dir_ / "log.txt");

    std::vector<std::string> files;
    for (const auto& file : fs::directory_iterator(dir_ / "first"))
        files.push_back(file.path().filename().string());
    std::sort(files.begin(), files.end());
    EXPECT_EQ(files, (std::vector<std::string>{
                         "00-65538-Sample_Wandering_Mouse.evemu", "01-65539-Two_Wheels.evemu",
                         "02-65540-Idle_Mouse.evemu", "03-65541-Sample_Clicking_Mouse.evemu",
                         "04-65542-Sample_Drawing_Mouse.evemu"}))
        << "mice in listing order; the keyboard (index 5) never";

    std::vector<std::string> again = {"--replay-speed=max", "--exit-after-replay",
                                      "--record=second"};
    for (const std::string& file : files)
        again.push_back(replay(dir_ / "first" / file));
    fs::create_directory(dir_ / "second");
    const auto second = run(again);
    ASSERT_EQ(second.exit_code, 0) << second.err;
    EXPECT_TRUE(read_file(dir_ / "log.txt") == log) << "the same log, byte for byte";
    for (std::size_t i = 0; i < files.size(); ++i) {
        const std::string& file = files[i];
        SCOPED_TRACE(file);
        const auto events = [](const fs::path& path) {
            std::vector<testsupport::EventLine> lines = testsupport::event_lines(path);
            std::vector<std::tuple<std::int64_t, unsigned, unsigned, long long>> out;
            for (const auto& e : lines)
                out.emplace_back(e.us - lines.front().us, e.type, e.code, e.value);
            return out;
        };
        const auto recorded = events(dir_ / "first" / file);
        ASSERT_FALSE(recorded.empty());
        EXPECT_EQ(recorded.front(), std::make_tuple(std::int64_t{0}, 0u, 0u, 0LL))
            << "an empty frame first";
        // Recorded again (under its new handle): one more empty frame first
        // (the run's start), then every event read, the first file's own
        // empty frame among them.
        std::string replayed = file;
        replayed.replace(3, 5, std::to_string(65537 + i));
        auto twice = events(dir_ / "second" / replayed);
        ASSERT_FALSE(twice.empty());
        EXPECT_EQ(twice.front(), recorded.front());
        twice.erase(twice.begin());
        EXPECT_EQ(twice, recorded);
    }
}

// The bundled evemu recordings, made one libinput record file by
// tests/scripts (each device from its own first event, as the evemu files
// play), give their log byte for byte; --record of that replay gives evemu
// files that replay to it again.
TEST_F(ProgramTest, ALibinputRecordOfTheSamplesReplaysToTheirLog) {
    const fs::path samples = testsupport::source_dir() / "samples";
    const std::vector<fs::path> files = {
        samples / "keyboard.evemu", samples / "mouse0-wander.evemu",
        samples / "mouse1-click-scroll.evemu", samples / "mouse2-star.evemu"};
    std::vector<std::string> evemu = {"--replay-speed=max", "--exit-after-replay"};
    std::vector<std::string> convert = {
        "python3",
        (testsupport::source_dir() / "tests/scripts/evemu_to_libinput_record.py").string(),
        (dir_ / "samples.yml").string()};
    for (const fs::path& file : files) {
        evemu.push_back(replay(file));
        convert.push_back(file.string());
    }
    const auto converted = testsupport::run(convert);
    ASSERT_EQ(converted.exit_code, 0) << converted.err;
    const auto from_evemu = run(evemu);
    ASSERT_EQ(from_evemu.exit_code, 0) << from_evemu.err;
    const std::string log = read_file(dir_ / "log.txt");
    ASSERT_GT(split_lines(log).size(), 1000u);

    fs::create_directory(dir_ / "recorded");
    const auto from_yaml = run({replay(dir_ / "samples.yml"), "--replay-speed=max",
                                "--exit-after-replay", "--record=recorded"});
    ASSERT_EQ(from_yaml.exit_code, 0) << from_yaml.err;
    EXPECT_TRUE(read_file(dir_ / "log.txt") == log) << "the same log, byte for byte";

    std::vector<std::string> again = {"--replay-speed=max", "--exit-after-replay"};
    std::vector<std::string> names;
    for (const auto& file : fs::directory_iterator(dir_ / "recorded"))
        names.push_back(file.path().filename().string());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"00-65538-Sample_Wandering_Mouse.evemu",
                                               "01-65539-Sample_Clicking_Mouse.evemu",
                                               "02-65540-Sample_Drawing_Mouse.evemu"}));
    for (const std::string& name : names)
        again.push_back(replay(dir_ / "recorded" / name));
    const auto recorded = run(again);
    ASSERT_EQ(recorded.exit_code, 0) << recorded.err;
    EXPECT_TRUE(read_file(dir_ / "log.txt") == log) << "the recordings replay to the same log";
}

// Each device of a libinput record file is listed where it is, FILE#K, with
// the handle of its place among every replayed device.
TEST_F(ProgramTest, ListsEachDeviceOfALibinputRecordFileAsFileHashK) {
    const fs::path mouse = write("m.evemu", mouse_description("Evemu Mouse"));
    const fs::path yaml =
        write("two.yml", testsupport::libinput_head(2) +
                             testsupport::libinput_device("Keys", {{EV_KEY, {KEY_ESC, KEY_A}}}) +
                             testsupport::libinput_mouse("Yaml Mouse") +
                             testsupport::libinput_frame(0, {{EV_REL, REL_X, 1}}) +
                             "  - hid:\n      time: [0, 10]\n      hidraw0: [1]\n");
    const auto result = run({replay(mouse), replay(yaml), "--list-devices"});
    EXPECT_EQ(result.exit_code, 0) << result.err;
    const auto lines = split_lines(result.out);
    ASSERT_EQ(lines.size(), 10u) << result.out;
    EXPECT_EQ(fields_of(lines[7]), (std::vector<std::string>{"0", "65537", "Mouse", mouse.string(),
                                                             "\"Evemu", "Mouse\""}));
    EXPECT_EQ(fields_of(lines[8]),
              (std::vector<std::string>{"1", "65539", "Mouse", yaml.string() + "#1", "\"Yaml",
                                        "Mouse\""}));
    EXPECT_EQ(fields_of(lines[9]),
              (std::vector<std::string>{"2", "65538", "HID", yaml.string() + "#0", "\"Keys\""}));
    EXPECT_EQ(result.err, "rawmice: " + yaml.string() +
                              ": skipped 1 '- hid:' items of the events (rawmice plays the '- "
                              "evdev:' frames)\n");
}

TEST_F(ProgramTest, HelpAndVersion) {
    const auto help = run({"--help"});
    EXPECT_EQ(help.exit_code, 0);
    EXPECT_NE(help.out.find("--replay-speed"), std::string::npos);
    EXPECT_NE(help.out.find("--timing"), std::string::npos);
    const auto version = run({"--version"});
    EXPECT_EQ(version.exit_code, 0);
    EXPECT_EQ(version.out.rfind("rawmice ", 0), 0u);
}

TEST_F(ProgramTest, ABatchRunWithoutItsLogPlaysOnButFails) {
    fs::create_directory(dir_ / "log.txt");
    const fs::path mouse = write("m.evemu", motion_recording("M", {{1, 1}, {2, 2}}, 0, 1000));
    const auto result =
        run({replay(mouse), "--replay-speed=max", "--exit-after-replay", "--stats"});
    EXPECT_EQ(result.exit_code, 1) << result.err;
    EXPECT_NE(result.err.find("cannot create log.txt"), std::string::npos) << result.err;
    EXPECT_NE(result.err.find("\ntotal "), std::string::npos)
        << "played to its end: " << result.err;
    EXPECT_TRUE(fs::is_directory(dir_ / "log.txt"));
}

// Another rawmice holds log.txt (here, this test holds its lock): the second
// one neither empties nor writes it, says so, and a batch run fails.
TEST_F(ProgramTest, ALogLockedByAnotherInstanceIsLeftAlone) {
    const std::string theirs = line(0, 7, 7);
    write("log.txt", theirs);
    const fs::path mouse = write("m.evemu", motion_recording("M", {{1, 1}, {2, 2}}, 0, 1000));
    const std::vector<std::string> args = {replay(mouse), "--replay-speed=max",
                                           "--exit-after-replay"};
    {
        const int fd = ::open((dir_ / "log.txt").c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
        const auto locked = run(args);
        ::close(fd);
        EXPECT_EQ(locked.exit_code, 1) << locked.err;
        EXPECT_NE(locked.err.find(
                      "rawmice: another rawmice is writing log.txt in this folder; this one runs "
                      "without a log (the memo still shows every packet)\n"),
                  std::string::npos)
            << locked.err;
        EXPECT_EQ(read_file(dir_ / "log.txt"), theirs) << "neither emptied nor written";
    }
    const auto free = run(args);
    EXPECT_EQ(free.exit_code, 0) << free.err;
    EXPECT_EQ(read_file(dir_ / "log.txt"), line(0, 1, 1) + line(0, 2, 2));
}

// The signals the program catches, from /proc: a mask of bit (signal - 1).
std::uint64_t signal_mask(pid_t pid, const std::string& field) {
    std::istringstream status(read_file("/proc/" + std::to_string(pid) + "/status"));
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(field + ":\t", 0) == 0)
            return std::stoull(line.substr(field.size() + 2), nullptr, 16);
    }
    return 0;
}

// Started under nohup, hang-ups stay ignored; otherwise the program catches them.
TEST_F(ProgramTest, HangUpsAreCaughtUnlessNohupIgnoresThem) {
    if (!fs::exists("/proc/self/status") || !fs::exists("/usr/bin/nohup"))
        GTEST_SKIP() << "needs /proc and nohup";
    std::vector<std::pair<int, int>> moves(10000, {1, -1});
    const fs::path mouse = write("m.evemu", motion_recording("M", moves, 0, 1000));
    constexpr std::uint64_t hangup = std::uint64_t{1} << (SIGHUP - 1);
    for (const bool nohup : {false, true}) {
        SCOPED_TRACE(nohup ? "under nohup" : "plain");
        fs::remove(dir_ / "log.txt");
        std::vector<std::string> argv = testsupport::rawmice_argv({replay(mouse)});
        if (nohup)
            argv.insert(argv.begin(), "/usr/bin/nohup");
        testsupport::Process process(argv, {dir_.path()});
        // Once lines land, the window is up and the handlers are in place.
        ASSERT_TRUE(testsupport::wait_until(
            [&] { return fs::exists(dir_ / "log.txt") && fs::file_size(dir_ / "log.txt") > 0; },
            std::chrono::seconds(20)));
        EXPECT_EQ((signal_mask(process.pid(), "SigCgt") & hangup) != 0, !nohup);
        EXPECT_EQ((signal_mask(process.pid(), "SigIgn") & hangup) != 0, nohup);
        process.send(SIGTERM);
        ASSERT_TRUE(process.wait(std::chrono::seconds(20)));
        EXPECT_EQ(process.exit_code(), 0);
    }
}

// Two real instances in one folder: the second leaves the first one's log
// whole, and the first goes on logging every line.
TEST_F(ProgramTest, TwoInstancesInOneFolderNeverSpliceTheLog) {
    std::vector<std::pair<int, int>> moves(10000, {1, -1});
    const fs::path slow = write("slow.evemu", motion_recording("Slow", moves, 0, 1000));
    testsupport::Process first = start({replay(slow)});
    ASSERT_TRUE(testsupport::wait_until(
        [&] { return fs::exists(dir_ / "log.txt") && fs::file_size(dir_ / "log.txt") > 1000; },
        std::chrono::seconds(20)));

    const fs::path fast = write("fast.evemu", motion_recording("Fast", {{5, 5}, {6, 6}}, 0, 1000));
    const auto second = run({replay(fast), "--replay-speed=max", "--exit-after-replay"});
    EXPECT_EQ(second.exit_code, 1) << second.err;
    EXPECT_NE(second.err.find("another rawmice is writing log.txt"), std::string::npos)
        << second.err;

    first.send(SIGTERM);
    ASSERT_TRUE(first.wait(std::chrono::seconds(20)));
    EXPECT_EQ(first.exit_code(), 0);
    const auto lines = split_lines(read_file(dir_ / "log.txt"));
    ASSERT_FALSE(lines.empty());
    for (const std::string& l : lines)
        ASSERT_EQ(l + "\n", line(0, 1, -1)) << "only the first instance's whole lines";
}

// SIGTERM (kill), SIGINT (Ctrl-C) and SIGHUP (the terminal closed) all close
// the window through its close path: exit 0, the log ending in a whole line.
TEST_F(ProgramTest, SignalsCloseThroughTheClosePathWithWholeLines) {
    // Ten seconds of a 1 kHz mouse at recorded speed: far longer than the test waits.
    std::vector<std::pair<int, int>> moves(10000, {1, -1});
    const fs::path mouse = write("m.evemu", motion_recording("M", moves, 0, 1000));
    for (const int signal_number : {SIGTERM, SIGINT, SIGHUP}) {
        SCOPED_TRACE(strsignal(signal_number));
        fs::remove(dir_ / "log.txt");
        testsupport::Process process = start({replay(mouse)});
        // The log is flushed after each burst: wait until some lines have landed.
        ASSERT_TRUE(testsupport::wait_until(
            [&] { return fs::exists(dir_ / "log.txt") && fs::file_size(dir_ / "log.txt") > 1000; },
            std::chrono::seconds(20)));
        process.send(signal_number);
        ASSERT_TRUE(process.wait(std::chrono::seconds(20)));
        EXPECT_EQ(process.signal(), 0);
        EXPECT_EQ(process.exit_code(), 0);
        const std::string log = read_file(dir_ / "log.txt");
        ASSERT_FALSE(log.empty());
        EXPECT_EQ(log.substr(log.size() - 2), "\r\n");
        const auto lines = split_lines(log);
        EXPECT_LT(lines.size(), moves.size()) << "closed before the replay ended";
        for (const std::string& l : lines)
            ASSERT_EQ(l, line(0, 1, -1).substr(0, l.size())) << l;
    }
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
        const auto result =
            run({replay(mouse), "--exit-after-replay"}, {.env = c.env}, std::chrono::seconds(30));
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
        run({replay(mouse), "--exit-after-replay"},
            {.env = {"DISPLAY=", "WAYLAND_DISPLAY=", "QT_QPA_PLATFORM=offscreen"}});
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
        run({replay(mouse), "--exit-after-replay"},
            {.env = {"DISPLAY=", "WAYLAND_DISPLAY=wayland-test",
                     "XDG_RUNTIME_DIR=" + dir_.path().string(), "QT_QPA_PLATFORM="}},
            std::chrono::seconds(30));
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
    const auto result = run({replay(mouse), "--replay-speed=max", "--exit-after-replay",
                             "--screenshot=" + nowhere.string()});
    EXPECT_EQ(result.exit_code, 1) << result.err;
    EXPECT_NE(result.err.find("cannot save the screenshot to " + nowhere.string()),
              std::string::npos)
        << result.err;
    // The run itself went through: its log is whole.
    EXPECT_EQ(read_file(dir_ / "log.txt"), line(0, 1, 1) + line(0, 2, 2));
}

// `make run` in a shell without a display or a session: only rawmice speaks.
TEST_F(ProgramTest, TheRunScriptWithoutADisplayPrintsOnlyItsOwnLines) {
    const auto result = testsupport::run(
        {(testsupport::source_dir() / "scripts" / "run").string(), testsupport::rawmice_binary()},
        {dir_.path(), {"DISPLAY=", "WAYLAND_DISPLAY=", "XDG_RUNTIME_DIR=", "QT_QPA_PLATFORM="}},
        std::chrono::seconds(120));
    ASSERT_FALSE(result.timed_out);
    EXPECT_EQ(result.exit_code, 0) << result.err;
    for (const std::string& l : split_lines(result.err))
        EXPECT_EQ(l.rfind("rawmice", 0), 0u) << "not rawmice's own: " << l;
    EXPECT_NE(result.out.find("report lines"), std::string::npos);
}

// The main window made in this process, as the program makes it.
class WindowTest : public ProgramTest {
  protected:
    void TearDown() override {
        log_file.close();
        if (created_) {
            vcl::Application->destroy_forms();
            Form1 = nullptr;
        }
    }

    // The main window as the program makes it, in the test's folder; returns
    // what it said on standard error.
    std::string create_main_window() {
        enter_dir();
        testing::internal::CaptureStdout();  // no user32 here: the listing fails quietly
        testing::internal::CaptureStderr();
        vcl::Application->Initialize();  // the program's fonts
        vcl::Application->CreateForm(&Form1);
        created_ = true;
        testing::internal::GetCapturedStdout();
        return testing::internal::GetCapturedStderr();
    }

    bool created_ = false;
};

// Mouse 2 draws an L: 40 pixels right, then 40 down, in steps of 4.
class TrailTest : public WindowTest {
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
    const auto result = run({replay(a), replay(b), replay(c), "--replay-speed=max",
                             "--exit-after-replay", "--screenshot=shot.png"});
    ASSERT_EQ(result.exit_code, 0) << result.err;
    const QImage shot(QString::fromStdString((dir_ / "shot.png").string()));
    ASSERT_FALSE(shot.isNull());
    auto colour = [&](int x, int y) { return vcl::qt::from_qcolor(shot.pixelColor(x, y)); };
    for (int x = 157; x < 187; ++x)
        EXPECT_EQ(colour(x, 150), green) << "x=" << x;
    for (int y = 154; y < 187; ++y)
        EXPECT_EQ(colour(190, y), green) << "y=" << y;
    EXPECT_NE(colour(193, 189), colour(400, 200)) << "the mark at the end";

    // Label4 as the program drew it, against the same label drawn here with
    // the text the motion sums to.
    create_main_window();
    Form1->Label4->Caption = "X = 190 , Y = 190";
    const QRect where = vcl::qt::widget(Form1->Label4)->geometry();
    const QImage expected =
        vcl::qt::widget(Form1->Label4)->grab().toImage().convertToFormat(QImage::Format_RGB32);
    EXPECT_TRUE(shot.copy(where).convertToFormat(QImage::Format_RGB32) == expected)
        << "Label4 at " << where.x() << "," << where.y();
}

// The timing window of a replay shows the recordings' own time stamps: its
// picture is the same measures drawn here, fed with the recorded times.
TEST_F(WindowTest, TheTimingWindowShowsEachMouseByItsRecordedStamps) {
    const std::vector<std::pair<int, int>> moves(400, {1, 0});
    const fs::path a = write("a.evemu", motion_recording("Fast", moves, 0, 1000));
    const fs::path b =
        write("b.evemu", motion_recording("Slow", {moves.begin(), moves.begin() + 50}, 0, 8000));
    const auto result = run({replay(a), replay(b), "--replay-speed=max", "--exit-after-replay",
                             "--timing", "--screenshot=shot.png"});
    ASSERT_EQ(result.exit_code, 0) << result.err;
    const QImage shot(QString::fromStdString((dir_ / "shot-timing.png").string()));
    ASSERT_EQ(shot.size(), QSize(880, 470)) << "saved beside shot.png";

    create_main_window();
    const auto fast = reinterpret_cast<HANDLE>(65537);
    const auto slow = reinterpret_cast<HANDLE>(65538);
    raw_input_state.raw_mouse_count = 2;
    raw_input_state.raw_mouse_handles[0] = fast;
    raw_input_state.raw_mouse_handles[1] = slow;
    measures::feed().reset({});
    measures::feed().set_names([&](measures::Handle h) {
        return std::string(h == measures::handle_of(fast) ? "Fast" : "Slow");
    });
    for (int i = 0; i < 400; ++i)
        measures::feed().packet({measures::handle_of(fast), i * 1000});
    for (int i = 0; i < 50; ++i)
        measures::feed().packet({measures::handle_of(slow), i * 8000});
    show_measures_window(Form3);
    Form3->draw();
    EXPECT_EQ(Form3->cells(0)[measures::timing::column::hz], "1000");
    EXPECT_EQ(Form3->cells(1)[measures::timing::column::hz], "125");
    const QImage drawn = vcl::qt::image(*Form3->Canvas).copy(0, 0, 720, 430);
    EXPECT_TRUE(shot.copy(0, 0, 720, 430).convertToFormat(QImage::Format_RGB32) ==
                drawn.convertToFormat(QImage::Format_RGB32))
        << "the table and the charts, above the Close button";
    raw_input_state = {};
    measures::feed().set_names(nullptr);
}

// --buttons opens the buttons window at start; --screenshot saves it beside
// the main window's shot, its chatter cells in their colour.
TEST_F(WindowTest, TheButtonsWindowShowsEachButtonsChatter) {
    std::string clicks = mouse_description("Clicker");
    for (int i = 0; i < 10; ++i) {
        const std::int64_t t = i * 400'000;
        // Every other click bounces: a second press 6 ms after its release.
        for (const auto& [at, value] : std::vector<std::pair<std::int64_t, int>>{
                 {t, 1}, {t + 100'000, 0}, {t + 106'000, i % 2}, {t + 120'000, 0}}) {
            if (at > t + 100'000 && i % 2 == 0)
                continue;
            clicks += event_text(at, EV_KEY, BTN_LEFT, value) + event_text(at, EV_SYN, 0, 0);
        }
    }
    const fs::path a = write("a.evemu", clicks);
    const auto result = run({replay(a), "--replay-speed=max", "--exit-after-replay", "--buttons",
                             "--stats", "--screenshot=shot.png"});
    ASSERT_EQ(result.exit_code, 0) << result.err;
    // The buttons table's line, its columns one space apart.
    std::string words = result.err;
    words.erase(std::unique(words.begin(), words.end(),
                            [](char a, char b) { return a == ' ' && b == ' '; }),
                words.end());
    EXPECT_NE(words.find("\n0 left 15 10 5 6.0 100.0 14.0 0 65537 Clicker\n"), std::string::npos)
        << result.err;
    const QImage shot(QString::fromStdString((dir_ / "shot-buttons.png").string()));
    ASSERT_EQ(shot.size(), QSize(720, 470)) << "saved beside shot.png";
    const QRgb chatter = vcl::qt::to_qcolor(TForm4::chatter_face).rgb();
    int coloured = 0;
    for (int y = 0; y < shot.height(); ++y) {
        for (int x = 0; x < shot.width(); ++x)
            coloured += shot.pixel(x, y) == chatter ? 1 : 0;
    }
    EXPECT_GT(coloured, 50) << "the chatter cell of the one row";
}

// --movement opens the movement window at start; --screenshot saves it beside
// the main window's shot; --stats prints its mice and their pair.
TEST_F(WindowTest, TheMovementWindowShowsTheMiceMovedTogether) {
    const fs::path a =
        write("a.evemu", testsupport::counts_recording(
                             "Reference", testsupport::sensed(testsupport::hand(), 125, 1, 0, 2)));
    const fs::path b =
        write("b.evemu", testsupport::counts_recording(
                             "Tested", testsupport::sensed(testsupport::hand(), 125, 0.5, 3000)));
    const auto result =
        run({replay(a), replay(b), "--replay-speed=max", "--exit-after-replay", "--movement",
             "--stats", "--distance-mm=100", "--screenshot=shot.png"});
    ASSERT_EQ(result.exit_code, 0) << result.err;
    std::string words = result.err;
    words.erase(std::unique(words.begin(), words.end(),
                            [](char a, char b) { return a == ' ' && b == ' '; }),
                words.end());
    EXPECT_NE(words.find("\n0 10700 -1900 "), std::string::npos) << result.err;
    EXPECT_NE(words.find(" 10.1 2760 65537 Reference\n"), std::string::npos) << result.err;
    EXPECT_NE(words.find("\n0 1 0.500 3.000 "), std::string::npos) << result.err;
    const QImage shot(QString::fromStdString((dir_ / "shot-movement.png").string()));
    ASSERT_EQ(shot.size(), QSize(720, 600)) << "saved beside shot.png";
    const QImage main_shot(QString::fromStdString((dir_ / "shot.png").string()));
    EXPECT_FALSE(main_shot.isNull());
}

// ---------------------------------------------------------------------------
// Problems that leave the window useless are shown in it, in a notice outside
// the stored layout, as well as on standard error.

class NoticeTest : public WindowTest {
  protected:
    vcl::TNotice* notice() const {
        return vcl::qt::widget(Form1)->findChild<vcl::TNotice*>(QString(),
                                                                Qt::FindDirectChildrenOnly);
    }

    static QRgb rgb(const QImage& image, QPoint at) { return image.pixel(at) & 0xffffff; }
};

TEST_F(NoticeTest, ALogThatCannotBeCreatedIsShownOverTheWindowUntilDismissed) {
    fs::create_directory(dir_ / "log.txt");
    const std::string err = create_main_window();
    EXPECT_NE(err.find("rawmice: cannot create log.txt: Is a directory"), std::string::npos)
        << "standard error keeps its line: " << err;
    vcl::TNotice* shown = notice();
    ASSERT_NE(shown, nullptr);
    EXPECT_TRUE(shown->isVisibleTo(vcl::qt::widget(Form1)));
    EXPECT_TRUE(shown->text().startsWith("log.txt cannot be created here (Is a directory)"))
        << shown->text().toStdString();

    // Along the bottom edge, inside the window, over no stored control's place but the canvas.
    const QRect strip = shown->geometry();
    EXPECT_EQ(strip.left(), vcl::TNotice::margin);
    EXPECT_EQ(strip.right(), vcl::qt::widget(Form1)->width() - vcl::TNotice::margin - 1);
    EXPECT_EQ(strip.bottom(), vcl::qt::widget(Form1)->height() - vcl::TNotice::margin - 1);
    EXPECT_GT(strip.height(), 10);
    EXPECT_LT(strip.height(), vcl::qt::widget(Form1)->height() / 3);
    EXPECT_FALSE(strip.intersects(vcl::qt::widget(Form1->Memo1)->geometry()))
        << "the memo stays readable";

    // On screen, in its own colour; dismissed, the canvas shows again.
    const QPoint inside = strip.topLeft() + QPoint(3, strip.height() / 2);
    EXPECT_EQ(rgb(vcl::qt::widget(Form1)->grab().toImage(), inside), vcl::TNotice::background);
    shown->dismiss_button()->click();
    EXPECT_FALSE(shown->isVisibleTo(vcl::qt::widget(Form1)));
    EXPECT_EQ(rgb(vcl::qt::widget(Form1)->grab().toImage(), inside),
              rgb(vcl::qt::image(*Form1->Canvas), inside) & 0xffffff);
    EXPECT_NE(rgb(vcl::qt::widget(Form1)->grab().toImage(), inside), vcl::TNotice::background);
}

TEST_F(NoticeTest, EachProblemIsSaidOnceAndTheNoticeFollowsTheWindowSize) {
    create_main_window();
    EXPECT_EQ(notice(), nullptr) << "no problem, no notice";
    vcl::ShowNotice(Form1, "First problem.");
    vcl::ShowNotice(Form1, "Second problem.");
    vcl::ShowNotice(Form1, "First problem.");
    ASSERT_NE(notice(), nullptr);
    EXPECT_EQ(notice()->text().toStdString(), "First problem.\nSecond problem.");
    EXPECT_EQ(vcl::qt::widget(Form1)->findChildren<vcl::TNotice*>().size(), 1);

    Form1->Show();
    vcl::qt::widget(Form1)->resize(vcl::qt::widget(Form1)->width() + 100,
                                   vcl::qt::widget(Form1)->height() + 50);
    EXPECT_TRUE(testsupport::wait_until([&] {
        const QRect strip = notice()->geometry();
        return strip.right() == vcl::qt::widget(Form1)->width() - vcl::TNotice::margin - 1 &&
               strip.bottom() == vcl::qt::widget(Form1)->height() - vcl::TNotice::margin - 1;
    })) << "at the bottom edge of the resized window";
}

TEST_F(NoticeTest, ALogHeldByAnotherInstanceIsShown) {
    write("log.txt", "theirs\n");
    const int fd = ::open((dir_ / "log.txt").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
    create_main_window();
    ::close(fd);
    ASSERT_NE(notice(), nullptr);
    EXPECT_TRUE(notice()->text().startsWith("Another rawmice is writing log.txt"))
        << notice()->text().toStdString();
    EXPECT_FALSE(log_file.is_open());
    EXPECT_EQ(read_file(dir_ / "log.txt"), "theirs\n");
}

// The real program: a replay with no mouse in it leaves the window with
// nothing to do, and its screenshot shows the notice saying so.
TEST_F(ProgramTest, AWindowWithNoMouseShowsWhyInItsScreenshot) {
    const fs::path keyboard = write("kbd.evemu", keyboard_description("Keys"));
    const fs::path mouse = write("m.evemu", motion_recording("M", {{1, 1}}, 0, 1000));
    const auto shot_of = [&](const fs::path& recording, const std::string& name) {
        const auto result = run({replay(recording), "--replay-speed=max", "--exit-after-replay",
                                 "--screenshot=" + name});
        EXPECT_EQ(result.exit_code, 0) << result.err;
        return std::make_pair(QImage(QString::fromStdString((dir_ / name).string())), result.err);
    };
    const auto [useless, said] = shot_of(keyboard, "useless.png");
    const auto [working, quiet] = shot_of(mouse, "working.png");
    ASSERT_FALSE(useless.isNull());
    ASSERT_FALSE(working.isNull());
    EXPECT_NE(said.find("rawmice: none of the recordings is a mouse"), std::string::npos) << said;
    EXPECT_EQ(quiet.find("rawmice:"), std::string::npos) << quiet;
    const QPoint corner(vcl::TNotice::margin + 3, useless.height() - vcl::TNotice::margin - 4);
    EXPECT_EQ(useless.pixel(corner) & 0xffffff, vcl::TNotice::background);
    EXPECT_NE(working.pixel(corner) & 0xffffff, vcl::TNotice::background);
}

// In the background the window says so in its notice, and a replay logs
// every packet, none of them dropped.
TEST_F(ProgramTest, InTheBackgroundTheWindowSaysSoAndAReplayLogsEveryPacket) {
    const fs::path mouse =
        write("m.evemu", motion_recording("M", {{1, 1}, {2, -2}, {-3, 3}}, 0, 1000));
    const auto shot_of = [&](const std::string& name, std::vector<std::string> extra) {
        std::vector<std::string> args = {replay(mouse), "--replay-speed=max", "--exit-after-replay",
                                         "--stats", "--screenshot=" + name};
        args.insert(args.end(), extra.begin(), extra.end());
        const auto result = run(args);
        EXPECT_EQ(result.exit_code, 0) << result.err;
        EXPECT_NE(result.err.find("dropped because no window was active: 0\n"), std::string::npos)
            << result.err;
        EXPECT_EQ(read_file(dir_ / "log.txt"), line(0, 1, 1) + line(0, 2, -2) + line(0, -3, 3));
        return QImage(QString::fromStdString((dir_ / name).string()));
    };
    const QImage background = shot_of("background.png", {"--background"});
    const QImage focused = shot_of("focused.png", {});
    ASSERT_FALSE(background.isNull());
    ASSERT_FALSE(focused.isNull());
    const QPoint corner(vcl::TNotice::margin + 3, background.height() - vcl::TNotice::margin - 4);
    EXPECT_EQ(background.pixel(corner) & 0xffffff, vcl::TNotice::background);
    EXPECT_NE(focused.pixel(corner) & 0xffffff, vcl::TNotice::background);
}

// The real program on the kernel's input with no device at all (a container,
// a remote session): the window says so, not just standard error.
TEST_F(ProgramTest, AWindowOnAMachineWithoutMiceSaysSoInItsScreenshot) {
    if (fs::exists("/dev/input") && !fs::is_empty("/dev/input"))
        GTEST_SKIP() << "this machine has input devices";
    testsupport::Process process = start({"--input=evdev", "--screenshot=shot.png"});
    ASSERT_TRUE(testsupport::wait_until([&] {
        return process.err().find("evdev: no ") != std::string::npos;
    })) << process.err();
    process.send(SIGTERM);
    ASSERT_TRUE(process.wait(std::chrono::seconds(20)));
    EXPECT_EQ(process.exit_code(), 0);
    const QImage shot(QString::fromStdString((dir_ / "shot.png").string()));
    ASSERT_FALSE(shot.isNull());
    const QPoint corner(vcl::TNotice::margin + 3, shot.height() - vcl::TNotice::margin - 4);
    EXPECT_EQ(shot.pixel(corner) & 0xffffff, vcl::TNotice::background);
}

}  // namespace
