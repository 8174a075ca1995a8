// Loading evemu recordings: what a good one gives, the one-line error of every
// kind of bad one, flat memory on big files, and the public recordings.
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <tuple>

#include <evemu.h>

#include <algorithm>

#include "platform/input/libinput_record.h"
#include "platform/input/recorder.h"
#include "platform/input/recording.h"
#include "platform/input/recording_stderr.h"
#include "tests/support/input_event.h"
#include "tests/support/recording_files.h"
#include "tests/support/test_support.h"

namespace {

using input::EventStream;
using input::Recording;
using testsupport::description;
using testsupport::event_text;
using testsupport::make_event;
using testsupport::TempDir;

const std::string mouse_description =
    description("Test Mouse", {REL_X, REL_Y, REL_WHEEL}, {{BTN_LEFT, BTN_MIDDLE}});

std::string events_text() {
    return event_text(5000000, EV_REL, REL_X, 3) + event_text(5000000, EV_REL, REL_Y, -4) +
           event_text(5000000, EV_SYN, SYN_REPORT, 0) + event_text(5008000, EV_KEY, BTN_LEFT, 1) +
           event_text(5008000, EV_SYN, SYN_REPORT, 0);
}

std::string write(const TempDir& dir, const std::string& name, const std::string& text) {
    const auto path = dir / name;
    testsupport::write_file(path, text);
    return path.string();
}

// What loading the file as --replay does says: "(loaded)" or its error.
std::string load_error(const std::string& path) {
    const input::LoadAllResult result = input::load_recording_file(path);
    if (result)
        return "(loaded)";
    return result.error->to_string();
}

TEST(RecordingLoad, GivesTheNameCapabilitiesAndEvents) {
    TempDir dir;
    const auto path = write(dir, "mouse.evemu", mouse_description + events_text());
    const input::LoadResult result = Recording::load(path);
    ASSERT_TRUE(result) << result.error.to_string();
    const Recording& recording = *result.recording;
    EXPECT_EQ(recording.path(), path);
    EXPECT_EQ(recording.name(), "Test Mouse");
    EXPECT_TRUE(recording.capabilities().rels.test(REL_X));
    EXPECT_TRUE(recording.capabilities().rels.test(REL_WHEEL));
    EXPECT_FALSE(recording.capabilities().rels.test(REL_HWHEEL));
    EXPECT_TRUE(recording.capabilities().keys.test(BTN_MIDDLE));
    EXPECT_FALSE(recording.capabilities().keys.test(BTN_SIDE));
    EXPECT_EQ(input::classify(recording.capabilities()), RIM_TYPEMOUSE);
    EXPECT_EQ(recording.event_count(), 5u);
    EXPECT_EQ(recording.first_event_us(), 5000000);

    EventStream stream(recording);
    input_event event{};
    ASSERT_TRUE(stream.next(event));
    EXPECT_EQ(input::event_time_us(event), 5000000);
    EXPECT_EQ(event.type, EV_REL);
    EXPECT_EQ(event.code, REL_X);
    EXPECT_EQ(event.value, 3);
    ASSERT_TRUE(stream.next(event));
    EXPECT_EQ(event.value, -4);
    ASSERT_TRUE(stream.next(event));
    ASSERT_TRUE(stream.next(event));
    EXPECT_EQ(input::event_time_us(event), 5008000);
    EXPECT_EQ(event.code, BTN_LEFT);
    ASSERT_TRUE(stream.next(event));
    EXPECT_FALSE(stream.next(event));
    EXPECT_EQ(stream.error(), "");
    EXPECT_EQ(stream.events_read(), 5u);
}

TEST(RecordingLoad, ADescriptionWithNoEventsIsValid) {
    TempDir dir;
    const auto path = write(dir, "quiet.desc", mouse_description);
    const input::LoadResult result = Recording::load(path);
    ASSERT_TRUE(result) << result.error.to_string();
    EXPECT_EQ(result.recording->event_count(), 0u);
    EventStream stream(*result.recording);
    input_event event{};
    EXPECT_FALSE(stream.next(event));
    EXPECT_EQ(stream.error(), "");
}

TEST(RecordingLoad, AFileChangedAfterLoadingStopsItsEventsWithTheReason) {
    TempDir dir;
    const auto path = write(dir, "m.evemu", mouse_description + events_text());
    const input::LoadResult result = Recording::load(path);
    ASSERT_TRUE(result) << result.error.to_string();
    const std::string first = mouse_description + event_text(5000000, EV_REL, REL_X, 3);
    const std::string changed = ": the file changed since it was loaded: ";
    const std::string invalid = changed + "event 2 is no longer valid (";
    const struct {
        const char* what;
        std::string text;   // written over the file; its first event still reads
        std::string error;  // after the path
    } changes[] = {
        // Cut in the middle of its second event line: the partial line is never read.
        {"cut short", first + "E: 5.000000 00", changed + "1 of 5 events read"},
        // An event libevemu reads that no longer passes the load's checks.
        {"time going back", first + event_text(4000000, EV_REL, REL_X, 3) + events_text(),
         invalid + "time stamp 4.000000 goes backwards (the event before is at 5.000000))"},
        // A value libevemu would wrap, written over a line that was whole.
        {"a value past 32 bits", first + "E: 5.000000 0001 0001 4294967297\n" + events_text(),
         invalid + "event field VALUE '4294967297' does not fit in 32 signed bits (libevemu "
                   "would play 1))"},
    };
    input_event event{};
    for (const auto& change : changes) {
        SCOPED_TRACE(change.what);
        testsupport::write_file(path, change.text);
        EventStream stream(*result.recording);
        EXPECT_TRUE(stream.next(event));
        EXPECT_FALSE(stream.next(event));
        EXPECT_EQ(stream.error(), path + change.error);
    }

    std::filesystem::remove(path);
    EventStream gone(*result.recording);
    EXPECT_FALSE(gone.next(event));
    EXPECT_EQ(gone.error(), path + ": cannot open it again: No such file or directory");
}

// Each field is held against what libevemu took as a number, not as text: the
// 32-bit edges, a sign, a 0x, fewer digits and comments are read as written.
TEST(RecordingLoad, FieldsThatReadAsWrittenAreTakenWhateverTheirSpelling) {
    TempDir dir;
    const std::vector<std::pair<std::string, input_event>> lines = {
        {"E: 1.000000 0002 0000 2147483647", {{1, 0}, EV_REL, REL_X, 2147483647}},
        {"E: 1.000000 0002 0000 -2147483648", {{1, 0}, EV_REL, REL_X, -2147483648}},
        {"E: 1.000000 0002 0000 +5\t# EV_REL / REL_X", {{1, 0}, EV_REL, REL_X, 5}},
        {"E:1.5 0x2 1 -001#REL_Y", {{1, 5}, EV_REL, REL_Y, -1}},
        {"E: 2.000001 0000 0000 0000   # SYN_REPORT", {{2, 1}, EV_SYN, SYN_REPORT, 0}},
    };
    std::string text = mouse_description;
    for (const auto& [line, event] : lines)
        text += line + "\r\n";
    const input::LoadResult result = Recording::load(write(dir, "spelled.evemu", text));
    ASSERT_TRUE(result) << result.error.to_string();
    EventStream stream(*result.recording);
    input_event event{};
    for (const auto& [line, expected] : lines) {
        SCOPED_TRACE(line);
        ASSERT_TRUE(stream.next(event)) << stream.error();
        EXPECT_EQ(input::event_time_us(event), input::event_time_us(expected));
        EXPECT_EQ(event.type, expected.type);
        EXPECT_EQ(event.code, expected.code);
        EXPECT_EQ(event.value, expected.value);
    }
    EXPECT_FALSE(stream.next(event));
    EXPECT_EQ(stream.error(), "");
}

TEST(RecordingLoad, AcceptsCommentsBlankLinesAndCarriageReturns) {
    TempDir dir;
    // Blank lines, even a line of one blank character (where libevemu stops),
    // after the description and among the events.
    std::string text = "# a comment first\n" + mouse_description + "\n# between\n \n\n" +
                       events_text() + "  # an indented comment\n \n# a trailing comment";
    std::string crlf;
    for (char c : text) {
        if (c == '\n')
            crlf += '\r';
        crlf += c;
    }
    for (const std::string& variant : {text, crlf}) {
        const input::LoadResult result = Recording::load(write(dir, "c.evemu", variant));
        ASSERT_TRUE(result) << result.error.to_string();
        EXPECT_EQ(result.recording->name(), "Test Mouse");
        EXPECT_EQ(result.recording->event_count(), 5u);
        EventStream stream(*result.recording);
        input_event event{};
        std::uint64_t count = 0;
        while (stream.next(event))
            ++count;
        EXPECT_EQ(count, 5u);
        EXPECT_EQ(stream.error(), "");
    }
}

const std::string description_lines =
    " (a description is 'N: NAME', 'I: BUS VENDOR PRODUCT VERSION', then P:, B:, A:, L:, S: "
    "lines, in that order)";

// A libinput record file of three devices recorded together: a keyboard, a
// mouse, and a virtual machine's absolute pointer, with the items and keys
// rawmice passes over at every level.
std::string three_devices() {
    using testsupport::libinput_frame;
    const std::string keyboard =
        testsupport::libinput_device("Keys", {{EV_KEY,
                                               [] {
                                                   std::vector<unsigned> keys;
                                                   for (unsigned k = KEY_ESC; k <= KEY_SPACE; ++k)
                                                       keys.push_back(k);
                                                   return keys;
                                               }()},
                                              {EV_MSC, {MSC_SCAN}}}) +
        libinput_frame(0, {{EV_MSC, MSC_SCAN, 30}, {EV_KEY, KEY_A, 1}}) +
        "  - libinput:\n    - {time: 0.000000, type: KEYBOARD_KEY, key: 30, state: pressed}\n";
    // Keys it does not know, in the device, its evdev: and an events item.
    std::string mouse = testsupport::libinput_mouse("Mouse");
    mouse.insert(mouse.find("    codes:"), "    future_key: {a: [1, 2]}\n");
    mouse.insert(mouse.find("  udev:"), "  quirks:\n  - ModelSomething=1\n  new_device_key: 3\n");
    mouse += libinput_frame(2'000, {{EV_REL, REL_X, 3}, {EV_REL, REL_Y, -4}}) +
             "  - hid:\n      time: [0, 2100]\n      hidraw0: [1, 2, 3]\n" +
             "  - evdev:\n    - [0, 3000, 1, 272, 1]\n    - [0, 3000, 0, 0, 0]\n"
             "    # a frame with a key of a future format\n    later: true\n" +
             "  - future_item: [1, 2]\n" + libinput_frame(1'004'000, {{EV_KEY, BTN_LEFT, 0}});
    const std::string tablet =
        testsupport::libinput_device("QEMU Tablet",
                                     {{EV_KEY, {BTN_LEFT, BTN_RIGHT}}, {EV_ABS, {ABS_X, ABS_Y}}},
                                     {"0: [0, 32767, 0, 0, 0]", "1: [0, 32767, 0, 0, 0]"}) +
        // Earlier than the mouse's last frame: each device has its own order.
        libinput_frame(1'000, {{EV_ABS, ABS_X, 16384}, {EV_ABS, ABS_Y, 0}});
    return testsupport::libinput_head(3) + keyboard + mouse + tablet + "unknown_top_level: 1\n";
}

TEST(LibinputRecord, EveryDeviceIsARecordingOfItsOwnOnTheFilesClock) {
    TempDir dir;
    const auto path = write(dir, "three.yml", three_devices());
    const input::LoadAllResult loaded = input::load_recording_file(path);
    ASSERT_TRUE(loaded) << loaded.error->to_string();
    ASSERT_EQ(loaded.recordings.size(), 3u);
    const std::vector<std::tuple<std::string, std::string, DWORD, std::uint64_t>> expected = {
        {path + "#0", "Keys", RIM_TYPEKEYBOARD, 3},
        {path + "#1", "Mouse", RIM_TYPEMOUSE, 7},
        {path + "#2", "QEMU Tablet", RIM_TYPEMOUSE, 3},
    };
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const Recording& recording = loaded.recordings[i];
        const auto& [where, name, type, events] = expected[i];
        EXPECT_EQ(recording.path(), where);
        EXPECT_EQ(recording.name(), name);
        EXPECT_EQ(input::classify(recording.capabilities()), type) << name;
        EXPECT_EQ(recording.event_count(), events) << name;
        EXPECT_EQ(recording.first_event_us(), 0) << "the file's first event, whose ever it is";
    }
    EXPECT_EQ(loaded.recordings[2].capabilities().x_range.maximum, 32767);
    EXPECT_TRUE(loaded.recordings[1].capabilities().rels.test(REL_WHEEL));
    EXPECT_EQ(loaded.notes, std::vector<std::string>{
                                path + ": skipped 1 '- hid:' and 1 '- libinput:' items of the "
                                       "events (rawmice plays the '- evdev:' frames)"});

    // The mouse's events, read by a parser of their own from where they start.
    EventStream stream(loaded.recordings[1]);
    std::vector<std::tuple<std::int64_t, unsigned, unsigned, int>> read;
    for (input_event e{}; stream.next(e);)
        read.emplace_back(input::event_time_us(e), e.type, e.code, e.value);
    EXPECT_EQ(stream.error(), "");
    EXPECT_EQ(read, (std::vector<std::tuple<std::int64_t, unsigned, unsigned, int>>{
                        {2000, EV_REL, REL_X, 3},
                        {2000, EV_REL, REL_Y, -4},
                        {2000, EV_SYN, SYN_REPORT, 0},
                        {3000, EV_KEY, BTN_LEFT, 1},
                        {3000, EV_SYN, SYN_REPORT, 0},
                        {1'004'000, EV_KEY, BTN_LEFT, 0},
                        {1'004'000, EV_SYN, SYN_REPORT, 0}}));
}

// A device with no `events:` is listed and sends nothing; the note is said
// only when something was skipped.
TEST(LibinputRecord, ADeviceWithNoEventsIsValid) {
    TempDir dir;
    std::string text = testsupport::libinput_head(1) + testsupport::libinput_mouse("Quiet");
    text.erase(text.rfind("  events:\n"));
    const input::LoadAllResult loaded = input::load_recording_file(write(dir, "q.yml", text));
    ASSERT_TRUE(loaded) << loaded.error->to_string();
    ASSERT_EQ(loaded.recordings.size(), 1u);
    EXPECT_EQ(loaded.recordings[0].event_count(), 0u);
    EXPECT_TRUE(loaded.notes.empty());
}

// Played after loading, a file cut short ends as an evemu recording does.
TEST(LibinputRecord, AFileChangedAfterLoadingStopsItsEventsWithTheReason) {
    TempDir dir;
    const std::string head = testsupport::libinput_head(1) + testsupport::libinput_mouse("M");
    const std::string frames = testsupport::libinput_frame(0, {{EV_REL, REL_X, 1}}) +
                               testsupport::libinput_frame(1000, {{EV_REL, REL_X, 2}});
    const auto path = write(dir, "m.yml", head + frames);
    const input::LoadAllResult loaded = input::load_recording_file(path);
    ASSERT_TRUE(loaded) << loaded.error->to_string();
    const std::string changed = path + "#0: the file changed since it was loaded: ";
    const std::string first = head + testsupport::libinput_frame(0, {{EV_REL, REL_X, 1}});
    const struct {
        const char* what;
        std::string text;
        std::string error;
    } changes[] = {
        {"cut at a line end", first, changed + "2 of 4 events read"},
        {"cut in an event", first + "  - evdev:\n    - [0, 1000, 2, 0",
         changed + "2 of 4 events read"},
        {"a value past 32 bits", first + "  - evdev:\n    - [0, 1000, 2, 0, 4294967296]\n",
         changed + "event 3 is no longer valid (event field VALUE '4294967296' does not fit in 32 "
                   "signed bits)"},
        {"its events moved", "# a new first line\n" + head + frames,
         changed + "0 of 4 events read"},
    };
    for (const auto& change : changes) {
        SCOPED_TRACE(change.what);
        testsupport::write_file(path, change.text);
        EventStream stream(loaded.recordings[0]);
        input_event event{};
        while (stream.next(event)) {
        }
        EXPECT_EQ(stream.error(), change.error);
    }
    std::filesystem::remove(path);
    EventStream gone(loaded.recordings[0]);
    input_event event{};
    EXPECT_FALSE(gone.next(event));
    EXPECT_EQ(gone.error(), path + "#0: cannot open it again: No such file or directory");
}

using Events = std::vector<std::tuple<std::int64_t, unsigned, unsigned, int>>;

// Each device's name and the events its stream reads, which must be all it counted.
std::vector<std::pair<std::string, Events>> streamed(const input::LoadAllResult& loaded) {
    std::vector<std::pair<std::string, Events>> devices;
    for (const Recording& recording : loaded.recordings) {
        EventStream stream(recording);
        Events events;
        for (input_event e{}; stream.next(e);)
            events.emplace_back(input::event_time_us(e), e.type, e.code, e.value);
        EXPECT_EQ(stream.error(), "");
        EXPECT_EQ(events.size(), recording.event_count()) << recording.path();
        devices.emplace_back(recording.name(), std::move(events));
    }
    return devices;
}

std::string replaced(std::string text, const std::string& from, const std::string& to) {
    for (std::size_t at = 0; (at = text.find(from, at)) != text.npos; at += to.size())
        text.replace(at, from.size(), to);
    return text;
}

// Whatever its line ends, and whatever comes before a device's events on
// their line, a file gives the events it gives written plainly: the check and
// each device's parser count lines and characters as libyaml does.
TEST(LibinputRecord, EveryLineEndAndPlaceOfTheEventsReadsTheSameEvents) {
    TempDir dir;
    const std::string plain = three_devices();
    const std::string mice = testsupport::libinput_head(2) + testsupport::libinput_mouse("Mäus ✓") +
                             testsupport::libinput_frame(0, {{EV_REL, REL_X, 1}}) +
                             testsupport::libinput_frame(1000, {{EV_REL, REL_Y, 2}}) +
                             testsupport::libinput_mouse("Zweite") +
                             testsupport::libinput_frame(500, {{EV_REL, REL_X, -1}});
    // The same two mice, each device a flow mapping: the events list starts
    // mid-line, after a name in UTF-8 on the first, and spans two lines.
    const std::string codes = "codes: {0: [0, 1, 2, 3], 1: [272, 273, 274], 2: [0, 1, 8], 4: [4]}";
    const std::string flow =
        "version: 1\nndevices: 2\ndevices:\n"
        "- {evdev: {name: \"Mäus ✓\", " +
        codes +
        "}, events: [{evdev: [[0, 0, 2, 0, 1],\n"
        "    [0, 0, 0, 0, 0]]}, {evdev: [[0, 1000, 2, 1, 2], [0, 1000, 0, 0, 0]]}]}\n"
        "- {evdev: {name: \"Zweite\", " +
        codes +
        "}, events: [{evdev: [[0, 500, 2, 0, -1],\r"
        "  [0, 500, 0, 0, 0]]}]}\n";
    const struct {
        const char* what;
        const std::string& like;  // the file it reads as
        std::string text;
    } variants[] = {
        {"CR LF line ends", plain, replaced(plain, "\n", "\r\n")},
        {"CR alone", plain, replaced(plain, "\n", "\r")},
        {"NEL", plain, replaced(plain, "\n", "\xc2\x85")},
        {"LS", plain, replaced(plain, "\n", "\xe2\x80\xa8")},
        {"carriage returns inside the frames' lists", plain, replaced(plain, ", ", ",\r      ")},
        {"a UTF-8 byte-order mark first", plain, "\xef\xbb\xbf" + plain},
        {"names in UTF-8 before the events", mice, replaced(mice, "\n", "\r\n")},
        {"each device a flow mapping", mice, flow},
    };
    const auto plain_events = streamed(input::load_recording_file(write(dir, "plain.yml", plain)));
    ASSERT_EQ(plain_events.size(), 3u);
    const auto mice_events = streamed(input::load_recording_file(write(dir, "mice.yml", mice)));
    ASSERT_EQ(mice_events.size(), 2u);
    EXPECT_EQ(mice_events[0].first, "Mäus ✓");
    EXPECT_EQ(mice_events[0].second.size(), 4u);
    int index = 0;
    for (const auto& variant : variants) {
        SCOPED_TRACE(variant.what);
        const auto path = write(dir, "variant" + std::to_string(index++) + ".yml", variant.text);
        const input::LoadAllResult loaded = input::load_recording_file(path);
        ASSERT_TRUE(loaded) << loaded.error->to_string();
        EXPECT_EQ(streamed(loaded), &variant.like == &plain ? plain_events : mice_events);
    }
}

// A %TAG directive declares a handle at the document's start, which a
// device's events, read apart, would not see: refused. (--replay takes a file
// for a libinput record only when `version:` comes first, so no directive
// reaches it there.)
TEST(LibinputRecord, ATagDirectiveIsRefused) {
    TempDir dir;
    const auto path = write(dir, "tag.yml",
                            "%TAG !e! tag:example.com,2000:\n--- " +
                                testsupport::libinput_head(1).substr(sizeof "# libinput record") +
                                testsupport::libinput_mouse("M"));
    const input::LoadAllResult loaded = input::load_libinput_record(path);
    ASSERT_FALSE(loaded);
    EXPECT_EQ(loaded.error->to_string(),
              path +
                  ":1: a YAML %TAG directive: libinput record files have none, and rawmice "
                  "reads none");
}

// What --record starts a device's evemu recording with: the description
// written from the file, as libevemu reads it back.
TEST(LibinputRecord, ADevicesEvemuDescriptionIsWhatTheFileSays) {
    TempDir dir;
    const input::LoadAllResult loaded =
        input::load_recording_file(write(dir, "three.yml", three_devices()));
    ASSERT_TRUE(loaded) << loaded.error->to_string();
    const input::Description tablet = input::describe_recording(loaded.recordings[2]);
    ASSERT_TRUE(tablet);
    EXPECT_STREQ(evemu_get_name(tablet.get()), "QEMU Tablet");
    EXPECT_EQ(evemu_get_id_bustype(tablet.get()), 3);
    EXPECT_EQ(evemu_get_id_vendor(tablet.get()), 1133);
    EXPECT_EQ(evemu_get_id_product(tablet.get()), 49271);
    EXPECT_EQ(evemu_get_id_version(tablet.get()), 273);
    EXPECT_EQ(evemu_get_abs_maximum(tablet.get(), ABS_Y), 32767);
    EXPECT_TRUE(evemu_has_event(tablet.get(), EV_KEY, BTN_RIGHT));
    EXPECT_FALSE(evemu_has_event(tablet.get(), EV_KEY, BTN_MIDDLE));
    const input::Description keyboard = input::describe_recording(loaded.recordings[0]);
    ASSERT_TRUE(keyboard);
    EXPECT_TRUE(evemu_has_event(keyboard.get(), EV_KEY, KEY_SPACE));
    EXPECT_TRUE(evemu_has_event(keyboard.get(), EV_MSC, MSC_SCAN));
    EXPECT_FALSE(evemu_has_event(keyboard.get(), EV_REL, REL_X));
}

TEST(RecordingLoad, AxisLinesFollowTheFormatVersion) {
    TempDir dir;
    const std::string pad = "N: Pad\nI: 0003 0001 0002 0003\nB: 03 03 00 00 00 00 00 00 00\n";
    EXPECT_EQ(load_error(write(dir, "v11", "# EVEMU 1.1\n" + pad + "A: 00 0 1023 0 0\n")),
              "(loaded)");
    EXPECT_EQ(load_error(write(dir, "v13", "# EVEMU 1.3\n" + pad + "A: 00 0 1023 0 0 12\n")),
              "(loaded)");
    const auto path = write(dir, "v13short", "# EVEMU 1.3\n" + pad + "A: 00 0 1023 0 0\n");
    EXPECT_EQ(load_error(path), path +
                                    ":5: libevemu stops reading the device description at "
                                    "'A: 00 0 1023 0 0'" +
                                    description_lines);
    // libevemu warns of a format newer than it knows, and reads the recording:
    // its warning is a note in rawmice's words, and nothing else is said.
    const auto newer = write(dir, "v19", "# EVEMU 1.9\n" + pad + "A: 00 0 1023 0 0 12\n");
    testing::internal::CaptureStderr();
    const input::LoadAllResult loaded = input::load_recording_file(newer);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    ASSERT_TRUE(loaded) << loaded.error->to_string();
    EXPECT_EQ(loaded.notes,
              std::vector<std::string>{newer + ": its evemu format 1.9 is newer than the "
                                               "1.3 libevemu reads; it is read as 1.3"});
}

TEST(RecordingLoad, LoadAllStopsAtTheFirstBadFile) {
    TempDir dir;
    const auto good = write(dir, "good.evemu", mouse_description);
    const auto bad = write(dir, "bad.evemu", "");
    const input::LoadAllResult all = input::load_recordings({good, bad, good});
    ASSERT_FALSE(all);
    EXPECT_EQ(all.error->to_string(), bad + ": empty file, not an evemu recording");
    EXPECT_TRUE(all.recordings.empty());

    // Read side by side, the files still report in command-line order.
    const auto backwards = write(dir, "backwards.evemu",
                                 mouse_description + event_text(2, EV_SYN, SYN_REPORT, 0) +
                                     event_text(1, EV_SYN, SYN_REPORT, 0));
    const input::LoadAllResult two_bad = input::load_recordings({good, backwards, bad});
    ASSERT_FALSE(two_bad);
    EXPECT_EQ(two_bad.error->file, backwards);

    const input::LoadAllResult fine = input::load_recordings({good, good});
    ASSERT_TRUE(fine);
    EXPECT_EQ(fine.recordings.size(), 2u);
}

// One bad input: the file's text (or a path the case makes) and the exact
// error after "FILE:".
struct BadCase {
    const char* what;
    std::string text;
    std::string error;  // "LINE: message", or " message" for the whole file
    std::function<std::string(const TempDir&)> make = nullptr;  // instead of `text`
};

std::string event_block(int seconds_offset = 0) {
    return event_text(1000000 + seconds_offset, EV_REL, REL_X, 1) +
           event_text(1000000 + seconds_offset, EV_SYN, SYN_REPORT, 0);
}

// Line numbers below count the description's lines.
const int desc_lines = [] {
    int lines = 0;
    for (char c : mouse_description)
        lines += c == '\n';
    return lines;
}();

std::string at(int line, const std::string& message) {
    return std::to_string(line) + ": " + message;
}

// The first bytes of an executable.
constexpr char elf_start[] =
    "\x7f"
    "ELF\x02\x01\x01\0\0\0\0\n\x03\0>\0";

const std::string not_an_event =
    "libevemu cannot read this line as an event 'E: SECONDS.MICROSECONDS TYPE CODE VALUE': ";
const std::string cut_short = " (the last line has no line end: is the file cut short?)";

int lines_of(const std::string& text) {
    return static_cast<int>(std::count(text.begin(), text.end(), '\n'));
}

// The text with every line feed made a carriage return.
std::string cr_only(std::string text) {
    std::replace(text.begin(), text.end(), '\n', '\r');
    return text;
}

std::vector<BadCase> bad_cases() {
    // libinput record files: the head and a mouse, then its frames, whose
    // first line is f1.
    const std::string head = testsupport::libinput_head(1);
    const std::string mouse = testsupport::libinput_mouse("M");
    const int f1 = lines_of(head + mouse) + 1;
    // One frame of one event with these fields, then its SYN_REPORT.
    const auto lone = [&](const std::string& fields) {
        return head + mouse + "  - evdev:\n    - [" + fields + "]\n    - [0, 0, 0, 0, 0]\n";
    };
    const std::string frame = testsupport::libinput_frame(0, {{EV_REL, REL_X, 1}});
    const auto repeated = [](const std::string& key, int line, int first) {
        return at(line, "the key '" + key + "' is repeated (it is first at line " +
                            std::to_string(first) + "): a YAML mapping's keys are unique");
    };
    // The mouse with its udev's `virtual:` twice, the first on its line virtual_line.
    std::string twice_virtual = mouse + frame;
    const std::size_t virtual_at = twice_virtual.find("    virtual: false\n");
    const int virtual_line = lines_of(twice_virtual.substr(0, virtual_at)) + 1;
    twice_virtual.insert(virtual_at, "    virtual: false\n");
    const std::string evemu_or_libinput =
        "neither an evemu recording nor a libinput record file: expected the device name line "
        "'N: ...' or 'version: 1', found ";
    const int e1 = desc_lines + 1;  // the first event line
    const std::string id = "N: Mouse\nI: 0003 0001 0001 0001\n";
    const auto events_then = [&](const std::string& line) {
        return mouse_description + event_block() + line;
    };
    // The description and one event line with these fields.
    const auto lone_event = [&](const std::string& fields) {
        return mouse_description + "E: " + fields + "\n";
    };
    // The description and one event whose VALUE libevemu would play as `plays`.
    const auto wrapped_value = [&](const char* what, const std::string& value,
                                   const std::string& plays) {
        return BadCase{
            what, lone_event("1.000000 0002 0000 " + value),
            at(e1, "event field VALUE '" + value +
                       "' does not fit in 32 signed bits (libevemu would play " + plays + ")")};
    };
    const auto description_line = [&](int line, const std::string& text) {
        return at(line, "libevemu stops reading the device description at '" + text + "'" +
                            description_lines);
    };
    const auto neither = [&](int line, const std::string& text) {
        return at(line, "line '" + text +
                            "' is neither part of the description libevemu read nor an event "
                            "'E: SECONDS.MICROSECONDS TYPE CODE VALUE'" +
                            description_lines);
    };
    return {
        // The file itself.
        {"missing file", "", " cannot open it: No such file or directory (check the path)",
         [](const TempDir& dir) { return (dir / "nowhere.evemu").string(); }},
        {"directory", "", " is a directory, not a recording",
         [](const TempDir& dir) {
             std::filesystem::create_directory(dir / "folder.evemu");
             return (dir / "folder.evemu").string();
         }},
        {"FIFO", "", " not a regular file (a recording is read twice)",
         [](const TempDir& dir) {
             const auto fifo = (dir / "pipe").string();
             return ::mkfifo(fifo.c_str(), 0600) == 0 ? fifo : "(mkfifo failed)";
         }},
        {"empty file", "", " empty file, not an evemu recording"},
        {"only blank lines", "\n\n\n", " not an evemu recording: no device name line 'N: ...'"},
        {"a line of one blank character before the name", "\n \nN: Mouse\n",
         at(2,
            "neither an evemu recording nor a libinput record file: expected the device name line "
            "'N: ...' or 'version: 1', found a blank "
            "line")},
        {"only comments", "# EVEMU 1.3\n# nothing else\n",
         " not an evemu recording: no device name line 'N: ...'"},
        {"one character", "x",
         at(1,
            "neither an evemu recording nor a libinput record file: expected the device name line "
            "'N: ...' or 'version: 1', found 'x'" +
                cut_short)},
        {"binary garbage", std::string(elf_start, sizeof elf_start - 1),
         at(1, "binary data, not an evemu recording")},
        {"binary data among events", events_then(std::string("E: \0\n", 5)),
         at(e1 + 2, "binary data, not an evemu recording")},

        // The description.
        {"text that is not evemu", "hello world\nN: x\n",
         at(1,
            "neither an evemu recording nor a libinput record file: expected the device name line "
            "'N: ...' or 'version: 1', found 'hello "
            "world'")},
        {"events with no description", "# EVEMU 1.3\n" + event_block(),
         at(2,
            "events come before any device description: a recording starts with its 'N: "
            "<device name>' line (for a bare .events file, put its .desc first)")},
        {"name without id", "N: Mouse\n", description_line(1, "N: Mouse")},
        {"events right after the name", "N: Mouse\n" + event_block(),
         description_line(2, "E: 1.000000 0002 0000 0001")},
        {"bad number in the id", "N: Mouse\nI: 0003 zz 0001 0001\n",
         description_line(2, "I: 0003 zz 0001 0001")},
        {"an id line cut short", "N: Mouse\nI: 0003 00",
         description_line(2, "I: 0003 00") + cut_short},
        {"bad property line", id + "P: 00 zz\n", description_line(3, "P: 00 zz")},
        {"bad number in a bit mask", id + "B: 01 0g 00 00 00 00 00 00 00\n",
         description_line(3, "B: 01 0g 00 00 00 00 00 00 00")},
        {"mask type out of range", id + "B: 20 00 00 00 00 00 00 00 00\n",
         description_line(3, "B: 20 00 00 00 00 00 00 00 00")},

        // Lines libevemu would pass over unread after the description.
        {"description out of order",
         id + "B: 00 0b 00 00 00 00 00 00 00\nP: 00 00 00 00 00 00 00 00\n" + event_block(),
         neither(4, "P: 00 00 00 00 00 00 00 00")},
        {"a blank line inside the description",
         id + "B: 00 0b 00 00 00 00 00 00 00\n \nB: 01 00 00 00 00 00 00 00 00\n" + event_block(),
         neither(5, "B: 01 00 00 00 00 00 00 00 00")},
        {"two devices in one file", mouse_description + mouse_description,
         neither(desc_lines + 3, "N: Test Mouse")},

        // Events: what libevemu cannot read, and what it does not check.
        {"truncated last line", events_then("E: 1.000100 0002 00"),
         at(e1 + 2, not_an_event + "'E: 1.000100 0002 00'" + cut_short)},
        {"an event with no line end right after the description", id + "E: 1.000000 0002 0000 1",
         at(3, "truncated event" + cut_short)},
        {"whole-looking last line without a line end", events_then("E: 1.000100 0002 0000 12"),
         at(e1 + 2, "truncated event" + cut_short)},
        {"missing field", lone_event("1.000000 0002 0000"),
         at(e1, not_an_event + "'E: 1.000000 0002 0000'")},
        {"bad time stamp", lone_event("1.00000x 0002 0000 1"),
         at(e1, not_an_event + "'E: 1.00000x 0002 0000 1'")},
        {"a terminal's escape sequence 150 KB in, refused before libevemu would print it",
         mouse_description +
             [] {
                 std::string comments;  // 3000 lines of 51 bytes, across the reader's blocks
                 for (int i = 0; i < 3000; ++i)
                     comments += "# a comment between the description and the events\n";
                 return comments;
             }() +
             "E: 1\x7f\x1b[2J\n",
         at(e1 + 3000, "binary data, not an evemu recording")},
        {"bad event type", lone_event("1.000000 00g2 0000 1"),
         at(e1, not_an_event + "'E: 1.000000 00g2 0000 1'")},
        {"a stray line of two characters among events", events_then("x\n"),
         at(e1 + 2, not_an_event + "'x'")},
        {"time stamp out of range", lone_event("99999999999.000000 0002 0000 1"),
         at(e1, "time stamp out of range (0 to 9223372035 seconds)")},
        {"negative time stamp", lone_event("-1.000000 0002 0000 1"),
         at(e1, "time stamp out of range (0 to 9223372035 seconds)")},
        {"event type out of range", lone_event("1.000000 0020 0000 1"),
         at(e1, "event type 0020 or code 0000 out of range")},
        {"event code out of range", lone_event("1.000000 0001 0300 1"),
         at(e1, "event type 0001 or code 0300 out of range")},
        // Fields libevemu takes a part of, or wraps: refused, never played as another value.
        wrapped_value("a value past 64 bits", "99999999999999999999", "-1"),
        wrapped_value("a value past 32 bits", "99999999999", "1215752191"),
        wrapped_value("a value one past the top of 32 signed bits", "2147483648", "-2147483648"),
        wrapped_value("a value one below the bottom", "-2147483649", "2147483647"),
        wrapped_value("a value of 2^32", "4294967296", "0"),
        {"a value with letters after its digits", lone_event("1.000000 0002 0000 12abc"),
         at(e1, "event field VALUE '12abc' is not a whole number (libevemu would play 12)")},
        {"a type of five digits", lone_event("1.000000 00002 0000 1"),
         at(e1, "event field TYPE '00002' is not what libevemu reads (libevemu would play 0000)")},
        {"microseconds of seven digits", lone_event("1.0000001 0002 0000 1"),
         at(e1,
            "event field MICROSECONDS '0000001' is not what libevemu reads (libevemu would "
            "play 0)")},
        {"a sixth field that is not a comment", lone_event("1.000000 0002 0000 1 7"),
         at(e1,
            "the event line has 5 fields after 'E:', not the four of 'E: "
            "SECONDS.MICROSECONDS TYPE CODE VALUE' (a comment starts with '#')")},
        {"time going backwards",
         mouse_description + event_block(5) + event_text(1000004, EV_REL, REL_Y, 1),
         at(e1 + 2, "time stamp 1.000004 goes backwards (the event before is at 1.000005)")},

        // libinput record files: told apart by their first line that is no comment.
        {"a YAML file that is neither", "# a comment\nname: mouse\nversion: 1\n",
         at(2, evemu_or_libinput + "'name: mouse'")},
        {"a version other than 1", testsupport::libinput_head(1, "2") + mouse,
         at(2,
            "version '2' is not one rawmice reads: it reads libinput record files of version "
            "1")},
        {"a version that is a list", "version: [1]\ndevices: []\n",
         at(1, "'version:' is a list or a mapping, not a number")},
        {"no devices list", "version: 1\nndevices: 0\n",
         " no devices: the file has no 'devices:' list"},
        {"an empty devices list", "# libinput record\nversion: 1\nndevices: 0\ndevices: []\n",
         at(4, "no devices: its 'devices:' list is empty")},
        {"a device with no evdev description",
         head + "- node: /dev/input/event3\n  udev:\n    properties: []\n",
         at(lines_of(head) + 1, "device 0 has no 'evdev:' description")},
        {"an evdev description with no codes",
         head + "- node: /dev/input/event3\n  evdev:\n    name: \"M\"\n",
         at(lines_of(head) + 3,
            "device 0's 'evdev:' has no 'codes:' (the event types and codes it "
            "sends)")},
        {"events before the description", head + "- events: []\n  evdev:\n    codes: {}\n",
         at(lines_of(head) + 1, "device 0's 'events:' come before its 'evdev:' description")},
        {"an id of three numbers", head + "- evdev:\n    id: [3, 1133, 49271]\n",
         at(lines_of(head) + 2,
            "'id:' has 3 numbers, not the four [BUS, VENDOR, PRODUCT, VERSION]")},
        {"an event type past EV_MAX in codes", head + "- evdev:\n    codes:\n      32: [0]\n",
         at(lines_of(head) + 3, "event type '32' in 'codes:' is not a number from 0 to 31")},
        {"a code past KEY_MAX in codes", head + "- evdev:\n    codes:\n      1: [768]\n",
         at(lines_of(head) + 3, "event code '768' is outside 0 to 767")},
        {"an absinfo of four numbers",
         head + "- evdev:\n    codes: {3: [0]}\n    absinfo:\n      0: [0, 1023, 0, 0]\n",
         at(lines_of(head) + 4,
            "the 'absinfo:' of axis 0 has 4 numbers, not the five [MIN, MAX, "
            "FUZZ, FLAT, RESOLUTION]")},
        {"an absinfo value past 32 bits",
         head + "- evdev:\n    codes: {3: [0]}\n    absinfo:\n      0: [0, 4294967296, 0, 0, 0]\n",
         at(lines_of(head) + 4,
            "an 'absinfo:' number '4294967296' is outside -2147483648 to "
            "2147483647")},
        {"an event value that does not fit", lone("0, 0, 2, 0, 4294967296"),
         at(f1 + 1, "event field VALUE '4294967296' does not fit in 32 signed bits")},
        {"an event value one below 32 signed bits", lone("0, 0, 2, 0, -2147483649"),
         at(f1 + 1, "event field VALUE '-2147483649' does not fit in 32 signed bits")},
        {"a value past 64 bits", lone("0, 0, 2, 0, 99999999999999999999"),
         at(f1 + 1, "event field VALUE '99999999999999999999' does not fit in 32 signed bits")},
        {"usec of a second", lone("0, 1000000, 2, 0, 1"),
         at(f1 + 1, "event field USEC '1000000' is outside 0 to 999999")},
        {"a negative usec", lone("0, -1, 2, 0, 1"),
         at(f1 + 1, "event field USEC '-1' is outside 0 to 999999")},
        {"a negative second", lone("-1, 0, 2, 0, 1"),
         at(f1 + 1, "event field SEC '-1' is outside 0 to 9223372035")},
        {"a type past EV_MAX", lone("0, 0, 32, 0, 1"),
         at(f1 + 1, "event field TYPE '32' is outside 0 to 31")},
        {"a field that is not a number", lone("0, 0, 2, 0, 1x"),
         at(f1 + 1, "event field VALUE '1x' is not a whole number")},
        {"an event of four fields", lone("0, 0, 2, 0"),
         at(f1 + 1, "an event has 4 fields, not the five of [SEC, USEC, TYPE, CODE, VALUE]")},
        {"a code the device does not list", lone("0, 0, 2, 6, 1"),
         at(f1 + 1, "event type 2 code 6 is not among the codes its device lists in 'codes:'")},
        {"a type the device does not list", lone("0, 0, 3, 0, 1"),
         at(f1 + 1, "event type 3 code 0 is not among the codes its device lists in 'codes:'")},
        {"a frame earlier than the one before",
         head + mouse + testsupport::libinput_frame(1'000'005, {{EV_REL, REL_X, 1}}) +
             testsupport::libinput_frame(1'000'004, {{EV_REL, REL_X, 1}}),
         at(f1 + 4,
            "a frame at 1.000004 is earlier than the one before it in this device, at "
            "1.000005")},
        {"a frame that is not a list", head + mouse + "  - evdev: 5\n",
         at(f1, "an evdev frame is not a list of events [SEC, USEC, TYPE, CODE, VALUE]")},
        {"events that are not a list", head + mouse.substr(0, mouse.size() - 1) + " 7\n",
         at(f1 - 1, "'events:' is not a list of frames such as '- evdev: [...]'")},
        {"an events item that is not a mapping", head + mouse + "  - 7\n",
         at(f1, "an item of 'events:' is not a frame such as '- evdev: [...]'")},
        {"a YAML alias", head + mouse + "  - evdev: &f\n    - [0, 0, 0, 0, 0]\n  - evdev: *f\n",
         at(f1 + 2, "a YAML alias (*f): libinput record files have none, and rawmice reads none")},
        {"not YAML: a flow list left open", head + mouse + "  - evdev:\n    - [0, 0, 2, 0, 1\n",
         at(f1 + 2,
            "not valid YAML: did not find expected ',' or ']' (while parsing a flow "
            "sequence that starts at line " +
                std::to_string(f1 + 1) + ")")},
        {"not YAML: a control character", head + mouse + "  - evdev:\n    - [0, 0, 2, 0, \x01]\n",
         at(f1 + 1, "not valid YAML: control characters are not allowed (byte 0x01)")},
        {"not YAML: cut short in an event", head + mouse + "  - evdev:\n    - [0, 0, 2, 0, 1",
         at(f1 + 1,
            "not valid YAML: did not find expected ',' or ']' (while parsing a flow "
            "sequence)" +
                cut_short)},
        {"not YAML: a second document", head + mouse + "---\nversion: 1\n",
         at(f1, "a second YAML document: a libinput record file holds one")},

        // libyaml's lines, a lone CR one of them, wherever the file says where.
        // The frame's first event spans three lines: the second event is on f1 + 4.
        {"carriage returns inside a frame, then a bad event",
         head + mouse + "  - evdev:\n    - [0,\r 0,\r 2, 0, 1]\n    - [0, 0, 2, 0, 1x]\n",
         at(f1 + 4, "event field VALUE '1x' is not a whole number")},
        {"lines that end with CR alone, then a bad event", cr_only(lone("0, 0, 2, 0, 1x")),
         at(f1 + 1, "event field VALUE '1x' is not a whole number")},
        {"an evemu recording whose lines end with CR alone",
         cr_only(mouse_description + event_block()),
         " its lines end with a carriage return alone (CR), which libevemu does not take for a "
         "line end: an evemu recording's lines end with LF or CR LF"},

        // A key repeated in any mapping: YAML's keys are unique, and libyaml
        // does not check it.
        {"the devices key twice", head + mouse + frame + "devices:\n" + mouse + frame,
         repeated("devices", lines_of(head + mouse + frame) + 1, lines_of(head))},
        {"a key twice in a device", head + mouse + frame + "  node: /dev/input/event9\n",
         repeated("node", lines_of(head + mouse + frame) + 1, lines_of(head) + 1)},
        {"a key twice in a frame",
         head + mouse + "  - evdev:\n    - [0, 0, 2, 0, 1]\n    evdev:\n    - [0, 0, 0, 0, 0]\n",
         repeated("evdev", f1 + 2, f1)},
        {"a key twice where rawmice reads nothing", head + twice_virtual,
         repeated("virtual", lines_of(head) + virtual_line + 1, lines_of(head) + virtual_line)},
        {"ndevices: more than the devices", testsupport::libinput_head(2) + mouse + frame,
         at(3, "'ndevices: 2', but its 'devices:' at line " + std::to_string(lines_of(head)) +
                   " lists 1 device")},
        {"ndevices: fewer than the devices", head + mouse + frame + mouse + frame,
         at(3, "'ndevices: 1', but its 'devices:' at line " + std::to_string(lines_of(head)) +
                   " lists 2 devices")},
        {"ndevices: not a number", "", at(3, "'ndevices:' 'one' is not a whole number"),
         [mouse, frame](const TempDir& dir) {
             std::string text = testsupport::libinput_head(1) + mouse + frame;
             text.replace(text.find("ndevices: 1"), 11, "ndevices: one");
             return write(dir, "ndevices.yml", text);
         }},
    };
}

// Each gives its one error, and nothing else reaches standard error: what
// libevemu says there is rawmice's to say.
TEST(RecordingErrors, EveryKindOfBadInputGivesItsFileLineAndMessage) {
    TempDir dir;
    int index = 0;
    for (const BadCase& bad : bad_cases()) {
        SCOPED_TRACE(bad.what);
        const auto path = bad.make
                              ? bad.make(dir)
                              : write(dir, "bad" + std::to_string(index++) + ".evemu", bad.text);
        testing::internal::CaptureStderr();
        const std::string error = load_error(path);
        const std::string said = testing::internal::GetCapturedStderr();
        // A whole-file error has no line: "FILE: message".
        EXPECT_EQ(error, path + ":" + bad.error);
        EXPECT_EQ(said, "");
    }
}

// A capture takes what its own thread writes to stderr, the innermost one
// first; another thread's words still reach standard error, and stderr is
// given back once the last capture ends.
TEST(StderrCapture, TakesWhatItsOwnThreadWritesAndNothingElse) {
    testing::internal::CaptureStderr();
    std::string taken;
    std::string inner_taken;
    {
        const input::StderrCapture capture;
        std::fprintf(stderr, "mine\n");
        std::thread([] { std::fprintf(stderr, "another thread's\n"); }).join();
        {
            const input::StderrCapture inner;
            std::fprintf(stderr, "inner\n");
            inner_taken = inner.text();
        }
        std::fprintf(stderr, "mine again\n");
        taken = capture.text();
    }
    std::fprintf(stderr, "after\n");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "another thread's\nafter\n");
    EXPECT_EQ(taken, "mine\nmine again\n");
    EXPECT_EQ(inner_taken, "inner\n");
}

// Loads `path` as the unprivileged user "nobody" in a child process, since
// root reads any file; returns the error, or nullopt when privileges cannot be dropped.
std::optional<std::string> load_error_as_nobody(const std::string& path) {
    int fds[2];
    if (::pipe(fds) != 0)
        return std::nullopt;
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(fds[0]);
        if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0) {
            ::_exit(3);
        }
        const std::string message = load_error(path);
        const ssize_t written = ::write(fds[1], message.data(), message.size());
        ::_exit(written == static_cast<ssize_t>(message.size()) ? 0 : 4);
    }
    ::close(fds[1]);
    std::string message;
    char buffer[512];
    ssize_t got;
    while ((got = ::read(fds[0], buffer, sizeof buffer)) > 0)
        message.append(buffer, got);
    ::close(fds[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return std::nullopt;
    return message;
}

TEST(RecordingErrors, NoReadPermission) {
    TempDir dir;
    const auto path = write(dir, "locked.evemu", mouse_description);
    ASSERT_EQ(::chmod(path.c_str(), 0200), 0);
    std::string message;
    if (::geteuid() != 0) {
        message = load_error(path);
    } else {
        ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
        const auto as_nobody = load_error_as_nobody(path);
        if (!as_nobody)
            GTEST_SKIP() << "running as root and cannot become nobody here";
        message = *as_nobody;
    }
    EXPECT_EQ(message, path + ": cannot open it: Permission denied (check the file's permissions)");
}

// The process's peak resident memory in kB, after resetting it to the current use.
long reset_peak_rss_kb() {
    std::ofstream clear("/proc/self/clear_refs");
    clear << "5";
    clear.close();
    return clear ? 0 : -1;
}

long status_kb(const std::string& field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(field + ":", 0) == 0)
            return std::stol(line.substr(field.size() + 1));
    }
    return -1;
}

