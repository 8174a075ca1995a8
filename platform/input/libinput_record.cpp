#include "platform/input/libinput_record.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <yaml.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/input/unique_fd.h"

// libyaml parses; this file walks its events (the node tree is never built)
// and checks what the format asks of them. Its marks give every fault a line.
namespace input {

namespace {

// What is wrong and at which line of the file (0: the file as a whole).
struct Fault {
    std::uint64_t line;
    std::string message;
    bool bad_event = false;  // an event that is YAML, but not a valid event
};

std::string as_time(std::int64_t us) {
    char text[48];
    std::snprintf(text, sizeof text, "%lld.%06lld", static_cast<long long>(us / 1'000'000),
                  static_cast<long long>(us % 1'000'000));
    return text;
}

// Finds line breaks as libyaml counts them: LF, CR LF and a lone CR, and
// NEL, LS and PS in UTF-8 (C2 85, E2 80 A8, E2 80 A9), fed the bytes in order.
class LineBreaks {
  public:
    // Whether `byte` ends a line break (the LF of a CR LF does not: its CR did).
    bool ends_one(unsigned char byte) {
        const unsigned char before = last_;
        const unsigned char before_that = last_but_one_;
        last_but_one_ = last_;
        last_ = byte;
        switch (byte) {
            case '\r':
                return true;
            case '\n':
                return before != '\r';
            case 0x85:
                return before == 0xc2;
            case 0xa8:
            case 0xa9:
                return before == 0x80 && before_that == 0xe2;
            default:
                return false;
        }
    }

  private:
    unsigned char last_ = 0;
    unsigned char last_but_one_ = 0;
};

// The line (1-based) that byte `byte` of the file is on, counting from byte
// `from`, which starts line `from_line`.
std::uint64_t line_at(int fd, std::uint64_t from, std::uint64_t from_line, std::uint64_t byte) {
    unsigned char block[64 * 1024];
    std::uint64_t line = from_line;
    LineBreaks breaks;
    for (std::uint64_t at = from; at < byte;) {
        const ssize_t got = ::pread(fd, block, std::min<std::uint64_t>(sizeof block, byte - at),
                                    static_cast<off_t>(at));
        if (got <= 0)
            break;
        for (ssize_t i = 0; i < got; ++i)
            line += breaks.ends_one(block[i]);
        at += static_cast<std::uint64_t>(got);
    }
    return line;
}

// A libyaml event parser over bytes `offset` to `end` of a file, read as
// UTF-8 after `blank` spaces, its lines counted from `first_line`. Given the
// column of a node in spaces and then the node's bytes, it reads the node as
// the root of a document of its own, as it reads it in the whole file (the
// marks say where libyaml found the node; see find_events_bytes).
// Every mapping's keys are checked as they come: YAML's keys are unique in a
// mapping, and libyaml does not check it.
class Parser {
  public:
    static constexpr std::uint64_t to_the_end = UINT64_MAX;

    Parser(int fd, std::uint64_t offset, std::uint64_t end, std::size_t blank,
           std::uint64_t first_line)
        : fd_(fd),
          offset_(offset),
          end_(end),
          at_(offset),
          blank_(blank),
          blank_left_(blank),
          first_line_(first_line) {
        if (yaml_parser_initialize(&parser_) == 0)
            throw Fault{0, "cannot start libyaml's parser: out of memory"};
        // A part of the file has no byte-order mark to tell its encoding by.
        yaml_parser_set_encoding(&parser_, YAML_UTF8_ENCODING);
        yaml_parser_set_input(&parser_, &Parser::read, this);
    }
    ~Parser() {
        if (has_event_)
            yaml_event_delete(&event_);
        yaml_parser_delete(&parser_);
    }
    Parser(const Parser&) = delete;
    Parser& operator=(const Parser&) = delete;

    // Moves to the next event; throws the fault when the text is not YAML.
    yaml_event_type_t next() {
        if (has_event_)
            yaml_event_delete(&event_);
        has_event_ = yaml_parser_parse(&parser_, &event_) != 0;
        if (!has_event_)
            throw fault();
        if (event_.type == YAML_ALIAS_EVENT) {
            throw Fault{line(),
                        "a YAML alias (*" +
                            std::string(reinterpret_cast<const char*>(event_.data.alias.anchor)) +
                            "): libinput record files have none, and rawmice reads none"};
        }
        check_keys();
        return event_.type;
    }
    yaml_event_type_t type() const { return event_.type; }
    std::uint64_t line() const { return first_line_ + event_.start_mark.line; }
    // libyaml's marks count characters: the event's column on its line, and
    // where it starts and ends among the characters read.
    std::size_t column() const { return event_.start_mark.column; }
    std::uint64_t start_index() const { return event_.start_mark.index; }
    std::uint64_t end_index() const { return event_.end_mark.index; }
    const yaml_event_t& event() const { return event_; }
    std::string_view scalar() const {
        return {reinterpret_cast<const char*>(event_.data.scalar.value), event_.data.scalar.length};
    }
    // An empty node: a plain scalar that YAML reads as null.
    bool null() const {
        if (event_.type != YAML_SCALAR_EVENT || event_.data.scalar.style != YAML_PLAIN_SCALAR_STYLE)
            return false;
        const std::string_view text = scalar();
        return text.empty() || text == "~" || text == "null" || text == "Null" || text == "NULL";
    }
    // Passes over the node whose first event is the current one.
    void skip() {
        for (int depth = 0;;) {
            if (event_.type == YAML_SEQUENCE_START_EVENT || event_.type == YAML_MAPPING_START_EVENT)
                ++depth;
            else if (event_.type == YAML_SEQUENCE_END_EVENT ||
                     event_.type == YAML_MAPPING_END_EVENT)
                --depth;
            if (depth == 0)
                return;
            next();
        }
    }

