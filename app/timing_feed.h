// How the Linux program feeds the measures of how often each mouse sends
// (ui/mouse_timing.h), which the timing window reads.
#pragma once

#include "platform/input/device.h"
#include "platform/input/service.h"

namespace app {

// One packet the service has handled, with its own time stamp.
void feed_timing(const input::Packet& packet);

// Gives the timing window the names of the devices the service listed for the
// engine at start; a mouse plugged in later has none.
void name_mice(const input::Service& service);

}  // namespace app
