#include "app/timing_feed.h"

#include <string>

#include "app/providers.h"
#include "ui/mouse_timing.h"

namespace app {

TimingFeed::TimingFeed(const input::Provider& provider) : provider_(provider) {
    mouse_timing::set_options(timing_options(provider.name()));
}

void TimingFeed::packet(const input::Packet& packet, WPARAM code) {
    timing::Timing& measures = mouse_timing::measures();
    const std::size_t known = measures.size();
    mouse_timing::add(packet.device, packet.own_time_ns() / 1000, packet.same_report,
                      code == RIM_INPUTSINK);
    if (measures.size() != known) {
        // A mouse seen for the first time (the newest of the measures).
        measures.mouse(packet.device)
            .set_declared_interval_us(
                timing::parse_endpoint_interval(provider_.declared_interval(packet.device)));
    }
}

void TimingFeed::batch_handled() {
    const std::uint64_t total = provider_.syn_dropped_total();
    if (total == overflows_)
        return;
    overflows_ = total;
    timing::Timing& measures = mouse_timing::measures();
    for (const auto& [handle, count] : provider_.syn_dropped_by_mouse())
        measures.mouse(handle).set_overflows(count);
    mouse_timing::changed();
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