  private:
    // A collection open around the current event; kept with its storage for
    // the next one at its depth, so that a file's many small mappings (a frame
    // is one) cost no allocation.
    struct Level {
        bool mapping = false;
        bool at_key = false;                                      // a mapping's next node is a key
        std::vector<std::pair<std::string, std::uint64_t>> keys;  // and their lines
        std::unordered_map<std::string, std::uint64_t> many;      // once there are many
    };

    void check_keys() {
        Level* parent = depth_ > 0 ? &levels_[depth_ - 1] : nullptr;
        switch (event_.type) {
            case YAML_SCALAR_EVENT:
                if (parent != nullptr && parent->mapping) {
                    if (parent->at_key)
                        add_key(*parent);
                    parent->at_key = !parent->at_key;
                }
                break;
            case YAML_SEQUENCE_START_EVENT:
            case YAML_MAPPING_START_EVENT: {
                // A key that is a collection is no key of the format; its own
                // mappings are checked all the same.
                if (parent != nullptr && parent->mapping)
                    parent->at_key = !parent->at_key;
                if (depth_ == levels_.size())
                    levels_.emplace_back();
                Level& level = levels_[depth_++];
                level.mapping = event_.type == YAML_MAPPING_START_EVENT;
                level.at_key = true;
                level.keys.clear();
                if (!level.many.empty())
                    level.many.clear();
                break;
            }
            case YAML_SEQUENCE_END_EVENT:
            case YAML_MAPPING_END_EVENT:
                depth_ -= depth_ > 0;
                break;
            default:
                break;
        }
    }
    void add_key(Level& level) {
        constexpr std::size_t few = 16;
        const std::string_view key = scalar();
        std::optional<std::uint64_t> first;
        if (level.keys.size() < few) {
            for (const auto& [text, line] : level.keys) {
                if (text == key)
                    first = line;
            }
        } else {
            if (level.many.empty())
                level.many.insert(level.keys.begin(), level.keys.end());
            if (const auto found = level.many.find(std::string(key)); found != level.many.end())
                first = found->second;
        }
        if (first) {
            throw Fault{line(), "the key " + quoted(key) + " is repeated (it is first at line " +
                                    std::to_string(*first) + "): a YAML mapping's keys are unique"};
        }
        if (level.keys.size() < few)
            level.keys.emplace_back(key, line());
        else
            level.many.emplace(key, line());
    }

    static int read(void* data, unsigned char* buffer, size_t size, size_t* length) {
        auto* self = static_cast<Parser*>(data);
        if (self->blank_left_ > 0) {
            const std::size_t spaces = std::min(size, self->blank_left_);
            std::memset(buffer, ' ', spaces);
            self->blank_left_ -= spaces;
            *length = spaces;
            return 1;
        }
        const std::uint64_t wanted = std::min<std::uint64_t>(size, self->end_ - self->at_);
        const ssize_t got =
            wanted == 0 ? 0 : ::pread(self->fd_, buffer, wanted, static_cast<off_t>(self->at_));
        if (got < 0) {
            self->read_error_ = errno;
            return 0;
        }
        self->at_ += static_cast<std::uint64_t>(got);
        *length = static_cast<size_t>(got);
        return 1;
    }

