#include "platform/input/recording.h"

#include <evemu.h>
#include <fcntl.h>
#include <libevdev/libevdev.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <string_view>
#include <utility>

namespace input {

namespace {

constexpr std::size_t max_line = 64 * 1024;
constexpr std::size_t max_description = 1024 * 1024;
// Later time stamps would overflow nanoseconds in 64 bits.
constexpr std::uint64_t max_seconds = 9'223'372'035;

class UniqueFd {
  public:
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }

  private:
    int fd_;
};

struct EvemuDeleter {
    void operator()(evemu_device* device) const { evemu_delete(device); }
};
struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

// Splits a file into lines through one fixed buffer, so memory stays the same
// whatever the file's size. Counts lines and byte offsets.
class LineReader {
  public:
    enum class Status { line, end, too_long, failed };

    explicit LineReader(int fd) : fd_(fd), buffer_(max_line + 1) {}

    Status next() {
        for (;;) {
            const char* start = buffer_.data() + begin_;
            const std::size_t available = end_ - begin_;
            if (const void* newline = std::memchr(start, '\n', available)) {
                const std::size_t length = static_cast<const char*>(newline) - start;
                take(start, length, true);
                begin_ += length + 1;
                offset_ += length + 1;
                return Status::line;
            }
            if (eof_) {
                if (available == 0)
                    return Status::end;
                take(start, available, false);
                begin_ = end_;
                offset_ += available;
                return Status::line;
            }
            if (begin_ > 0) {
                std::memmove(buffer_.data(), start, available);
                end_ = available;
                begin_ = 0;
            }
            if (end_ == buffer_.size()) {
                ++number_;
                return Status::too_long;
            }
            const ssize_t got = ::read(fd_, buffer_.data() + end_, buffer_.size() - end_);
            if (got < 0) {
                if (errno == EINTR)
                    continue;
                error_ = errno;
                ++number_;
                return Status::failed;
            }
            if (got == 0) {
                eof_ = true;
            } else {
                end_ += static_cast<std::size_t>(got);
                bytes_ += static_cast<std::uint64_t>(got);
            }
        }
    }

    std::string_view line() const { return line_; }
    bool terminated() const { return terminated_; }
    std::uint64_t number() const { return number_; }
    std::uint64_t line_offset() const { return line_offset_; }
    std::uint64_t bytes() const { return bytes_; }
    int error() const { return error_; }

  private:
    void take(const char* start, std::size_t length, bool terminated) {
        line_ = std::string_view(start, length);
        terminated_ = terminated;
        line_offset_ = offset_;
        ++number_;
    }

    int fd_;
    std::vector<char> buffer_;
    std::size_t begin_ = 0;
    std::size_t end_ = 0;
    bool eof_ = false;
    std::string_view line_;
    bool terminated_ = false;
    std::uint64_t number_ = 0;
    std::uint64_t offset_ = 0;
    std::uint64_t line_offset_ = 0;
    std::uint64_t bytes_ = 0;
    int error_ = 0;
};

bool is_blank(char c) {
    return c == ' ' || c == '\t' || c == '\r';
}

std::string_view skip_blanks(std::string_view text) {
    while (!text.empty() && is_blank(text.front()))
        text.remove_prefix(1);
    return text;
}

// A piece of a line as a message shows it: quoted, cut short when long, and
// with carriage returns spelled out so the message stays one line.
std::string quoted(std::string_view text) {
    constexpr std::size_t limit = 40;
    std::string out = "'";
    for (const char c : text.substr(0, limit))
        out += c == '\r' ? std::string_view("\\r") : std::string_view(&c, 1);
    if (text.size() > limit)
        out += "...";
    out += "'";
    return out;
}

std::string hex(unsigned value, int digits) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%0*x", digits, value);
    return text;
}

// The whitespace-separated fields after a line's "X:" prefix, up to a "#" comment.
struct Fields {
    static constexpr std::size_t capacity = 12;
    std::array<std::string_view, capacity> items;
    std::size_t count = 0;
    bool overflow = false;

