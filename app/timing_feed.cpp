#include "app/timing_feed.h"

#include <string>

#include "ui/mouse_timing.h"

namespace app {

void feed_timing(const input::Packet& packet) {
    mouse_timing::add(packet.device, packet.own_time_ns() / 1000, false);
}

void name_mice(const input::Service& service) {
    mouse_timing::set_names([&service](HANDLE handle) {
        for (const input::Device& device : service.listed()) {
            if (device.handle == handle)
                return device.name;
        }
        return std::string();
    });
}

}  // namespace app
