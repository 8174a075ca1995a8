#include "measures/store.h"

namespace measures {

Mouse::Mouse(Handle handle, const Options& options)
    : handle(handle),
      timing(options.clock, options.counts_overflows, options.recent_capacity),
      buttons(options.clock, options.chatter_window_us),
      tracking(options.clock, options.device_counts) {}

std::size_t Mouse::memory_bytes() const {
    return sizeof(*this) - sizeof(timing) - sizeof(buttons) - sizeof(movement) - sizeof(tracking) -
           sizeof(strokes) + timing.memory_bytes() + buttons.memory_bytes() +
           movement.memory_bytes() + tracking.memory_bytes() + strokes.memory_bytes();
}

Store::Store(Options options) : options_(options) {}

Mouse& Store::find_or_add(Handle handle) {
    for (std::size_t i = 0; i < mice_.size(); ++i) {
        if (mice_[i]->handle == handle) {
            last_ = i;
            return *mice_[i];
        }
    }
    mice_.push_back(std::make_unique<Mouse>(handle, options_));
    last_ = mice_.size() - 1;
    return *mice_.back();
}

const Mouse* Store::find(Handle handle) const {
    for (const auto& m : mice_) {
        if (m->handle == handle)
            return m.get();
    }
    return nullptr;
}

void Store::reset_buttons() {
    for (const auto& m : mice_)
        m->buttons.reset();
}

void Store::reset_movement() {
    for (const auto& m : mice_) {
        m->movement.reset();
        m->strokes.reset();
    }
}

void Store::reset_tracking() {
    for (const auto& m : mice_)
        m->tracking.reset();
}

void Store::reset_timing() {
    for (const auto& m : mice_)
        m->timing.reset();
}

std::uint64_t Store::generation() const {
    std::uint64_t generation = mice_.size();
    for (const auto& m : mice_)
        generation += m->generation();
    return generation;
}

std::size_t Store::memory_bytes() const {
    std::size_t bytes = sizeof(*this) + mice_.capacity() * sizeof(mice_[0]);
    for (const auto& m : mice_)
        bytes += m->memory_bytes();
    return bytes;
}

}  // namespace measures
