#include "tests/support/recording_files.h"

#include <linux/input.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "tests/support/evemu_text.h"
#include "tests/support/test_support.h"

namespace testsupport {

std::filesystem::path evemu_devices() {
    return required_data("evemu-devices");
}

std::vector<std::filesystem::path> files_in(const std::string& folder) {
    const std::filesystem::path path = required_data("evemu-devices/" + folder);
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(path)) {
        if (entry.is_regular_file())
            files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    return files;
}

bool has_description(const std::filesystem::path& file) {
    std::ifstream in(file);
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("N:", 0) == 0)
            return true;
    }
    return false;
}

std::filesystem::path description_for(const std::filesystem::path& events) {
    const std::string name = events.filename().string();
    std::filesystem::path best;
    for (const auto& entry : std::filesystem::directory_iterator(events.parent_path())) {
        if (entry.path().extension() != ".desc")
            continue;
        const std::string stem = entry.path().stem().string();
        if (name.rfind(stem + ".", 0) == 0 && stem.size() > best.stem().string().size()) {
            best = entry.path();
        }
    }
    return best;
}

std::filesystem::path whole_recording(const std::filesystem::path& file,
                                      const std::filesystem::path& scratch) {
    if (has_description(file))
        return file;
    const auto desc = description_for(file);
    if (desc.empty())
        throw std::runtime_error("no description for " + file.string());
    std::string text = read_file(desc);
    if (!text.empty() && text.back() != '\n')
        text += '\n';
    text += read_file(file);
    const auto out = scratch / file.filename();
    write_file(out, text);
    return out;
}

std::string description(const std::string& name, std::initializer_list<unsigned> rels,
                        std::initializer_list<std::pair<unsigned, unsigned>> key_ranges) {
    evemu_text::Device device;
    device.name = name;
    device.rels = rels;
    device.keys = evemu_text::codes(key_ranges);
    return evemu_text::description(device);
}

std::string mouse_description(const std::string& name) {
    return description(name, {REL_X, REL_Y, REL_WHEEL}, {{BTN_LEFT, BTN_MIDDLE}});
}

std::string keyboard_description(const std::string& name) {
    return description(name, {}, {{KEY_ESC, KEY_SPACE}});
}

std::string counts_recording(const std::string& name, const std::vector<Counts>& packets) {
    std::string text = mouse_description(name);
    text += event_text(1'000'000, EV_SYN, SYN_REPORT, 0);
    for (const auto& [t, dx, dy] : packets) {
        const std::int64_t at = 1'000'000 + t;
        if (dx != 0)
            text += event_text(at, EV_REL, REL_X, dx);
        if (dy != 0)
            text += event_text(at, EV_REL, REL_Y, dy);
        text += event_text(at, EV_SYN, SYN_REPORT, 0);
    }
    return text;
}

std::string motion_recording(const std::string& name, const std::vector<std::pair<int, int>>& moves,
                             std::int64_t start_us, std::int64_t step_us) {
    std::string text = mouse_description(name);
    std::int64_t t = start_us;
    for (const auto& [dx, dy] : moves) {
        if (dx != 0)
            text += event_text(t, EV_REL, REL_X, dx);
        if (dy != 0)
            text += event_text(t, EV_REL, REL_Y, dy);
        text += event_text(t, EV_SYN, SYN_REPORT, 0);
        t += step_us;
    }
    return text;
}

std::string event_text(std::int64_t us, unsigned type, unsigned code, int value) {
    return evemu_text::event(us, type, code, value);
}

std::string libinput_head(int devices, const std::string& version) {
    return "# libinput record\nversion: " + version + "\nndevices: " + std::to_string(devices) +
           "\nlibinput:\n  version: \"1.22.1\"\n  git: \"unknown\"\nsystem:\n"
           "  os: \"debian:12\"\n  kernel: \"6.1.0-13-amd64\"\n  dmi: \"dmi:bvnTest:\"\n"
           "devices:\n";
}

std::string libinput_device(const std::string& name,
                            const std::vector<std::pair<unsigned, std::vector<unsigned>>>& codes,
                            const std::vector<std::string>& absinfo) {
    std::string text = "- node: /dev/input/event7\n  evdev:\n    # Name: " + name +
                       "\n    # ID: bus 0x3 vendor 0x46d product 0xc077 version 0x111\n"
                       "    name: \"" +
                       name + "\"\n    id: [3, 1133, 49271, 273]\n    codes:\n";
    for (const auto& [type, list] : codes) {
        text += "      " + std::to_string(type) + ": [";
        for (std::size_t i = 0; i < list.size(); ++i)
            text += (i > 0 ? ", " : "") + std::to_string(list[i]);
        text += "]\n";
    }
    if (!absinfo.empty()) {
        text += "    absinfo:\n";
        for (const std::string& line : absinfo)
            text += "      " + line + "\n";
    }
    return text +
           "    properties: []\n  hid: [\n    0x05, 0x01, 0x09, 0x02\n  ]\n  udev:\n"
           "    properties:\n    - ID_INPUT=1\n    - ID_INPUT_MOUSE=1\n    virtual: false\n"
           "  events:\n";
}

std::string libinput_mouse(const std::string& name) {
    return libinput_device(name, {{EV_SYN, {SYN_REPORT, SYN_CONFIG, SYN_MT_REPORT, SYN_DROPPED}},
                                  {EV_KEY, {BTN_LEFT, BTN_RIGHT, BTN_MIDDLE}},
                                  {EV_REL, {REL_X, REL_Y, REL_WHEEL}},
                                  {EV_MSC, {MSC_SCAN}}});
}

std::string libinput_frame(std::int64_t us, const std::vector<FrameEvent>& events) {
    std::string text = "  - evdev:\n";
    char line[160];
    for (const FrameEvent& e : events) {
        std::snprintf(line, sizeof line, "    - [%3lld, %6lld, %3u, %3u, %7d]\n",
                      static_cast<long long>(us / 1'000'000),
                      static_cast<long long>(us % 1'000'000), e.type, e.code, e.value);
        text += line;
    }
    std::snprintf(line, sizeof line,
                  "    - [%3lld, %6lld,   0,   0,       0] # ------------ SYN_REPORT (0) "
                  "---------- +0ms\n",
                  static_cast<long long>(us / 1'000'000), static_cast<long long>(us % 1'000'000));
    return text + line;
}

std::string libinput_counts(const std::vector<Counts>& packets) {
    std::string text;
    for (const auto& [t, dx, dy] : packets) {
        std::vector<FrameEvent> events;
        if (dx != 0)
            events.push_back({EV_REL, REL_X, dx});
        if (dy != 0)
            events.push_back({EV_REL, REL_Y, dy});
        text += libinput_frame(t, events);
    }
    return text;
}

}  // namespace testsupport
