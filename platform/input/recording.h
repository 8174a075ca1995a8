// evemu recordings: one device's description ("N:", "I:", "P:", "B:", "A:"...)
// followed by its events ("E:"), read with libevemu and nothing else.
#pragma once

#include <linux/input.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/input/packets.h"
#include "platform/input/unique_fd.h"

namespace input {

struct LibinputDevice;
class LibinputEvents;

// Later event time stamps would overflow nanoseconds in 64 bits.
constexpr long long max_event_seconds = 9'223'372'035;

// A piece of a file as a message shows it: quoted, cut short when long, and
// with control characters spelled out so the message stays one line.
std::string quoted(std::string_view text);

// What is wrong with a recording and where. Formats as "FILE:LINE: message",
// or "FILE: message" when it is about the whole file (line 0).
struct RecordingError {
    std::string file;
    std::uint64_t line = 0;
    std::string message;

    std::string to_string() const;
};

struct LoadResult;
struct LoadAllResult;

// One replayed device: an evemu recording whose description and events
// libevemu has read once, from its first line to its last, or one device of
// a libinput record file. It keeps the description only; the events stay in
// the file until EventStream reads them.
class Recording {
  public:
    // Reads the whole file in one streaming pass (memory stays flat whatever
    // its size), checking on each event what libevemu does not (its time and
    // its type and code). Every bad input gives one error naming the file, the
    // line and what is wrong; what libevemu says on stderr meanwhile is taken
    // (see StderrCapture), and its warning of a newer format made a note.
    static LoadResult load(const std::string& path);

    // The file, or for a device of a libinput record file "FILE#K".
    const std::string& path() const { return path_; }
    // The device name of the "N:" line (or the `name:`).
    const std::string& name() const { return name_; }
    const Capabilities& capabilities() const { return caps_; }
    // Number of events in the file (0: the device is listed and sends nothing).
    std::uint64_t event_count() const { return event_count_; }
    // Time stamp of the first event in microseconds (0 when there are none);
    // replay times count from it. For a libinput record file, the file's
    // first event, whichever device sent it: its devices keep their offsets.
    std::int64_t first_event_us() const { return first_event_us_; }
    // Byte offset of the first event line.
    std::uint64_t events_offset() const { return events_offset_; }
    // The device of a libinput record file; null for an evemu recording.
    const std::shared_ptr<const LibinputDevice>& libinput() const { return libinput_; }

  private:
    friend LoadAllResult load_libinput_record(const std::string& path);

    std::string path_;
    std::string name_;
    Capabilities caps_;
    std::uint64_t event_count_ = 0;
    std::int64_t first_event_us_ = 0;
    std::uint64_t events_offset_ = 0;
    std::shared_ptr<const LibinputDevice> libinput_;
};

// Either a recording that loaded, or why it did not.
struct LoadResult {
    std::optional<Recording> recording;
    RecordingError error;  // meaningful only without a recording
    // What libevemu warned of in a file it read ("FILE: ..."), for standard error.
    std::vector<std::string> notes;

    explicit operator bool() const { return recording.has_value(); }
};

// Loads every file in order; stops at the first that fails.
struct LoadAllResult {
    std::vector<Recording> recordings;
    std::optional<RecordingError> error;
    // What was passed over, one line per file ("FILE: ..."), for standard error.
    std::vector<std::string> notes;

    explicit operator bool() const { return !error.has_value(); }
};
LoadAllResult load_recordings(const std::vector<std::string>& paths);
// One file's devices: a libinput record file's, or an evemu recording's one.
LoadAllResult load_recording_file(const std::string& path);

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

// A recording's events, read lazily from the file one at a time, with
// libevemu (or libyaml, for a libinput record file's device).
class EventStream {
  public:
    // Opens the file again at its first event; check error() before reading.
    explicit EventStream(const Recording& recording);
    ~EventStream();

    // The next event, or false at the end of the events or when the file no
    // longer reads as it did when loaded (error() then says why).
    bool next(input_event& event);

    // Empty while all is well.
    const std::string& error() const { return error_; }
    std::uint64_t events_read() const { return read_; }

  private:
    void fail(std::string message);

    std::unique_ptr<LibinputEvents> libinput_;
    UniqueFile file_;
    LineBack line_back_;
    std::string path_;
    std::uint64_t expected_ = 0;
    std::uint64_t read_ = 0;
    std::int64_t last_us_ = 0;
    std::string error_;
};

}  // namespace input
