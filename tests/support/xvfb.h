// An Xvfb server of the tests' own: started on a free display number, stopped
// and reaped when the object goes.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/process.h"

namespace testsupport {

class Xvfb {
  public:
    // Starts `Xvfb -displayfd ... -nolisten tcp -noreset -screen 0 1024x768x24`
    // (with no window manager) and waits until it accepts connections. Throws
    // std::runtime_error when it cannot start within `deadline`.
    explicit Xvfb(std::chrono::milliseconds deadline = std::chrono::seconds(30));
    ~Xvfb();
    Xvfb(const Xvfb&) = delete;
    Xvfb& operator=(const Xvfb&) = delete;

    // ":N"
    const std::string& display() const { return display_; }
    bool running() const { return server_ != nullptr; }

    // Terminates the server and reaps it (killing it if it lingers).
    void stop();

  private:
    std::unique_ptr<Process> server_;
    std::string display_;
};

// Whether the Xvfb program can be found, for a clear skip where it is missing.
bool xvfb_available();
// Whether `program` can be found on the PATH.
bool program_available(const std::string& program);

// The openbox window manager on a display (as a desktop has one: focus comes
// from it, a little after a window maps), stopped and reaped when it goes.
class Openbox {
  public:
    // Starts openbox on `display` and waits until it manages new windows
    // (it frames a window of its own). Throws
    // std::runtime_error when it does not within `deadline`.
    explicit Openbox(const std::string& display,
                     std::chrono::milliseconds deadline = std::chrono::seconds(30));

  private:
    Process openbox_;
};

// Busy loops, one process each, that keep the CPU loaded while the object
// lives; killed and reaped when it goes.
class BusyLoops {
  public:
    explicit BusyLoops(int count);
    ~BusyLoops();
    BusyLoops(const BusyLoops&) = delete;
    BusyLoops& operator=(const BusyLoops&) = delete;

  private:
    std::vector<pid_t> pids_;
};

}  // namespace testsupport
