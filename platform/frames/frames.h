// The process's one frame grid: frame n starts at n * frame_ms of the
// monotonic clock. The window repaints on it (vcl::FramePacer) and the x11
// input reads a busy connection as a frame starts, so that both take one
// wake-up. Pure C++, built on both systems, beside the toolkit and the input
// layer, which both use it.
#pragma once

#include <chrono>
#include <cstdint>

namespace frames {

// 30 frames a second: as live to the eye as a 60 Hz display, at half the cost
// while a mouse keeps every frame busy.
constexpr int frame_ms = 33;

// The grid's clock in milliseconds: std::chrono::steady_clock, which is
// CLOCK_MONOTONIC on Linux and never jumps with the wall clock.
inline std::int64_t clock_ms() {
    using Clock = std::chrono::steady_clock;
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch())
        .count();
}

// The frame that millisecond `ms` of the clock falls in.
constexpr std::int64_t frame_at(std::int64_t ms) {
    return ms / frame_ms;
}

// Milliseconds from `ms` to the next frame boundary: 1 to frame_ms.
constexpr int until_next_frame(std::int64_t ms) {
    return static_cast<int>(frame_ms - ms % frame_ms);
}

inline std::int64_t current_frame() {
    return frame_at(clock_ms());
}

inline int until_next_frame() {
    return until_next_frame(clock_ms());
}

}  // namespace frames