TEST(RecordingBigFile, ValidatesAndStreamsWithFlatMemory) {
    TempDir dir;
    if (const auto why = testsupport::short_of_space(dir.path(), 50'000'000))
        GTEST_SKIP() << *why;
    const auto path = (dir / "big.evemu").string();
    constexpr int frames = 400'000;  // 1.2 million events, about 40 MB
    {
        std::unique_ptr<std::FILE, int (*)(std::FILE*)> out(std::fopen(path.c_str(), "w"),
                                                            &std::fclose);
        ASSERT_TRUE(out);
        std::fputs(mouse_description.c_str(), out.get());
        for (int i = 0; i < frames; ++i) {
            const std::int64_t us = 1000000 + static_cast<std::int64_t>(i) * 125;
            std::fputs((event_text(us, EV_REL, REL_X, (i % 7) - 3) +
                        "\t# padding to make the file bigger, as evemu's own comments do\n" +
                        event_text(us, EV_REL, REL_Y, 1) + event_text(us, EV_SYN, SYN_REPORT, 0))
                           .c_str(),
                       out.get());
        }
    }
    const auto size = std::filesystem::file_size(path);
    ASSERT_GT(size, 40'000'000u);
    if (reset_peak_rss_kb() != 0)
        GTEST_SKIP() << "cannot reset the peak memory figure here";
    [[maybe_unused]] const long before_kb = status_kb("VmRSS");

    const input::LoadResult result = Recording::load(path);
    ASSERT_TRUE(result) << result.error.to_string();
    EXPECT_EQ(result.recording->event_count(), 3u * frames);
#ifndef __SANITIZE_ADDRESS__  // ASan keeps freed blocks (libevemu's line buffers) aside
    EXPECT_LT(status_kb("VmHWM") - before_kb, 4 * 1024)
        << "checking a " << size / 1000000 << " MB recording must not hold it in memory";
#endif

    EventStream stream(*result.recording);
    input_event event{};
    std::uint64_t count = 0;
    std::int64_t sum_x = 0;
    while (stream.next(event)) {
        ++count;
        if (event.type == EV_REL && event.code == REL_X)
            sum_x += event.value;
    }
    EXPECT_EQ(stream.error(), "");
    EXPECT_EQ(count, 3u * frames);
    std::int64_t expected_x = 0;
    for (int i = 0; i < frames; ++i)
        expected_x += (i % 7) - 3;
    EXPECT_EQ(sum_x, expected_x);

#ifndef __SANITIZE_ADDRESS__  // ASan keeps freed blocks (libevemu's line buffers) aside
    EXPECT_LT(status_kb("VmHWM") - before_kb, 4 * 1024)
        << "reading the events of a " << size / 1000000 << " MB recording must not hold them";
#endif

    // A fault on the very last line is found: the whole file is checked.
    {
        std::ofstream append(path, std::ios::app);
        append << event_text(999999, EV_REL, REL_X, 1);
    }
    const auto lines = static_cast<int>(desc_lines + 4 * frames + 1);
    EXPECT_EQ(load_error(path), path + ":" + std::to_string(lines) +
                                    ": time stamp 0.999999 goes backwards (the event before "
                                    "is at 50.999875)");
}

