#include "tests/support/recording_files.h"

#include <linux/input.h>

#include <algorithm>
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

}  // namespace testsupport
