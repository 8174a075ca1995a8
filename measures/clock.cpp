#include "measures/clock.h"

#include <array>

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#endif

namespace measures {
namespace {

constexpr std::array<InputClock, 4> input_clocks = {{
    // The kernel's stamps of each frame, and its buffers' SYN_DROPPED.
    {"evdev", Clock::microseconds, true, true, false, "evdev", "kernel"},
    // The X server's time of each raw event, in whole milliseconds.
    {"x11", Clock::milliseconds, false, false, true, "x11", "ms"},
    // The recorded stamps, whatever the replay's speed.
    {"replay", Clock::microseconds, false, true, false, "replay", "recorded"},
    // Raw input carries no time stamp: the packet's time is when it came.
    {"user32", Clock::receipt, false, true, false, "windows", "receipt"},
}};

// A name no input has: the packets' own stamps, as a test feeds them.
constexpr InputClock unknown_input = {"", Clock::microseconds, false, true, false, "", ""};

}  // namespace

std::string_view clock_note(Clock clock) {
    switch (clock) {
        case Clock::microseconds:
            return "";
        case Clock::milliseconds:
            return "ms clock";
        case Clock::receipt:
            return "receipt time";
    }
    return "";
}

const InputClock& input_clock(std::string_view input) {
    for (const InputClock& known : input_clocks) {
        if (known.input == input)
            return known;
    }
    return unknown_input;
}

std::string_view native_input() {
#ifdef _WIN32
    return "user32";
#else
    return "";
#endif
}

std::int64_t counter_us(std::int64_t counter, std::int64_t frequency) {
    if (frequency <= 0)
        return 0;
    return counter / frequency * 1'000'000 + counter % frequency * 1'000'000 / frequency;
}

#ifdef _WIN32
std::int64_t receipt_us() {
    // The counter's frequency is fixed at boot.
    static const std::int64_t frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return static_cast<std::int64_t>(f.QuadPart);
    }();
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return counter_us(now.QuadPart, frequency);
}
#endif

}  // namespace measures
