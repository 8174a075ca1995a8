#include "app/timing_feed.h"

#include <map>
#include <string>

#include "ui/mouse_timing.h"

namespace app {

void feed_timing(const input::Packet& packet) {
    mouse_timing::add(packet.device, packet.own_time_ns() / 1000, false);
}

void name_mice(const std::vector<input::Device>& devices) {
    std::map<HANDLE, std::string> names;
    for (const input::Device& device : devices)
        names.emplace(device.handle, device.name);
    mouse_timing::set_names([names = std::move(names)](HANDLE handle) {
        const auto found = names.find(handle);
        return found != names.end() ? found->second : std::string();
    });
}

}  // namespace app
