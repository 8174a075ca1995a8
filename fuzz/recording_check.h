// The checks the recording fuzzer makes on each input, shared with the test
// that replays the inputs it found.
#pragma once

#include <string>

namespace fuzzcheck {

// Loads the recording at `path` and, when it loads, classifies its device and
// plays its events through a FrameAssembler as the replay provider does.
// Returns what is wrong (empty when all holds): an error message that is not
// one line naming the file, a file that loads but does not stream every event
// it counted, in time order, or a packet no frame can make.
std::string check_recording(const std::string& path);

}  // namespace fuzzcheck
