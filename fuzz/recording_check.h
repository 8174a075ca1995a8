// The checks the recording fuzzer makes on each input, shared with the test
// that replays the inputs it found.
#pragma once

#include <string>

namespace fuzzcheck {

// Loads the file at `path` as --replay does (an evemu recording, or a libinput
// record file's devices) and, when it loads, classifies each device and plays
// its events through a FrameAssembler as the replay provider does.
// Returns what is wrong (empty when all holds): an error message that is not
// one line naming the file, a file that loads but does not stream every event
// it counted, in time order, a packet no frame can make, or anything written
// to stderr (a library's words, which rawmice says in its own).
std::string check_recording(const std::string& path);

}  // namespace fuzzcheck
