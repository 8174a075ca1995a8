// What sysfs says of input devices: their capability bitmaps, their inputN,
// the polling interval a USB mouse declares.
#include "platform/input/sysfs.h"

#include <algorithm>
#include <charconv>
#include <climits>
#include <fstream>
#include <vector>

namespace input {

namespace {

// NOTE: sysfs prints bitmaps in the kernel's longs; a native build's
// unsigned long has the same width.
constexpr std::size_t sysfs_word_bits = sizeof(unsigned long) * CHAR_BIT;

// A bitmap file: space-separated hex words, most significant first, as the
// kernel prints them. False when it is missing, empty or malformed.
template <std::size_t N>
bool read_sysfs_bitmap(const std::filesystem::path& path, std::bitset<N>& bits) {
    std::ifstream in(path);
    std::vector<std::string> words;
    for (std::string word; in >> word;)
        words.push_back(word);
    if (words.empty())
        return false;
    bits.reset();
    for (std::size_t i = 0; i < words.size(); ++i) {
        const std::string& word = words[words.size() - 1 - i];
        unsigned long long value = 0;
        const auto [end, error] =
            std::from_chars(word.data(), word.data() + word.size(), value, 16);
        if (error != std::errc() || end != word.data() + word.size())
            return false;
        for (std::size_t bit = 0; bit < sysfs_word_bits && bit < 64; ++bit) {
            const std::size_t index = i * sysfs_word_bits + bit;
            if (((value >> bit) & 1U) != 0 && index < N)
                bits.set(index);
        }
    }
    return true;
}

}  // namespace

std::optional<std::string> read_first_line(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::string line;
    if (!in || (!std::getline(in, line) && in.bad()))
        return std::nullopt;
    return line;
}

std::optional<unsigned> number_after(std::string_view prefix, const std::string& name) {
    if (name.size() <= prefix.size() || !name.starts_with(prefix))
        return std::nullopt;
    unsigned number = 0;
    const char* last = name.data() + name.size();
    const auto [end, error] = std::from_chars(name.data() + prefix.size(), last, number);
    if (error != std::errc() || end != last || number > INT_MAX)
        return std::nullopt;
    return number;
}

int event_node_number(const std::string& name) {
    return static_cast<int>(number_after("event", name).value_or(-1));
}

std::optional<Capabilities> read_sysfs_capabilities(const std::filesystem::path& device_dir) {
    const auto folder = device_dir / "capabilities";
    Capabilities caps;
    if (!read_sysfs_bitmap(folder / "key", caps.keys) ||
        !read_sysfs_bitmap(folder / "rel", caps.rels) ||
        !read_sysfs_bitmap(folder / "abs", caps.abs)) {
        return std::nullopt;
    }
    return caps;
}

std::optional<unsigned> parent_input_number(const std::filesystem::path& device_link) {
    std::error_code error;
    const auto target = std::filesystem::canonical(device_link, error);
    return error ? std::nullopt : number_after("input", target.filename().string());
}

std::string declared_polling_interval(const std::filesystem::path& device_link) {
    std::error_code error;
    std::filesystem::path folder = std::filesystem::canonical(device_link, error);
    // inputN, then the HID device it may hang from, then the USB interface,
    // with the kernel's grouping folders ("input", no subsystem of their own)
    // between them. Any other device on the way (virtio, serio, a Bluetooth
    // controller, which may itself sit on a USB interface of its own) means
    // no declared interval.
    for (int depth = 0; !error && depth < 8 && folder.has_relative_path(); ++depth) {
        folder = folder.parent_path();
        if (std::filesystem::exists(folder / "bInterfaceNumber", error)) {
            std::vector<std::filesystem::path> endpoints;
            for (std::filesystem::directory_iterator it(folder, error), end; !error && it != end;
                 it.increment(error)) {
                if (it->path().filename().string().rfind("ep_", 0) == 0)
                    endpoints.push_back(it->path());
            }
            std::sort(endpoints.begin(), endpoints.end());
            for (const auto& endpoint : endpoints) {
                if (read_first_line(endpoint / "type").value_or("") == "Interrupt" &&
                    read_first_line(endpoint / "direction").value_or("") == "in")
                    return read_first_line(endpoint / "interval").value_or("");
            }
            return {};
        }
        std::error_code no_link;
        const auto subsystem = std::filesystem::read_symlink(folder / "subsystem", no_link);
        if (!no_link && subsystem.filename() != "hid")
            return {};
    }
    return {};
}

}  // namespace input