    explicit Fields(std::string_view text) {
        for (;;) {
            text = skip_blanks(text);
            if (text.empty() || text.front() == '#')
                return;
            std::size_t length = 0;
            while (length < text.size() && !is_blank(text[length]))
                ++length;
            if (count == capacity) {
                overflow = true;
                return;
            }
            items[count++] = text.substr(0, length);
            text.remove_prefix(length);
        }
    }
};

std::optional<unsigned> parse_hex(std::string_view text, std::size_t max_digits) {
    if (text.empty() || text.size() > max_digits)
        return std::nullopt;
    unsigned value = 0;
    for (const char c : text) {
        unsigned digit;
        if (c >= '0' && c <= '9') {
            digit = static_cast<unsigned>(c - '0');
        } else if (c >= 'a' && c <= 'f') {
            digit = static_cast<unsigned>(c - 'a' + 10);
        } else if (c >= 'A' && c <= 'F') {
            digit = static_cast<unsigned>(c - 'A' + 10);
        } else {
            return std::nullopt;
        }
        value = value * 16 + digit;
    }
    return value;
}

bool all_digits(std::string_view text) {
    if (text.empty())
        return false;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return false;
    }
    return true;
}

// Digits only; nullopt when it is not a number, `overflow` when it is too big.
std::optional<std::uint64_t> parse_unsigned(std::string_view text, bool& overflow) {
    overflow = false;
    if (!all_digits(text))
        return std::nullopt;
    std::uint64_t value = 0;
    for (const char c : text) {
        if (__builtin_mul_overflow(value, 10u, &value) ||
            __builtin_add_overflow(value, static_cast<unsigned>(c - '0'), &value)) {
            overflow = true;
            return std::nullopt;
        }
    }
    return value;
}

