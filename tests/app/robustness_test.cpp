// The real program against what can go wrong: every kind of bad recording,
// recordings that change while they play, a log that cannot be written,
// SIGTERM in the middle of a full-speed replay, key events of a mouse that is
// also a keyboard, the log's file mode, and no shell ever run. The memo's cap
// over a long replay is checked in this process, where the memo can be seen.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <linux/input.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QProcess>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>

#include "platform/input/replay.h"
#include "platform/input/service.h"
#include "rawinput/rawinput.h"
#include "tests/support/recording_files.h"
#include "tests/support/test_support.h"
#include "ui/principal.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testsupport::description;
using testsupport::event_text;
using testsupport::read_file;
using testsupport::split_lines;
using testsupport::TempDir;
using testsupport::wait_until;
using testsupport::write_file;

const std::string mouse_description =
    description("Mouse", {REL_X, REL_Y, REL_WHEEL}, {{BTN_LEFT, BTN_MIDDLE}});

int line_count(const std::string& text) {
    return static_cast<int>(std::count(text.begin(), text.end(), '\n'));
}

// The report line of a packet, written out here independently of the program.
struct Expected {
    int mouse;
    int dx;
    int dy;
    unsigned flags = 0;
    unsigned data = 0;
    unsigned held = 0;
};

std::string text_of(const Expected& e) {
    char text[256];
    std::snprintf(text, sizeof text,
                  "Mouse: num %d, usFlags=0000 ulButtons=%04x usButtonFlags=%04x "
                  "usButtonData=%04x ulRawButtons=%04x lLastX=%04x lLastY=%04x "
                  "ulExtraInformation=0000\r\n",
                  e.mouse, (e.data << 16) | e.flags, e.flags, e.data, e.held,
                  static_cast<unsigned>(e.dx), static_cast<unsigned>(e.dy));
    return text;
}

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

// Writes a recording through a large buffer, so big files cost little.
class RecordingWriter {
  public:
    explicit RecordingWriter(const fs::path& path) : file_(std::fopen(path.c_str(), "w")) {
        if (!file_)
            throw std::runtime_error("cannot write " + path.string());
        std::setvbuf(file_.get(), nullptr, _IOFBF, 1 << 20);
    }
    void text(const std::string& s, int times = 1) {
        for (int i = 0; i < times; ++i)
            std::fwrite(s.data(), 1, s.size(), file_.get());
        lines_ += line_count(s) * times;
    }
    void event(std::int64_t us, unsigned type, unsigned code, int value) {
        ++lines_;
        std::fprintf(file_.get(), "E: %lld.%06lld %04x %04x %d\n",
                     static_cast<long long>(us / 1000000), static_cast<long long>(us % 1000000),
                     type, code, value);
    }
    // Frame i of generated mouse m at `us`.
    void generated_frame(int m, std::int64_t i, std::int64_t us) {
        const Expected e = generated_packet(m, i);
        event(us, EV_REL, REL_X, e.dx);
        if (e.dy != 0)
            event(us, EV_REL, REL_Y, e.dy);
        if ((e.flags & RI_MOUSE_LEFT_BUTTON_DOWN) != 0)
            event(us, EV_KEY, BTN_LEFT, 1);
        if ((e.flags & RI_MOUSE_LEFT_BUTTON_UP) != 0)
            event(us, EV_KEY, BTN_LEFT, 0);
        if ((e.flags & RI_MOUSE_WHEEL) != 0)
            event(us, EV_REL, REL_WHEEL, -1);
        event(us, EV_SYN, SYN_REPORT, 0);
    }

    // Lines written so far.
    int lines() const { return lines_; }

  private:
    struct Closer {
        void operator()(std::FILE* f) const { std::fclose(f); }
    };
    std::unique_ptr<std::FILE, Closer> file_;
    int lines_ = 0;
};

// Mouse m's recording: `frames` generated frames, one every `period_us`.
fs::path write_generated_mouse(const fs::path& path, int m, std::int64_t frames,
                               std::int64_t period_us) {
    RecordingWriter out(path);
    out.text(description("Generated Mouse " + std::to_string(m), {REL_X, REL_Y, REL_WHEEL},
                         {{BTN_LEFT, BTN_MIDDLE}}));
    for (std::int64_t i = 0; i < frames; ++i)
        out.generated_frame(m, i, 1'000'000 + i * period_us);
    return path;
}

