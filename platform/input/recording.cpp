#include "platform/input/recording.h"

#include <evemu.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string_view>
#include <utility>

#include "platform/input/captured_stderr.h"
#include "platform/input/unique_fd.h"

// libevemu reads the description and the events. What it does not check, or
// reads wrongly, is checked here, one line at a time, in the same pass: that
// the file is a regular one of text lines of a sane length, and that every
// line after the description is an event written exactly as libevemu reads
// it (it skips other lines, stops at a line of one blank character and reads
// "1.5" as 1.000005 s), in time order. libevemu is handed the description one
// line at a time, so the line where it fails or stops is known.
namespace input {

namespace {

constexpr std::size_t max_line = 64 * 1024;
// Later time stamps would overflow nanoseconds in 64 bits.
constexpr std::uint64_t max_seconds = 9'223'372'035;

struct EvemuDeleter {
    void operator()(evemu_device* device) const { evemu_delete(device); }
};

// Splits a file into lines through one fixed buffer, so memory stays the same
// whatever the file's size. Counts lines and byte offsets.
class LineReader {
  public:
    enum class Status { line, end, too_long, failed };

    explicit LineReader(int fd) : fd_(fd), buffer_(max_line + 1) {}

    Status next() {
        status_ = read_line();
        return status_;
    }

    // The line without its line end, and with it (valid until the next call).
    std::string_view line() const { return line_; }
    std::string_view with_line_end() const {
        return std::string_view(line_.data(), line_.size() + (terminated_ ? 1 : 0));
    }
    bool terminated() const { return terminated_; }
    // The current line is the last and has no line end: the file may be cut short.
    bool cut_short() const {
        return (status_ == Status::line || status_ == Status::end) && !terminated_;
    }
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

