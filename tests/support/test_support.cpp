#include "tests/support/test_support.h"

#include <QCoreApplication>
#include <QThread>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

namespace testsupport {

bool wait_until(const std::function<bool()>& condition, std::chrono::milliseconds deadline) {
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= end)
            return false;
        if (QCoreApplication::instance() != nullptr) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        } else {
            QThread::yieldCurrentThread();
        }
    }
    return true;
}

bool ends_before_deadline(const std::function<void()>& loop, std::chrono::milliseconds deadline) {
    QTimer timer;
    timer.setSingleShot(true);
    QObject::connect(&timer, &QTimer::timeout, [] { QCoreApplication::exit(1); });
    timer.start(deadline);
    loop();
    return timer.isActive();
}

std::optional<std::string> short_of_space(const std::filesystem::path& folder,
                                          std::uintmax_t bytes) {
    std::error_code error;
    const std::filesystem::space_info space = std::filesystem::space(folder, error);
    // A margin over what the test writes, for the rest of the suite running beside it.
    if (!error && space.available >= bytes + bytes / 2)
        return std::nullopt;
    return "needs " + std::to_string(bytes / 1'000'000) + " MB free in " + folder.string() +
           (error ? " and cannot tell what is free: " + error.message()
                  : ", which has " + std::to_string(space.available / 1'000'000) +
                        " MB (set TMPDIR to a bigger folder)");
}

TempDir::TempDir() {
    std::random_device random;
    for (int attempt = 0; attempt < 100; ++attempt) {
        auto candidate =
            std::filesystem::temp_directory_path() / ("rawmice-test-" + std::to_string(random()));
        if (std::filesystem::create_directory(candidate)) {
            path_ = candidate;
            return;
        }
    }
    throw std::runtime_error("cannot make a temporary folder");
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ignored);
    std::filesystem::remove_all(path_, ignored);
}

std::string read_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void write_file(const std::filesystem::path& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
    if (!out)
        throw std::runtime_error("cannot write " + path.string());
}

// The build gives the folders and the program as compile definitions.
// RAWMICE_DATA, when set, points to another data folder (one a test makes).
std::filesystem::path data_dir() {
    const char* value = std::getenv("RAWMICE_DATA");
    return value != nullptr ? value : RAWMICE_TEST_DATA;
}

std::filesystem::path required_data(const std::string& folder) {
    const std::filesystem::path path = data_dir() / folder;
    std::error_code error;
    bool has_file = false;
    for (auto it = std::filesystem::recursive_directory_iterator(path, error);
         !error && it != std::filesystem::recursive_directory_iterator(); it.increment(error)) {
        if (it->is_regular_file()) {
            has_file = true;
            break;
        }
    }
    if (!has_file) {
        throw std::runtime_error(
            "the test data folder " + path.string() +
            (error ? " cannot be read (" + error.message() + ")" : " holds no file") +
            ": the recordings belong in tests/data (see tests/data/README.md)");
    }
    return path;
}

std::filesystem::path source_dir() {
    return RAWMICE_TEST_SOURCE;
}

std::string rawmice_binary() {
    return RAWMICE_TEST_BINARY;
}

std::vector<std::string> rawmice_argv(const std::vector<std::string>& args) {
    std::vector<std::string> argv{rawmice_binary()};
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

RunResult run_rawmice(const std::vector<std::string>& args, const std::filesystem::path& workdir,
                      std::chrono::milliseconds deadline, const std::vector<std::string>& env) {
    return run(rawmice_argv(args), {workdir, env}, deadline);
}

std::string expected_line(int mouse_number, const RAWMOUSE& m) {
    char line[256];
    std::snprintf(line, sizeof line,
                  "Mouse: num %d, usFlags=%04x ulButtons=%04x usButtonFlags=%04x "
                  "usButtonData=%04x ulRawButtons=%04x lLastX=%04x lLastY=%04x "
                  "ulExtraInformation=%04x\r\n",
                  mouse_number, static_cast<unsigned>(m.usFlags),
                  static_cast<unsigned>(m.ulButtons), static_cast<unsigned>(m.usButtonFlags),
                  static_cast<unsigned>(m.usButtonData), static_cast<unsigned>(m.ulRawButtons),
                  static_cast<unsigned>(m.lLastX), static_cast<unsigned>(m.lLastY),
                  static_cast<unsigned>(m.ulExtraInformation));
    return line;
}

std::string expected_line(const RelativePacket& p) {
    RAWMOUSE m{};
    m.usButtonFlags = static_cast<USHORT>(p.flags);
    m.usButtonData = static_cast<USHORT>(p.data);
    m.ulRawButtons = p.held;
    m.lLastX = p.dx;
    m.lLastY = p.dy;
    return expected_line(p.mouse, m);
}

std::string expected_line(int mouse_number, int dx, int dy, unsigned flags, unsigned data,
                          unsigned held) {
    return expected_line({mouse_number, dx, dy, flags, data, held});
}

std::vector<std::string> split_lines(const std::string& text) {
    std::vector<std::string> lines;
    std::string::size_type start = 0;
    while (start < text.size()) {
        auto end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

}  // namespace testsupport
