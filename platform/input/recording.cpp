#include "platform/input/recording.h"

#include "platform/input/libinput_record.h"
#include "platform/input/recording_stderr.h"

#include <evemu.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <future>
#include <limits>
#include <memory>
#include <string_view>

#if defined(RAWMICE_LEAK_CHECK)
#include <sanitizer/lsan_interface.h>
#endif

// libevemu alone parses the description and the events, from an ordinary stream
// whose position, where it stops, gives the line (newlines are counted only to
// report an error). What libevemu does not check is checked on what it returns.
namespace input {

namespace {

constexpr long long max_seconds = max_event_seconds;

const std::string headless_events =
    "events come before any device description: a recording starts with its 'N: <device "
    "name>' line (for a bare .events file, put its .desc first)";
const std::string event_form = "'E: SECONDS.MICROSECONDS TYPE CODE VALUE'";
const std::string description_form =
    " (a description is 'N: NAME', 'I: BUS VENDOR PRODUCT VERSION', then P:, B:, A:, L:, S: "
    "lines, in that order)";

// Calls libevemu, which loses its line buffer at a line it cannot read (or in a file with no
// line of two characters): one block per bad file, which the leak checker passes over.
template <class Call>
int evemu(Call&& call) {
#if defined(RAWMICE_LEAK_CHECK)
    const __lsan::ScopedDisabler pass;
#endif
    return call();
}

bool all_blank(std::string_view text) {
    return text.find_first_not_of(" \t\r\n") == text.npos;
}

}  // namespace

std::string quoted(std::string_view text) {
    std::string out = "'";
    for (const unsigned char c : text.substr(0, 40)) {
        char escaped[8] = {static_cast<char>(c)};
        if (c == '\r' || (c < 0x20 && c != '\t') || c == 0x7f)
            std::snprintf(escaped, sizeof escaped, c == '\r' ? "\\r" : "\\x%02x", c);
        out += escaped;
    }
    return out + (text.size() > 40 ? "...'" : "'");
}

namespace {

// The line of the file that ends just before byte `end` (after its line end,
// if it has one): its number, its text, and whether it is a last line with no
// line end.
struct Place {
    std::uint64_t line = 0;
    std::string text;
    bool cut_short = true;
};
Place place_of(std::FILE* file, long end) {
    Place place{1, {}, true};
    char block[64 * 1024];
    ssize_t got = 0;
    for (long at = 0; at < end; at += got) {
        if ((got = ::pread(::fileno(file), block, std::min<long>(sizeof block, end - at), at)) <= 0)
            break;
        for (const char c : std::string_view(block, static_cast<std::size_t>(got))) {
            if (!place.cut_short)
                place = {place.line + 1, {}, true};  // the byte after a line end starts a line
            place.cut_short = c != '\n';
            if (c != '\n' && place.text.size() < 64)
                place.text += c;
        }
    }
    while (place.text.ends_with('\r'))
        place.text.pop_back();
    return end > 0 ? place : Place{};
}

// The whole of `text` as a number: decimal with an optional sign, or hex with
// an optional 0x; one past 64 bits is held at the nearer end of that range.
// Nothing when any of the text is not part of the number.
std::optional<long long> whole_number(std::string_view text, int base) {
    if (base == 10 && text.starts_with('+'))
        text.remove_prefix(1);
    if (base == 16 && (text.starts_with("0x") || text.starts_with("0X")))
        text.remove_prefix(2);
    long long number = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number, base);
    if (text.empty() || end != text.data() + text.size())
        return std::nullopt;
    if (error == std::errc::result_out_of_range)
        return text.starts_with('-') ? std::numeric_limits<long long>::min()
                                     : std::numeric_limits<long long>::max();
    return number;
}

// libevemu reads an event line with sscanf("E: %lu.%06u %04x %04x %d"), which takes
// the first digits of a field for the field and wraps a value past 32 bits: a value
// 99999999999 would play as 1215752191, a type written 00002 as type 0 and code 2,
// a value 12abc as 12. Each field of the line libevemu read (up to a '#' comment)
// must be, as a number, what it took.
std::optional<std::string> misread(std::string_view line, const input_event& event) {
    line = line.substr(0, line.find('#'));
    line.remove_prefix(std::min<std::size_t>(2, line.size()));  // "E:"
    // Every event of a replay comes through here: the fields are views into
    // the line, counted past the four that are kept, with no allocation.
    std::array<std::string_view, 4> fields;
    std::size_t count = 0;
    const auto blank = [](char c) { return c == ' ' || (c >= '\t' && c <= '\r'); };
    for (std::size_t at = 0; at < line.size();) {
        if (blank(line[at])) {
            ++at;
            continue;
        }
        std::size_t end = at;
        while (end < line.size() && !blank(line[end]))
            ++end;
        if (count < fields.size())
            fields[count] = line.substr(at, end - at);
        ++count;
        at = end;
    }
    if (count != fields.size())
        return "the event line has " + std::to_string(count) +
               " fields after 'E:', not the four of " + event_form + " (a comment starts with '#')";
    const std::size_t dot = fields[0].find('.');
    const struct {
        const char* name;
        std::string_view text;
        int base;
        long long taken;
    } taken[] = {
        {"SECONDS", fields[0].substr(0, dot), 10, static_cast<long long>(event.input_event_sec)},
        {"MICROSECONDS", dot == fields[0].npos ? std::string_view() : fields[0].substr(dot + 1), 10,
         static_cast<long long>(event.input_event_usec)},
        {"TYPE", fields[1], 16, event.type},
        {"CODE", fields[2], 16, event.code},
        {"VALUE", fields[3], 10, event.value},
    };
    for (const auto& field : taken) {
        const std::optional<long long> written = whole_number(field.text, field.base);
        if (written == field.taken)
            continue;
        char as_taken[24];
        std::snprintf(as_taken, sizeof as_taken, field.base == 16 ? "%04llx" : "%lld", field.taken);
        const bool wide = written && field.name == std::string_view("VALUE") &&
                          *written != static_cast<std::int32_t>(*written);
        return std::string("event field ") + field.name + " " + quoted(field.text) +
               (!written ? " is not a whole number"
                : wide   ? " does not fit in 32 signed bits"
                         : " is not what libevemu reads") +
               " (libevemu would play " + std::string(as_taken) + ")";
    }
    return std::nullopt;
}

// What libevemu does not check in an event it read: that its line says it,
// and that its time and its type and code are in range.
std::optional<std::string> check_event(const input_event& event, const LineBack::Line& line,
                                       std::int64_t last_us) {
    if (!line.whole)
        return "the event line is longer than " + std::to_string(LineBack::max_line) +
               " characters";
    if (auto problem = misread(line.text, event))
        return problem;
    if (event.input_event_sec < 0 || event.input_event_sec > max_seconds)
        return "time stamp out of range (0 to " + std::to_string(max_seconds) + " seconds)";
    const std::int64_t us = event_time_us(event);
    char text[160] = {};
    if (us < last_us) {
        std::snprintf(text, sizeof text,
                      "time stamp %lld.%06lld goes backwards (the event before is at %lld.%06lld)",
                      us / 1000000LL, us % 1000000LL, last_us / 1000000LL, last_us % 1000000LL);
    } else if (event.type > EV_MAX || event.code > KEY_MAX) {
        std::snprintf(text, sizeof text, "event type %04x or code %04x out of range", event.type,
                      event.code);
    }
    return *text != '\0' ? std::optional<std::string>(text) : std::nullopt;
}

// The next event libevemu reads: 1 with the event, 0 at the end of the file,
// -1 at a line that is not one. libevemu stops at a line of two characters,
// the second its line end: a blank one is passed over.
int read_event(std::FILE* file, input_event& event) {
    for (;;) {
        const int read = evemu([&] { return evemu_read_event(file, &event); });
        if (read != 0 || std::feof(file) || std::ferror(file))
            return read;
        char c = 0;  // the first of the two
        if (::pread(::fileno(file), &c, 1, std::ftell(file) - 2) != 1 || !all_blank({&c, 1}))
            return -1;
    }
}

// libevemu's warning of a file format newer than it reads (it reads the
// file all the same), said in rawmice's words.
std::optional<std::string> newer_format(const std::string& said) {
    const std::size_t at = said.find("Warning: file format ");
    int major = 0;
    int minor = 0;
    int known_major = 0;
    int known_minor = 0;
    if (at == said.npos ||
        std::sscanf(said.c_str() + at,
                    "Warning: file format %d.%d is newer than supported version %d.%d", &major,
                    &minor, &known_major, &known_minor) != 4)
        return std::nullopt;
    const auto version = [](int a, int b) { return std::to_string(a) + "." + std::to_string(b); };
    return "its evemu format " + version(major, minor) + " is newer than the " +
           version(known_major, known_minor) + " libevemu reads; it is read as " +
           version(known_major, known_minor);
}

}  // namespace

