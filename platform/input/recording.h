// evemu recordings: one device's description ("N:", "I:", "P:", "B:", "A:"...)
// followed by its events ("E:"), read with libevemu and nothing else.
#pragma once

#include <linux/input.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/input/packets.h"
#include "platform/input/unique_fd.h"

namespace input {

// What is wrong with a recording and where. Formats as "FILE:LINE: message",
// or "FILE: message" when it is about the whole file (line 0).
struct RecordingError {
    std::string file;
    std::uint64_t line = 0;
    std::string message;

    std::string to_string() const;
};

struct LoadResult;

// A recording whose description and events libevemu has read once, from its
// first line to its last. It keeps the description only; the events stay in
// the file until EventStream reads them.
class Recording {
  public:
    // Reads the whole file in one streaming pass (memory stays flat whatever
    // its size), checking on each event what libevemu does not (its time and
    // its type and code). Every bad input gives one error naming the file, the
    // line and what is wrong; libevemu may have said more on standard error.
    static LoadResult load(const std::string& path);

    const std::string& path() const { return path_; }
    // The device name of the "N:" line.
    const std::string& name() const { return name_; }
    const Capabilities& capabilities() const { return caps_; }
    // Number of events in the file (0: the device is listed and sends nothing).
    std::uint64_t event_count() const { return event_count_; }
    // Time stamp of the first event in microseconds (0 when there are none);
    // replay times count from it.
    std::int64_t first_event_us() const { return first_event_us_; }
    // Byte offset of the first event line.
    std::uint64_t events_offset() const { return events_offset_; }

  private:
    std::string path_;
    std::string name_;
    Capabilities caps_;
    std::uint64_t event_count_ = 0;
    std::int64_t first_event_us_ = 0;
    std::uint64_t events_offset_ = 0;
};

// Either a recording that loaded, or why it did not.
struct LoadResult {
    std::optional<Recording> recording;
    RecordingError error;  // meaningful only without a recording

    explicit operator bool() const { return recording.has_value(); }
};

// Loads every file in order; stops at the first that fails.
struct LoadAllResult {
    std::vector<Recording> recordings;
    std::optional<RecordingError> error;

    explicit operator bool() const { return !error.has_value(); }
};
LoadAllResult load_recordings(const std::vector<std::string>& paths);

// The line libevemu has just read, read back from the file: the line that ends
// at the stream's position, so that its fields can be held against what
// libevemu took. It keeps a window of the file, so that reading the lines back
// in order costs one read for many lines.
class LineBack {
  public:
    static constexpr long max_line = 4096;
    struct Line {
        std::string_view text;
        bool whole = true;  // false: longer than max_line, and `text` only its end
    };

    // The line that ends at byte `end` of `fd` (without its line end); nothing
    // when the file no longer holds it (cut short since libevemu read it).
    std::optional<Line> before(int fd, long end);

  private:
    std::vector<char> window_ = std::vector<char>(64 * 1024);
    long start_ = 0;
    std::size_t size_ = 0;
};

// A recording's events, read lazily from the file with libevemu, one at a time.
class EventStream {
  public:
    // Opens the file again at its first event; check error() before reading.
    explicit EventStream(const Recording& recording);

    // The next event, or false at the end of the events or when the file no
    // longer reads as it did when loaded (error() then says why).
    bool next(input_event& event);

    // Empty while all is well.
    const std::string& error() const { return error_; }
    std::uint64_t events_read() const { return read_; }

  private:
    void fail(std::string message);

    UniqueFile file_;
    LineBack line_back_;
    std::string path_;
    std::uint64_t expected_ = 0;
    std::uint64_t read_ = 0;
    std::int64_t last_us_ = 0;
    std::string error_;
};

}  // namespace input
