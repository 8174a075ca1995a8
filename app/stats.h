// Per-mouse packet statistics for --stats: how many packets each mouse sent,
// how often it sends (the timing measures, beside it), and how long each packet
// waited from its own time stamp to the end of its handling; then each
// button's presses, chatter and hold times, and each mouse's movement and
// the pairs moved together. Memory stays the same however many packets
// arrive.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "measures/clock.h"
#include "measures/histogram.h"
#include "measures/store.h"
#include "platform/input/device.h"
#include "platform/win32/win32.h"
#include "rawinput/rawinput.h"

namespace app {

// What the report calls a device: its mouse number (-1 when it has none) and name.
struct MouseLabel {
    HANDLE handle;
    int mouse_number;
    std::string name;
};

// The mice as the engine numbered them (the handles of its table, in order),
// named from the devices it was given.
std::vector<MouseLabel> mouse_labels(const RawInputState& engine,
                                     const std::vector<input::Device>& devices);

// The line after the table for an input that reads kernel buffers: how often
// each mouse's buffer overflowed (SYN_DROPPED), each listed mouse by its
// number, others by handle; empty when `counts` is.
std::string syn_dropped_line(const std::vector<MouseLabel>& labels,
                             const std::vector<std::pair<HANDLE, std::uint64_t>>& counts);

// The buttons table printed after the timing table: a title line (the
// chatter window, and the clock note where there is one), the header, then a
// line per mouse and button that changed (listed mice in their numbering,
// then the others in the order the measures first saw them).
std::string buttons_report(const std::vector<MouseLabel>& labels, const measures::Store& store);

// The movement tables printed after the buttons table: a title line (the
// distance the CPI is counted over), the header, then a line per measured
// mouse in the same order; then the pairs of numbered mice that moved
// together, A the lower number, under a header printed even with no pair.
std::string movement_report(const std::vector<MouseLabel>& labels, const measures::Store& store,
                            std::optional<double> distance_mm);

class PacketStats {
  public:
    // One packet of `device`: its delay runs from `time_ns`, when it was due,
    // to `handled_ns`, when its handling ended (both CLOCK_MONOTONIC).
    void add(HANDLE device, std::int64_t time_ns, std::int64_t handled_ns);

    std::uint64_t packets() const { return total_packets_; }

    // The table printed at exit: a line per device that sent packets (in the
    // order of `labels`, then others by first packet) with its packets, the
    // timing measures of `store` (on `clock`) and its delays; then the
    // totals and the packets dropped while no window was active.
    std::string report(const std::vector<MouseLabel>& labels, const measures::Store& store,
                       measures::Clock clock, std::uint64_t dropped_unfocused) const;

  private:
    struct PerDevice {
        HANDLE handle;
        std::uint64_t packets = 0;
        measures::DelayHistogram delay;
    };
    PerDevice& device(HANDLE handle);

    std::vector<PerDevice> devices_;
    std::size_t last_ = 0;
    std::uint64_t total_packets_ = 0;
};

}  // namespace app
