// The "E:" lines of an evemu recording, read apart from the code under test,
// so that the tests can check what libevemu streams against what the file says.
#pragma once

#include <cstdint>
#include <filesystem>
#include <vector>

namespace testsupport {

struct EventLine {
    std::int64_t us;  // the time's fraction read as a decimal fraction: "1.5" is 1.500000 s
    unsigned type;
    unsigned code;
    long long value;
};

// Every line that starts with "E:", in order; fields that do not read stay 0.
std::vector<EventLine> event_lines(const std::filesystem::path& file);

}  // namespace testsupport
