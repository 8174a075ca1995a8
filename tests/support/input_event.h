// An evdev input_event as the kernel hands it over, for the tests that feed a
// provider or a recorder events of their own.
#pragma once

#include <linux/input.h>

#include <cstdint>

namespace testsupport {

// The event at `time_us` microseconds.
inline input_event make_event(unsigned type, unsigned code, int value, std::int64_t time_us = 0) {
    input_event event{};
    event.input_event_sec = time_us / 1'000'000;
    event.input_event_usec = time_us % 1'000'000;
    event.type = static_cast<std::uint16_t>(type);
    event.code = static_cast<std::uint16_t>(code);
    event.value = value;
    return event;
}

}  // namespace testsupport
