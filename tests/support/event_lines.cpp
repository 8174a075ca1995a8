#include "tests/support/event_lines.h"

#include <fstream>
#include <sstream>
#include <string>

namespace testsupport {

std::vector<EventLine> event_lines(const std::filesystem::path& file) {
    std::vector<EventLine> events;
    std::ifstream in(file);
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("E:", 0) != 0)
            continue;
        std::istringstream fields(line.substr(2));
        std::string time;
        EventLine event{};
        fields >> time >> std::hex >> event.type >> event.code >> std::dec >> event.value;
        const auto dot = time.find('.');
        const std::string whole = time.substr(0, dot);
        const std::string fraction =
            dot == std::string::npos ? "000000" : (time.substr(dot + 1) + "000000").substr(0, 6);
        try {
            event.us = std::stoll(whole) * 1000000 + std::stoll(fraction);
        } catch (const std::exception&) {
            event.us = 0;
        }
        events.push_back(event);
    }
    return events;
}

}  // namespace testsupport
