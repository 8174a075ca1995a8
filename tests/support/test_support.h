// Helpers shared by the test suites: waiting on conditions, scratch folders,
// running the real program, and the recordings under the shared data folder.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/win32/win32.h"
#include "tests/support/process.h"

namespace testsupport {

// Processes Qt events (when an application exists) until `condition` holds or
// the deadline passes; returns whether it held.
bool wait_until(const std::function<bool()>& condition,
                std::chrono::milliseconds deadline = std::chrono::seconds(10));

// Runs `loop` (something that runs Qt's event loop until it is told to end)
// and ends that loop with code 1 if it still runs at the deadline, so that a
// loop that never ends fails the test rather than hanging it. Answers whether
// the loop ended before the deadline.
bool ends_before_deadline(const std::function<void()>& loop,
                          std::chrono::milliseconds deadline = std::chrono::seconds(30));

// A fresh folder under the system's temporary folder, removed with its contents.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

  private:
    std::filesystem::path path_;
};

// Why `bytes` will not fit in `folder` (a small /tmp), in one line; nothing
// when they will. Tests that write big files skip with it.
std::optional<std::string> short_of_space(const std::filesystem::path& folder,
                                          std::uintmax_t bytes);

std::string read_file(const std::filesystem::path& path);
void write_file(const std::filesystem::path& path, const std::string& text);

// The test data folder (evemu-devices lives under it), or $RAWMICE_DATA when set.
std::filesystem::path data_dir();
// `folder` under data_dir(). Throws std::runtime_error naming the folder when
// it is missing or holds no file, so that a test without its data fails
// rather than passing over nothing.
std::filesystem::path required_data(const std::string& folder);
// The project's source folder.
std::filesystem::path source_dir();
// The rawmice program of this build.
std::string rawmice_binary();
// The program's command line: rawmice_binary() followed by `args`.
std::vector<std::string> rawmice_argv(const std::vector<std::string>& args);

// Runs the real rawmice binary with `args` in `workdir`, offscreen, and waits
// for it to exit (killing it at the deadline). `env` as in Launch.
RunResult run_rawmice(const std::vector<std::string>& args, const std::filesystem::path& workdir,
                      std::chrono::milliseconds deadline = std::chrono::seconds(60),
                      const std::vector<std::string>& env = {});

// The report line the program logs for `packet` of mouse `mouse_number`,
// "\r\n" included, built from the printf format the line stands for rather
// than by the program's own formatter.
std::string expected_line(int mouse_number, const RAWMOUSE& packet);
// The same for a relative packet: motion, button flags and data, buttons held.
struct RelativePacket {
    int mouse;
    int dx;
    int dy;
    unsigned flags = 0;
    unsigned data = 0;
    unsigned held = 0;
};
std::string expected_line(const RelativePacket& packet);
std::string expected_line(int mouse_number, int dx, int dy, unsigned flags = 0, unsigned data = 0,
                          unsigned held = 0);

// Splits text into lines at "\n" (a final empty piece is left out).
std::vector<std::string> split_lines(const std::string& text);

}  // namespace testsupport