    Fault fault() const {
        if (read_error_ != 0)
            return {0, std::string("cannot read the file: ") + std::strerror(read_error_)};
        std::string message = std::string("not valid YAML: ") +
                              (parser_.problem != nullptr ? parser_.problem : "libyaml failed");
        if (parser_.error == YAML_READER_ERROR) {
            // libyaml's reader tells the byte, not the line.
            char value[32];
            std::snprintf(value, sizeof value, " (byte 0x%02x)", parser_.problem_value & 0xff);
            const std::uint64_t byte = offset_ + parser_.problem_offset -
                                       std::min<std::uint64_t>(parser_.problem_offset, blank_);
            return {line_at(fd_, offset_, first_line_, byte),
                    message + (parser_.problem_value >= 0 ? value : "")};
        }
        // At the end of its input with no line end, libyaml counts one line more.
        struct stat info {};
        const std::uint64_t last =
            ::fstat(fd_, &info) == 0
                ? line_at(fd_, offset_, first_line_,
                          std::min(end_, static_cast<std::uint64_t>(info.st_size)))
                : UINT64_MAX;
        const std::uint64_t line = std::min(first_line_ + parser_.problem_mark.line, last);
        if (parser_.context != nullptr) {
            const std::uint64_t context = std::min(first_line_ + parser_.context_mark.line, last);
            message += std::string(" (") + parser_.context;
            if (context != line)
                message += " that starts at line " + std::to_string(context);
            message += ")";
        }
        return {line, message};
    }

    yaml_parser_t parser_{};
    yaml_event_t event_{};
    bool has_event_ = false;
    int fd_;
    std::uint64_t offset_;
    std::uint64_t end_;
    std::uint64_t at_;
    std::size_t blank_;
    std::size_t blank_left_;
    std::uint64_t first_line_;
    int read_error_ = 0;
    std::vector<Level> levels_;
    std::size_t depth_ = 0;
};

// A whole number in decimal, as libinput record writes them; one past 64
// bits is held at the nearer end, so that it is out of any range.
std::optional<long long> whole(std::string_view text) {
    if (text.starts_with('+'))
        text.remove_prefix(1);
    long long number = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
    if (text.empty() || end != text.data() + text.size())
        return std::nullopt;
    if (error == std::errc::result_out_of_range)
        return text.starts_with('-') ? LLONG_MIN : LLONG_MAX;
    return number;
}

// The current event as a whole number from `low` to `high`.
long long number(const Parser& p, const std::string& what, long long low, long long high) {
    if (p.type() != YAML_SCALAR_EVENT)
        throw Fault{p.line(), what + " is a list or a mapping, not a number"};
    const std::optional<long long> value = whole(p.scalar());
    if (!value)
        throw Fault{p.line(), what + " " + quoted(p.scalar()) + " is not a whole number"};
    if (*value < low || *value > high) {
        throw Fault{p.line(), what + " " + quoted(p.scalar()) + " is outside " +
                                  std::to_string(low) + " to " + std::to_string(high)};
    }
    return *value;
}

// The list that starts at the current event (or an empty node): `each(i)`
// reads item i, which starts at the current event.
template <class Each>
std::size_t each_item(Parser& p, const std::string& what, Each each) {
    if (p.null())
        return 0;
    if (p.type() != YAML_SEQUENCE_START_EVENT)
        throw Fault{p.line(), what + " is not a list"};
    std::size_t count = 0;
    while (p.next() != YAML_SEQUENCE_END_EVENT)
        each(count++);
    return count;
}

struct Key {
    std::string name;
    std::uint64_t line;
    std::size_t column;
};

// The mapping that starts at the current event (or an empty node):
// `each(key)` reads the key's value, which starts at the current event.
// Keys that are not plain text are no key of the format: passed over.
template <class Each>
void each_key(Parser& p, const std::string& what, Each each) {
    if (p.null())
        return;
    if (p.type() != YAML_MAPPING_START_EVENT)
        throw Fault{p.line(), what + " is not a mapping of keys"};
    while (p.next() != YAML_MAPPING_END_EVENT) {
        if (p.type() != YAML_SCALAR_EVENT) {
            p.skip();
            p.next();
            p.skip();
            continue;
        }
        const Key key{std::string(p.scalar()), p.line(), p.column()};
        p.next();
        each(key);
    }
}

// A device's `events:` list, read from the key's value on: its evdev events,
// each checked, one at a time; the list's other items passed over.
class EventWalker {
  public:
    EventWalker(Parser& parser, const LibinputDevice& device) : p_(parser), device_(device) {}

    // At the `events` key's value.
    void start() {
        if (p_.type() == YAML_SEQUENCE_START_EVENT)
            state_ = State::list;
        else if (!p_.null())
            throw Fault{p_.line(), "'events:' is not a list of frames such as '- evdev: [...]'"};
    }
    // The next evdev event; false at the end of the list.
    bool next(input_event& event);

    std::uint64_t hid_items = 0;
    std::uint64_t libinput_items = 0;

  private:
    enum class State { list, item, frame, done };
    void read_event(input_event& event);

