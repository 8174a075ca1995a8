// What a packet's time stamp is: the clock the measures read it on.
#pragma once

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

}  // namespace measures
