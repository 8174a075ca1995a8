#include "measures/feed.h"

namespace measures {
namespace {

Options options_of(const InputClock& input, std::int64_t chatter_window_us) {
    return {.clock = input.clock,
            .counts_overflows = input.counts_overflows,
            .chatter_window_us = chatter_window_us,
            .device_counts = input.device_counts};
}

}  // namespace

Feed::Feed()
    : store_(options_of(input_clock(native_input()), buttons::default_chatter_ms * 1000)),
      input_clock_(&input_clock(native_input())) {}

void Feed::reset(const Options& options) {
    store_ = Store(options);
    if (plot_)
        plot_->clear();
    if (pairs_)
        pairs_->reset();
    cpi_settings_.clear();
    input_ = nullptr;
    input_clock_ = &input_clock(native_input());
    overflows_ = 0;
    ++resets_;
    changed();
}

void Feed::start(const Input& input, std::int64_t chatter_window_us) {
    reset(options_of(input_clock(input.name()), chatter_window_us));
    input_ = &input;
    input_clock_ = &input_clock(input.name());
}

void Feed::reset_all() {
    store_.reset_timing();
    store_.reset_buttons();
    store_.reset_movement();
    store_.reset_tracking();
    if (plot_)
        plot_->clear();
    if (pairs_)
        pairs_->reset();
    changed();
}

void Feed::start_check() {
    if (!pairs_)
        pairs_ = std::make_unique<check::Pairs>();
}

void Feed::compare_pairs() {
    if (pairs_)
        pairs_->compare_now(store_);
}

void Feed::set_cpi_setting(Handle mouse, std::optional<double> cpi) {
    std::erase_if(cpi_settings_, [mouse](const auto& s) { return s.first == mouse; });
    cpi_settings_.emplace_back(mouse, cpi);
    changed();
}

std::optional<double> Feed::cpi_setting(Handle mouse) const {
    for (const auto& [handle, cpi] : cpi_settings_) {
        if (handle == mouse)
            return cpi;
    }
    return cpi_source_ ? cpi_source_(mouse) : std::nullopt;
}

void Feed::reset_buttons() {
    store_.reset_buttons();
    changed();
}

void Feed::reset_movement() {
    store_.reset_movement();
    changed();
}

void Feed::reset_tracking() {
    store_.reset_tracking();
    if (plot_)
        plot_->clear();
    changed();
}

void Feed::start_plot() {
    if (!plot_)
        plot_ = std::make_unique<plot::Plot>();
}

void Feed::set_cpi(Handle mouse, double cpi) {
    measured(mouse).tracking.set_cpi(cpi);
    changed();
}

Mouse& Feed::measured(Handle handle) {
    const std::size_t known = store_.size();
    Mouse& mouse = store_.mouse(handle);
    if (store_.size() != known) {
        if (input_ != nullptr)
            mouse.timing.set_declared_interval_us(
                timing::parse_endpoint_interval(input_->declared_interval(handle)));
        if (cpi_source_)
            mouse.tracking.set_cpi(cpi_source_(handle));
    }
    return mouse;
}

void Feed::set_distance_mm(std::optional<double> distance_mm) {
    distance_mm_ = distance_mm;
    changed();
}

void Feed::add_listener(const void* owner, std::function<void()> listener) {
    remove_listener(owner);
    listeners_.emplace_back(owner, std::move(listener));
}

void Feed::remove_listener(const void* owner) {
    std::erase_if(listeners_, [owner](const auto& entry) { return entry.first == owner; });
}

void Feed::packet(const Packet& packet) {
    // The pairs compared on what came before this packet, whatever the
    // replay's speed.
    if (pairs_)
        pairs_->before_packet(store_, packet.stamp_us);
    Mouse& mouse = measured(packet.mouse);
    const std::uint64_t strokes_cpi = mouse.strokes.cpi_generation();
    mouse.add(packet.stamp_us, packet.same_report, packet.background, packet.button_flags,
              packet.motion);
    // The strokes between two stops gave a CPI, or a newer one: its speeds
    // are read at it from now on.
    if (mouse.strokes.cpi_generation() != strokes_cpi && distance_mm_) {
        if (const std::optional<double> counts = mouse.strokes.held_slow_counts()) {
            // As --cpi takes it: a figure beyond is no sensor's (a wrong D).
            const double cpi = *counts * 25.4 / *distance_mm_;
            if (cpi >= tracking::min_cpi && cpi <= tracking::max_cpi)
                mouse.tracking.set_cpi(cpi);
        }
    }
    if (plot_)
        plot_->add(mouse, packet.stamp_us, packet.same_report, packet.motion);
    changed();
}

void Feed::batch_handled() {
    if (input_ == nullptr)
        return;
    const std::uint64_t total = input_->overflows();
    if (total == overflows_)
        return;
    overflows_ = total;
    for (const auto& [mouse, count] : input_->overflows_by_mouse())
        measured(mouse).timing.set_overflows(count);
    changed();
}

Feed& feed() {
    static Feed process;
    return process;
}

}  // namespace measures
