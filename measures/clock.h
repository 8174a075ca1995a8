// What a packet's time stamp is on each input: the clock the measures read it
// on, and, for Windows raw input, which carries no stamp, the clock read when
// the packet is received.
#pragma once

#include <cstdint>
#include <string_view>

namespace measures {

// What a mouse's time stamps are.
enum class Clock {
    microseconds,  // the packet's own stamp: the kernel's (evdev) or a recording's (replay)
    // Whole milliseconds, given in microseconds (x11: the X server's time; its
    // 32-bit count wraps every 49.7 days, which shows as a stamp going back).
    milliseconds,
    receipt,  // when the program received the packet (Windows: QueryPerformanceCounter)
};

// What to say beside figures measured on `clock`: "" for the packets' own
// microsecond stamps, "ms clock", "receipt time".
std::string_view clock_note(Clock clock);

// How an input's packets are stamped.
struct InputClock {
    // The input's name: as its provider names itself on Linux ("evdev",
    // "x11", "replay"), "user32" for Windows raw input.
    std::string_view input;
    Clock clock;
    // It reads kernel buffers and counts their overflows (evdev).
    bool counts_overflows;
    // Its packets carry the device's own counts, as its report fields held
    // them (not x11: the X server's values, scaled and summed).
    bool device_counts;
    // Its button changes come debounced (x11: the X server's libinput drops
    // a switch's bounces), so chatter cannot be seen on it.
    bool debounced_buttons;
    // The input and its clock as a check's report names them: "evdev",
    // "x11", "replay", "windows"; "kernel", "ms", "recorded", "receipt".
    std::string_view report_input;
    std::string_view report_clock;
};

// The clock of the input named `input`; a name not known gets the packets'
// own microsecond stamps and no overflow count.
const InputClock& input_clock(std::string_view input);

// The input of the program built for this system when no provider says
// otherwise: "user32" on Windows, "" elsewhere.
std::string_view native_input();

// Microseconds on the QueryPerformanceCounter clock for a reading `counter`
// of it at `frequency` ticks a second, exactly, without overflow; 0 for a
// frequency that is not positive.
std::int64_t counter_us(std::int64_t counter, std::int64_t frequency);

// `stamp` in whole steps of `step` (above 0), rounded down: a stamp before 0
// falls in the step to its left.
constexpr std::int64_t floor_div(std::int64_t stamp, std::int64_t step) {
    return stamp / step - ((stamp % step != 0 && stamp < 0) ? 1 : 0);
}

#ifdef _WIN32
// Now on the receipt clock: QueryPerformanceCounter, in microseconds. Read
// when a packet is received, before it is handled.
std::int64_t receipt_us();
#endif

}  // namespace measures
