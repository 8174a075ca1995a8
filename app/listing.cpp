#include "app/listing.h"

#include <algorithm>

#include "rawinput/rawinput.h"

namespace app {

std::vector<int> mouse_numbers(const std::vector<input::Device>& devices) {
    const std::size_t examined =
        std::min(devices.size(), static_cast<std::size_t>(rawinput::max_examined_devices));
    std::vector<int> numbers(examined, -1);
    int mice = 0;
    for (std::size_t i = 0; i < examined; ++i) {
        if (devices[i].handle != nullptr && devices[i].type == RIM_TYPEMOUSE)
            numbers[i] = mice++;
    }
    return numbers;
}

}  // namespace app
