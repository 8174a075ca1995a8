// The device listing as the engine writes it, for the parts of the program
// that show it without the engine: --list-devices and the --stats labels.
#pragma once

#include <vector>

#include "platform/input/device.h"

namespace app {

// The mouse number the engine gives each device it examines (the first ten
// listed, in order): 0, 1, ... for the mice, -1 for the others.
std::vector<int> mouse_numbers(const std::vector<input::Device>& devices);

}  // namespace app