    Parser& p_;
    const LibinputDevice& device_;
    State state_ = State::done;
    std::int64_t last_us_ = 0;
};

bool EventWalker::next(input_event& event) {
    for (;;) {
        switch (state_) {
            case State::done:
                return false;
            case State::list:
                if (p_.next() == YAML_SEQUENCE_END_EVENT) {
                    state_ = State::done;
                    return false;
                }
                if (p_.type() != YAML_MAPPING_START_EVENT)
                    throw Fault{p_.line(),
                                "an item of 'events:' is not a frame such as '- evdev: [...]'"};
                state_ = State::item;
                break;
            case State::item: {
                if (p_.next() == YAML_MAPPING_END_EVENT) {
                    state_ = State::list;
                    break;
                }
                if (p_.type() != YAML_SCALAR_EVENT) {
                    p_.skip();
                    p_.next();
                    p_.skip();
                    break;
                }
                const std::string_view key = p_.scalar();
                const bool evdev = key == "evdev";
                hid_items += key == "hid";
                libinput_items += key == "libinput";
                p_.next();
                if (!evdev) {
                    p_.skip();
                } else if (p_.type() == YAML_SEQUENCE_START_EVENT) {
                    state_ = State::frame;
                } else if (!p_.null()) {
                    throw Fault{
                        p_.line(),
                        "an evdev frame is not a list of events [SEC, USEC, TYPE, CODE, VALUE]"};
                }
                break;
            }
            case State::frame:
                if (p_.next() == YAML_SEQUENCE_END_EVENT) {
                    state_ = State::item;
                    break;
                }
                read_event(event);
                return true;
        }
    }
}

void EventWalker::read_event(input_event& event) {
    const std::uint64_t line = p_.line();
    if (p_.type() != YAML_SEQUENCE_START_EVENT)
        throw Fault{line, "an event is not a list [SEC, USEC, TYPE, CODE, VALUE]", true};
    static constexpr struct {
        const char* name;
        long long low;
        long long high;
    } fields[] = {{"SEC", 0, max_event_seconds},
                  {"USEC", 0, 999'999},
                  {"TYPE", 0, EV_MAX},
                  {"CODE", 0, KEY_MAX},
                  {"VALUE", INT32_MIN, INT32_MAX}};
    long long values[5] = {};
    std::size_t count = 0;
    while (p_.next() != YAML_SEQUENCE_END_EVENT) {
        if (count < 5) {
            const auto& field = fields[count];
            if (p_.type() != YAML_SCALAR_EVENT) {
                throw Fault{p_.line(),
                            std::string("event field ") + field.name +
                                " is a list or a mapping, not a number",
                            true};
            }
            const std::optional<long long> value = whole(p_.scalar());
            if (!value || *value < field.low || *value > field.high) {
                const bool wide = value && count == 4;
                throw Fault{p_.line(),
                            std::string("event field ") + field.name + " " + quoted(p_.scalar()) +
                                (!value ? " is not a whole number"
                                 : wide ? " does not fit in 32 signed bits"
                                        : " is outside " + std::to_string(field.low) + " to " +
                                              std::to_string(field.high)),
                            true};
            }
            values[count] = *value;
        } else {
            p_.skip();
        }
        ++count;
    }
    if (count != 5) {
        throw Fault{line,
                    "an event has " + std::to_string(count) +
                        " fields, not the five of [SEC, USEC, TYPE, CODE, VALUE]",
                    true};
    }
    const auto type = static_cast<unsigned>(values[2]);
    const auto code = static_cast<unsigned>(values[3]);
    if (!device_.lists(type, code)) {
        throw Fault{line,
                    "event type " + std::to_string(type) + " code " + std::to_string(code) +
                        " is not among the codes its device lists in 'codes:'",
                    true};
    }
    const std::int64_t us = values[0] * 1'000'000 + values[1];
    if (us < last_us_) {
        throw Fault{line,
                    "a frame at " + as_time(us) +
                        " is earlier than the one before it in this device, at " +
                        as_time(last_us_),
                    true};
    }
    last_us_ = us;
    event = {};
    event.input_event_sec = static_cast<decltype(event.input_event_sec)>(values[0]);
    event.input_event_usec = static_cast<decltype(event.input_event_usec)>(values[1]);
    event.type = static_cast<std::uint16_t>(type);
    event.code = static_cast<std::uint16_t>(code);
    event.value = static_cast<std::int32_t>(values[4]);
}

// Names are shown on one line, and written into evemu's "N:" line.
std::string one_line(std::string_view text) {
    std::string out(text);
    std::replace_if(
        out.begin(), out.end(),
        [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; }, ' ');
    return out;
}

void read_evdev(Parser& p, LibinputDevice& device, const std::string& which) {
    const std::uint64_t line = p.line();
    bool has_codes = false;
    each_key(p, which + "'s 'evdev:'", [&](const Key& key) {
        if (key.name == "name") {
            if (p.type() != YAML_SCALAR_EVENT)
                throw Fault{p.line(), which + "'s 'name:' is not a text"};
            device.name = one_line(p.scalar());
        } else if (key.name == "id") {
            const std::size_t count = each_item(p, "'id:'", [&](std::size_t i) {
                const auto value = number(p, "an 'id:' number", 0, 0xffff);
                if (i < device.id.size())
                    device.id[i] = static_cast<unsigned>(value);
            });
            if (count != device.id.size()) {
                throw Fault{key.line, "'id:' has " + std::to_string(count) +
                                          " numbers, not the four [BUS, VENDOR, PRODUCT, VERSION]"};
            }
        } else if (key.name == "codes") {
            has_codes = true;
            each_key(p, "'codes:'", [&](const Key& type_key) {
                const std::optional<long long> type = whole(type_key.name);
                if (!type || *type < 0 || *type > EV_MAX) {
                    throw Fault{type_key.line, "event type " + quoted(type_key.name) +
                                                   " in 'codes:' is not a number from 0 to " +
                                                   std::to_string(EV_MAX)};
                }
                each_item(p, "the codes of event type " + type_key.name, [&](std::size_t) {
                    device.codes[*type].set(number(p, "event code", 0, KEY_MAX));
                });
            });
        } else if (key.name == "absinfo") {
            each_key(p, "'absinfo:'", [&](const Key& code_key) {
                const std::optional<long long> code = whole(code_key.name);
                if (!code || *code < 0 || *code > ABS_MAX) {
                    throw Fault{code_key.line, "axis " + quoted(code_key.name) +
                                                   " in 'absinfo:' is not a number from 0 to " +
                                                   std::to_string(ABS_MAX)};
                }
                std::array<int, 5> info{};
                const std::size_t count = each_item(p, "'absinfo:'", [&](std::size_t i) {
                    const auto value = number(p, "an 'absinfo:' number", INT32_MIN, INT32_MAX);
                    if (i < info.size())
                        info[i] = static_cast<int>(value);
                });
                if (count != info.size()) {
                    throw Fault{code_key.line,
                                "the 'absinfo:' of axis " + code_key.name + " has " +
                                    std::to_string(count) +
                                    " numbers, not the five [MIN, MAX, FUZZ, FLAT, RESOLUTION]"};
                }
                device.absinfo[static_cast<unsigned>(*code)] = info;
                device.codes[EV_ABS].set(static_cast<std::size_t>(*code));
            });
        } else if (key.name == "properties") {
            each_item(p, "'properties:'", [&](std::size_t) {
                device.properties.set(number(p, "a property", 0, INPUT_PROP_MAX));
            });
        } else {
            p.skip();
        }
    });
    if (!has_codes) {
        throw Fault{line,
                    which + "'s 'evdev:' has no 'codes:' (the event types and codes it sends)"};
    }
}

// What a file's one pass finds besides its devices.
struct Skipped {
    std::uint64_t hid = 0;
    std::uint64_t libinput = 0;
};

std::shared_ptr<LibinputDevice> read_device(Parser& p, const std::string& path, std::size_t index,
                                            Skipped& skipped) {
    auto device = std::make_shared<LibinputDevice>();
    device->file = path;
    device->index = index;
    const std::string which = "device " + std::to_string(index);
    const std::uint64_t line = p.line();
    if (p.type() != YAML_MAPPING_START_EVENT)
        throw Fault{line, which + " is not a mapping of keys such as 'evdev:' and 'events:'"};
    bool described = false;
    each_key(p, which, [&](const Key& key) {
        if (key.name == "evdev") {
            read_evdev(p, *device, which);
            described = true;
        } else if (key.name == "events") {
            if (!described)
                throw Fault{key.line, which + "'s 'events:' come before its 'evdev:' description"};
            EventWalker walker(p, *device);
            walker.start();
            const bool listed = p.type() == YAML_SEQUENCE_START_EVENT;
            if (listed) {
                device->events_line = p.line();
                device->events_column = p.column();
                device->events_offset = p.start_index();  // characters, until find_events_bytes
            }
            input_event event{};
            while (walker.next(event)) {
                if (device->event_count++ == 0)
                    device->first_event_us = event_time_us(event);
            }
            if (listed)
                device->events_end = p.end_index();
            skipped.hid += walker.hid_items;
            skipped.libinput += walker.libinput_items;
        } else {
            p.skip();
        }
    });
    if (!described)
        throw Fault{line, which + " has no 'evdev:' description"};
    return device;
}

// The bytes of `data` that start a UTF-8 character: all but the continuation
// bytes (10xxxxxx), found eight at a time (bit 7 set, bit 6 clear).
std::uint64_t characters_in(const unsigned char* data, std::size_t size) {
    std::uint64_t continuations = 0;
    std::size_t i = 0;
    for (; i + 8 <= size; i += 8) {
        std::uint64_t word = 0;
        std::memcpy(&word, data + i, sizeof word);
        continuations +=
            static_cast<std::uint64_t>(std::popcount(word & ~(word << 1) & 0x8080808080808080ull));
    }
    for (; i < size; ++i)
        continuations += (data[i] & 0xc0) == 0x80;
    return size - continuations;
}

// libyaml's marks count characters, and a file it has read whole is UTF-8: a
// character starts at each byte that is not a continuation byte (10xxxxxx).
// Turns each device's span of events from characters (counted from byte
// `origin`) into bytes, in one pass, as the devices come in the file's order.
void find_events_bytes(int fd, std::uint64_t origin,
                       std::vector<std::shared_ptr<LibinputDevice>>& devices) {
    std::vector<std::uint64_t*> marks;
    for (const auto& device : devices) {
        if (device->events_line != 0) {
            marks.push_back(&device->events_offset);
            marks.push_back(&device->events_end);
        }
    }
    unsigned char block[64 * 1024];
    std::uint64_t characters = 0;
    std::uint64_t at = origin;
    std::size_t next = 0;
    const auto starts = [](unsigned char byte) { return (byte & 0xc0) != 0x80; };
    for (ssize_t got; next < marks.size() &&
                      (got = ::pread(fd, block, sizeof block, static_cast<off_t>(at))) > 0;
         at += static_cast<std::uint64_t>(got)) {
        // Most blocks hold no mark: counted whole, eight bytes at a time.
        const std::uint64_t in_block = characters_in(block, static_cast<std::size_t>(got));
        if (characters + in_block <= *marks[next]) {
            characters += in_block;
            continue;
        }
        for (ssize_t i = 0; i < got && next < marks.size(); ++i) {
            if (!starts(block[i]))
                continue;
            while (next < marks.size() && *marks[next] == characters)
                *marks[next++] = at + static_cast<std::uint64_t>(i);
            ++characters;
        }
    }
    while (next < marks.size() && *marks[next] == characters)
        *marks[next++] = at;  // the end of the file
    if (next < marks.size())
        throw Fault{0, "the file changed while it was read"};
}

// Starts `p`, made over a device's events list, at the list: the root of a
// document of its own, on the line and at the column the whole file has it.
void start_events(Parser& p, const LibinputDevice& device) {
    if (p.next() != YAML_STREAM_START_EVENT || p.next() != YAML_DOCUMENT_START_EVENT ||
        p.next() != YAML_SEQUENCE_START_EVENT || p.line() != device.events_line ||
        p.column() != device.events_column)
        throw Fault{p.line(), "its 'events:' are no longer where they were"};
}

// The bytes a UTF-8 byte-order mark at the start of the file takes (0 or 3):
// libyaml reads from after it.
std::uint64_t byte_order_mark(int fd) {
    char head[3] = {};
    return ::pread(fd, head, sizeof head, 0) == 3 && std::string_view(head, 3) == "\xef\xbb\xbf"
               ? 3
               : 0;
}

// Whether the file's last byte ends a line, as libyaml counts line ends.
bool ends_with_line_end(int fd, std::uint64_t size) {
    unsigned char tail[3] = {};
    const std::uint64_t from = size - std::min<std::uint64_t>(size, sizeof tail);
    const ssize_t got =
        ::pread(fd, tail, static_cast<std::size_t>(size - from), static_cast<off_t>(from));
    LineBreaks breaks;
    bool ends = false;
    for (ssize_t i = 0; i < got; ++i)
        ends = breaks.ends_one(tail[i]);
    return ends;
}

// A fault on the last line of a file with no line end there: say it may be cut short.
Fault with_hint(Fault fault, int fd) {
    struct stat info {};
    if (fault.line == 0 || ::fstat(fd, &info) != 0 || info.st_size == 0 ||
        ends_with_line_end(fd, static_cast<std::uint64_t>(info.st_size)))
        return fault;
    if (line_at(fd, 0, 1, static_cast<std::uint64_t>(info.st_size)) == fault.line)
        fault.message += " (the last line has no line end: is the file cut short?)";
    return fault;
}

}  // namespace

bool is_libinput_record(const std::string& path) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    struct stat info {};
    if (!fd || ::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode))
        return false;
    // The start of each line after its blanks: enough to tell a comment and
    // `version:`, and what else decides.
    std::string head;
    LineBreaks breaks;
    const auto decided = [&] { return !head.empty() && head[0] != '#'; };
    unsigned char block[4096];
    for (off_t at = static_cast<off_t>(byte_order_mark(fd.get()));;) {
        const ssize_t got = ::pread(fd.get(), block, sizeof block, at);
        if (got <= 0)
            return decided() && head.starts_with("version:");
        for (ssize_t i = 0; i < got; ++i) {
            const unsigned char c = block[i];
            if (breaks.ends_one(c)) {
                // The bytes of NEL, LS or PS before their last are no text of the line.
                head.resize(head.size() - std::min<std::size_t>(head.size(), c == 0x85   ? 1
                                                                             : c >= 0xa8 ? 2
                                                                                         : 0));
                if (decided())
                    return head.starts_with("version:");
                head.clear();
            } else if (c != '\n' && !(head.empty() && (c == ' ' || c == '\t')) &&
                       head.size() < 16) {
                head += static_cast<char>(c);
            }
        }
        at += got;
    }
}

