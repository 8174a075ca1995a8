#include "measures/clock.h"

namespace measures {

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

}  // namespace measures
