#include "app/timing_feed.h"

#include <string>

#include "measures/clock.h"
#include "ui/mouse_timing.h"

namespace app {

TimingFeed::TimingFeed(const input::Provider& provider) : provider_(provider) {
    const measures::InputClock& input = measures::input_clock(provider.name());
    mouse_timing::set_options({.clock = input.clock, .counts_overflows = input.counts_overflows});
}

void TimingFeed::packet(const input::Packet& packet, WPARAM code) {
    measures::Store& store = mouse_timing::measures();
    const std::size_t known = store.size();
    const measures::Handle mouse = measures::handle_of(packet.device);
    mouse_timing::add(mouse, packet.own_time_ns() / 1000, packet.same_report,
                      code == RIM_INPUTSINK);
    if (store.size() != known) {
        // A mouse seen for the first time (the newest of the measures).
        store.mouse(mouse).timing.set_declared_interval_us(
            measures::timing::parse_endpoint_interval(provider_.declared_interval(packet.device)));
    }
}

void TimingFeed::batch_handled() {
    const std::uint64_t total = provider_.syn_dropped_total();
    if (total == overflows_)
        return;
    overflows_ = total;
    measures::Store& store = mouse_timing::measures();
    for (const auto& [handle, count] : provider_.syn_dropped_by_mouse())
        store.mouse(measures::handle_of(handle)).timing.set_overflows(count);
    mouse_timing::changed();
}

void name_mice(const input::Service& service) {
    mouse_timing::set_names([&service](measures::Handle handle) {
        for (const input::Device& device : service.listed()) {
            if (measures::handle_of(device.handle) == handle)
                return device.name;
        }
        return std::string();
    });
}

}  // namespace app