LoadAllResult load_libinput_record(const std::string& path) {
    LoadAllResult result;
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (!fd) {
        result.error =
            RecordingError{path, 0, std::string("cannot open it: ") + std::strerror(errno)};
        return result;
    }
    std::vector<std::shared_ptr<LibinputDevice>> devices;
    Skipped skipped;
    try {
        const std::uint64_t origin = byte_order_mark(fd.get());
        Parser p(fd.get(), origin, Parser::to_the_end, 0, 1);
        p.next();  // the stream's start
        if (p.next() != YAML_DOCUMENT_START_EVENT)
            throw Fault{0, "not a libinput record file: it holds no YAML document"};
        // A tag's handle is declared at the document's start, which a device's
        // events, read apart, would not see.
        if (const auto& tags = p.event().data.document_start.tag_directives;
            tags.start != tags.end) {
            throw Fault{p.line(),
                        "a YAML %TAG directive: libinput record files have none, and rawmice "
                        "reads none"};
        }
        if (p.next() != YAML_MAPPING_START_EVENT)
            throw Fault{p.line(),
                        "not a libinput record file: its top level is not a mapping of keys such "
                        "as 'version: 1'"};
        bool versioned = false;
        std::uint64_t devices_line = 0;
        std::optional<Key> ndevices_key;
        long long ndevices = 0;
        each_key(p, "the file", [&](const Key& key) {
            if (key.name == "version") {
                if (p.type() != YAML_SCALAR_EVENT)
                    throw Fault{key.line, "'version:' is a list or a mapping, not a number"};
                if (whole(p.scalar()) != 1) {
                    throw Fault{key.line, "version " + quoted(p.scalar()) +
                                              " is not one rawmice reads: it reads libinput "
                                              "record files of version 1"};
                }
                versioned = true;
            } else if (key.name == "ndevices") {
                ndevices = number(p, "'ndevices:'", 0, LLONG_MAX);
                ndevices_key = key;
            } else if (key.name == "devices") {
                devices_line = key.line;
                each_item(p, "'devices:'", [&](std::size_t index) {
                    devices.push_back(read_device(p, path, index, skipped));
                });
            } else {
                p.skip();
            }
        });
        p.next();  // the document's end
        if (p.next() != YAML_STREAM_END_EVENT)
            throw Fault{p.line(), "a second YAML document: a libinput record file holds one"};
        if (!versioned)
            throw Fault{0, "not a libinput record file: it has no 'version: 1'"};
        if (devices.empty()) {
            throw Fault{devices_line, devices_line == 0
                                          ? "no devices: the file has no 'devices:' list"
                                          : "no devices: its 'devices:' list is empty"};
        }
        if (ndevices_key && static_cast<unsigned long long>(ndevices) != devices.size()) {
            throw Fault{ndevices_key->line, "'ndevices: " + std::to_string(ndevices) +
                                                "', but its 'devices:' at line " +
                                                std::to_string(devices_line) + " lists " +
                                                std::to_string(devices.size()) +
                                                (devices.size() == 1 ? " device" : " devices")};
        }
        find_events_bytes(fd.get(), origin, devices);
        // Each device's events are read by a parser of their own: it must find
        // them where this one did.
        for (const auto& device : devices) {
            if (device->events_line == 0)
                continue;
            try {
                Parser own(fd.get(), device->events_offset, device->events_end,
                           device->events_column, device->events_line);
                start_events(own, *device);
            } catch (const Fault&) {
                throw Fault{device->events_line,
                            "device " + std::to_string(device->index) +
                                "'s 'events:' do not read apart from the rest of the file as "
                                "they read in it"};
            }
        }
    } catch (const Fault& fault) {
        const Fault hinted = with_hint(fault, fd.get());
        result.error = RecordingError{path, hinted.line, hinted.message};
        return result;
    }

    // The devices keep their offsets: they play from the file's first event.
    std::optional<std::int64_t> first_us;
    for (const auto& device : devices) {
        if (device->event_count > 0)
            first_us = std::min(first_us.value_or(INT64_MAX), device->first_event_us);
    }
    for (const auto& device : devices) {
        Recording recording;
        recording.path_ = device->where();
        recording.name_ = device->name;
        recording.caps_ = read_capabilities(
            [&](unsigned type, unsigned code) { return device->lists(type, code); },
            [&](unsigned code) {
                const auto found = device->absinfo.find(code);
                return found == device->absinfo.end()
                           ? AxisRange{}
                           : AxisRange{found->second[0], found->second[1]};
            });
        recording.event_count_ = device->event_count;
        recording.first_event_us_ = first_us.value_or(0);
        recording.libinput_ = device;
        result.recordings.push_back(std::move(recording));
    }
    if (skipped.hid > 0 || skipped.libinput > 0) {
        std::string items;
        if (skipped.hid > 0)
            items = std::to_string(skipped.hid) + " '- hid:'";
        if (skipped.libinput > 0) {
            items += (items.empty() ? "" : " and ") + std::to_string(skipped.libinput) +
                     " '- libinput:'";
        }
        result.notes.push_back(path + ": skipped " + items +
                               " items of the events (rawmice plays the '- evdev:' frames)");
    }
    return result;
}

