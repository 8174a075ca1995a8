// The process's one set of measures of how often each mouse sends: fed once
// per handled packet by the program (app/ on Linux, TForm1::WMInput on
// Windows), read by the timing window.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "measures/store.h"

namespace mouse_timing {

// The measures of every mouse that has sent a packet.
measures::Store& measures();

// Starts the measures afresh with `options` (what the stamps are); the
// program sets them at start, before the first packet.
void set_options(const measures::Options& options);
// How many times the measures were started afresh.
std::uint64_t resets();

// One handled packet of `device`, stamped `time_us`, read in the background or
// not (see measures::Mouse::add). Tells the timing window, which draws
// what changed at its next frame.
void add(measures::Handle device, std::int64_t time_us, bool same_report, bool background);

// Who hears of each packet added: the timing window while it exists.
void set_listener(std::function<void()> listener);
// Tells the listener that the measures changed other than through add() (a
// mouse's overflow count).
void changed();

// Where the mice's names come from: `lookup` answers a device's name, or ""
// when it has none. Unset, every mouse is unnamed.
void set_names(std::function<std::string(measures::Handle)> lookup);
// The name of `device`; "" when unknown.
std::string name_of(measures::Handle device);

}  // namespace mouse_timing
