// An Xvfb server of the tests' own: started on a free display number, stopped
// and reaped when the object goes.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>

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
    pid_t pid() const { return pid_; }
    bool running() const { return pid_ > 0; }

    // Terminates the server and reaps it (killing it if it lingers).
    void stop();

  private:
    pid_t pid_ = -1;
    std::string display_;
};

// Whether the Xvfb program can be found, for a clear skip where it is missing.
bool xvfb_available();

}  // namespace testsupport
