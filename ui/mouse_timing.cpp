#include "ui/mouse_timing.h"

#include <memory>
#include <utility>

namespace mouse_timing {
namespace {

struct State {
    std::unique_ptr<timing::Timing> measures = std::make_unique<timing::Timing>(default_options());
    std::function<void()> listener;
    std::function<std::string(HANDLE)> names;
    std::uint64_t resets = 0;

    static timing::Timing::Options default_options() {
        timing::Timing::Options options;
#ifdef _WIN32
        // Raw input carries no time stamp: the program stamps what it receives.
        options.clock = timing::Clock::receipt;
#endif
        return options;
    }
};

State& state() {
    static State s;
    return s;
}

}  // namespace

timing::Timing& measures() {
    return *state().measures;
}

void set_options(const timing::Timing::Options& options) {
    state().measures = std::make_unique<timing::Timing>(options);
    ++state().resets;
    if (state().listener)
        state().listener();
}

std::uint64_t resets() {
    return state().resets;
}

void add(HANDLE device, std::int64_t time_us, bool same_report, bool background) {
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

void set_names(std::function<std::string(HANDLE)> lookup) {
    state().names = std::move(lookup);
}

std::string name_of(HANDLE device) {
    const State& s = state();
    return s.names ? s.names(device) : std::string();
}

#ifdef _WIN32
std::int64_t counter_us(std::int64_t counter, std::int64_t frequency) {
    if (frequency <= 0)
        return 0;
    return counter / frequency * 1'000'000 + counter % frequency * 1'000'000 / frequency;
}
#endif

}  // namespace mouse_timing
