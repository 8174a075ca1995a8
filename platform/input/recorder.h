// --record: each mouse's description and the events read from it, each in an
// evemu recording of its own, written by libevemu as evemu-record writes one,
// so that libevemu, evemu's tools and --replay read it back.
#pragma once

#include <linux/input.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/win32/win32.h"

struct evemu_device;

namespace input {

struct EvemuDeviceDeleter {
    void operator()(evemu_device* device) const;
};
// A device's description as libevemu holds it.
using Description = std::unique_ptr<evemu_device, EvemuDeviceDeleter>;

// The description of the device behind an open event node, as libevemu reads
// it from the kernel (evemu_extract: ioctls a read-only node answers); null
// when the node does not answer them.
Description describe_node(int fd);
// The description at the top of the evemu recording at `path`; null when it
// cannot be read.
Description describe_recording(const std::string& path);
class Recording;
// A replayed device's description: its evemu recording's, or for a device of
// a libinput record file, the evemu text written from what the file says, as
// libevemu reads it back from memory; null when libevemu cannot.
Description describe_recording(const Recording& recording);

// "<index>-<handle>-<name>.evemu": the listing's index in two digits (so the
// files sort in listing order), the handle as the memo prints it, and the name
// with each character other than an ASCII letter, a digit, '-' and '_' made '_'.
std::string recording_file_name(int index, HANDLE handle, const std::string& name);

// The files of one run, in one folder. Every file starts with the mouse's
// description and an empty frame at the run's start, so that the files share
// one time origin: replayed together, they play as the mice sent. Safe to use
// from any thread.
class Recorder {
  public:
    // Records into `folder`, which must exist, be writable and hold no evemu
    // recording yet (none is ever overwritten); `start_us` is the run's start
    // on the clock of the events to come, at or before the first of them.
    // Null, with `error` set to one line naming the folder, otherwise.
    static std::unique_ptr<Recorder> open(const std::filesystem::path& folder,
                                          std::int64_t start_us, std::string& error);
    ~Recorder();
    Recorder(const Recorder&) = delete;
    Recorder& operator=(const Recorder&) = delete;

    using Id = std::size_t;
    // Starts one mouse's file (see recording_file_name): its description,
    // then the empty frame. nullopt, said on standard error, when the file
    // cannot be made.
    std::optional<Id> add(int index, HANDLE handle, const std::string& name,
                          const evemu_device& description);
    // One event as read from the mouse. A time earlier than the one before
    // is written as that one (a recording whose time goes back does not load).
    void write(Id id, const input_event& event);
    // Flushes and closes one mouse's file: the mouse went away.
    void close(Id id);
    // Flushes and closes every file; what comes later is not written. Whether
    // every file was written whole (a failure was said on standard error).
    bool finish();

    std::int64_t start_us() const { return start_us_; }
    const std::filesystem::path& folder() const { return folder_; }
    // Every file made, in the order they were made.
    std::vector<std::filesystem::path> files() const;

  private:
    struct File {
        std::filesystem::path path;
        std::FILE* stream = nullptr;  // null once closed
        std::int64_t last_us = 0;
        std::int64_t flushed_us = 0;
    };
    Recorder(std::filesystem::path folder, std::int64_t start_us);
    // With mutex_ held: says what went wrong with `file` and closes it.
    void fail(File& file, int error);
    void close_file(File& file);

    std::filesystem::path folder_;
    std::int64_t start_us_;
    mutable std::mutex mutex_;
    std::vector<File> files_;
    bool finished_ = false;
    bool failed_ = false;
};

}  // namespace input