// The program run as a child of this test: its own umask, optionally as the
// unprivileged user "nobody", its output in files, its peak memory at exit.
class Child {
  public:
    struct Options {
        mode_t umask = 022;
        bool as_nobody = false;
    };

    Child(const std::vector<std::string>& args, const fs::path& workdir, Options options)
        : out_path_(io_ / "out"), err_path_(io_ / "err") {
        const char* binary = std::getenv("RAWMICE_BINARY");
        if (binary == nullptr)
            throw std::runtime_error("RAWMICE_BINARY is not set");
        // Everything the child needs is made before fork: after it, only
        // async-signal-safe calls.
        std::string program = binary;
        if (options.as_nobody) {
            // The build folder may sit where nobody cannot enter (a checkout
            // in a 0700 folder): nobody runs a copy from this child's own
            // temporary folder, opened to others for that. The program links
            // no library of the build folder.
            const fs::path copy = io_ / "rawmice";
            fs::copy_file(binary, copy);
            fs::permissions(io_.path(),
                            fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
            program = copy.string();
        }
        std::vector<std::string> argv_text{program};
        argv_text.insert(argv_text.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& a : argv_text)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        // Offscreen, with a runtime folder of its own so Qt has nothing to say.
        const fs::path runtime = io_ / "runtime";
        fs::create_directory(runtime);
        fs::permissions(runtime, fs::perms::owner_all);
        std::vector<std::string> env_text{"QT_QPA_PLATFORM=offscreen",
                                          "XDG_RUNTIME_DIR=" + runtime.string()};
        for (char** e = environ; *e != nullptr; ++e) {
            const std::string_view entry(*e);
            if (entry.rfind("QT_QPA_PLATFORM=", 0) != 0 && entry.rfind("XDG_RUNTIME_DIR=", 0) != 0)
                env_text.emplace_back(entry);
        }
        std::vector<char*> envp;
        for (std::string& e : env_text)
            envp.push_back(e.data());
        envp.push_back(nullptr);
        const std::string dir = workdir.string();
        const std::string out = out_path_.string();
        const std::string err = err_path_.string();

        pid_ = ::fork();
        if (pid_ < 0)
            throw std::runtime_error("cannot fork");
        if (pid_ == 0) {
            const int null = ::open("/dev/null", O_RDONLY);
            const int out_fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
            const int err_fd = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
            if (null < 0 || out_fd < 0 || err_fd < 0 || ::dup2(null, 0) < 0 ||
                ::dup2(out_fd, 1) < 0 || ::dup2(err_fd, 2) < 0 || ::chdir(dir.c_str()) != 0) {
                ::_exit(125);
            }
            ::umask(options.umask);
            if (options.as_nobody &&
                (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0)) {
                ::_exit(126);
            }
            if (options.as_nobody && ::access(argv[0], X_OK) != 0)
                ::_exit(124);
            ::execve(argv[0], argv.data(), envp.data());
            ::_exit(127);
        }
    }
    ~Child() {
        if (pid_ > 0 && !reaped_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    pid_t pid() const { return pid_; }
    // Waits for it to end; false when it is still running at the deadline.
    bool wait(std::chrono::milliseconds deadline = 60s) {
        const bool ended = wait_until(
            [&] {
                int status = 0;
                rusage usage{};
                if (::wait4(pid_, &status, WNOHANG, &usage) != pid_)
                    return false;
                reaped_ = true;
                if (WIFEXITED(status))
                    exit_code_ = WEXITSTATUS(status);
                if (WIFSIGNALED(status))
                    signal_ = WTERMSIG(status);
                max_rss_kb_ = usage.ru_maxrss;
                return true;
            },
            deadline);
        return ended;
    }
    // The exit status, or -1 when it did not exit normally.
    int exit_code() const { return exit_code_; }
    int signal() const { return signal_; }
    long max_rss_kb() const { return max_rss_kb_; }
    std::string out() const { return read_file(out_path_); }
    std::string err() const { return read_file(err_path_); }

  private:
    TempDir io_;
    fs::path out_path_;
    fs::path err_path_;
    pid_t pid_ = -1;
    bool reaped_ = false;
    int exit_code_ = -1;
    int signal_ = 0;
    long max_rss_kb_ = 0;
};

class RobustnessTest : public ::testing::Test {
  protected:
    fs::path write(const std::string& name, const std::string& text) {
        const fs::path path = dir_ / name;
        write_file(path, text);
        return path;
    }
    static std::string replay(const fs::path& file) { return "--replay=" + file.string(); }

    // Runs the program to its end (or kills it at the deadline).
    std::unique_ptr<Child> run(const std::vector<std::string>& args, Child::Options options = {},
                               std::chrono::milliseconds deadline = 60s) {
        auto child = std::make_unique<Child>(args, dir_.path(), options);
        EXPECT_TRUE(child->wait(deadline)) << "still running at the deadline";
        return child;
    }

    TempDir dir_;
};

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

    const std::vector<BadRecording> cases = {
        {"missing file", dir_ / "missing.evemu", ": ", "No such file or directory"},
        {"a directory", dir_ / "folder.evemu", ": ", "is a directory"},
        {"a FIFO, which would block a plain open", fifo, ": ", "not a regular file"},
        {"a device", "/dev/zero", ": ", "not a regular file"},
        // libevemu's complaint is the one line, not printed on its own as well.
        {"a description libevemu rejects",
         write("mask.evemu", "N: Mouse\nI: 0003 0001 0001 0001\nB: 01 zz 00 00 00 00 00 00 00\n"),
         at(3), "libevemu: Invalid EV_BIT line"},
        {"a time stamp libevemu would misread",
         write("stamp.evemu", mouse_description + "E: 1.5 0002 0000 1\n"), at(d + 1),
         "bad time stamp '1.5'"},
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
        EXPECT_EQ(child->exit_code(), 2) << child->err();
        const auto lines = split_lines(child->err());
        ASSERT_EQ(lines.size(), 1u) << child->err();
        EXPECT_EQ(lines[0].rfind("rawmice: " + bad.file.string() + bad.where, 0), 0u) << lines[0];
        EXPECT_NE(lines[0].find(bad.phrase), std::string::npos) << lines[0];
        EXPECT_EQ(child->out(), "");
        EXPECT_FALSE(fs::exists(dir_ / "log.txt")) << "a window opened";
    }
}

TEST_F(BadRecordings, NoReadPermission) {
    const fs::path locked = write("locked.evemu", mouse_description);
    ASSERT_EQ(::chmod(locked.c_str(), 0200), 0);
    Child::Options options;
    if (::geteuid() == 0) {
        // Root reads any file: the program runs as nobody, who must reach it.
        options.as_nobody = true;
        fs::permissions(dir_.path(), fs::perms::all);
    }
    const auto child = run({replay(locked)}, options, 20s);
    if (options.as_nobody && child->exit_code() == 126)
        GTEST_SKIP() << "running as root and cannot become nobody here";
    if (options.as_nobody && child->exit_code() == 124) {
        GTEST_SKIP() << "nobody cannot reach the temporary folder " << fs::temp_directory_path()
                     << " to run the program from it";
    }
    EXPECT_EQ(child->exit_code(), 2);
    EXPECT_EQ(child->err(), "rawmice: " + locked.string() +
                                ": cannot open it: Permission denied (check the file's "
                                "permissions)\n");
    EXPECT_FALSE(fs::exists(dir_ / "log.txt"));
}

// Several hundred megabytes, checked in one streaming pass: a fault on the very
// last line is found, and the program never holds the file in memory.
TEST_F(BadRecordings, AHugeFileIsStreamedAndItsLastLineChecked) {
    const fs::path huge = dir_ / "huge.evemu";
    // A thousand frames, all at one time stamp, written again and again: 300 MB.
    std::string block;
    for (int i = 0; i < 1000; ++i) {
        const Expected e = generated_packet(0, i);
        block += event_text(1'000'000, EV_REL, REL_X, e.dx) +
                 event_text(1'000'000, EV_REL, REL_Y, e.dy) +
                 event_text(1'000'000, EV_SYN, SYN_REPORT, 0);
    }
    int last_line = 0;
    {
        RecordingWriter out(huge);
        out.text(mouse_description);
        out.text(block, static_cast<int>(300'000'000 / block.size()));
        out.event(999'999, EV_REL, REL_X, 1);
        last_line = out.lines();
    }
    const auto size = fs::file_size(huge);
    ASSERT_GT(size, 290'000'000u);
    const auto child = run({replay(huge)}, {}, 120s);
    EXPECT_EQ(child->exit_code(), 2);
    const auto err = split_lines(child->err());
    ASSERT_EQ(err.size(), 1u) << child->err();
    EXPECT_EQ(
        err[0].rfind("rawmice: " + huge.string() + ":" + std::to_string(last_line) +
                         ": time stamp 0.999999 goes backwards (the event before is at 1.000000)",
                     0),
        0u)
        << err[0];
    EXPECT_LT(child->max_rss_kb() * 1024, static_cast<long>(size / 4))
        << "a " << size / 1'000'000 << " MB recording must not be held in memory";
    EXPECT_FALSE(fs::exists(dir_ / "log.txt"));
}

TEST_F(BadRecordings, ADescriptionWithNoEventsIsListedAndSendsNothing) {
    const fs::path quiet = write("quiet.desc", mouse_description);
    const fs::path busy = dir_ / "busy.evemu";
    write_generated_mouse(busy, 1, 50, 1000);

    const auto listing = run({replay(quiet), replay(busy), "--list-devices"});
    EXPECT_EQ(listing->exit_code(), 0) << listing->err();
    EXPECT_EQ(listing->out().substr(0, listing->out().find("\n\n") + 1),
              "0 65537  Mouse\nAmouse[0] = 65537\n1 65538  Mouse\nAmouse[1] = 65538\n");

    const auto both =
        run({replay(quiet), replay(busy), "--replay-speed=max", "--exit-after-replay"});
    EXPECT_EQ(both->exit_code(), 0) << both->err();
    EXPECT_EQ(both->err(), "");
    std::string expected;
    for (int i = 0; i < 50; ++i)
        expected += text_of(generated_packet(1, i));
    EXPECT_EQ(read_file(dir_ / "log.txt"), expected) << "mouse 0 sends nothing";

    const auto alone = run({replay(quiet), "--replay-speed=max", "--exit-after-replay"});
    EXPECT_EQ(alone->exit_code(), 0) << "a replay of nothing ends at once";
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
        out.push_back(text_of(generated_packet(m, i)));
    return out;
}

// Two mice at recorded speed, three seconds each; `fault` is done to the first
// recording once its first packet has been logged.
class MidStream : public RunningFaults {
  protected:
    static constexpr int frames = 3000;

    void play_and(const std::function<void(const fs::path&)>& fault) {
        first_ = write_generated_mouse(dir_ / "first.evemu", 0, frames, 1000);
        second_ = write_generated_mouse(dir_ / "second.evemu", 1, frames, 1000);
        Child child({replay(first_), replay(second_), "--exit-after-replay"}, dir_.path(), {});
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
    const std::regex diagnostic("replay: " + first_.string() +
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
    EXPECT_EQ(child->exit_code(), 1) << "a batch run without its log";
    EXPECT_EQ(child->err(),
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
    EXPECT_EQ(child->exit_code(), 1) << "a batch run that lost its log: " << child->err();
    EXPECT_EQ(child->signal(), 0);
    EXPECT_TRUE(fs::is_symlink(dir_ / "log.txt"));
    EXPECT_TRUE(fs::is_character_file("/dev/full")) << "the link is followed, never replaced";
    EXPECT_EQ(child->err(),
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
    Child child(args, dir_.path(), {});
    ASSERT_TRUE(wait_until(
        [&] { return fs::exists(dir_ / "log.txt") && fs::file_size(dir_ / "log.txt") > 0; }, 60s));
    ASSERT_EQ(::kill(child.pid(), SIGTERM), 0);
    ASSERT_TRUE(child.wait(60s));
    EXPECT_EQ(child.exit_code(), 0) << child.err();
    EXPECT_EQ(child.err(), "");

    // Equal times merge in command-line order: packet i of every mouse, in turn.
    std::ifstream log(dir_ / "log.txt", std::ios::binary);
    std::string line;
    std::int64_t n = 0;
    while (std::getline(log, line)) {
        const Expected expected = generated_packet(static_cast<int>(n % mice), n / mice);
        ASSERT_EQ(line + "\n", text_of(expected)) << "line " << n + 1;
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
        r.lines.push_back(text_of({mouse_number, round + 1, 0}));
        t += 1000;
        ev(EV_KEY, key, 0);
        ev(EV_KEY, KEY_LEFTSHIFT, 0);
        ev(EV_SYN, SYN_REPORT, 0);
        t += 1000;
        ev(EV_KEY, BTN_LEFT, 1);  // a button is a mouse event
        ev(EV_KEY, KEY_ENTER, 1);
        ev(EV_SYN, SYN_REPORT, 0);
        r.lines.push_back(text_of({mouse_number, 0, 0, RI_MOUSE_LEFT_BUTTON_DOWN, 0, 1}));
        t += 1000;
        ev(EV_KEY, KEY_ENTER, 0);
        ev(EV_KEY, BTN_LEFT, 0);
        ev(EV_REL, REL_WHEEL, 1);
        ev(EV_SYN, SYN_REPORT, 0);
        r.lines.push_back(
            text_of({mouse_number, 0, 0, RI_MOUSE_LEFT_BUTTON_UP | RI_MOUSE_WHEEL, 120, 0}));
        t += 1000;
    }
    return r;
}

TEST_F(NoKeys, KeyEventsOfAMouseThatIsAlsoAKeyboardNeverReachTheLogOrTheStatistics) {
    // A keyboard first, typing: listed, never read.
    const fs::path keyboard = write(
        "keyboard.evemu", description("Typist", {}, {{KEY_ESC, KEY_SPACE}}) +
                              event_text(0, EV_KEY, KEY_A, 1) + event_text(0, EV_SYN, 0, 0) +
                              event_text(1000, EV_KEY, KEY_A, 0) + event_text(1000, EV_SYN, 0, 0));
    const KeyedRecording keyed = keyed_recording(0);
    const fs::path mouse = write("ultrathin.evemu", keyed.text);

    const auto listing = run({replay(keyboard), replay(mouse), "--list-devices"});
    EXPECT_EQ(listing->out().substr(0, listing->out().find("\n\n") + 1),
              "0 65538  Mouse\nAmouse[0] = 65538\n1 65537  Keyboard\n");

    const auto child = run(
        {replay(keyboard), replay(mouse), "--replay-speed=max", "--exit-after-replay", "--stats"});
    EXPECT_EQ(child->exit_code(), 0) << child->err();
    std::string expected;
    for (const std::string& line : keyed.lines)
        expected += line;
    EXPECT_EQ(read_file(dir_ / "log.txt"), expected);

    // The statistics count the mouse packets only: "0  65538  PACKETS ..." and "total  PACKETS".
    const std::string packets = std::to_string(keyed.lines.size());
    const std::regex mouse_row(R"((^|\n)0 +65538 +)" + packets + " ");
    const std::regex total_row(R"((^|\n)total +)" + packets + " ");
    EXPECT_TRUE(std::regex_search(child->err(), mouse_row)) << child->err();
    EXPECT_TRUE(std::regex_search(child->err(), total_row)) << child->err();
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
    QProcess nm;
    nm.start("nm", {"-D", "--undefined-only", QString::fromUtf8(std::getenv("RAWMICE_BINARY"))});
    if (!nm.waitForFinished(30000) || nm.exitCode() != 0)
        GTEST_SKIP() << "nm cannot list the binary's imports here";
    const std::string imports = nm.readAllStandardOutput().toStdString();
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
        const auto child = run(args, {umask});
        EXPECT_EQ(child->exit_code(), 0) << child->err();
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
    EXPECT_EQ(child->exit_code(), 0) << child->err();
    EXPECT_EQ(read_file(old_log), text_of(generated_packet(0, 0)) +
                                      text_of(generated_packet(0, 1)) +
                                      text_of(generated_packet(0, 2)));
    EXPECT_EQ(fs::status(old_log).permissions(), fs::perms::owner_read | fs::perms::owner_write);
}

// ---------------------------------------------------------------------------
// In this process: the main window on a real replay, where the memo can be seen.

class InProcess : public RobustnessTest {
  protected:
    void SetUp() override {
        previous_dir_ = fs::current_path();
        fs::current_path(dir_.path());
    }
    void TearDown() override {
        if (form_ != nullptr)
            raw_input_release(form_);
        vcl::Application->destroy_forms();
        service_.reset();
        log_file.close();
        fs::current_path(previous_dir_);
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
        service_ = std::make_unique<input::Service>(std::make_unique<input::ReplayProvider>(
            std::move(loaded.recordings), input::ReplayProvider::max_speed));
        service_->install();
        service_->on_batch_handled = flush_log;
        service_->on_finished = [this] { finished_ = true; };
        service_->on_packet_handled = [this](const input::Packet&, std::int64_t) { ++handled_; };
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
    std::unique_ptr<input::Service> service_;
    bool finished_ = false;
    std::uint64_t handled_ = 0;
    std::uint64_t dropped_before_ = 0;
    fs::path previous_dir_;
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
        ASSERT_EQ(lines[static_cast<std::size_t>(k)],
                  text_of(generated_packet(static_cast<int>(n % mice), n / mice)))
            << "entry " << k;
    }
}

}  // namespace
