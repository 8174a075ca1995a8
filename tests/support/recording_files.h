// The public evemu recordings the input tests run on, and recordings the
// tests write themselves.
#pragma once

#include <cstdint>
#include <filesystem>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/event_lines.h"
#include "tests/support/strokes.h"

namespace testsupport {

// The evemu-devices folder of the test data (throws, naming it, when it is
// missing or empty).
std::filesystem::path evemu_devices();

// Every file of one of its folders (mice, keyboards...), sorted by name;
// throws, naming the folder, when it is missing or empty.
std::vector<std::filesystem::path> files_in(const std::string& folder);

// Whether the file carries its own description (an "N:" line).
bool has_description(const std::filesystem::path& file);

// For a bare .events file, the .desc beside it that describes its device
// (the longest .desc name that starts its name); empty when there is none.
std::filesystem::path description_for(const std::filesystem::path& events);

// A whole recording for `file`: the file itself when it has its description,
// else its .desc followed by its events, written under `scratch`.
std::filesystem::path whole_recording(const std::filesystem::path& file,
                                      const std::filesystem::path& scratch);

// A description of a device with the given relative axes and keys, as
// evemu-describe writes it (format 1.3).
std::string description(const std::string& name, std::initializer_list<unsigned> rels,
                        std::initializer_list<std::pair<unsigned, unsigned>> key_ranges = {});

// A wheel mouse with the left, right and middle buttons.
std::string mouse_description(const std::string& name);
// A keyboard with the keys from Esc to Space.
std::string keyboard_description(const std::string& name);

// A wheel mouse's recording: a frame of relative motion for each of `moves`,
// one every `step_us` from `start_us`.
std::string motion_recording(const std::string& name, const std::vector<std::pair<int, int>>& moves,
                             std::int64_t start_us, std::int64_t step_us);

// A wheel mouse's recording of counts: an empty frame at 1 s, where its time
// starts (so that mice replayed together keep their offsets), then a frame
// of motion for each packet, `us` later.
std::string counts_recording(const std::string& name, const std::vector<Counts>& packets);

// "E: SECONDS.MICROSECONDS TYPE CODE VALUE\n" as evemu-record writes it.
std::string event_text(std::int64_t us, unsigned type, unsigned code, int value);

// libinput record files, as `libinput record` writes them: the head (a
// comment, `version:`, `ndevices:`, `libinput:`, `system:`, then `devices:`).
std::string libinput_head(int devices, const std::string& version = "1");
// A device: `- node:`, its `evdev:` (name, id, codes by type, absinfo lines
// "CODE: [MIN, MAX, FUZZ, FLAT, RESOLUTION]", properties), its report
// descriptor `hid:`, `udev:`, then the `events:` key; frames follow.
std::string libinput_device(const std::string& name,
                            const std::vector<std::pair<unsigned, std::vector<unsigned>>>& codes,
                            const std::vector<std::string>& absinfo = {});
// A wheel mouse (REL_X, REL_Y, REL_WHEEL, left, right and middle buttons).
std::string libinput_mouse(const std::string& name);
// A `- evdev:` frame: each event "[SEC, USEC, TYPE, CODE, VALUE]" at `us`, then
// its SYN_REPORT.
struct FrameEvent {
    unsigned type;
    unsigned code;
    int value;
};
std::string libinput_frame(std::int64_t us, const std::vector<FrameEvent>& events);
// A mouse's frames of counts: a frame of motion for each packet, at its time.
std::string libinput_counts(const std::vector<Counts>& packets);

}  // namespace testsupport
