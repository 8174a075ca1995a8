#include "tests/support/xvfb.h"

#include <X11/Xlib.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <thread>
#include <vector>

extern char** environ;

namespace testsupport {

namespace {

using clock = std::chrono::steady_clock;

class Fd {
  public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() { reset(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    void reset() {
        if (fd_ >= 0)
            close(fd_);
        fd_ = -1;
    }

  private:
    int fd_;
};

std::string errno_text(const char* what) {
    return std::string(what) + ": " + std::strerror(errno);
}

// Whether the child ended; reaps it when it did.
bool exited(pid_t pid, int* status) {
    const pid_t reaped = waitpid(pid, status, WNOHANG);
    return reaped == pid || (reaped < 0 && errno == ECHILD);
}

}  // namespace

bool xvfb_available() {
    const char* path = std::getenv("PATH");
    std::string dirs = path != nullptr ? path : "/usr/bin:/bin";
    std::size_t start = 0;
    while (start <= dirs.size()) {
        const std::size_t end = std::min(dirs.find(':', start), dirs.size());
        const std::string candidate = dirs.substr(start, end - start) + "/Xvfb";
        if (access(candidate.c_str(), X_OK) == 0)
            return true;
        start = end + 1;
    }
    return false;
}

Xvfb::Xvfb(std::chrono::milliseconds deadline) {
    const auto end = clock::now() + deadline;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        throw std::runtime_error(errno_text("xvfb: pipe"));
    Fd read_end(fds[0]);
    Fd write_end(fds[1]);

    // Xvfb writes the display number it took to fd 3 once it accepts clients.
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, write_end.get(), 3);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    std::vector<std::string> args = {"Xvfb",     "-displayfd", "3", "-nolisten",  "tcp",
                                     "-noreset", "-screen",    "0", "1024x768x24"};
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    const int spawned = posix_spawnp(&pid_, "Xvfb", &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        pid_ = -1;
        errno = spawned;
        throw std::runtime_error(
            errno_text("xvfb: cannot start Xvfb (is the xvfb package installed?)"));
    }
    write_end.reset();

    std::string number;
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(end - clock::now()).count();
        if (left <= 0)
            break;
        pollfd p{read_end.get(), POLLIN, 0};
        const int ready = poll(&p, 1, static_cast<int>(left));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            break;
        char buffer[16];
        const ssize_t n = read(read_end.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;  // Xvfb closed it: it gave up
        number.append(buffer, static_cast<std::size_t>(n));
        if (number.find('\n') != std::string::npos)
            break;
    }
    while (!number.empty() && (number.back() == '\n' || number.back() == '\r'))
        number.pop_back();
    if (number.empty()) {
        stop();
        throw std::runtime_error("xvfb: Xvfb did not report a display number in time");
    }
    display_ = ":" + number;

    // It said it is ready; still make sure a client gets in before handing it out.
    for (;;) {
        if (Display* d = XOpenDisplay(display_.c_str())) {
            XCloseDisplay(d);
            return;
        }
        int status = 0;
        if (exited(pid_, &status)) {
            pid_ = -1;
            throw std::runtime_error("xvfb: Xvfb on " + display_ + " exited at start-up");
        }
        if (clock::now() >= end) {
            stop();
            throw std::runtime_error("xvfb: cannot connect to " + display_ + " in time");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

Xvfb::~Xvfb() {
    stop();
}

void Xvfb::stop() {
    if (pid_ <= 0)
        return;
    kill(pid_, SIGTERM);
    int status = 0;
    const auto end = clock::now() + std::chrono::seconds(10);
    while (!exited(pid_, &status)) {
        if (clock::now() >= end) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    pid_ = -1;
}

}  // namespace testsupport