// Expected class of every public recording, by folder, with the exceptions the
// data itself shows.
DWORD expected_class(const std::filesystem::path& file, const input::Capabilities& caps) {
    const std::string folder = file.parent_path().filename().string();
    const std::string name = file.filename().string();
    if (folder == "mice" || folder == "trackballs" || folder == "trackpoints") {
        // The keyboard interface of a gaming mouse: keys only, no motion.
        if (name == "ROCCAT ROCCAT Kone XTD.keyboard.evemu")
            return RIM_TYPEKEYBOARD;
        return RIM_TYPEMOUSE;
    }
    if (folder == "keyboards") {
        const bool pointer = caps.rels.test(REL_X) && caps.rels.test(REL_Y);
        return pointer ? RIM_TYPEMOUSE : RIM_TYPEKEYBOARD;
    }
    // A tablet whose puck reports relative motion, as a mouse does.
    if (name == "PTK-540WL.desc")
        return RIM_TYPEMOUSE;
    // The absolute tablet a virtual machine gives its guest, a mouse to udev.
    if (name.rfind("QEMU 0.12.1 QEMU USB Tablet.", 0) == 0)
        return RIM_TYPEMOUSE;
    return RIM_TYPEHID;
}

// A checkout without its recordings must fail the tests that walk them, naming
// the folder, never pass over nothing.
TEST(TestData, AMissingOrEmptyRecordingsFolderFailsNamingIt) {
    TempDir data;
    const char* saved = std::getenv("RAWMICE_DATA");
    const std::string previous = saved != nullptr ? saved : "";
    ::setenv("RAWMICE_DATA", data.path().c_str(), 1);
    const auto failure = [](const std::function<void()>& walk) {
        try {
            walk();
        } catch (const std::runtime_error& e) {
            return std::string(e.what());
        }
        return std::string("no failure");
    };
    const std::string folder = (data / "evemu-devices").string();
    const std::string missing = failure([] { testsupport::evemu_devices(); });
    std::filesystem::create_directories(data / "evemu-devices" / "mice");
    const std::string empty = failure([] { testsupport::files_in("mice"); });
    testsupport::write_file(data / "evemu-devices" / "LICENSE", "text");
    const std::string empty_subfolder = failure([] { testsupport::files_in("mice"); });
    if (saved != nullptr) {
        ::setenv("RAWMICE_DATA", previous.c_str(), 1);
    } else {
        ::unsetenv("RAWMICE_DATA");
    }
    EXPECT_NE(missing.find(folder), std::string::npos) << missing;
    EXPECT_NE(empty.find(folder), std::string::npos) << empty;
    EXPECT_NE(empty_subfolder.find(folder + "/mice"), std::string::npos) << empty_subfolder;
}

