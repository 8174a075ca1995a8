#include "tests/support/test_support.h"

#include <QCoreApplication>
#include <QProcess>
#include <QThread>

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

static std::filesystem::path env_path(const char* name, const char* fallback) {
    const char* value = std::getenv(name);
    return value != nullptr ? std::filesystem::path(value) : std::filesystem::path(fallback);
}

std::filesystem::path data_dir() {
    return env_path("RAWMICE_DATA", "tests/data");
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
    return env_path("RAWMICE_SOURCE", ".");
}

RunResult run_rawmice(const std::vector<std::string>& args, const std::filesystem::path& workdir,
                      std::chrono::milliseconds deadline,
                      const std::vector<std::string>& extra_env) {
    const char* binary = std::getenv("RAWMICE_BINARY");
    if (binary == nullptr)
        throw std::runtime_error("RAWMICE_BINARY is not set");
    QProcess process;
    process.setWorkingDirectory(QString::fromStdString(workdir.string()));
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    if (!env.contains("QT_QPA_PLATFORM"))
        env.insert("QT_QPA_PLATFORM", "offscreen");
    for (const std::string& entry : extra_env) {
        const auto eq = entry.find('=');
        env.insert(QString::fromStdString(entry.substr(0, eq)),
                   QString::fromStdString(eq == std::string::npos ? "" : entry.substr(eq + 1)));
    }
    process.setProcessEnvironment(env);
    QStringList arguments;
    for (const std::string& a : args)
        arguments << QString::fromStdString(a);
    process.start(QString::fromUtf8(binary), arguments);
    RunResult result;
    if (!process.waitForStarted(10000))
        return result;
    process.closeWriteChannel();
    if (!process.waitForFinished(static_cast<int>(deadline.count()))) {
        result.timed_out = true;
        process.kill();
        process.waitForFinished(5000);
    } else if (process.exitStatus() == QProcess::NormalExit) {
        result.exit_code = process.exitCode();
    }
    result.out = process.readAllStandardOutput().toStdString();
    result.err = process.readAllStandardError().toStdString();
    return result;
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
