// The real program against what can go wrong: every kind of bad recording,
// recordings that change while they play, a log that cannot be written,
// SIGTERM in the middle of a full-speed replay, key events of a mouse that is
// also a keyboard, the log's file mode, and no shell ever run. The memo's cap
// over a long replay is checked in this process, where the memo can be seen.
#include <gtest/gtest.h>
#include <linux/input.h>
#include <sys/stat.h>
#include <unistd.h>
#include <QApplication>
#include <QWidget>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>

#include "app/form_windows.h"
#include "platform/input/replay.h"
#include "platform/input/service.h"
#include "rawinput/rawinput.h"
#include "tests/app/program_fixture.h"
#include "tests/support/evemu_text.h"
#include "tests/support/recording_files.h"
#include "tests/support/test_support.h"
#include "ui/principal.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testsupport::event_text;
using testsupport::read_file;
using testsupport::split_lines;
using testsupport::TempDir;
using testsupport::wait_until;
using testsupport::write_file;

const std::string mouse_description = testsupport::mouse_description("Mouse");

int line_count(const std::string& text) {
    return static_cast<int>(std::count(text.begin(), text.end(), '\n'));
}

// A packet the program must report.
using Expected = testsupport::RelativePacket;

// A generated mouse: frame i of mouse m moves, sometimes presses or releases
// the left button, sometimes turns the wheel a notch down. One packet a frame.
Expected generated_packet(int m, std::int64_t i) {
    Expected e{m, 1 + static_cast<int>((i * 7 + m) % 20), -static_cast<int>((i * 3 + m) % 15)};
    const std::int64_t phase = i % 64;
    if (phase == 10)
        e.flags |= RI_MOUSE_LEFT_BUTTON_DOWN;
    if (phase == 20)
        e.flags |= RI_MOUSE_LEFT_BUTTON_UP;
    e.held = phase >= 10 && phase < 20 ? 1 : 0;
    if (i % 97 == 5) {
        e.flags |= RI_MOUSE_WHEEL;
        e.data = 0xff88;  // -120
    }
    return e;
}

// Frame i of generated mouse m at `us`.
void write_generated_frame(evemu_text::Writer& out, int m, std::int64_t i, std::int64_t us) {
    const Expected e = generated_packet(m, i);
    out.event(us, EV_REL, REL_X, e.dx);
    if (e.dy != 0)
        out.event(us, EV_REL, REL_Y, e.dy);
    if ((e.flags & RI_MOUSE_LEFT_BUTTON_DOWN) != 0)
        out.event(us, EV_KEY, BTN_LEFT, 1);
    if ((e.flags & RI_MOUSE_LEFT_BUTTON_UP) != 0)
        out.event(us, EV_KEY, BTN_LEFT, 0);
    if ((e.flags & RI_MOUSE_WHEEL) != 0)
        out.event(us, EV_REL, REL_WHEEL, -1);
    out.event(us, EV_SYN, SYN_REPORT, 0);
}

// Mouse m's recording: `frames` generated frames, one every `period_us`.
fs::path write_generated_mouse(const fs::path& path, int m, std::int64_t frames,
                               std::int64_t period_us) {
    evemu_text::Writer out(path);
    out.text(testsupport::mouse_description("Generated Mouse " + std::to_string(m)));
    for (std::int64_t i = 0; i < frames; ++i)
        write_generated_frame(out, m, i, 1'000'000 + i * period_us);
    out.close();
    return path;
}

using RobustnessTest = ProgramTest;

// ---------------------------------------------------------------------------
// Bad recordings: one line naming the file, the line and what is wrong, exit
// status 2, before any window opens (no log.txt), never a crash or a hang.

struct BadRecording {
    std::string what;
    fs::path file;
    std::string where;   // ":LINE: " or ": " after the file's name
    std::string phrase;  // part of the message
};

using BadRecordings = RobustnessTest;

