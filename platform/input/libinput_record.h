// `libinput record` files: YAML with several devices on one clock, each with
// its evdev description and its events as frames of [sec, usec, type, code,
// value]. Read with libyaml's event parser, never whole: one pass checks the
// file, then each device's events are read by a parser of its own that starts
// where they do, so memory stays flat whatever the file's size.
#pragma once

#include <linux/input.h>

#include <array>
#include <bitset>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "platform/input/recording.h"

namespace input {

// One device of a file: what its `evdev:` says, and where its `events:` are.
struct LibinputDevice {
    std::string file;
    std::size_t index = 0;  // its place in the file's `devices:`
    std::string name;
    std::array<unsigned, 4> id{};  // bus, vendor, product, version
    std::array<std::bitset<KEY_CNT>, EV_CNT> codes;
    std::map<unsigned, std::array<int, 5>> absinfo;  // min, max, fuzz, flat, resolution
    std::bitset<INPUT_PROP_CNT> properties;
    // Where its `events:` list is, as libyaml counts lines and columns: its
    // first line (1-based) and its column there, and the bytes it spans. A
    // parser given `events_column` spaces and then those bytes reads the list
    // as the whole file reads it.
    std::uint64_t events_line = 0;
    std::size_t events_column = 0;
    std::uint64_t events_offset = 0;
    std::uint64_t events_end = 0;
    std::uint64_t event_count = 0;
    std::int64_t first_event_us = 0;

    // "FILE#K", as the listing shows it.
    std::string where() const { return file + "#" + std::to_string(index); }
    // Whether the device says it sends `type`/`code`; EV_SYN is every device's.
    bool lists(unsigned type, unsigned code) const {
        return type == EV_SYN || (type < EV_CNT && code < KEY_CNT && codes[type].test(code));
    }
};

// Whether the file's first line that is neither blank nor a comment, whatever
// its line ends (LF, CR LF or CR alone), is a `version:` key: a libinput record
// file, not an evemu recording. A UTF-8 byte-order mark before it is passed over.
bool is_libinput_record(const std::string& path);

// Reads the whole file once, checking every event, and gives each device as
// a recording ("FILE#K"), in the file's order; or the first fault, as
// "FILE:LINE: what". Items of the events lists other than `- evdev:` frames
// are skipped, and the `- hid:` and `- libinput:` ones counted in a note.
LoadAllResult load_libinput_record(const std::string& path);

// The device's events, read from the file with a parser of their own.
class LibinputEvents {
  public:
    explicit LibinputEvents(std::shared_ptr<const LibinputDevice> device);
    ~LibinputEvents();
    LibinputEvents(const LibinputEvents&) = delete;
    LibinputEvents& operator=(const LibinputEvents&) = delete;

    // The next event, or false after the last one, or when the file no
    // longer reads as it did when loaded (error() then says why).
    bool next(input_event& event);
    const std::string& error() const { return error_; }

  private:
    class Reader;
    void fail(std::string message);

    std::shared_ptr<const LibinputDevice> device_;
    std::unique_ptr<Reader> reader_;
    std::uint64_t read_ = 0;
    std::string error_;
};

// The device's description in evemu's text format (1.3), for libevemu to read.
std::string evemu_description(const LibinputDevice& device);

}  // namespace input
