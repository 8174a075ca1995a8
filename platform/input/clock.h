// The one clock of packets and their handling: CLOCK_MONOTONIC in
// nanoseconds, so time stamps, the replay's pacing and the handling delay
// compare with each other and never jump with the wall clock.
#pragma once

#include <time.h>

#include <cstdint>

namespace input {

inline std::int64_t monotonic_ns() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

}  // namespace input