TEST_F(BadRecordings, EveryKindGivesOneLineNamingTheFileTheLineAndTheFault) {
    // Each kind of fault once; the reader's own tests hold every message.
    const int d = line_count(mouse_description);
    const std::string good_frame =
        event_text(1'000'000, EV_REL, REL_X, 1) + event_text(1'000'000, EV_SYN, SYN_REPORT, 0);
    const fs::path fifo = dir_ / "fifo.evemu";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    fs::create_directory(dir_ / "folder.evemu");
    // Appended rather than added up: GCC 12 at -O3 takes "literal" + std::string
    // for an overlapping copy (a false -Wrestrict).
    const auto at = [](int line) {
        return std::string(":").append(std::to_string(line)).append(": ");
    };

    // A motion of `value` and the frame's end.
    const auto write_values = [&](const std::string& value) {
        return write("value" + value + ".evemu", mouse_description + "E: 1.000000 0002 0000 " +
                                                     value + "\n" +
                                                     event_text(1'000'000, EV_SYN, SYN_REPORT, 0));
    };

    const std::vector<BadRecording> cases = {
        {"missing file", dir_ / "missing.evemu", ": ", "No such file or directory"},
        {"a directory", dir_ / "folder.evemu", ": ", "is a directory"},
        {"a FIFO, which would block a plain open", fifo, ": ", "not a regular file"},
        {"a device", "/dev/zero", ": ", "not a regular file"},
        {"a description libevemu rejects",
         write("mask.evemu", "N: Mouse\nI: 0003 0001 0001 0001\nB: 01 zz 00 00 00 00 00 00 00\n"),
         at(3), "stops reading the device description"},
        {"an event libevemu rejects",
         write("event.evemu", mouse_description + "E: 1.000000 zz 0000 1\n"), at(d + 1),
         "cannot read this line as an event"},
        {"an event line libevemu would read as another value", write_values("99999999999"),
         at(d + 1), "VALUE '99999999999' does not fit in 32 signed bits"},
        {"a value one past 32 signed bits", write_values("2147483648"), at(d + 1),
         "VALUE '2147483648' does not fit in 32 signed bits (libevemu would play -2147483648)"},
        {"a value one below them", write_values("-2147483649"), at(d + 1),
         "VALUE '-2147483649' does not fit in 32 signed bits"},
        {"a value of 2^32", write_values("4294967296"), at(d + 1),
         "VALUE '4294967296' does not fit in 32 signed bits (libevemu would play 0)"},
        {"a value with letters", write_values("12abc"), at(d + 1),
         "VALUE '12abc' is not a whole number"},
        {"a type of five digits",
         write("type.evemu", mouse_description + "E: 1.000000 00002 0000 1\n"), at(d + 1),
         "TYPE '00002' is not what libevemu reads"},
        {"time stamps that go backwards",
         write("time.evemu",
               mouse_description + good_frame + event_text(999'999, EV_REL, REL_X, 1)),
         at(d + 3), "goes backwards"},
    };
    for (const BadRecording& bad : cases) {
        SCOPED_TRACE(bad.what);
        // A good recording first: the bad one is named, wherever it stands.
        const fs::path good = write("good.evemu", mouse_description + good_frame);
        const auto child = run({replay(good), replay(bad.file), "--replay-speed=max"}, {}, 20s);
        EXPECT_EQ(child.exit_code, 2) << child.err;
        // The line of ours, last; libevemu's own complaint may come before it.
        auto lines = split_lines(child.err);
        std::erase(lines, "");
        ASSERT_GE(lines.size(), 1u) << child.err;
        ASSERT_LE(lines.size(), 2u) << child.err;
        if (lines.size() == 2) {
            EXPECT_EQ(lines[0].rfind("FATAL: ", 0), 0u) << lines[0];
        }
        EXPECT_EQ(lines.back().rfind("rawmice: " + bad.file.string() + bad.where, 0), 0u)
            << lines.back();
        EXPECT_NE(lines.back().find(bad.phrase), std::string::npos) << lines.back();
        EXPECT_EQ(child.out, "");
        EXPECT_FALSE(fs::exists(dir_ / "log.txt")) << "a window opened";
    }
}

// The edges of 32 signed bits are values like any other: logged as written.
TEST_F(BadRecordings, ValuesAtThe32BitEdgesAreLoggedExactly) {
    const fs::path edges =
        write("edges.evemu", mouse_description + event_text(1'000'000, EV_REL, REL_X, 2147483647) +
                                 event_text(1'000'000, EV_SYN, SYN_REPORT, 0) +
                                 event_text(1'000'100, EV_REL, REL_X, -2147483648) +
                                 event_text(1'000'100, EV_SYN, SYN_REPORT, 0));
    const auto child = run({replay(edges), "--replay-speed=max", "--exit-after-replay"});
    EXPECT_EQ(child.exit_code, 0) << child.err;
    const std::string log = read_file(dir_ / "log.txt");
    EXPECT_EQ(log, testsupport::expected_line(Expected{0, 2147483647, 0}) +
                       testsupport::expected_line(Expected{0, -2147483647 - 1, 0}));
    EXPECT_NE(log.find("lLastX=7fffffff"), std::string::npos) << log;
    EXPECT_NE(log.find("lLastX=80000000"), std::string::npos) << log;
}

TEST_F(BadRecordings, NoReadPermission) {
    const fs::path locked = write("locked.evemu", mouse_description);
    ASSERT_EQ(::chmod(locked.c_str(), 0200), 0);
    testsupport::Launch options;
    if (::geteuid() == 0) {
        // Root reads any file: the program runs as nobody, who must reach it.
        options.as_nobody = true;
        fs::permissions(dir_.path(), fs::perms::all);
    }
    const auto child = run({replay(locked)}, options, 20s);
    if (options.as_nobody && child.exit_code == 126)
        GTEST_SKIP() << "running as root and cannot become nobody here";
    if (options.as_nobody && child.exit_code == 124) {
        GTEST_SKIP() << "nobody cannot reach the temporary folder " << fs::temp_directory_path()
                     << " to run the program from it";
    }
    EXPECT_EQ(child.exit_code, 2);
    EXPECT_EQ(child.err, "rawmice: " + locked.string() +
                             ": cannot open it: Permission denied (check the file's "
                             "permissions)\n");
    EXPECT_FALSE(fs::exists(dir_ / "log.txt"));
}

// Several hundred megabytes, checked in one streaming pass: a fault on the very
// last line is found, and the program never holds the file in memory.
TEST_F(BadRecordings, AHugeFileIsStreamedAndItsLastLineChecked) {
    if (const auto why = testsupport::short_of_space(dir_.path(), 310'000'000))
        GTEST_SKIP() << *why;
    const fs::path huge = dir_ / "huge.evemu";
    // A thousand frames, all at one time stamp, written again and again: 300 MB.
    std::string block;
    for (int i = 0; i < 1000; ++i) {
        const Expected e = generated_packet(0, i);
        block += event_text(1'000'000, EV_REL, REL_X, e.dx) +
                 event_text(1'000'000, EV_REL, REL_Y, e.dy) +
                 event_text(1'000'000, EV_SYN, SYN_REPORT, 0);
    }
    evemu_text::Writer out(huge);
    out.text(mouse_description);
    out.text(block, static_cast<int>(300'000'000 / block.size()));
    out.event(999'999, EV_REL, REL_X, 1);
    const std::int64_t last_line = out.lines();
    out.close();
    const auto size = fs::file_size(huge);
    ASSERT_GT(size, 290'000'000u);
    // Checking 300 MB takes a minute or more under the sanitizers on a busy
    // machine: the deadline only catches a run that never ends.
    const auto child = run({replay(huge)}, {}, 300s);
    EXPECT_EQ(child.exit_code, 2);
    const auto err = split_lines(child.err);
    ASSERT_EQ(err.size(), 1u) << child.err;
    EXPECT_EQ(
        err[0].rfind("rawmice: " + huge.string() + ":" + std::to_string(last_line) +
                         ": time stamp 0.999999 goes backwards (the event before is at 1.000000)",
                     0),
        0u)
        << err[0];
#ifndef __SANITIZE_ADDRESS__  // ASan keeps freed blocks (libevemu's line buffers) aside
    EXPECT_LT(child.max_rss_kb * 1024, static_cast<long>(size / 4))
        << "a " << size / 1'000'000 << " MB recording must not be held in memory";
#endif
    EXPECT_FALSE(fs::exists(dir_ / "log.txt"));
}

TEST_F(BadRecordings, ADescriptionWithNoEventsIsListedAndSendsNothing) {
    const fs::path quiet = write("quiet.desc", mouse_description);
    const fs::path busy = dir_ / "busy.evemu";
    write_generated_mouse(busy, 1, 50, 1000);

    const auto listing = run({replay(quiet), replay(busy), "--list-devices"});
    EXPECT_EQ(listing.exit_code, 0) << listing.err;
    EXPECT_EQ(listing.out.substr(0, listing.out.find("\n\n") + 1),
              "0 65537  Mouse\nAmouse[0] = 65537\n1 65538  Mouse\nAmouse[1] = 65538\n");

    const auto both =
        run({replay(quiet), replay(busy), "--replay-speed=max", "--exit-after-replay"});
    EXPECT_EQ(both.exit_code, 0) << both.err;
    EXPECT_EQ(both.err, "");
    std::string expected;
    for (int i = 0; i < 50; ++i)
        expected += testsupport::expected_line(generated_packet(1, i));
    EXPECT_EQ(read_file(dir_ / "log.txt"), expected) << "mouse 0 sends nothing";

    const auto alone = run({replay(quiet), "--replay-speed=max", "--exit-after-replay"});
    EXPECT_EQ(alone.exit_code, 0) << "a replay of nothing ends at once";
    EXPECT_EQ(read_file(dir_ / "log.txt"), "");
}

// ---------------------------------------------------------------------------
// Faults while running. A mouse node that goes away (ENODEV) is covered on the
// evdev provider itself: EvdevReading.AMouseThatGoesAwayIsClosedAndTheOthersGoOn.

using RunningFaults = RobustnessTest;

// The lines of mouse `m` in a log, in order.
std::vector<std::string> lines_of_mouse(const std::string& log, int m) {
    const std::string prefix = "Mouse: num " + std::to_string(m) + ",";
    std::vector<std::string> out;
    for (const std::string& line : split_lines(log)) {
        if (line.rfind(prefix, 0) == 0)
            out.push_back(line + "\n");
    }
    return out;
}

std::vector<std::string> generated_lines(int m, std::int64_t frames) {
    std::vector<std::string> out;
    for (std::int64_t i = 0; i < frames; ++i)
        out.push_back(testsupport::expected_line(generated_packet(m, i)));
    return out;
}

// Two mice at recorded speed, four seconds each; `fault` is done to the first
// recording once its first packet has been logged. Each holds four times the
// packets the replay reads ahead of the window, so a cut falls in what is still
// to be read even when a loaded machine lets the test make it seconds late.
class MidStream : public RunningFaults {
  protected:
    static constexpr int frames = 16000;
    static constexpr int period_us = 250;  // 4000 Hz

    void play_and(const std::function<void(const fs::path&)>& fault) {
        first_ = write_generated_mouse(dir_ / "first.evemu", 0, frames, period_us);
        second_ = write_generated_mouse(dir_ / "second.evemu", 1, frames, period_us);
        testsupport::Process child =
            start({replay(first_), replay(second_), "--exit-after-replay"});
        ASSERT_TRUE(wait_until(
            [&] {
                return fs::exists(dir_ / "log.txt") &&
                       !lines_of_mouse(read_file(dir_ / "log.txt"), 0).empty();
            },
            30s));
        fault(first_);
        ASSERT_TRUE(child.wait(60s));
        exit_code_ = child.exit_code();
        err_ = child.err();
        log_ = read_file(dir_ / "log.txt");
    }

    fs::path first_;
    fs::path second_;
    int exit_code_ = -1;
    std::string err_;
    std::string log_;
};

TEST_F(MidStream, ARecordingCutShortStopsThatMouseWithOneLineAndTheOtherGoesOn) {
    play_and([&](const fs::path& first) { fs::resize_file(first, mouse_description.size()); });
    EXPECT_EQ(exit_code_, 0) << err_;
    // libevemu may complain first about the line cut in two.
    const std::regex diagnostic(
        "(FATAL: Invalid event format: [^\n]*\n\n?)?replay: " + first_.string() +
        ": the file changed since it was loaded: [0-9]+ of [0-9]+ events "
        "read; the rest of its events are skipped\n");
    EXPECT_TRUE(std::regex_match(err_, diagnostic)) << err_;
    const auto cut = lines_of_mouse(log_, 0);
    const auto expected_first = generated_lines(0, frames);
    ASSERT_LT(cut.size(), expected_first.size()) << "the first mouse stopped early";
    EXPECT_TRUE(std::equal(cut.begin(), cut.end(), expected_first.begin()))
        << "what it sent before the cut is whole and in order";
    EXPECT_EQ(lines_of_mouse(log_, 1), generated_lines(1, frames));
}

TEST_F(MidStream, AValueWrittenOverALineWhilePlayingStopsThatMouseWithOneLine) {
    // The last SYN_REPORT's value "0000" becomes "12ab", which libevemu would read as 12.
    play_and([&](const fs::path& first) {
        std::fstream file(first, std::ios::in | std::ios::out | std::ios::binary);
        file.seekp(-5, std::ios::end);
        file << "12ab";
    });
    EXPECT_EQ(exit_code_, 0) << err_;
    const std::regex diagnostic("replay: " + first_.string() +
                                ": the file changed since it was loaded: event [0-9]+ is no longer "
                                "valid \\(event field VALUE '12ab' is not a whole number "
                                "\\(libevemu would play 12\\)\\); the rest of its events are "
                                "skipped\n");
    EXPECT_TRUE(std::regex_match(err_, diagnostic)) << err_;
    const auto played = lines_of_mouse(log_, 0);
    const auto expected_first = generated_lines(0, frames);
    ASSERT_EQ(played.size(), expected_first.size() - 1) << "all but the last frame";
    EXPECT_TRUE(std::equal(played.begin(), played.end(), expected_first.begin()));
    EXPECT_EQ(lines_of_mouse(log_, 1), generated_lines(1, frames));
}

TEST_F(MidStream, ARecordingDeletedWhilePlayingPlaysToItsEnd) {
    // The open file stays readable after it is unlinked: nothing is lost.
    play_and([&](const fs::path& first) { fs::remove(first); });
    EXPECT_EQ(exit_code_, 0) << err_;
    EXPECT_EQ(err_, "");
    EXPECT_EQ(lines_of_mouse(log_, 0), generated_lines(0, frames));
    EXPECT_EQ(lines_of_mouse(log_, 1), generated_lines(1, frames));
}

TEST_F(RunningFaults, ALogThatIsAFolderIsReportedAndTheProgramRunsOn) {
    fs::create_directory(dir_ / "log.txt");
    const fs::path mouse = write_generated_mouse(dir_ / "m.evemu", 0, 100, 1000);
    const auto child = run({replay(mouse), "--replay-speed=max", "--exit-after-replay"});
    EXPECT_EQ(child.exit_code, 1) << "a batch run without its log";
    EXPECT_EQ(child.err,
              "rawmice: cannot create log.txt: Is a directory (the memo still shows every packet; "
              "run rawmice from a folder you can write to)\n");
    EXPECT_TRUE(fs::is_directory(dir_ / "log.txt"));
}

TEST_F(RunningFaults, ALogOnAFullDeviceLeavesTheProgramRunning) {
    if (!fs::is_character_file("/dev/full"))
        GTEST_SKIP() << "no /dev/full here";
    fs::create_symlink("/dev/full", dir_ / "log.txt");
    const fs::path mouse = write_generated_mouse(dir_ / "m.evemu", 0, 20000, 125);
    // --exit-after-replay closes once every packet has been handled.
    const auto child = run({replay(mouse), "--replay-speed=max", "--exit-after-replay"});
    EXPECT_EQ(child.exit_code, 1) << "a batch run that lost its log: " << child.err;
    EXPECT_EQ(child.signal, 0);
    EXPECT_TRUE(fs::is_symlink(dir_ / "log.txt"));
    EXPECT_TRUE(fs::is_character_file("/dev/full")) << "the link is followed, never replaced";
    EXPECT_EQ(child.err,
              "rawmice: cannot write log.txt: No space left on device (later report lines are not "
              "logged; the memo still shows them)\n");
}

// Full speed, four mice, SIGTERM as soon as the first lines land: the log holds
// whole lines only, and exactly the first packets of the merged replay.
TEST_F(RunningFaults, SigtermMidReplayLeavesExactlyThePacketsHandledSoFar) {
    constexpr int mice = 4;
    constexpr std::int64_t frames = 100'000;
    std::vector<std::string> args;
    for (int m = 0; m < mice; ++m) {
        args.push_back(replay(write_generated_mouse(
            dir_ / std::string("m").append(std::to_string(m)).append(".evemu"), m, frames, 125)));
    }
    args.push_back("--replay-speed=max");
    testsupport::Process child = start(args);
    ASSERT_TRUE(wait_until(
        [&] { return fs::exists(dir_ / "log.txt") && fs::file_size(dir_ / "log.txt") > 0; }, 60s));
    child.send(SIGTERM);
    ASSERT_TRUE(child.wait(60s));
    EXPECT_EQ(child.exit_code(), 0) << child.err();
    EXPECT_EQ(child.err(), "");

    // Equal times merge in command-line order: packet i of every mouse, in turn.
    std::ifstream log(dir_ / "log.txt", std::ios::binary);
    std::string line;
    std::int64_t n = 0;
    while (std::getline(log, line)) {
        const Expected expected = generated_packet(static_cast<int>(n % mice), n / mice);
        ASSERT_EQ(line + "\n", testsupport::expected_line(expected)) << "line " << n + 1;
        ++n;
    }
    EXPECT_TRUE(log.eof());
    EXPECT_GT(n, 0);
    EXPECT_LT(n, mice * frames) << "the replay ended before SIGTERM came: make it longer";
    const std::string log_text = read_file(dir_ / "log.txt");
    EXPECT_EQ(log_text.substr(log_text.size() - 2), "\r\n") << "the last line is whole";
}

// ---------------------------------------------------------------------------
// No keys: a mouse that is also a keyboard reports its mouse events only, and a
// keyboard is never read. (The evdev provider never opens a keyboard node:
// EvdevListing.NoKeyboardOrOtherNodeIsEverOpened and the cases around it.)

using NoKeys = RobustnessTest;

// The description of a real mouse with a full keyboard's keys.
std::string ultrathin_description() {
    const fs::path file = testsupport::evemu_devices() / "mice" / "Ultrathin Touch Mouse.events";
    std::string text;
    for (const std::string& line : split_lines(read_file(file))) {
        if (line.rfind("E:", 0) == 0)
            break;
        text += line + "\n";
    }
    return text;
}

// Key frames, mixed frames and mouse frames: what the recording holds and the
// only lines it may make.
struct KeyedRecording {
    std::string text;
    std::vector<std::string> lines;
};

KeyedRecording keyed_recording(int mouse_number) {
    KeyedRecording r{ultrathin_description(), {}};
    std::int64_t t = 2'000'000;
    auto ev = [&](unsigned type, unsigned code, int value) {
        r.text += event_text(t, type, code, value);
    };
    for (int round = 0; round < 20; ++round) {
        const unsigned key = KEY_A + static_cast<unsigned>(round % 10);
        ev(EV_MSC, MSC_SCAN, 0x70004 + round);  // a key alone, as keyboards send it
        ev(EV_KEY, key, 1);
        ev(EV_SYN, SYN_REPORT, 0);
        t += 1000;
        ev(EV_KEY, key, 2);  // autorepeat
        ev(EV_SYN, SYN_REPORT, 0);
        t += 1000;
        ev(EV_REL, REL_X, round + 1);  // motion and a key in one frame
        ev(EV_KEY, KEY_LEFTSHIFT, 1);
        ev(EV_SYN, SYN_REPORT, 0);
        r.lines.push_back(testsupport::expected_line({mouse_number, round + 1, 0}));
        t += 1000;
        ev(EV_KEY, key, 0);
        ev(EV_KEY, KEY_LEFTSHIFT, 0);
        ev(EV_SYN, SYN_REPORT, 0);
        t += 1000;
        ev(EV_KEY, BTN_LEFT, 1);  // a button is a mouse event
        ev(EV_KEY, KEY_ENTER, 1);
        ev(EV_SYN, SYN_REPORT, 0);
        r.lines.push_back(
            testsupport::expected_line({mouse_number, 0, 0, RI_MOUSE_LEFT_BUTTON_DOWN, 0, 1}));
        t += 1000;
        ev(EV_KEY, KEY_ENTER, 0);
        ev(EV_KEY, BTN_LEFT, 0);
        ev(EV_REL, REL_WHEEL, 1);
        ev(EV_SYN, SYN_REPORT, 0);
        r.lines.push_back(testsupport::expected_line(
            {mouse_number, 0, 0, RI_MOUSE_LEFT_BUTTON_UP | RI_MOUSE_WHEEL, 120, 0}));
        t += 1000;
    }
    return r;
}

TEST_F(NoKeys, KeyEventsOfAMouseThatIsAlsoAKeyboardNeverReachTheLogOrTheStatistics) {
    // A keyboard first, typing: listed, never read.
    const fs::path keyboard = write(
        "keyboard.evemu", testsupport::keyboard_description("Typist") +
                              event_text(0, EV_KEY, KEY_A, 1) + event_text(0, EV_SYN, 0, 0) +
                              event_text(1000, EV_KEY, KEY_A, 0) + event_text(1000, EV_SYN, 0, 0));
    const KeyedRecording keyed = keyed_recording(0);
    const fs::path mouse = write("ultrathin.evemu", keyed.text);

    const auto listing = run({replay(keyboard), replay(mouse), "--list-devices"});
    EXPECT_EQ(listing.out.substr(0, listing.out.find("\n\n") + 1),
              "0 65538  Mouse\nAmouse[0] = 65538\n1 65537  Keyboard\n");

    const auto child = run(
        {replay(keyboard), replay(mouse), "--replay-speed=max", "--exit-after-replay", "--stats"});
    EXPECT_EQ(child.exit_code, 0) << child.err;
    std::string expected;
    for (const std::string& line : keyed.lines)
        expected += line;
    EXPECT_EQ(read_file(dir_ / "log.txt"), expected);

    // The statistics count the mouse packets only: "0  65538  PACKETS ..." and "total  PACKETS".
    const std::string packets = std::to_string(keyed.lines.size());
    const std::regex mouse_row(R"((^|\n)0 +65538 +)" + packets + " ");
    const std::regex total_row(R"((^|\n)total +)" + packets + " ");
    EXPECT_TRUE(std::regex_search(child.err, mouse_row)) << child.err;
    EXPECT_TRUE(std::regex_search(child.err, total_row)) << child.err;
}

// Every source file of the program, for the checks below.
std::vector<fs::path> program_sources() {
    std::vector<fs::path> files;
    for (const char* folder : {"app", "ui", "rawinput", "platform"}) {
        for (const auto& entry :
             fs::recursive_directory_iterator(testsupport::source_dir() / folder)) {
            const auto ext = entry.path().extension();
            if (entry.is_regular_file() && (ext == ".cpp" || ext == ".h"))
                files.push_back(entry.path());
        }
    }
    return files;
}

using NoShell = RobustnessTest;

TEST_F(NoShell, TheProgramNeverRunsAnotherProgram) {
    // In the sources: no call that runs a program.
    const std::regex runs_a_program(
        R"(\b(system|popen|fork|vfork|execl|execlp|execle|execv|execvp|execvpe|execve|fexecve|)"
        R"(posix_spawn|posix_spawnp|wordexp)\s*\(|\bQProcess\b)");
    const auto sources = program_sources();
    ASSERT_GT(sources.size(), 20u);
    for (const fs::path& file : sources) {
        const std::string text = read_file(file);
        std::smatch match;
        EXPECT_FALSE(std::regex_search(text, match, runs_a_program)) << file << ": " << match.str();
    }
    // In the binary: none of them imported.
    const auto nm =
        testsupport::run({"nm", "-D", "--undefined-only", testsupport::rawmice_binary()}, {}, 30s);
    if (nm.exit_code != 0)
        GTEST_SKIP() << "nm cannot list the binary's imports here";
    const std::string& imports = nm.out;
    ASSERT_NE(imports.find(" U "), std::string::npos) << imports;
    const std::regex imported(
        R"(\bU (system|popen|fork|vfork|execl|execlp|execle|execv|execvp|execvpe|execve|)"
        R"(fexecve|posix_spawn|posix_spawnp|wordexp)(@|\n)|_ZN8QProcess)");
    std::smatch match;
    EXPECT_FALSE(std::regex_search(imports, match, imported)) << match.str();
}

// ---------------------------------------------------------------------------

using LogFile = RobustnessTest;

TEST_F(LogFile, IsCreatedWithMode0644LessTheUmask) {
    const fs::path mouse = write_generated_mouse(dir_ / "m.evemu", 0, 10, 1000);
    const std::vector<std::string> args{replay(mouse), "--replay-speed=max", "--exit-after-replay"};
    for (const auto& [umask, mode] :
         {std::pair<mode_t, mode_t>{0, 0644}, {022, 0644}, {027, 0640}, {077, 0600}}) {
        SCOPED_TRACE(umask);
        fs::remove(dir_ / "log.txt");
        const auto child = run(args, {.umask = umask});
        EXPECT_EQ(child.exit_code, 0) << child.err;
        struct stat info {};
        ASSERT_EQ(::stat((dir_ / "log.txt").c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 07777, mode);
        EXPECT_EQ(line_count(read_file(dir_ / "log.txt")), 10);
    }
}

TEST_F(LogFile, AnOldLogIsEmptiedAndKeepsItsMode) {
    const fs::path old_log = write("log.txt", std::string(100000, 'x') + "\n");
    fs::permissions(old_log, fs::perms::owner_read | fs::perms::owner_write);
    const fs::path mouse = write_generated_mouse(dir_ / "m.evemu", 0, 3, 1000);
    const auto child = run({replay(mouse), "--replay-speed=max", "--exit-after-replay"});
    EXPECT_EQ(child.exit_code, 0) << child.err;
    EXPECT_EQ(read_file(old_log), testsupport::expected_line(generated_packet(0, 0)) +
                                      testsupport::expected_line(generated_packet(0, 1)) +
                                      testsupport::expected_line(generated_packet(0, 2)));
    EXPECT_EQ(fs::status(old_log).permissions(), fs::perms::owner_read | fs::perms::owner_write);
}

// ---------------------------------------------------------------------------
// In this process: the main window on a real replay, where the memo can be seen.

class InProcess : public RobustnessTest {
  protected:
    void SetUp() override { enter_dir(); }
    void TearDown() override {
        if (form_ != nullptr)
            raw_input_release(form_);
        vcl::Application->destroy_forms();
        service_.reset();
        log_file.close();
    }

    // The main window, shown and active, running the replay of `files` at full speed.
    void play(const std::vector<std::string>& files) {
        testing::internal::CaptureStdout();  // no service yet: its start-up fails quietly
        vcl::Application->CreateForm(&form_);
        testing::internal::GetCapturedStdout();
        form_->Show();
        ASSERT_TRUE(wait_until([&] { return vcl::TForm::active() == form_; }));
        raw_input_release(form_);
        form_->Memo1->Lines->Clear();
        dropped_before_ = form_->Memo1->Lines->dropped();

        input::LoadAllResult loaded = input::load_recordings(files);
        ASSERT_TRUE(loaded) << loaded.error->to_string();
        service_ = std::make_unique<input::Service>(
            std::make_unique<input::ReplayProvider>(std::move(loaded.recordings),
                                                    input::ReplayProvider::max_speed),
            windows_);
        service_->install();
        service_->on_batch_handled = flush_log;
        service_->on_finished = [this] { finished_ = true; };
        service_->on_packet_handled = [this](const input::Packet&, WPARAM, std::int64_t) {
            ++handled_;
        };
        ASSERT_EQ(raw_input_init(form_), 1);
    }

    std::vector<std::string> memo() const {
        std::vector<std::string> lines;
        for (int i = 0; i < form_->Memo1->Lines->Count(); ++i)
            lines.push_back((*form_->Memo1->Lines)[i]);
        return lines;
    }
    std::uint64_t memo_dropped() const { return form_->Memo1->Lines->dropped() - dropped_before_; }

    TForm1* form_ = nullptr;
    app::FormWindows windows_;
    std::unique_ptr<input::Service> service_;
    bool finished_ = false;
    std::uint64_t handled_ = 0;
    std::uint64_t dropped_before_ = 0;
};

TEST_F(InProcess, KeyEventsNeverReachTheMemoOrTheLog) {
    const KeyedRecording keyed = keyed_recording(0);
    const fs::path mouse = write("ultrathin.evemu", keyed.text);
    play({mouse.string()});
    ASSERT_TRUE(wait_until([&] { return finished_; }, 30s));
    std::vector<std::string> expected{"0 65537  Mouse", "Amouse[0] = 65537"};
    expected.insert(expected.end(), keyed.lines.begin(), keyed.lines.end());
    EXPECT_EQ(memo(), expected);
    EXPECT_EQ(handled_, keyed.lines.size()) << "what the service reports as handled";
    log_file.close();
    std::string log;
    for (const std::string& line : keyed.lines)
        log += line;
    EXPECT_EQ(read_file(dir_ / "log.txt"), log);
}

// In the background a replay plays at once, at its recorded speed, into the
// main window, which is never active: another window has the focus from
// before the engine registers to the end.
TEST_F(InProcess, InTheBackgroundAReplayPlaysAtOnceWhileAnotherWindowHasTheFocus) {
    QWidget other;
    other.show();
    other.activateWindow();
    ASSERT_TRUE(wait_until([&] { return QApplication::activeWindow() == &other; }));
    testing::internal::CaptureStdout();  // no service yet: its start-up fails quietly
    vcl::Application->CreateForm(&form_);
    testing::internal::GetCapturedStdout();
    raw_input_release(form_);
    form_->Memo1->Lines->Clear();

    constexpr int frames = 200;
    const fs::path mouse = write_generated_mouse(dir_ / "m.evemu", 0, frames, 1000);
    input::LoadAllResult loaded = input::load_recordings({mouse.string()});
    ASSERT_TRUE(loaded) << loaded.error->to_string();
    service_ = std::make_unique<input::Service>(
        std::make_unique<input::ReplayProvider>(std::move(loaded.recordings), 1.0), windows_);
    service_->install();
    service_->on_batch_handled = flush_log;
    service_->on_finished = [this] { finished_ = true; };
    rawinput::background = true;
    const std::int32_t ready = raw_input_init(form_);
    rawinput::background = false;
    ASSERT_EQ(ready, 1);
    ASSERT_TRUE(wait_until([&] { return finished_; }, 30s)) << "the replay waited";
    EXPECT_EQ(vcl::TForm::active(), nullptr) << "a window of the program became active";
    EXPECT_EQ(service_->delivered(), static_cast<std::uint64_t>(frames));
    EXPECT_EQ(service_->dropped_unfocused(), 0u);
    std::string log;
    for (int i = 0; i < frames; ++i)
        log += testsupport::expected_line(generated_packet(0, i));
    log_file.close();
    EXPECT_EQ(read_file(dir_ / "log.txt"), log);
    // The listing, then every packet.
    const std::vector<std::string> lines = memo();
    ASSERT_EQ(lines.size(), static_cast<std::size_t>(2 + frames));
    EXPECT_EQ(lines[1], "Amouse[0] = 65537");
    EXPECT_EQ(lines.back(), testsupport::expected_line(generated_packet(0, frames - 1)));
}

// RAWMICE_MEMO_PACKETS sets the length (make soak runs ten million).
TEST_F(InProcess, TheMemoStaysAtItsCapOverALongReplay) {
    constexpr int mice = 4;
    const char* asked = std::getenv("RAWMICE_MEMO_PACKETS");
    const std::int64_t packets = asked != nullptr ? std::atoll(asked) : 3 * vcl::TStrings::capacity;
    const std::int64_t frames = (packets + mice - 1) / mice;
    std::vector<std::string> files;
    for (int m = 0; m < mice; ++m) {
        files.push_back(
            write_generated_mouse(
                dir_ / std::string("m").append(std::to_string(m)).append(".evemu"), m, frames, 125)
                .string());
    }
    play(files);
    const std::int64_t total = frames * mice;
    ASSERT_TRUE(wait_until([&] { return finished_; }, std::chrono::seconds(60 + total / 20000)));
    EXPECT_EQ(service_->delivered(), static_cast<std::uint64_t>(total));
    EXPECT_EQ(service_->dropped_unfocused(), 0u);

    const auto lines = memo();
    ASSERT_EQ(lines.size(), static_cast<std::size_t>(vcl::TStrings::capacity));
    const std::int64_t listing = 2 * mice;  // a device line and a mouse line each
    EXPECT_EQ(memo_dropped(),
              static_cast<std::uint64_t>(listing + total - vcl::TStrings::capacity));
    // The latest entries, in order: the last packets of the merge.
    for (std::int64_t k = 0; k < vcl::TStrings::capacity; ++k) {
        const std::int64_t n = total - vcl::TStrings::capacity + k;
        ASSERT_EQ(lines[static_cast<std::size_t>(k)], testsupport::expected_line(generated_packet(
                                                          static_cast<int>(n % mice), n / mice)))
            << "entry " << k;
    }
}

}  // namespace