// A decimal 32-bit signed number, as libevemu's "%d" reads it.
enum class IntStatus { ok, not_a_number, out_of_range };
IntStatus parse_int32(std::string_view text, std::int32_t& value) {
    bool negative = false;
    if (!text.empty() && (text.front() == '-' || text.front() == '+')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    bool overflow = false;
    const auto magnitude = parse_unsigned(text, overflow);
    if (overflow)
        return IntStatus::out_of_range;
    if (!magnitude)
        return IntStatus::not_a_number;
    const std::uint64_t limit = negative ? 2147483648u : 2147483647u;
    if (*magnitude > limit)
        return IntStatus::out_of_range;
    value = negative ? static_cast<std::int32_t>(-static_cast<std::int64_t>(*magnitude))
                     : static_cast<std::int32_t>(*magnitude);
    return IntStatus::ok;
}

std::string format_time(std::uint64_t seconds, unsigned microseconds) {
    char text[48];
    std::snprintf(text, sizeof text, "%llu.%06u", static_cast<unsigned long long>(seconds),
                  microseconds);
    return text;
}

std::string format_time_us(std::int64_t us) {
    return format_time(static_cast<std::uint64_t>(us / 1000000),
                       static_cast<unsigned>(us % 1000000));
}

const char* type_name(unsigned type) {
    const char* name = libevdev_event_type_get_name(type);
    return name != nullptr ? name : "?";
}

// What one pass over the file learns.
struct Scan {
    std::string description;  // the description lines, as libevemu reads them
    std::uint64_t events = 0;
    std::int64_t first_us = 0;
    std::int64_t last_us = 0;
    std::uint64_t events_offset = 0;
};

// Checks a recording line by line. The grammar accepted is a strict subset of
// what libevemu reads, so every line it lets through means the same to both.
class Checker {
  public:
    explicit Checker(const std::string& path) : path_(path) {}

    std::optional<RecordingError> run(LineReader& reader, Scan& scan) {
        for (;;) {
            const LineReader::Status status = reader.next();
            if (status == LineReader::Status::end)
                break;
            if (status == LineReader::Status::too_long) {
                return error(reader.number(), "line longer than " + std::to_string(max_line) +
                                                  " bytes: not an evemu recording");
            }
            if (status == LineReader::Status::failed) {
                return error(reader.number(),
                             std::string("cannot read the file: ") + std::strerror(reader.error()));
            }
            std::optional<std::string> problem = check_line(reader, scan);
            if (problem) {
                if (!reader.terminated() && problem->rfind("truncated", 0) != 0) {
                    *problem += " (the last line has no line end: is the file cut short?)";
                }
                return error(reader.number(), std::move(*problem));
            }
        }
        if (reader.bytes() == 0)
            return error(0, "empty file, not an evemu recording");
        switch (stage_) {
            case Stage::before_name:
                return error(0, "not an evemu recording: no device name line 'N: ...'");
            case Stage::after_name:
                return error(reader.number(),
                             "the description stops after the device name: "
                             "the line 'I: BUS VENDOR PRODUCT VERSION' is missing");
            default:
                return std::nullopt;
        }
    }

  private:
    enum class Stage { before_name, after_name, description, events };

    RecordingError error(std::uint64_t line, std::string message) const {
        return RecordingError{path_, line, std::move(message)};
    }

    std::optional<std::string> check_line(const LineReader& reader, Scan& scan) {
        std::string_view line = reader.line();
        for (const char c : line) {
            const auto byte = static_cast<unsigned char>(c);
            if ((byte < 0x20 && c != '\t' && c != '\r') || byte == 0x7f) {
                if (stage_ == Stage::before_name)
                    return "binary data, not an evemu recording";
                return "unexpected binary data (byte " + hex(byte, 2) + ")";
            }
        }
        while (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        const std::string_view content = skip_blanks(line);
        if (content.empty())
            return std::nullopt;
        if (!seen_first_line_) {
            seen_first_line_ = true;
            read_format_version(content);
        }
        if (content.front() == '#')
            return std::nullopt;

        const std::string_view prefix = line.substr(0, 2);
        if (prefix == "E:") {
            if (stage_ == Stage::before_name) {
                return "events come before any device description: a recording starts with "
                       "its 'N: <device name>' line (for a bare .events file, put its .desc "
                       "first)";
            }
            if (stage_ == Stage::after_name)
                return expected_id(line);
            if (stage_ != Stage::events) {
                stage_ = Stage::events;
                scan.events_offset = reader.line_offset();
            }
            if (auto problem = check_event(line.substr(2), scan))
                return problem;
            if (!reader.terminated()) {
                return "truncated last line: the event has no line end (is the file cut short?)";
            }
            return std::nullopt;
        }

        switch (stage_) {
            case Stage::before_name:
                if (prefix != "N:") {
                    return "not an evemu recording: expected the device name line 'N: ...', "
                           "found " +
                           quoted(line);
                }
                if (skip_blanks(line.substr(2)).empty())
                    return "empty device name";
                stage_ = Stage::after_name;
                return keep(line, scan);
            case Stage::after_name:
                if (prefix != "I:")
                    return expected_id(line);
                if (auto problem = check_id(line.substr(2)))
                    return problem;
                stage_ = Stage::description;
                return keep(line, scan);
            case Stage::description: {
                const int order = description_order(prefix);
                if (order < 0) {
                    if (prefix == "N:" || prefix == "I:") {
                        return "a second device description: a recording holds one device";
                    }
                    return "unexpected line " + quoted(line) +
                           ": expected a description line (P:, B:, A:, L:, S:) or an event (E:)";
                }
                if (order < order_) {
                    return "the " + std::string(prefix) +
                           " line is out of order: a description lists N:, I:, then P:, B:, "
                           "A:, L:, S: lines";
                }
                order_ = order;
                if (auto problem = check_description(prefix, line.substr(2)))
                    return problem;
                return keep(line, scan);
            }
            case Stage::events:
                if (description_order(prefix) >= 0 || prefix == "N:" || prefix == "I:") {
                    return "description line " + quoted(line) + " after the events began";
                }
                return "unexpected line " + quoted(line) +
                       ": expected an event 'E: SECONDS.MICROSECONDS TYPE CODE VALUE'";
        }
        return std::nullopt;
    }

    // libevemu takes the format version from the first line that is not empty;
    // from 1.2 on, axis lines carry a resolution.
    void read_format_version(std::string_view first) {
        std::string copy(first);
        int major = 1;
        int minor = 0;
        if (std::sscanf(copy.c_str(), "# EVEMU %d.%d", &major, &minor) != 2) {
            major = 1;
            minor = 0;
        }
        axis_values_ = (major > 1 || (major == 1 && minor > 1)) ? 6 : 5;
    }

    std::optional<std::string> keep(std::string_view line, Scan& scan) {
        if (scan.description.empty() && axis_values_ == 6)
            scan.description = "# EVEMU 1.2\n";
        if (scan.description.size() + line.size() + 1 > max_description) {
            return "the device description is longer than " + std::to_string(max_description) +
                   " bytes";
        }
        scan.description.append(line);
        scan.description += '\n';
        return std::nullopt;
    }

    static std::string expected_id(std::string_view line) {
        return "expected 'I: BUS VENDOR PRODUCT VERSION' after the device name, found " +
               quoted(line);
    }

    static int description_order(std::string_view prefix) {
        static constexpr std::string_view order[] = {"P:", "B:", "A:", "L:", "S:"};
        for (int i = 0; i < 5; ++i) {
            if (prefix == order[i])
                return i;
        }
        return -1;
    }

    static std::optional<std::string> check_id(std::string_view rest) {
        const Fields fields(rest);
        if (fields.count != 4 || fields.overflow) {
            return "the I: line needs 4 numbers (bus, vendor, product, version), found " +
                   std::to_string(fields.count);
        }
        for (std::size_t i = 0; i < 4; ++i) {
            if (!parse_hex(fields.items[i], 4)) {
                return "bad number " + quoted(fields.items[i]) +
                       " in the I: line (expected up to 4 hex digits)";
            }
        }
        return std::nullopt;
    }

    std::optional<std::string> check_description(std::string_view prefix, std::string_view rest) {
        const Fields fields(rest);
        const char kind = prefix.front();
        std::size_t expected = 0;
        switch (kind) {
            case 'P':
                expected = 8;
                break;
            case 'B':
                expected = 9;
                break;
            case 'A':
                expected = axis_values_;
                break;
            default:
                expected = 2;
                break;
        }
        if (fields.count != expected || fields.overflow) {
            std::string message = "the " + std::string(prefix) + " line needs " +
                                  std::to_string(expected) + " numbers, found " +
                                  (fields.overflow ? "more" : std::to_string(fields.count));
            if (kind == 'A') {
                message += axis_values_ == 6 ? " (format 1.2 and later: index, min, max, fuzz, "
                                               "flat, resolution)"
                                             : " (format 1.1 and earlier: index, min, max, "
                                               "fuzz, flat)";
            }
            return message;
        }
        if (kind == 'P' || kind == 'B') {
            for (std::size_t i = 0; i < expected; ++i) {
                if (!parse_hex(fields.items[i], 2)) {
                    return "bad number " + quoted(fields.items[i]) + " in the " +
                           std::string(prefix) + " line (expected a byte in hex)";
                }
            }
            if (kind == 'B' && *parse_hex(fields.items[0], 2) > EV_MAX) {
                return "event type " + quoted(fields.items[0]) + " out of range (00 to " +
                       hex(EV_MAX, 2).substr(2) + ")";
            }
            return std::nullopt;
        }
        const auto index = parse_hex(fields.items[0], 2);
        if (!index) {
            return "bad number " + quoted(fields.items[0]) + " in the " + std::string(prefix) +
                   " line (expected an index in hex)";
        }
        const unsigned limit = kind == 'A' ? ABS_MAX : kind == 'L' ? LED_MAX : SW_MAX;
        if (*index > limit) {
            return "index " + quoted(fields.items[0]) + " out of range for the " +
                   std::string(prefix) + " line (00 to " + hex(limit, 2).substr(2) + ")";
        }
        for (std::size_t i = 1; i < expected; ++i) {
            std::int32_t value = 0;
            const IntStatus status = parse_int32(fields.items[i], value);
            if (status == IntStatus::not_a_number) {
                return "bad number " + quoted(fields.items[i]) + " in the " + std::string(prefix) +
                       " line (expected a decimal integer)";
            }
            if (status == IntStatus::out_of_range) {
                return "number " + quoted(fields.items[i]) + " in the " + std::string(prefix) +
                       " line out of range (32-bit signed)";
            }
        }
        return std::nullopt;
    }

    std::optional<std::string> check_event(std::string_view rest, Scan& scan) {
        const Fields fields(rest);
        if (fields.count != 4 || fields.overflow) {
            return "an event line needs 4 fields 'E: SECONDS.MICROSECONDS TYPE CODE VALUE', "
                   "found " +
                   (fields.overflow ? std::string("more") : std::to_string(fields.count));
        }
        const std::string_view time = fields.items[0];
        const std::size_t dot = time.find('.');
        const std::string_view seconds_text = time.substr(0, dot);
        const std::string_view micro_text =
            dot == std::string_view::npos ? std::string_view() : time.substr(dot + 1);
        bool overflow = false;
        const auto seconds = parse_unsigned(seconds_text, overflow);
        if (dot == std::string_view::npos || (!seconds && !overflow) || micro_text.size() != 6 ||
            !all_digits(micro_text)) {
            return "bad time stamp " + quoted(time) +
                   " (expected SECONDS.MICROSECONDS, six digits after the point)";
        }
        if (overflow || *seconds > max_seconds) {
            return "time stamp " + quoted(time) + " out of range (at most " +
                   std::to_string(max_seconds) + " seconds)";
        }
        bool unused = false;
        const auto micros = static_cast<unsigned>(*parse_unsigned(micro_text, unused));

        const auto type = parse_hex(fields.items[1], 4);
        if (!type) {
            return "bad event type " + quoted(fields.items[1]) + " (expected up to 4 hex digits)";
        }
        const int type_max = *type <= EV_MAX ? libevdev_event_type_get_max(*type) : -1;
        if (*type > EV_MAX || type_max < 0) {
            return "event type " + hex(*type, 4) + " out of range (not an evdev event type)";
        }
        const auto code = parse_hex(fields.items[2], 4);
        if (!code) {
            return "bad event code " + quoted(fields.items[2]) + " (expected up to 4 hex digits)";
        }
        if (*code > static_cast<unsigned>(type_max)) {
            return "event code " + hex(*code, 4) + " out of range for " + type_name(*type) +
                   " (0x0000 to " + hex(static_cast<unsigned>(type_max), 4) + ")";
        }
        std::int32_t value = 0;
        const IntStatus status = parse_int32(fields.items[3], value);
        if (status == IntStatus::not_a_number) {
            return "bad event value " + quoted(fields.items[3]) + " (expected a decimal integer)";
        }
        if (status == IntStatus::out_of_range) {
            return "event value " + quoted(fields.items[3]) +
                   " out of range (32-bit signed: -2147483648 to 2147483647)";
        }
        if (*type == EV_KEY && (value < 0 || value > 2)) {
            return "key value " + std::to_string(value) +
                   " out of range (0 release, 1 press, 2 repeat)";
        }

        const std::int64_t us = static_cast<std::int64_t>(*seconds) * 1000000 + micros;
        if (scan.events > 0 && us < scan.last_us) {
            return "time stamp " + format_time(*seconds, micros) +
                   " goes backwards (the event before is at " + format_time_us(scan.last_us) + ")";
        }
        if (scan.events == 0)
            scan.first_us = us;
        scan.last_us = us;
        ++scan.events;
        return std::nullopt;
    }

    const std::string& path_;
    Stage stage_ = Stage::before_name;
    int order_ = 0;
    bool seen_first_line_ = false;
    std::size_t axis_values_ = 5;
};

// Hands a recording's events to libevemu in whole lines only. A file cut short
// after loading then ends at a line end, instead of handing libevemu a partial
// event line, which it reports on standard error as "FATAL" on its own.
class WholeLineReader {
  public:
    // A stream over `fd` (positioned at the first event), which it then owns;
    // null when no stream can be made.
    static std::FILE* open(UniqueFd& fd) {
        std::unique_ptr<WholeLineReader> reader(new WholeLineReader(fd.release()));
        std::FILE* file = ::fopencookie(reader.get(), "r", {&read, nullptr, nullptr, &close});
        if (file != nullptr)
            reader.release();  // the stream's close callback deletes it
        return file;
    }

    ~WholeLineReader() { ::close(fd_); }
    WholeLineReader(const WholeLineReader&) = delete;
    WholeLineReader& operator=(const WholeLineReader&) = delete;

  private:
    explicit WholeLineReader(int fd) : fd_(fd), buffer_(max_line + 1) {}

    static ssize_t read(void* cookie, char* out, std::size_t size) {
        return static_cast<WholeLineReader*>(cookie)->read(out, size);
    }
    static int close(void* cookie) {
        delete static_cast<WholeLineReader*>(cookie);
        return 0;
    }

    ssize_t read(char* out, std::size_t size) {
        while (whole_ == begin_) {
            if (begin_ > 0) {
                std::memmove(buffer_.data(), buffer_.data() + begin_, end_ - begin_);
                end_ -= begin_;
                whole_ = begin_ = 0;
            }
            if (end_ == buffer_.size())
                return 0;  // a line longer than any the checker lets through
            const ssize_t got = ::read(fd_, buffer_.data() + end_, buffer_.size() - end_);
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0)
                return got;  // an unfinished last line is never handed over
            const char* first = buffer_.data() + end_;
            end_ += static_cast<std::size_t>(got);
            for (const char* p = buffer_.data() + end_; p != first; --p) {
                if (p[-1] == '\n') {
                    whole_ = static_cast<std::size_t>(p - buffer_.data());
                    break;
                }
            }
        }
        const std::size_t n = std::min(size, whole_ - begin_);
        std::memcpy(out, buffer_.data() + begin_, n);
        begin_ += n;
        return static_cast<ssize_t>(n);
    }

    int fd_;
    std::vector<char> buffer_;
    std::size_t begin_ = 0;  // next byte to hand over
    std::size_t whole_ = 0;  // end of the last whole line read
    std::size_t end_ = 0;    // end of what was read
};

std::string open_failure(int error) {
    std::string message = std::string("cannot open it: ") + std::strerror(error);
    if (error == EACCES || error == EPERM)
        message += " (check the file's permissions)";
    if (error == ENOENT)
        message += " (check the path)";
    return message;
}

}  // namespace

