// The one way the tests run another program: the real rawmice, the X server
// and window manager they test under, the build tools. A child of the test in
// a process group of its own, its standard input /dev/null and its output kept
// in memory files that can be read while it runs; killed with its group and
// reaped when the object goes.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

namespace testsupport {

struct Launch {
    // Where it runs; empty: the test's own folder.
    std::filesystem::path workdir = {};
    // Applied over the test's environment, after the defaults below:
    // "NAME=VALUE" sets NAME, "NAME=" removes it.
    std::vector<std::string> env = {};
    mode_t umask = 022;
    // Runs as the unprivileged user "nobody" (the test must be root), from a
    // copy of the program in a folder nobody can enter.
    bool as_nobody = false;
    // A descriptor of the test handed to the child as its fd 3 (-1: none).
    int fd3 = -1;
};

class Process {
  public:
    // Starts argv[0] (looked up on the PATH when it holds no "/"), offscreen
    // (QT_QPA_PLATFORM=offscreen) with a private XDG_RUNTIME_DIR, so that Qt
    // has nothing to say, unless `launch.env` says otherwise. Throws
    // std::runtime_error when it cannot fork. A child that cannot be set up
    // exits 125 (its folder or files), 126 (cannot become nobody), 124 (nobody
    // cannot reach the program) or 127 (no such program).
    explicit Process(const std::vector<std::string>& argv, const Launch& launch = {});
    ~Process();
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    pid_t pid() const { return pid_; }
    // Whether it is still running (reaps it when it has ended).
    bool running();
    // Sends `signal_number` to the process itself (not its group).
    void send(int signal_number);
    // Waits for it to end; false when it still runs at the deadline.
    bool wait(std::chrono::milliseconds deadline = std::chrono::seconds(60));
    // SIGTERM to its group, then SIGKILL when it has not ended within `grace`.
    void stop(std::chrono::milliseconds grace = std::chrono::seconds(10));

    // Once it has ended: its exit status (-1 when a signal ended it), the
    // signal that ended it (0 when it exited), its peak memory.
    int exit_code() const { return exit_code_; }
    int signal() const { return signal_; }
    long max_rss_kb() const { return max_rss_kb_; }
    // What it has written so far.
    std::string out() const;
    std::string err() const;

  private:
    bool reap(int options);

    std::filesystem::path private_dir_;
    int out_fd_ = -1;
    int err_fd_ = -1;
    pid_t pid_ = -1;
    bool reaped_ = false;
    int exit_code_ = -1;
    int signal_ = 0;
    long max_rss_kb_ = 0;
};

// What a program run to its end left.
struct RunResult {
    int exit_code = -1;  // -1 when it did not exit normally in time
    int signal = 0;      // the signal that ended it, if one did
    bool timed_out = false;
    long max_rss_kb = 0;  // its peak memory
    std::string out;
    std::string err;
};

// Runs argv and waits for it, killing it (and its group) at the deadline.
RunResult run(const std::vector<std::string>& argv, const Launch& launch = {},
              std::chrono::milliseconds deadline = std::chrono::seconds(60));

}  // namespace testsupport