// One device's events, parsed from the start of its list to its end: the
// parser reads the list as the root of a document of its own.
class LibinputEvents::Reader {
  public:
    explicit Reader(const LibinputDevice& device)
        : fd_(::open(device.file.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK)),
          parser_(fd_.get(), device.events_offset, device.events_end, device.events_column,
                  device.events_line),
          walker_(parser_, device) {
        if (!fd_)
            throw Fault{0, std::string("cannot open it again: ") + std::strerror(errno)};
        start_events(parser_, device);
        walker_.start();
    }
    bool next(input_event& event) { return walker_.next(event); }

  private:
    UniqueFd fd_;
    Parser parser_;
    EventWalker walker_;
};

LibinputEvents::LibinputEvents(std::shared_ptr<const LibinputDevice> device)
    : device_(std::move(device)) {
    try {
        reader_ = std::make_unique<Reader>(*device_);
    } catch (const Fault& fault) {
        fail(fault.message.starts_with("cannot open")
                 ? fault.message
                 : "the file changed since it was loaded: 0 "
                   "of " +
                       std::to_string(device_->event_count) + " events read");
    }
}

LibinputEvents::~LibinputEvents() = default;

bool LibinputEvents::next(input_event& event) {
    if (!reader_ || read_ >= device_->event_count)
        return false;
    try {
        if (reader_->next(event)) {
            ++read_;
            return true;
        }
        fail("the file changed since it was loaded: " + std::to_string(read_) + " of " +
             std::to_string(device_->event_count) + " events read");
    } catch (const Fault& fault) {
        fail("the file changed since it was loaded: " +
             (fault.bad_event ? "event " + std::to_string(read_ + 1) + " is no longer valid (" +
                                    fault.message + ")"
                              : std::to_string(read_) + " of " +
                                    std::to_string(device_->event_count) + " events read"));
    }
    return false;
}