std::string RecordingError::to_string() const {
    if (line == 0)
        return file + ": " + message;
    return file + ":" + std::to_string(line) + ": " + message;
}

LoadResult Recording::load(const std::string& path) {
    const auto failure = [&](std::uint64_t line, std::string message) {
        return LoadResult{std::nullopt, RecordingError{path, line, std::move(message)}};
    };

    // Non-blocking, so that a FIFO given by mistake cannot hang the open.
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (fd.get() < 0)
        return failure(0, open_failure(errno));
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0) {
        return failure(0, std::string("cannot examine it: ") + std::strerror(errno));
    }
    if (S_ISDIR(info.st_mode))
        return failure(0, "is a directory, not a recording");
    if (!S_ISREG(info.st_mode))
        return failure(0, "not a regular file (a recording is read twice)");
    ::fcntl(fd.get(), F_SETFL, ::fcntl(fd.get(), F_GETFL) & ~O_NONBLOCK);
    ::posix_fadvise(fd.get(), 0, 0, POSIX_FADV_SEQUENTIAL);

    Scan scan;
    LineReader reader(fd.get());
    if (auto problem = Checker(path).run(reader, scan)) {
        return LoadResult{std::nullopt, std::move(*problem)};
    }

    std::unique_ptr<evemu_device, EvemuDeleter> device(evemu_new(nullptr));
    if (!device)
        return failure(0, "out of memory reading the device description");
    std::unique_ptr<std::FILE, FileCloser> text(
        fmemopen(scan.description.data(), scan.description.size(), "r"));
    if (!text) {
        return failure(0,
                       std::string("cannot read the device description: ") + std::strerror(errno));
    }
    if (evemu_read(device.get(), text.get()) <= 0) {
        return failure(0, "libevemu cannot read the device description");
    }

    Recording recording;
    recording.path_ = path;
    recording.name_ = evemu_get_name(device.get());
    for (unsigned type = 0; type < EV_CNT; ++type) {
        recording.caps_.types[type] = evemu_has_bit(device.get(), static_cast<int>(type)) != 0;
    }
    for (unsigned code = 0; code < KEY_CNT; ++code) {
        recording.caps_.keys[code] =
            evemu_has_event(device.get(), EV_KEY, static_cast<int>(code)) != 0;
    }
    for (unsigned code = 0; code < REL_CNT; ++code) {
        recording.caps_.rels[code] =
            evemu_has_event(device.get(), EV_REL, static_cast<int>(code)) != 0;
    }
    for (unsigned code = 0; code < ABS_CNT; ++code) {
        recording.caps_.abs[code] =
            evemu_has_event(device.get(), EV_ABS, static_cast<int>(code)) != 0;
    }
    recording.caps_.x_range = {evemu_get_abs_minimum(device.get(), ABS_X),
                               evemu_get_abs_maximum(device.get(), ABS_X)};
    recording.caps_.y_range = {evemu_get_abs_minimum(device.get(), ABS_Y),
                               evemu_get_abs_maximum(device.get(), ABS_Y)};
    recording.event_count_ = scan.events;
    recording.first_event_us_ = scan.first_us;
    recording.events_offset_ = scan.events_offset;
    return LoadResult{std::move(recording), {}};
}