TEST(RealRecordings, EveryDeviceIsClassifiedByItsCapabilities) {
    TempDir scratch;
    int checked = 0;
    for (const std::string folder : {"mice", "trackballs", "trackpoints", "keyboards", "touchpads",
                                     "tablets", "touchscreens", "joysticks"}) {
        for (const auto& file : testsupport::files_in(folder)) {
            if (!testsupport::has_description(file) && testsupport::description_for(file).empty()) {
                continue;  // bare events of a device described elsewhere
            }
            const auto path = testsupport::whole_recording(file, scratch.path());
            const input::LoadResult result = Recording::load(path.string());
            ASSERT_TRUE(result) << result.error.to_string();
            const auto& caps = result.recording->capabilities();
            EXPECT_EQ(input::classify(caps), expected_class(file, caps)) << file;
            ++checked;
        }
    }
    EXPECT_GT(checked, 150);
}

TEST(RealRecordings, EveryEventStreamsAsItsLineSays) {
    TempDir scratch;
    for (const std::string folder : {"mice", "trackpoints", "keyboards"}) {
        for (const auto& file : testsupport::files_in(folder)) {
            if (!testsupport::has_description(file) && testsupport::description_for(file).empty()) {
                continue;
            }
            const auto path = testsupport::whole_recording(file, scratch.path());
            const input::LoadResult result = Recording::load(path.string());
            ASSERT_TRUE(result) << result.error.to_string();
            const auto lines = testsupport::event_lines(path);
            ASSERT_EQ(result.recording->event_count(), lines.size()) << file;
            EventStream stream(*result.recording);
            input_event event{};
            for (const auto& line : lines) {
                ASSERT_TRUE(stream.next(event)) << file;
                ASSERT_EQ(input::event_time_us(event), line.us) << file;
                ASSERT_EQ(event.type, line.type) << file;
                ASSERT_EQ(event.code, line.code) << file;
                ASSERT_EQ(event.value, line.value) << file;
            }
            EXPECT_FALSE(stream.next(event));
            EXPECT_EQ(stream.error(), "");
        }
    }
}