void LibinputEvents::fail(std::string message) {
    error_ = device_->where() + ": " + std::move(message);
    reader_.reset();
}

std::string evemu_description(const LibinputDevice& device) {
    std::string text = "# EVEMU 1.3\nN: " + device.name + "\n";
    char line[80];
    std::snprintf(line, sizeof line, "I: %04x %04x %04x %04x\n", device.id[0], device.id[1],
                  device.id[2], device.id[3]);
    text += line;
    // Bit masks eight bytes a line, as libevemu writes and reads them.
    const auto mask_lines = [&](const std::string& prefix, const auto& bits, std::size_t count) {
        std::size_t used = 0;
        for (std::size_t bit = 0; bit < count; ++bit) {
            if (bits(bit))
                used = bit + 1;
        }
        for (std::size_t start = 0; start < std::max<std::size_t>(used, 1); start += 64) {
            text += prefix;
            for (std::size_t byte = 0; byte < 8; ++byte) {
                unsigned value = 0;
                for (std::size_t bit = 0; bit < 8; ++bit) {
                    const std::size_t at = start + byte * 8 + bit;
                    if (at < count && bits(at))
                        value |= 1u << bit;
                }
                std::snprintf(line, sizeof line, " %02x", value);
                text += line;
            }
            text += "\n";
        }
    };
    mask_lines(
        "P:", [&](std::size_t bit) { return device.properties.test(bit); }, INPUT_PROP_CNT);
    mask_lines(
        "B: 00", [&](std::size_t type) { return type == EV_SYN || device.codes[type].any(); },
        EV_CNT);
    for (unsigned type = 1; type < EV_CNT; ++type) {
        if (!device.codes[type].any())
            continue;
        std::snprintf(line, sizeof line, "B: %02x", type);
        mask_lines(
            std::string(line), [&](std::size_t code) { return device.codes[type].test(code); },
            KEY_CNT);
    }
    for (const auto& [code, info] : device.absinfo) {
        std::snprintf(line, sizeof line, "A: %02x %d %d %d %d %d\n", code, info[0], info[1],
                      info[2], info[3], info[4]);
        text += line;
    }
    return text;
}

}  // namespace input
