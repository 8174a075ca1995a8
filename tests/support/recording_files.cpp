#include "tests/support/recording_files.h"

#include <linux/input.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>

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

static std::string bit_lines(unsigned type, const std::vector<unsigned>& codes, unsigned count) {
    std::vector<unsigned> bytes((count + 63) / 64 * 8, 0);
    for (unsigned code : codes)
        bytes[code / 8] |= 1u << (code % 8);
    std::string text;
    for (std::size_t i = 0; i < bytes.size(); i += 8) {
        char line[64];
        std::snprintf(line, sizeof line, "B: %02x %02x %02x %02x %02x %02x %02x %02x %02x\n", type,
                      bytes[i], bytes[i + 1], bytes[i + 2], bytes[i + 3], bytes[i + 4],
                      bytes[i + 5], bytes[i + 6], bytes[i + 7]);
        text += line;
    }
    return text;
}

std::string description(const std::string& name, std::initializer_list<unsigned> rels,
                        std::initializer_list<std::pair<unsigned, unsigned>> key_ranges) {
    std::vector<unsigned> keys;
    for (const auto& [first, last] : key_ranges) {
        for (unsigned code = first; code <= last; ++code)
            keys.push_back(code);
    }
    std::string text = "# EVEMU 1.3\n# Input device name: \"" + name + "\"\n";
    text += "N: " + name + "\nI: 0003 046d c077 0111\nP: 00 00 00 00 00 00 00 00\n";
    text += "B: 00 0b 00 00 00 00 00 00 00\n";
    text += bit_lines(EV_KEY, keys, KEY_CNT);
    text += bit_lines(EV_REL, std::vector<unsigned>(rels), REL_CNT);
    return text;
}

std::string event_text(std::int64_t us, unsigned type, unsigned code, int value) {
    char line[96];
    std::snprintf(line, sizeof line, "E: %lld.%06lld %04x %04x %04d\n",
                  static_cast<long long>(us / 1000000), static_cast<long long>(us % 1000000), type,
                  code, value);
    return line;
}

}  // namespace testsupport