TEST(RealRecordings, BareEventFilesAreEventsWithNoHeader) {
    const auto file = testsupport::evemu_devices() / "mice" / "PS2 Generic Mouse.events";
    EXPECT_EQ(load_error(file.string()),
              file.string() +
                  ":1: events come before any device description: a recording starts with its "
                  "'N: <device name>' line (for a bare .events file, put its .desc first)");
}

TEST(RealRecordings, ADescriptionPrecededByShellOutputIsRejected) {
    const auto file = testsupport::evemu_devices() / "misc" /
                      "Sony Computer Entertainment Wireless Stereo Headset.desc";
    EXPECT_EQ(load_error(file.string()),
              file.string() +
                  ":1: neither an evemu recording nor a libinput record file: expected the device "
                  "name line 'N: ...' or 'version: 1', found "
                  "'austin@debian-laptop:~$ sudo evemu-descr...'");
}

TEST(RealRecordings, ALastDescriptionLineWithoutLineEndIsWhole) {
    const auto file = testsupport::evemu_devices() / "joysticks" / "Microsoft X-Box 360 pad.desc";
    const input::LoadResult result = Recording::load(file.string());
    ASSERT_TRUE(result) << result.error.to_string();
    EXPECT_EQ(result.recording->name(), "Microsoft X-Box 360 pad");
}

}  // namespace