std::optional<LineBack::Line> LineBack::before(int fd, long end) {
    const long from = std::max(0L, end - max_line);
    if (from < start_ || end > start_ + static_cast<long>(size_)) {
        const ssize_t got = ::pread(fd, window_.data(), window_.size(), from);
        start_ = from;
        size_ = got > 0 ? static_cast<std::size_t>(got) : 0;
        if (end > start_ + static_cast<long>(size_))
            return std::nullopt;
    }
    std::string_view text(window_.data() + (from - start_), static_cast<std::size_t>(end - from));
    if (text.ends_with('\n'))
        text.remove_suffix(1);
    while (text.ends_with('\r'))
        text.remove_suffix(1);
    // memrchr: the line is found from its end, as libc finds it fastest.
    const auto* line_end = static_cast<const char*>(::memrchr(text.data(), '\n', text.size()));
    const std::size_t start = line_end == nullptr ? 0 : line_end + 1 - text.data();
    return Line{text.substr(start), line_end != nullptr || from == 0};
}

std::string RecordingError::to_string() const {
    std::string out = file;
    if (line != 0)
        out.append(":").append(std::to_string(line));
    return out.append(": ").append(message);
}

LoadResult Recording::load(const std::string& path) {
    // What libevemu says is said again in rawmice's words below, with the
    // file and the line, or not at all.
    const StderrCapture libevemu_said;
    const auto failure = [&](std::uint64_t line, std::string message) {
        return LoadResult{std::nullopt, RecordingError{path, line, std::move(message)}, {}};
    };
    // Non-blocking, so a FIFO given by mistake cannot hang the open (files ignore it).
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    struct stat info {};
    if (!fd || ::fstat(fd.get(), &info) != 0) {
        const int error = errno;
        return failure(0, std::string("cannot open it: ") + std::strerror(error) +
                              (error == EACCES || error == EPERM ? " (check the file's permissions)"
                               : error == ENOENT                 ? " (check the path)"
                                                                 : ""));
    }
    if (!S_ISREG(info.st_mode)) {
        return failure(0, S_ISDIR(info.st_mode) ? "is a directory, not a recording"
                                                : "not a regular file (a recording is read twice)");
    }
    if (info.st_size == 0)
        return failure(0, "empty file, not an evemu recording");

    // A file given by mistake (a program, an image), or control bytes anywhere in
    // a recording, are refused before libevemu would copy a line holding them
    // (a terminal's escape sequences among them) to standard error in a complaint.
    char bytes[65536];
    std::uint64_t line = 1;
    bool carriage_returns = false;
    for (off_t at = 0;;) {
        const ssize_t got = ::pread(fd.get(), bytes, sizeof bytes, at);
        if (got <= 0)
            break;
        const std::string_view chunk(bytes, static_cast<std::size_t>(got));
        const auto bad = std::find_if(chunk.begin(), chunk.end(), [](char c) {
            return (static_cast<unsigned char>(c) < 0x20 && !all_blank({&c, 1})) || c == 0x7f;
        });
        line += static_cast<std::uint64_t>(std::count(chunk.begin(), bad, '\n'));
        carriage_returns = carriage_returns || chunk.find('\r') != chunk.npos;
        if (bad != chunk.end())
            return failure(line, "binary data, not an evemu recording");
        at += got;
    }
    // libevemu reads lines up to a line feed: a file of lines that end with
    // a carriage return alone would be one line to it.
    if (line == 1 && carriage_returns) {
        return failure(0,
                       "its lines end with a carriage return alone (CR), which libevemu does not "
                       "take for a line end: an evemu recording's lines end with LF or CR LF");
    }

    UniqueFile file(::fdopen(fd.release(), "r"));
    std::unique_ptr<evemu_device, decltype(&evemu_delete)> device(evemu_new(nullptr),
                                                                  &evemu_delete);
    if (!file || !device)
        return failure(0, std::string("cannot read it: ") + std::strerror(errno));
    // What is wrong at the line that ends where the stream is now.
    const auto here = [&] { return place_of(file.get(), std::ftell(file.get())); };
    const auto fault = [&](const std::string& message) {
        const Place at = here();
        return failure(at.line, message + (at.cut_short ? " (the last line has no line end: is "
                                                          "the file cut short?)"
                                                        : ""));
    };

    if (evemu([&] { return evemu_read(device.get(), file.get()); }) <= 0) {
        const std::string text = here().text;
        const bool named = *evemu_get_name(device.get()) != '\0';
        if (!named && (text.starts_with("#") || all_blank(text)) && std::feof(file.get()))
            return failure(0, "not an evemu recording: no device name line 'N: ...'");
        return fault(
            named ? "libevemu stops reading the device description at " + quoted(text) +
                        description_form
            : text.starts_with("E:")
                ? headless_events
                : "neither an evemu recording nor a libinput record file: expected the device "
                  "name line 'N: ...' or 'version: 1', found " +
                      (all_blank(text) ? "a blank line" : quoted(text)));
    }
    Recording recording;
    recording.path_ = path;
    recording.name_ = evemu_get_name(device.get());
    evemu_device* const d = device.get();
    recording.caps_ = read_capabilities(
        [d](unsigned type, unsigned code) { return evemu_has_event(d, int(type), int(code)); },
        [d](unsigned code) {
            return AxisRange{evemu_get_abs_minimum(d, int(code)),
                             evemu_get_abs_maximum(d, int(code))};
        });

    // libevemu leaves the stream at the first line it did not take for the description (at
    // the end of the file, at the start of its last line). Past it, it reads events and
    // passes over other lines unread: only blank lines and comments may come before them.
    char* text = nullptr;  // getline's buffer, freed by `owner`
    std::size_t capacity = 0;
    const std::unique_ptr<char*, void (*)(char**)> owner(&text, [](char** t) { std::free(*t); });
    long start = std::ftell(file.get());
    for (ssize_t length; (length = ::getline(&text, &capacity, file.get())) > 0 &&
                         !std::string_view(text).starts_with("E:");
         start = std::ftell(file.get())) {
        const std::string_view line(text, static_cast<std::size_t>(length));
        const bool description_at_end = text[1] == ':' && std::strchr("PBALS", text[0]) &&
                                        std::ftell(file.get()) == info.st_size;
        if (text[0] != '#' && !all_blank(line) && !description_at_end) {
            return fault("line " + quoted(here().text) +
                         " is neither part of the description libevemu read nor an event " +
                         event_form + description_form);
        }
    }
    std::fseek(file.get(), start, SEEK_SET);
    recording.events_offset_ = static_cast<std::uint64_t>(start);

    input_event event{};
    std::int64_t last_us = std::numeric_limits<std::int64_t>::min();
    LineBack line_back;
    for (int read; (read = read_event(file.get(), event)) != 0; last_us = event_time_us(event)) {
        if (read < 0) {
            return fault("libevemu cannot read this line as an event " + event_form + ": " +
                         quoted(here().text));
        }
        const auto line = line_back.before(::fileno(file.get()), std::ftell(file.get()));
        if (!line)
            return fault("the file was cut short while it was read");
        if (auto problem = check_event(event, *line, last_us))
            return fault(*problem);
        if (recording.event_count_++ == 0)
            recording.first_event_us_ = event_time_us(event);
    }
    if (std::ferror(file.get()))
        return failure(0, std::string("cannot read the file: ") + std::strerror(errno));
    // An event on a last line with no line end may have been cut short.
    char last = '\n';
    if (::pread(::fileno(file.get()), &last, 1, info.st_size - 1) == 1 && last != '\n' &&
        place_of(file.get(), info.st_size).text.starts_with("E:")) {
        return fault("truncated event");
    }
    LoadResult loaded{std::move(recording), {}, {}};
    if (auto note = newer_format(libevemu_said.text()))
        loaded.notes.push_back(path + ": " + *note);
    return loaded;
}

