// Per-mouse packet statistics for --stats: how many packets each mouse sent,
// how often it sends (the timing measures, beside it), and how long each packet
// waited from its own time stamp to the end of its handling. The buttons and
// movement tables that follow it are the measures' own (measures/tables.h).
// Memory stays the same however many packets arrive.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "measures/clock.h"
#include "measures/histogram.h"
#include "measures/store.h"
#include "measures/tables.h"
#include "platform/frames/frames.h"
#include "platform/input/device.h"
#include "platform/win32/win32.h"
#include "rawinput/rawinput.h"

namespace app {

// What the report calls a device: its mouse number (-1 when it has none) and name.
using MouseLabel = measures::Label;

// The mice as the engine numbered them (the handles of its table, in order),
// named from the devices it was given.
std::vector<MouseLabel> mouse_labels(const RawInputState& engine,
                                     const std::vector<input::Device>& devices);

// The line after the table for an input that reads kernel buffers: how often
// each mouse's buffer overflowed (SYN_DROPPED), each listed mouse by its
// number, others by handle; empty when `counts` is.
std::string syn_dropped_line(const std::vector<MouseLabel>& labels,
                             const std::vector<std::pair<HANDLE, std::uint64_t>>& counts);

// The line after the table on the frame grid: "frames: 60 a second (the
// display's rate), 1800 drawn\n", its rate (the last one, with how often it
// changed), where the rate came from and the frames in which any window drew.
std::string frames_line(int rate, frames::Source source, int changes, std::uint64_t drawn);

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