// ---------------------------------------------------------------------------
// Writing recordings (--record): the files' names, the folder they go to, and
// what libevemu reads back.

TEST(RecorderNames, IndexHandleAndNameWithEveryOtherCharacterMadeAnUnderscore) {
    const auto handle = [](std::uintptr_t value) { return reinterpret_cast<HANDLE>(value); };
    const std::vector<std::tuple<int, HANDLE, std::string, std::string>> cases = {
        {0, handle(65537), "Sample Mouse", "00-65537-Sample_Mouse.evemu"},
        {12, handle(6), "Logitech G502 HERO (wireless) \xc3\xa9",
         "12-6-Logitech_G502_HERO__wireless___.evemu"},
        {3, handle(14), "../etc/passwd", "03-14-___etc_passwd.evemu"},
        {4, handle(15), "", "04-15-.evemu"},
        {5, handle(16), "Mouse-2_b", "05-16-Mouse-2_b.evemu"},
    };
    for (const auto& [index, device, name, file] : cases)
        EXPECT_EQ(input::recording_file_name(index, device, name), file) << name;
}

TEST(RecorderFolder, OnlyAnExistingWritableFolderWithNoRecordingInItIsTaken) {
    TempDir dir;
    write(dir, "file", "");
    std::filesystem::create_directory(dir / "used");
    write(dir, "used/00-65537-Old.evemu", mouse_description);
    std::filesystem::create_directory(dir / "empty");
    const std::vector<std::pair<std::filesystem::path, std::string>> refused = {
        {dir / "missing", "does not exist"},
        {dir / "file", "is not a folder"},
        {dir / "used", "already holds recordings (00-65537-Old.evemu)"},
    };
    for (const auto& [folder, why] : refused) {
        std::string error;
        EXPECT_EQ(input::Recorder::open(folder, 0, error), nullptr) << folder;
        EXPECT_EQ(error.find("--record: " + folder.string() + " " + why), 0u) << error;
    }
    if (::geteuid() != 0) {
        std::filesystem::permissions(
            dir / "empty", std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
        std::string error;
        EXPECT_EQ(input::Recorder::open(dir / "empty", 0, error), nullptr);
        EXPECT_NE(error.find("cannot be written"), std::string::npos) << error;
        std::filesystem::permissions(dir / "empty", std::filesystem::perms::owner_all);
    }
    std::string error;
    EXPECT_NE(input::Recorder::open(dir / "empty", 0, error), nullptr) << error;
}

// What libevemu writes, rawmice's reader reads: the description as libevemu
// read it, the empty frame at the run's start, then every event; a time that
// went back is written as the one before it.
TEST(RecorderFiles, AMouseIsWrittenAsLibevemuWritesAndReadsBackWhole) {
    TempDir dir;
    const std::string source = write(dir, "source.evemu", mouse_description + events_text());
    const input::Description description = input::describe_recording(source);
    ASSERT_TRUE(description);
    std::filesystem::create_directory(dir / "out");
    std::string error;
    auto recorder = input::Recorder::open(dir / "out", 4'000'000, error);
    ASSERT_TRUE(recorder) << error;
    const auto id = recorder->add(1, reinterpret_cast<HANDLE>(7), "Test Mouse", *description);
    ASSERT_TRUE(id);
    recorder->write(*id, make_event(EV_REL, REL_X, -3, 5'000'000));
    recorder->write(*id, make_event(EV_SYN, SYN_REPORT, 0, 5'000'000));
    recorder->write(*id, make_event(EV_KEY, BTN_LEFT, 1, 4'999'000));  // a clock that stepped back
    recorder->write(*id, make_event(EV_SYN, SYN_REPORT, 0, 4'999'000));
    EXPECT_TRUE(recorder->finish());
    recorder->write(*id, make_event(EV_REL, REL_X, 1, 6'000'000));  // after the end: not written
    ASSERT_EQ(recorder->files(),
              std::vector<std::filesystem::path>{dir / "out/01-7-Test_Mouse.evemu"});

    const input::LoadResult loaded = Recording::load(recorder->files()[0].string());
    ASSERT_TRUE(loaded) << loaded.error.to_string();
    EXPECT_EQ(loaded.recording->name(), "Test Mouse");
    EXPECT_EQ(loaded.recording->capabilities().rels,
              Recording::load(source).recording->capabilities().rels);
    EXPECT_EQ(loaded.recording->first_event_us(), 4'000'000) << "the run's start";
    EventStream events(*loaded.recording);
    std::vector<std::tuple<std::int64_t, unsigned, unsigned, int>> read;
    for (input_event e{}; events.next(e);)
        read.emplace_back(input::event_time_us(e), e.type, e.code, e.value);
    EXPECT_EQ(read, (std::vector<std::tuple<std::int64_t, unsigned, unsigned, int>>{
                        {4'000'000, EV_SYN, SYN_REPORT, 0},
                        {5'000'000, EV_REL, REL_X, -3},
                        {5'000'000, EV_SYN, SYN_REPORT, 0},
                        {5'000'000, EV_KEY, BTN_LEFT, 1},
                        {5'000'000, EV_SYN, SYN_REPORT, 0}}));
}

// A file that cannot be written whole (here: the process may write no more
// than a few kilobytes a file) is said once and fails the recording; the
// others go on.
TEST(RecorderFiles, AFileThatCannotBeWrittenWholeIsSaidAndFailsTheRecording) {
    TempDir dir;
    const std::string source = write(dir, "source.evemu", mouse_description);
    const input::Description description = input::describe_recording(source);
    ASSERT_TRUE(description);
    std::filesystem::create_directory(dir / "out");
    std::string error;
    auto recorder = input::Recorder::open(dir / "out", 0, error);
    ASSERT_TRUE(recorder) << error;
    const auto id = recorder->add(0, reinterpret_cast<HANDLE>(7), "Big", *description);
    ASSERT_TRUE(id);

    const auto previous = std::signal(SIGXFSZ, SIG_IGN);
    rlimit limit{};
    ::getrlimit(RLIMIT_FSIZE, &limit);
    const rlimit small{64 * 1024, limit.rlim_max};
    ::setrlimit(RLIMIT_FSIZE, &small);
    testing::internal::CaptureStderr();
    input_event motion{};
    motion.type = EV_REL;
    for (int i = 0; i < 20'000; ++i) {
        motion.input_event_sec = i / 1000;  // a flush every second of events
        recorder->write(*id, motion);
    }
    const bool whole = recorder->finish();
    const std::string said = testing::internal::GetCapturedStderr();
    ::setrlimit(RLIMIT_FSIZE, &limit);
    std::signal(SIGXFSZ, previous);

    EXPECT_FALSE(whole);
    EXPECT_EQ(said, "rawmice: cannot write " + (dir / "out/00-7-Big.evemu").string() +
                        ": File too large (its recording stops there)\n");
}