    Status read_line() {
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

    int fd_;
    std::vector<char> buffer_;
    std::size_t begin_ = 0;
    std::size_t end_ = 0;
    bool eof_ = false;
    Status status_ = Status::end;
    std::string_view line_;
    bool terminated_ = true;
    std::uint64_t number_ = 0;
    std::uint64_t offset_ = 0;
    std::uint64_t line_offset_ = 0;
    std::uint64_t bytes_ = 0;
    int error_ = 0;
};

bool is_blank(char c) {
    return static_cast<unsigned char>(c) <= ' ' && (c == ' ' || c == '\t' || c == '\r');
}

std::string_view skip_blanks(std::string_view text) {
    while (!text.empty() && is_blank(text.front()))
        text.remove_prefix(1);
    return text;
}

std::string_view trim_end(std::string_view text) {
    while (!text.empty() && (is_blank(text.back()) || text.back() == '\n'))
        text.remove_suffix(1);
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

bool is_binary(unsigned char byte) {
    return (byte < 0x20 && byte != '\t' && byte != '\r') || byte == 0x7f;
}

// The first byte of `line` that is not text, or -1.
int binary_byte(std::string_view line) {
    const auto found = std::find_if(
        line.begin(), line.end(), [](char c) { return is_binary(static_cast<unsigned char>(c)); });
    return found == line.end() ? -1 : static_cast<unsigned char>(*found);
}

// The whitespace-separated fields after a line's "E:" prefix, up to a "#"
// comment: the first four, and how many there are.
struct Fields {
    std::array<std::string_view, 4> items;
    std::size_t count = 0;

    explicit Fields(std::string_view text) {
        const char* p = text.data();
        const char* const end = p + text.size();
        for (;;) {
            while (p != end && is_blank(*p))
                ++p;
            if (p == end || *p == '#')
                return;
            const char* const start = p;
            while (p != end && !is_blank(*p))
                ++p;
            if (count < items.size())
                items[count] = std::string_view(start, static_cast<std::size_t>(p - start));
            ++count;
        }
    }
};

// `text` as decimal digits only; nullopt otherwise. `too_big` tells a number
// over `limit` from no number at all.
std::optional<std::uint64_t> decimal(std::string_view text, std::uint64_t limit, bool& too_big) {
    too_big = false;
    if (text.empty())
        return std::nullopt;
    std::uint64_t value = 0;
    for (const char c : text) {
        const auto digit = static_cast<unsigned>(c - '0');
        if (digit > 9)
            return std::nullopt;
        value = value * 10 + digit;  // wraps past 19 digits, which the length catches
    }
    too_big = text.size() > 19 || value > limit;
    if (too_big)
        return std::nullopt;
    return value;
}

// One to four hex digits, as libevemu's "%04x" reads them.
bool hex4(std::string_view text) {
    return !text.empty() && text.size() <= 4 && std::all_of(text.begin(), text.end(), [](char c) {
        return (c >= '0' && c <= '9') || ((c | 0x20) >= 'a' && (c | 0x20) <= 'f');
    });
}

std::string format_time_us(std::int64_t us) {
    char text[48];
    std::snprintf(text, sizeof text, "%lld.%06lld", static_cast<long long>(us / 1000000),
                  static_cast<long long>(us % 1000000));
    return text;
}

// The lines after the description, one at a time. Blank lines and comments
// are passed over (libevemu is never shown them); every other line must be an
// event that libevemu reads exactly as written, no earlier than the one before.
class EventLines {
  public:
    explicit EventLines(std::int64_t last_us = std::numeric_limits<std::int64_t>::min())
        : last_us_(last_us) {}

    // What is wrong with `line` (without its line end), or nullopt; `is_event`
    // tells whether it is an event.
    std::optional<std::string> check(std::string_view line, bool& is_event) {
        is_event = false;
        const std::string_view content = skip_blanks(line);
        if (content.empty() || content.front() == '#')
            return std::nullopt;
        if (line.substr(0, 2) != "E:") {
            return "unexpected line " + quoted(trim_end(line)) +
                   (count_ == 0 ? " after the description: expected an event 'E: "
                                  "SECONDS.MICROSECONDS TYPE CODE VALUE' (a description lists "
                                  "N:, I:, then P:, B:, A:, L:, S: lines, in that order)"
                                : " among the events: expected an event 'E: "
                                  "SECONDS.MICROSECONDS TYPE CODE VALUE'");
        }
        std::int64_t us = 0;
        if (auto problem = read(line.substr(2), us))
            return problem;
        if (us < last_us_) {
            return "time stamp " + format_time_us(us) + " goes backwards (the event before is at " +
                   format_time_us(last_us_) + ")";
        }
        if (count_ == 0)
            first_us_ = us;
        last_us_ = us;
        ++count_;
        is_event = true;
        return std::nullopt;
    }

    std::uint64_t count() const { return count_; }
    std::int64_t first_us() const { return first_us_; }

  private:
    // "SECONDS.MICROSECONDS TYPE CODE VALUE", each as libevemu's
    // "%lu.%06u %04x %04x %d" reads it, then only a comment; gives the time.
    std::optional<std::string> read(std::string_view rest, std::int64_t& us) {
        const Fields fields(rest);
        if (fields.count != 4) {
            return "an event line needs 4 fields 'E: SECONDS.MICROSECONDS TYPE CODE VALUE', "
                   "found " +
                   std::to_string(fields.count);
        }
        const std::string_view time = fields.items[0];
        const std::size_t dot = time.find('.');
        bool too_big = false;
        const auto seconds = decimal(time.substr(0, dot), max_seconds, too_big);
        const std::string_view micro_text =
            dot == std::string_view::npos ? std::string_view() : time.substr(dot + 1);
        bool unused = false;
        const auto micros = decimal(micro_text, 999999, unused);
        if (dot == std::string_view::npos || (!seconds && !too_big) || micro_text.size() != 6 ||
            !micros) {
            return "bad time stamp " + quoted(time) +
                   " (expected SECONDS.MICROSECONDS, six digits after the point)";
        }
        if (too_big) {
            return "time stamp " + quoted(time) + " out of range (at most " +
                   std::to_string(max_seconds) + " seconds)";
        }
        if (!hex4(fields.items[1])) {
            return "bad event type " + quoted(fields.items[1]) + " (expected up to 4 hex digits)";
        }
        if (!hex4(fields.items[2])) {
            return "bad event code " + quoted(fields.items[2]) + " (expected up to 4 hex digits)";
        }
        // libevemu's "%d": a sign, then digits.
        std::string_view value_text = fields.items[3];
        const bool negative = value_text.front() == '-';
        if (negative || value_text.front() == '+')
            value_text.remove_prefix(1);
        const auto magnitude = decimal(value_text, negative ? 2147483648u : 2147483647u, too_big);
        if (too_big) {
            return "event value " + quoted(fields.items[3]) +
                   " out of range (32-bit signed: -2147483648 to 2147483647)";
        }
        if (!magnitude) {
            return "bad event value " + quoted(fields.items[3]) + " (expected a decimal integer)";
        }
        us = static_cast<std::int64_t>(*seconds * 1000000 + *micros);
        return std::nullopt;
    }

    std::int64_t last_us_;
    std::int64_t first_us_ = 0;
    std::uint64_t count_ = 0;
};

// Why the reader gave no line (nullopt when it gave one, or at the end).
std::optional<std::string> read_fault(LineReader::Status status, const LineReader& reader) {
    if (status == LineReader::Status::too_long)
        return "line longer than " + std::to_string(max_line) + " bytes: not an evemu recording";
    if (status == LineReader::Status::failed)
        return std::string("cannot read the file: ") + std::strerror(reader.error());
    return std::nullopt;
}

// The next line of a recording, or what keeps it from being a text line.
std::optional<std::string> next_text_line(LineReader& reader, bool& end, bool before_content) {
    const LineReader::Status status = reader.next();
    end = status == LineReader::Status::end;
    if (status != LineReader::Status::line)
        return read_fault(status, reader);
    const int byte = binary_byte(reader.line());
    if (byte < 0)
        return std::nullopt;
    if (before_content)
        return "binary data, not an evemu recording";
    char text[48];
    std::snprintf(text, sizeof text, "unexpected binary data (byte 0x%02x)", byte);
    return text;
}

// A stdio stream for libevemu that hands over one line per read, each chosen
// by next(), until next() says there is no more. libevemu then has read no
// further than the line it works on. A last line with no line end is given
// one, so libevemu takes it in without reading to the end of the file: the
// feed ends only when libevemu asks for a line after the last.
class LineFeed {
  public:
    virtual ~LineFeed() = default;

    // The stream (owned by the caller, and closed before this feed goes).
    std::FILE* open() { return ::fopencookie(this, "r", {&read, nullptr, nullptr, nullptr}); }
    // Takes the first line now; false when there is none.
    bool prime() { return fill(); }

  protected:
    // The next line to hand over, with its line end if it has one; false to
    // end the stream.
    virtual bool next(std::string_view& line) = 0;

    // Hand over as many whole lines as fit in each read (libevemu's line
    // number then no longer follows the feed's).
    bool batch_ = false;

  private:
    // Makes pending_ the rest of a line; false at the end.
    bool fill() {
        if (!pending_.empty())
            return true;
        if (end_missing_) {
            pending_ = "\n";
            end_missing_ = false;
            return true;
        }
        if (ended_ || !next(pending_)) {
            ended_ = true;
            return false;
        }
        end_missing_ = pending_.back() != '\n';
        return true;
    }

    static ssize_t read(void* cookie, char* out, std::size_t size) {
        auto* feed = static_cast<LineFeed*>(cookie);
        std::size_t done = 0;
        while (feed->fill()) {
            if (done > 0 && feed->pending_.size() > size - done)
                break;
            const std::size_t n = std::min(size - done, feed->pending_.size());
            std::memcpy(out + done, feed->pending_.data(), n);
            feed->pending_.remove_prefix(n);
            done += n;
            if (!feed->batch_ || done == size)
                break;
        }
        return static_cast<ssize_t>(done);
    }

    std::string_view pending_;
    bool end_missing_ = false;
    bool ended_ = false;
};

// The description for libevemu: every line but blank ones (it would take a
// line of blanks for a bad description line), and an indented comment from
// its "#", where libevemu looks for one.
class DescriptionFeed final : public LineFeed {
  public:
    explicit DescriptionFeed(LineReader& reader) : reader_(reader) {}

    // The file ended while libevemu was reading.
    bool ended() const { return file_ended_; }
    // What is wrong with the line the feed stopped at (empty when nothing).
    const std::string& fault() const { return fault_; }
    // The last line handed over (without its line end) and how many were not comments.
    std::string_view last() const { return last_; }
    int content_lines() const { return content_lines_; }

  protected:
    bool next(std::string_view& out) override {
        for (;;) {
            if (auto fault = next_text_line(reader_, file_ended_, content_lines_ == 0)) {
                fault_ = std::move(*fault);
                return false;
            }
            if (file_ended_)
                return false;
            const std::string_view content = skip_blanks(reader_.line());
            if (content.empty())
                continue;
            const std::string_view whole = reader_.with_line_end();
            out = whole.substr(static_cast<std::size_t>(content.data() - whole.data()));
            if (content.front() == '#') {
                last_ = content;
            } else {
                out = whole;
                last_ = reader_.line();
                ++content_lines_;
            }
            return true;
        }
    }

  private:
    LineReader& reader_;
    bool file_ended_ = false;
    std::string fault_;
    std::string_view last_;
    int content_lines_ = 0;
};

// libevemu's last complaint ("FATAL: Invalid EV_BIT line. Parsed 2 numbers,
// expected 9: B: 01 0g ...") as one line: its level dropped and the line it
// copies quoted and cut short. Empty when it said nothing.
std::string complaint(std::string_view said, std::string_view line) {
    std::size_t at = std::string_view::npos;
    std::size_t skip = 0;
    for (const std::string_view level : {"FATAL: ", "WARNING: "}) {
        const std::size_t found = said.rfind(level);
        if (found != std::string_view::npos && (at == std::string_view::npos || found > at)) {
            at = found;
            skip = level.size();
        }
    }
    if (at == std::string_view::npos)
        return {};
    std::string_view words = trim_end(said.substr(at + skip));
    line = trim_end(line);
    std::string out;
    if (!line.empty() && words.size() > line.size() && words.ends_with(line)) {
        words.remove_suffix(line.size());
        out = std::string(words) + quoted(line);
    } else {
        out = words.substr(0, 200);
    }
    std::replace_if(
        out.begin(), out.end(),
        [](char c) { return is_binary(static_cast<unsigned char>(c)) || c == '\t' || c == '\r'; },
        ' ');
    return "libevemu: " + out;
}

std::string open_failure(int error) {
    std::string message = std::string("cannot open it: ") + std::strerror(error);
    if (error == EACCES || error == EPERM)
        message += " (check the file's permissions)";
    if (error == ENOENT)
        message += " (check the path)";
    return message;
}

constexpr const char* headless_events =
    "events come before any device description: a recording starts with its "
    "'N: <device name>' line (for a bare .events file, put its .desc first)";
constexpr const char* no_name = "not an evemu recording: no device name line 'N: ...'";

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

    LineReader reader(fd.get());
    // The line the reader is at; a fault on a last line with no line end says so.
    const auto fault_here = [&](std::string message) {
        if (reader.cut_short())
            message += " (the last line has no line end: is the file cut short?)";
        return failure(reader.number(), std::move(message));
    };

    DescriptionFeed feed(reader);
    // A file with no line at all never reaches libevemu, which loses its line
    // buffer when it finds none (every line handed to it has a line end, so
    // it finds one otherwise).
    if (!feed.prime()) {
        if (!feed.fault().empty())
            return fault_here(feed.fault());
        return failure(0, reader.bytes() == 0 ? "empty file, not an evemu recording" : no_name);
    }
    UniqueFile text(feed.open());
    std::unique_ptr<evemu_device, EvemuDeleter> device(evemu_new(nullptr));
    if (!text || !device) {
        return failure(0,
                       std::string("cannot read the device description: ") + std::strerror(errno));
    }
    CapturedStderr captured;
    const int described = evemu_read(device.get(), text.get());
    const std::string said = complaint(captured.release(), feed.last());
    if (!feed.fault().empty())
        return fault_here(feed.fault());
    if (described <= 0) {
        if (feed.content_lines() == 0)
            return failure(0, no_name);
        if (feed.content_lines() == 1 && feed.last().substr(0, 2) == "E:")
            return fault_here(headless_events);
        if (!said.empty())
            return fault_here(said);
        return fault_here(feed.content_lines() == 1 && feed.ended()
                              ? "the description stops after the device name: the line "
                                "'I: BUS VENDOR PRODUCT VERSION' is missing"
                              : "libevemu cannot read the device description");
    }

    Recording recording;
    recording.path_ = path;
    recording.name_ = evemu_get_name(device.get());
    recording.caps_ = read_capabilities(
        [&](unsigned type, unsigned code) {
            return evemu_has_event(device.get(), static_cast<int>(type), static_cast<int>(code));
        },
        [&](unsigned code) {
            return AxisRange{evemu_get_abs_minimum(device.get(), static_cast<int>(code)),
                             evemu_get_abs_maximum(device.get(), static_cast<int>(code))};
        });

    // Unless the file ended, libevemu stopped at the reader's line: the first
    // that is not part of the description. The events start there.
    EventLines events;
    for (bool end = feed.ended(); !end;) {
        bool is_event = false;
        if (auto problem = events.check(reader.line(), is_event))
            return fault_here(std::move(*problem));
        if (is_event && !reader.terminated()) {
            return failure(reader.number(),
                           "truncated last line: the event has no line end "
                           "(is the file cut short?)");
        }
        if (is_event && events.count() == 1)
            recording.events_offset_ = reader.line_offset();
        if (auto fault = next_text_line(reader, end, false))
            return fault_here(std::move(*fault));
    }
    recording.event_count_ = events.count();
    recording.first_event_us_ = events.first_us();
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

// The events as libevemu reads them: only event lines that pass the same
// check as when the file was loaded. A file changed since then ends at its
// first line that does not, or at a last line with no line end, instead of
// making libevemu skip, misread or complain on standard error.
struct EventStream::Reader final : LineFeed {
    Reader(int descriptor, std::int64_t first_us)
        : fd(descriptor), lines(fd.get()), events(first_us) {
        batch_ = true;
    }

    // No binary scan here: an event line that passes the check holds none up to
    // its value, and libevemu reads no further.
    bool next(std::string_view& out) override {
        for (;;) {
            const LineReader::Status status = lines.next();
            if (auto problem = read_fault(status, lines)) {
                fault = std::move(*problem);
                return false;
            }
            if (status == LineReader::Status::end || !lines.terminated())
                return false;
            bool is_event = false;
            if (auto problem = events.check(lines.line(), is_event)) {
                fault = std::move(*problem);
                return false;
            }
            if (is_event) {
                out = lines.with_line_end();
                return true;
            }
        }
    }

    UniqueFd fd;
    LineReader lines;
    EventLines events;
    std::string fault;
    UniqueFile file;  // last: closed first
};

EventStream::EventStream(const Recording& recording)
    : path_(recording.path()), expected_(recording.event_count()) {
    if (expected_ == 0)
        return;  // nothing to read: the file is not opened
    const int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        fail(std::string("cannot open it again: ") + std::strerror(errno));
        return;
    }
    reader_ = std::make_unique<Reader>(fd, recording.first_event_us());
    if (::lseek(fd, static_cast<off_t>(recording.events_offset()), SEEK_SET) < 0) {
        fail(std::string("cannot seek to its events: ") + std::strerror(errno));
        return;
    }
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    reader_->file.reset(reader_->open());
    if (!reader_->file)
        fail(std::string("cannot read it again: ") + std::strerror(errno));
}

EventStream::~EventStream() = default;
EventStream::EventStream(EventStream&&) noexcept = default;
EventStream& EventStream::operator=(EventStream&&) noexcept = default;

bool EventStream::next(input_event& event) {
    if (!reader_ || read_ >= expected_)
        return false;
    if (evemu_read_event(reader_->file.get(), &event) <= 0) {
        fail(reader_->fault.empty()
                 ? "the file changed since it was loaded: " + std::to_string(read_) + " of " +
                       std::to_string(expected_) + " events read"
                 : "the file changed since it was loaded: event " + std::to_string(read_ + 1) +
                       " is no longer valid (" + reader_->fault + ")");
        return false;
    }
    ++read_;
    return true;
}

void EventStream::fail(std::string message) {
    error_ = path_ + ": " + std::move(message);
    reader_.reset();
}

}  // namespace input
