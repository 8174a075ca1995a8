// Recordings in evemu's text format, as evemu-describe and evemu-record write
// them: the one writer of the tests, the benchmarks and the soak's generator.
#pragma once

#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

namespace evemu_text {

// What a described device has.
struct Device {
    std::string name;
    unsigned vendor = 0x046d;
    unsigned product = 0xc077;
    unsigned version = 0x0111;
    std::vector<unsigned> rels;
    std::vector<unsigned> keys;
    // Event types it reports besides EV_SYN, EV_KEY and EV_REL (EV_MSC...).
    std::vector<unsigned> other_types;
    std::vector<unsigned> msc;
};

// The description (format 1.3): header comments, N:, I:, P: and the B: lines
// of its event types, keys and relative axes (and MSC codes when it has any).
std::string description(const Device& device);

// The codes first..last of each range, for Device::keys.
std::vector<unsigned> codes(std::initializer_list<std::pair<unsigned, unsigned>> ranges);

// "E: SECONDS.MICROSECONDS TYPE CODE VALUE\n".
std::string event(std::int64_t us, unsigned type, unsigned code, int value);

// Writes a recording through a large buffer, so that big files cost little;
// counts its lines. Throws std::runtime_error when the file cannot be written.
class Writer {
  public:
    explicit Writer(const std::string& path);
    ~Writer();
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;

    void text(const std::string& s, int times = 1);
    void event(std::int64_t us, unsigned type, unsigned code, int value);
    // Flushes and closes the file; throws when something could not be written.
    void close();
    // Lines written so far.
    std::int64_t lines() const { return lines_; }

  private:
    std::string path_;
    std::FILE* file_ = nullptr;
    std::int64_t lines_ = 0;
};

}  // namespace evemu_text