LoadAllResult load_recording_file(const std::string& path) {
    if (is_libinput_record(path))
        return load_libinput_record(path);
    LoadResult loaded = Recording::load(path);
    if (!loaded)
        return {{}, std::move(loaded.error), {}};
    LoadAllResult result;
    result.recordings.push_back(std::move(*loaded.recording));
    result.notes = std::move(loaded.notes);
    return result;
}

// Each file on a thread of its own: reading every event is most of the time
// a start takes, and the window waits for it.
LoadAllResult load_recordings(const std::vector<std::string>& paths) {
    std::vector<std::future<LoadAllResult>> loads;
    for (const std::string& path : paths) {
        loads.push_back(
            std::async(std::launch::async, [&path] { return load_recording_file(path); }));
    }
    LoadAllResult result;
    for (std::future<LoadAllResult>& load : loads) {
        LoadAllResult loaded = load.get();
        if (!loaded)
            return {{}, std::move(loaded.error), {}};
        for (Recording& recording : loaded.recordings)
            result.recordings.push_back(std::move(recording));
        for (std::string& note : loaded.notes)
            result.notes.push_back(std::move(note));
    }
    return result;
}

EventStream::EventStream(const Recording& recording)
    : path_(recording.path()),
      expected_(recording.event_count()),
      last_us_(recording.first_event_us()) {
    if (expected_ == 0)
        return;  // nothing to read: the file is not opened
    if (recording.libinput()) {
        libinput_ = std::make_unique<LibinputEvents>(recording.libinput());
        if (!libinput_->error().empty())
            error_ = libinput_->error();
        return;
    }
    file_.reset(std::fopen(path_.c_str(), "re"));
    if (!file_ || std::fseek(file_.get(), static_cast<long>(recording.events_offset()), SEEK_SET))
        fail(std::string("cannot open it again: ") + std::strerror(errno));
}

EventStream::~EventStream() = default;

bool EventStream::next(input_event& event) {
    if (libinput_) {
        if (!error_.empty() || read_ >= expected_)
            return false;
        if (!libinput_->next(event)) {
            error_ = libinput_->error();
            return false;
        }
        ++read_;
        return true;
    }
    if (!file_ || read_ >= expected_)
        return false;
    int read = read_event(file_.get(), event);
    // A line libevemu read from its buffer that the file no longer holds: cut short.
    const auto line =
        read > 0 ? line_back_.before(::fileno(file_.get()), std::ftell(file_.get())) : std::nullopt;
    if (!line)
        read = std::min(read, 0);
    const auto problem = line ? check_event(event, *line, last_us_) : std::nullopt;
    if (read <= 0 || problem) {
        fail("the file changed since it was loaded: " +
             (problem
                  ? "event " + std::to_string(read_ + 1) + " is no longer valid (" + *problem + ")"
                  : std::to_string(read_) + " of " + std::to_string(expected_) + " events read"));
        return false;
    }
    last_us_ = event_time_us(event);
    ++read_;
    return true;
}

void EventStream::fail(std::string message) {
    error_ = path_ + ": " + std::move(message);
    file_.reset();
}

}  // namespace input
