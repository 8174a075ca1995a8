#include "tests/support/evemu_text.h"

#include <linux/input.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace evemu_text {

namespace {

// The B: lines of one type's code bits, eight bytes a line.
std::string bit_lines(unsigned type, const std::vector<unsigned>& codes, unsigned count) {
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

}  // namespace

std::vector<unsigned> codes(std::initializer_list<std::pair<unsigned, unsigned>> ranges) {
    std::vector<unsigned> out;
    for (const auto& [first, last] : ranges) {
        for (unsigned code = first; code <= last; ++code)
            out.push_back(code);
    }
    return out;
}

std::string description(const Device& d) {
    char head[512];
    std::snprintf(head, sizeof head,
                  "# EVEMU 1.3\n# Input device name: \"%s\"\nN: %s\nI: 0003 %04x %04x %04x\n"
                  "P: 00 00 00 00 00 00 00 00\n",
                  d.name.c_str(), d.name.c_str(), d.vendor, d.product, d.version);
    std::vector<unsigned> types{EV_SYN, EV_KEY, EV_REL};
    types.insert(types.end(), d.other_types.begin(), d.other_types.end());
    std::string text = head;
    text += bit_lines(0, types, EV_CNT);
    text += bit_lines(EV_KEY, d.keys, KEY_CNT);
    text += bit_lines(EV_REL, d.rels, REL_CNT);
    if (!d.msc.empty())
        text += bit_lines(EV_MSC, d.msc, MSC_CNT);
    return text;
}

std::string event(std::int64_t us, unsigned type, unsigned code, int value) {
    char line[96];
    std::snprintf(line, sizeof line, "E: %lld.%06lld %04x %04x %04d\n",
                  static_cast<long long>(us / 1000000), static_cast<long long>(us % 1000000), type,
                  code, value);
    return line;
}

Writer::Writer(const std::string& path) : path_(path), file_(std::fopen(path.c_str(), "w")) {
    if (file_ == nullptr)
        throw std::runtime_error("cannot write " + path + ": " + std::strerror(errno));
    std::setvbuf(file_, nullptr, _IOFBF, 1 << 20);
}

Writer::~Writer() {
    if (file_ != nullptr)
        std::fclose(file_);
}

void Writer::text(const std::string& s, int times) {
    for (int i = 0; i < times; ++i)
        std::fwrite(s.data(), 1, s.size(), file_);
    lines_ += static_cast<std::int64_t>(std::count(s.begin(), s.end(), '\n')) * times;
}

void Writer::event(std::int64_t us, unsigned type, unsigned code, int value) {
    ++lines_;
    std::fprintf(file_, "E: %lld.%06lld %04x %04x %04d\n", static_cast<long long>(us / 1000000),
                 static_cast<long long>(us % 1000000), type, code, value);
}

void Writer::close() {
    const bool written = std::ferror(file_) == 0;
    const bool closed = std::fclose(file_) == 0;
    file_ = nullptr;
    if (!written || !closed)
        throw std::runtime_error("cannot write " + path_ + ": " + std::strerror(errno));
}

}  // namespace evemu_text