LoadAllResult load_recordings(const std::vector<std::string>& paths) {
    LoadAllResult result;
    result.recordings.reserve(paths.size());
    for (const std::string& path : paths) {
        LoadResult loaded = Recording::load(path);
        if (!loaded) {
            result.error = std::move(loaded.error);
            result.recordings.clear();
            return result;
        }
        result.recordings.push_back(std::move(*loaded.recording));
    }
    return result;
}

EventStream::EventStream(const Recording& recording)
    : path_(recording.path()),
      expected_(recording.event_count()),
      last_us_(recording.first_event_us()) {
    if (expected_ == 0)
        return;  // nothing to read: the file is not opened
    UniqueFd fd(::open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
    if (fd.get() < 0) {
        fail(std::string("cannot open it again: ") + std::strerror(errno));
        return;
    }
    if (::lseek(fd.get(), static_cast<off_t>(recording.events_offset()), SEEK_SET) < 0) {
        fail(std::string("cannot seek to its events: ") + std::strerror(errno));
        return;
    }
    file_.reset(WholeLineReader::open(fd));
    if (!file_)
        fail(std::string("cannot read it again: ") + std::strerror(errno));
}

bool EventStream::next(input_event& event) {
    if (!file_ || read_ >= expected_)
        return false;
    // libevemu ends its events at a line of one blank character (" ", "\r") and
    // returns 0 there; the checker took that line as blank, so read on past it.
    int got = 0;
    while ((got = evemu_read_event(file_.get(), &event)) == 0 && !std::feof(file_.get()) &&
           !std::ferror(file_.get())) {
    }
    if (got <= 0) {
        fail("the file changed since it was loaded: " + std::to_string(read_) + " of " +
             std::to_string(expected_) + " events read");
        return false;
    }
    const int type_max = event.type <= EV_MAX ? libevdev_event_type_get_max(event.type) : -1;
    const bool time_ok = event.input_event_sec >= 0 &&
                         static_cast<std::uint64_t>(event.input_event_sec) <= max_seconds &&
                         event.input_event_usec < 1000000;
    const std::int64_t us = time_ok ? event_time_us(event) : 0;
    if (type_max < 0 || event.code > type_max || !time_ok || us < last_us_) {
        fail("the file changed since it was loaded: event " + std::to_string(read_ + 1) +
             " is no longer valid");
        return false;
    }
    last_us_ = us;
    ++read_;
    return true;
}

void EventStream::fail(std::string message) {
    error_ = path_ + ": " + std::move(message);
    file_.reset();
}

}  // namespace input
