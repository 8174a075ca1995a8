#include "platform/input/recorder.h"

#include <evemu.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/input/libinput_record.h"
#include "platform/input/recording.h"
#include "platform/input/unique_fd.h"

namespace input {

namespace {

// A file's buffer: a second of an 8 kHz mouse's events is about 600 kB of
// text, so a mouse at full rate fills it a few dozen times a second.
constexpr std::size_t file_buffer_bytes = 64 * 1024;
// Each file is flushed when its events' time has moved on this far since it
// last was, so a run that is killed loses at most about this much.
constexpr std::int64_t flush_every_us = 1'000'000;

std::string folder_problem(const std::filesystem::path& folder) {
    std::error_code error;
    const auto status = std::filesystem::status(folder, error);
    if (error || !std::filesystem::exists(status))
        return "does not exist (make it first)";
    if (!std::filesystem::is_directory(status))
        return "is not a folder";
    if (::access(folder.c_str(), W_OK | X_OK) != 0)
        return std::string("cannot be written: ") + std::strerror(errno);
    for (std::filesystem::directory_iterator it(folder, error), end; !error && it != end;
         it.increment(error)) {
        if (it->path().extension() == ".evemu") {
            return "already holds recordings (" + it->path().filename().string() +
                   "); give an empty folder, so that no recording is overwritten or mixed "
                   "with another run's";
        }
    }
    if (error)
        return "cannot be read: " + error.message();
    return {};
}

}  // namespace

void EvemuDeviceDeleter::operator()(evemu_device* device) const {
    evemu_delete(device);
}

Description describe_node(int fd) {
    Description device(evemu_new(nullptr));
    if (!device || evemu_extract(device.get(), fd) != 0)
        return nullptr;
    return device;
}

Description describe_recording(const std::string& path) {
    UniqueFile file(std::fopen(path.c_str(), "re"));
    Description device(evemu_new(nullptr));
    if (!file || !device || evemu_read(device.get(), file.get()) <= 0)
        return nullptr;
    return device;
}

Description describe_recording(const Recording& recording) {
    if (!recording.libinput())
        return describe_recording(recording.path());
    std::string text = evemu_description(*recording.libinput());
    UniqueFile file(::fmemopen(text.data(), text.size(), "r"));
    Description device(evemu_new(nullptr));
    if (!file || !device || evemu_read(device.get(), file.get()) <= 0)
        return nullptr;
    return device;
}

std::string recording_file_name(int index, HANDLE handle, const std::string& name) {
    char prefix[48];
    // The handle as the memo prints it ("%i": its low 32 bits, signed).
    std::snprintf(
        prefix, sizeof prefix, "%02d-%d-", index,
        static_cast<int>(static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(handle))));
    std::string file = prefix;
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte & 0xC0) == 0x80)
            continue;  // the rest of a character already made '_'
        const bool kept = (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') ||
                          (byte >= '0' && byte <= '9') || byte == '-' || byte == '_';
        file += kept ? c : '_';
    }
    return file + ".evemu";
}

Recorder::Recorder(std::filesystem::path folder, std::int64_t start_us)
    : folder_(std::move(folder)), start_us_(start_us) {}

Recorder::~Recorder() {
    finish();
}

std::unique_ptr<Recorder> Recorder::open(const std::filesystem::path& folder, std::int64_t start_us,
                                         std::string& error) {
    if (const std::string problem = folder_problem(folder); !problem.empty()) {
        error = "--record: " + folder.string() + " " + problem;
        return nullptr;
    }
    return std::unique_ptr<Recorder>(new Recorder(folder, start_us));
}

std::optional<Recorder::Id> Recorder::add(int index, HANDLE handle, const std::string& name,
                                          const evemu_device& description) {
    std::lock_guard lock(mutex_);
    if (finished_)
        return std::nullopt;
    File file;
    file.path = folder_ / recording_file_name(index, handle, name);
    // Never over another file: two mice of one name and index cannot meet,
    // but a file put there meanwhile is left alone.
    UniqueFd fd(::open(file.path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
    file.stream = fd ? ::fdopen(fd.get(), "w") : nullptr;
    if (file.stream == nullptr) {
        const int error = errno;
        std::fprintf(stderr, "rawmice: cannot record into %s: %s\n", file.path.c_str(),
                     std::strerror(error));
        std::fflush(stderr);
        failed_ = true;
        return std::nullopt;
    }
    fd.release();
    std::setvbuf(file.stream, nullptr, _IOFBF, file_buffer_bytes);
    file.last_us = file.flushed_us = start_us_;
    files_.push_back(std::move(file));
    const Id id = files_.size() - 1;
    File& added = files_.back();
    input_event empty{};
    empty.input_event_sec = start_us_ / 1'000'000;
    empty.input_event_usec = start_us_ % 1'000'000;
    empty.type = EV_SYN;
    empty.code = SYN_REPORT;
    if (evemu_write(&description, added.stream) != 0 ||
        evemu_write_event(added.stream, &empty) <= 0 || std::fflush(added.stream) != 0) {
        fail(added, errno);
    }
    return id;
}

void Recorder::write(Id id, const input_event& event) {
    std::lock_guard lock(mutex_);
    if (id >= files_.size() || files_[id].stream == nullptr)
        return;
    File& file = files_[id];
    input_event kept = event;
    std::int64_t us = std::int64_t{event.input_event_sec} * 1'000'000 + event.input_event_usec;
    if (us < file.last_us) {
        us = file.last_us;
        kept.input_event_sec = us / 1'000'000;
        kept.input_event_usec = us % 1'000'000;
    }
    file.last_us = us;
    if (evemu_write_event(file.stream, &kept) <= 0)
        return fail(file, errno);
    if (us - file.flushed_us >= flush_every_us) {
        file.flushed_us = us;
        if (std::fflush(file.stream) != 0)
            fail(file, errno);
    }
}

void Recorder::close(Id id) {
    std::lock_guard lock(mutex_);
    if (id < files_.size())
        close_file(files_[id]);
}

bool Recorder::finish() {
    std::lock_guard lock(mutex_);
    finished_ = true;
    for (File& file : files_)
        close_file(file);
    return !failed_;
}

std::vector<std::filesystem::path> Recorder::files() const {
    std::lock_guard lock(mutex_);
    std::vector<std::filesystem::path> paths;
    for (const File& file : files_)
        paths.push_back(file.path);
    return paths;
}

void Recorder::close_file(File& file) {
    if (file.stream == nullptr)
        return;
    const bool flushed = std::fflush(file.stream) == 0;
    const int error = errno;
    if (std::fclose(file.stream) != 0 || !flushed) {
        file.stream = nullptr;
        failed_ = true;
        std::fprintf(stderr, "rawmice: cannot write %s: %s (its recording is cut short)\n",
                     file.path.c_str(), std::strerror(flushed ? errno : error));
        std::fflush(stderr);
        return;
    }
    file.stream = nullptr;
}

void Recorder::fail(File& file, int error) {
    std::fprintf(stderr, "rawmice: cannot write %s: %s (its recording stops there)\n",
                 file.path.c_str(), std::strerror(error));
    std::fflush(stderr);
    std::fclose(file.stream);
    file.stream = nullptr;
    failed_ = true;
}

}  // namespace input
