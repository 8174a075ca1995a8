// How the Linux program feeds the measures of how often each mouse sends
// (ui/mouse_timing.h), which the timing window reads.
#pragma once

#include <vector>

#include "platform/input/device.h"

namespace app {

// One packet the service has handled, with its own time stamp.
void feed_timing(const input::Packet& packet);

// Gives the timing window the names of the devices listed at start.
void name_mice(const std::vector<input::Device>& devices);

}  // namespace app
