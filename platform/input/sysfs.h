// What sysfs (/sys/class/input, readable by anyone) says of input devices.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "platform/input/packets.h"

namespace input {

// The capability bits that sysfs publishes for an input device
// (<device>/capabilities/{key,rel,abs}), which anyone may read; nullopt
// when a file is missing or malformed.
std::optional<Capabilities> read_sysfs_capabilities(const std::filesystem::path& device_dir);

// The N of the input device `device_link` (an event node's sysfs "device",
// which links to inputN) belongs to; nullopt when it says none.
std::optional<unsigned> parent_input_number(const std::filesystem::path& device_link);

// The polling interval a USB mouse declares: the text of the `interval` file
// ("1ms", "125us") of the interrupt IN endpoint of the USB interface that the
// input device `device_link` leads to (through the HID device between them,
// if any). Empty for devices on other buses (virtio, PS/2, Bluetooth, uinput).
std::string declared_polling_interval(const std::filesystem::path& device_link);

// The first line of a text file; nullopt when it cannot be read.
std::optional<std::string> read_first_line(const std::filesystem::path& path);

// The N of a name that is `prefix` and a number ("event5", "input12"); nullopt otherwise.
std::optional<unsigned> number_after(std::string_view prefix, const std::string& name);

// The N of "eventN", or -1 for any other name.
int event_node_number(const std::string& name);

}  // namespace input
