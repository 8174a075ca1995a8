#include "tests/support/xvfb.h"

#include <X11/Xlib.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <thread>
#include <vector>

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

}  // namespace

bool program_available(const std::string& program) {
    const char* path = std::getenv("PATH");
    std::string dirs = path != nullptr ? path : "/usr/bin:/bin";
    std::size_t start = 0;
    while (start <= dirs.size()) {
        const std::size_t end = std::min(dirs.find(':', start), dirs.size());
        const std::string candidate = dirs.substr(start, end - start) + "/" + program;
        if (access(candidate.c_str(), X_OK) == 0)
            return true;
        start = end + 1;
    }
    return false;
}

bool xvfb_available() {
    return program_available("Xvfb");
}

namespace {

// Whether `window` has `property`, with a value.
bool has_property(Display* display, Window window, Atom property) {
    Atom type = None;
    int format = 0;
    unsigned long items = 0;
    unsigned long after = 0;
    unsigned char* data = nullptr;
    const int status = XGetWindowProperty(display, window, property, 0, 2, False, AnyPropertyType,
                                          &type, &format, &items, &after, &data);
    if (data != nullptr)
        XFree(data);
    return status == Success && type != None && items > 0;
}

// Whether a window manager has announced itself on the display's first screen.
bool window_manager_running(Display* display) {
    return has_property(display, DefaultRootWindow(display),
                        XInternAtom(display, "_NET_SUPPORTING_WM_CHECK", False));
}

}  // namespace

Openbox::Openbox(const std::string& display, std::chrono::milliseconds deadline)
    : openbox_({"openbox", "--sm-disable"}, {{}, {"DISPLAY=" + display}}) {
    Display* connection = XOpenDisplay(display.c_str());
    if (connection == nullptr)
        throw std::runtime_error("openbox: cannot open " + display);
    // Openbox announces itself early in its start-up, and windows mapped before
    // it has finished are taken as already there (never focused): a probe
    // window, once framed (WM_STATE set), shows that it manages new windows.
    const auto end = clock::now() + deadline;
    const Window probe =
        XCreateSimpleWindow(connection, DefaultRootWindow(connection), 0, 0, 10, 10, 0, 0, 0);
    const Atom wm_state = XInternAtom(connection, "WM_STATE", False);
    // Asked again now and then: a request made while it starts may be lost.
    int turn = 0;
    const auto managed = [&] {
        if (!window_manager_running(connection))
            return false;
        if (turn++ % 20 == 0)
            XMapWindow(connection, probe);
        return has_property(connection, probe, wm_state);
    };
    while (!managed()) {
        if (!openbox_.running() || clock::now() >= end) {
            XCloseDisplay(connection);
            throw std::runtime_error("openbox: it did not manage " + display + " in time");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    XDestroyWindow(connection, probe);
    XCloseDisplay(connection);
}

BusyLoops::BusyLoops(int count) {
    for (int i = 0; i < count; ++i) {
        const pid_t pid = fork();
        if (pid < 0)
            throw std::runtime_error(errno_text("busy loops: fork"));
        if (pid == 0) {
            volatile unsigned long spin = 0;
            for (;;)
                spin = spin + 1;
        }
        pids_.push_back(pid);
    }
}

BusyLoops::~BusyLoops() {
    for (const pid_t pid : pids_) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
}

Xvfb::Xvfb(std::chrono::milliseconds deadline) {
    const auto end = clock::now() + deadline;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        throw std::runtime_error(errno_text("xvfb: pipe"));
    Fd read_end(fds[0]);
    Fd write_end(fds[1]);

    // Xvfb writes the display number it took to fd 3 once it accepts clients.
    server_ = std::make_unique<Process>(
        std::vector<std::string>{"Xvfb", "-displayfd", "3", "-nolisten", "tcp", "-noreset",
                                 "-screen", "0", "1024x768x24"},
        Launch{.fd3 = write_end.get()});
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
        const std::string why =
            server_->wait(std::chrono::seconds(0)) && server_->exit_code() == 127
                ? "cannot start Xvfb (is the xvfb package installed?)"
                : "Xvfb did not report a display number in time: " + server_->err();
        stop();
        throw std::runtime_error("xvfb: " + why);
    }
    display_ = ":" + number;

    // It said it is ready; still make sure a client gets in before handing it out.
    for (;;) {
        if (Display* d = XOpenDisplay(display_.c_str())) {
            XCloseDisplay(d);
            return;
        }
        if (!server_->running()) {
            server_.reset();
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
    if (server_ != nullptr)
        server_->stop();
    server_.reset();
}

}  // namespace testsupport
