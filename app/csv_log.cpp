#include "app/csv_log.h"

#include <cerrno>
#include <charconv>
#include <cstring>

#include "rawinput/report.h"

namespace app {

namespace {

// Lines are short (at most about 100 bytes): a buffer of this size is written
// out a few times a second at 8 kHz, and at every flush.
constexpr std::size_t buffer_bytes = 64 * 1024;

}  // namespace

std::unique_ptr<CsvLog> CsvLog::create(const std::string& path, std::string& error) {
    std::FILE* file = std::fopen(path.c_str(), "we");
    if (file == nullptr) {
        error = "--csv: cannot create " + path + ": " + std::strerror(errno);
        return nullptr;
    }
    std::setvbuf(file, nullptr, _IOFBF, buffer_bytes);
    if (std::fputs(header, file) < 0 || std::fflush(file) != 0) {
        error = "--csv: cannot write " + path + ": " + std::strerror(errno);
        std::fclose(file);
        return nullptr;
    }
    return std::unique_ptr<CsvLog>(new CsvLog(path, file));
}

CsvLog::CsvLog(std::string path, std::FILE* file) : path_(std::move(path)), file_(file) {}

CsvLog::~CsvLog() {
    close();
}

void CsvLog::add(int mouse_number, HANDLE device, std::int64_t stamp_us, bool same_report,
                 const RAWMOUSE& mouse) {
    if (file_ == nullptr)
        return;
    if (!started_) {
        started_ = true;
        first_us_ = stamp_us;
    }
    Last* last =
        recent_ < last_.size() && last_[recent_].device == device ? &last_[recent_] : nullptr;
    for (std::size_t i = 0; last == nullptr && i < last_.size(); ++i) {
        if (last_[i].device == device) {
            recent_ = i;
            last = &last_[i];
        }
    }
    // The line built by hand: printf's parsing of its format was a third of
    // the file's cost at 8 kHz.
    char line[256];  // nine numbers of at most 20 characters, and their separators
    char* at = line;
    const auto number = [&](long long value, char after) {
        // One place kept for the separator: the number stops before it.
        at = std::to_chars(at, line + sizeof line - 1, value).ptr;
        *at++ = after;
    };
    number(mouse_number, ',');
    number(report::handle_as_int(device), ',');
    number(stamp_us - first_us_, ',');
    if (last != nullptr) {
        number(same_report ? 0 : stamp_us - last->stamp_us, ',');
        last->stamp_us = stamp_us;
    } else {
        *at++ = ',';
        last_.push_back({device, stamp_us});
        recent_ = last_.size() - 1;
    }
    number(mouse.usFlags, ',');
    number(mouse.lLastX, ',');
    number(mouse.lLastY, ',');
    number(mouse.usButtonFlags, ',');
    number(static_cast<std::int16_t>(mouse.usButtonData), '\n');
    std::fwrite(line, 1, static_cast<std::size_t>(at - line), file_);
}

void CsvLog::flush() {
    if (file_ != nullptr && (std::fflush(file_) != 0 || std::ferror(file_) != 0))
        check();
}

void CsvLog::check() {
    if (failed_)
        return;
    failed_ = true;
    std::fprintf(stderr, "rawmice: cannot write %s: %s (later lines are not in it)\n",
                 path_.c_str(), std::strerror(errno));
    std::fflush(stderr);
}

bool CsvLog::close() {
    if (file_ == nullptr)
        return !failed_;
    if (std::fflush(file_) != 0 || std::ferror(file_) != 0)
        check();
    if (std::fclose(file_) != 0)
        check();
    file_ = nullptr;
    return !failed_;
}

}  // namespace app
