// How the Linux program feeds the measures of how often each mouse sends
// (ui/mouse_timing.h), which the timing window and --stats read.
#pragma once

#include <cstdint>

#include "platform/input/device.h"
#include "platform/input/service.h"

namespace app {

// Feeds the measures with what one input's provider reads.
class TimingFeed {
  public:
    // Starts the measures afresh on the clock of the provider's input (the
    // X server's milliseconds for x11), counting overflows where it reads
    // kernel buffers.
    explicit TimingFeed(const input::Provider& provider);

    // One packet the service has handled: its own time stamp, whether it is
    // part of the report before it, and whether it came in the background
    // (`code` RIM_INPUTSINK). A mouse's first packet also gives it the
    // polling interval its device declares.
    void packet(const input::Packet& packet, WPARAM code);
    // After each batch of packets: the overflows the provider counted since.
    void batch_handled();

  private:
    const input::Provider& provider_;
    std::uint64_t overflows_ = 0;
};

// Gives the timing window the names of the devices the service listed for the
// engine at start; a mouse plugged in later has none.
void name_mice(const input::Service& service);

}  // namespace app
