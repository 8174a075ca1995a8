#include "platform/input/device.h"

#include <algorithm>

namespace input {

void order_for_listing(std::vector<Device>& devices) {
    const auto rank = [](const Device& device) {
        switch (device.type) {
            case RIM_TYPEMOUSE:
                return 0;
            case RIM_TYPEKEYBOARD:
                return 1;
            default:
                return 2;
        }
    };
    std::stable_sort(devices.begin(), devices.end(),
                     [&](const Device& a, const Device& b) { return rank(a) < rank(b); });
}

}  // namespace input
