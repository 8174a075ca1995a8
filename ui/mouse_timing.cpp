#include "ui/mouse_timing.h"

#include <memory>
#include <utility>

namespace mouse_timing {
namespace {

struct State {
    std::unique_ptr<measures::Store> measures =
        std::make_unique<measures::Store>(default_options());
    std::function<void()> listener;
    std::function<std::string(measures::Handle)> names;
    std::uint64_t resets = 0;

    // The stamps of this system's own input (Windows: the receipt time).
    static measures::Options default_options() {
        const measures::InputClock& native = measures::input_clock(measures::native_input());
        return {.clock = native.clock, .counts_overflows = native.counts_overflows};
    }
};

State& state() {
    static State s;
    return s;
}

}  // namespace

measures::Store& measures() {
    return *state().measures;
}

void set_options(const measures::Options& options) {
    state().measures = std::make_unique<measures::Store>(options);
    ++state().resets;
    if (state().listener)
        state().listener();
}

std::uint64_t resets() {
    return state().resets;
}

void add(measures::Handle device, std::int64_t time_us, bool same_report, bool background) {
    State& s = state();
    s.measures->add(device, time_us, same_report, background);
    if (s.listener)
        s.listener();
}

void set_listener(std::function<void()> listener) {
    state().listener = std::move(listener);
}

void changed() {
    if (state().listener)
        state().listener();
}

void set_names(std::function<std::string(measures::Handle)> lookup) {
    state().names = std::move(lookup);
}

std::string name_of(measures::Handle device) {
    const State& s = state();
    return s.names ? s.names(device) : std::string();
}

}  // namespace mouse_timing
