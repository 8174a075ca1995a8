// The bench's floor: the least work that turns recordings into log lines. It
// loads and reads the recordings as the replay does (libevemu, FrameAssembler),
// merges them by time, formats each packet's report line and writes the lines
// with buffered output; no window, no memo, no canvas.
//   floor OUT FILE...
// Mice are numbered in command-line order, as the program numbers them when
// every file is a mouse; OUT then matches the program's log.txt byte for byte.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/input/packets.h"
#include "platform/input/recording.h"
#include "rawinput/report.h"

namespace {

struct Mouse {
    std::optional<input::EventStream> stream;
    input::FrameAssembler assembler;
    int number = 0;
    std::int64_t first_us = 0;
    RAWMOUSE packets[2] = {};
    int count = 0;
    int next = 0;
    std::int64_t time_us = 0;
    std::string error;  // why the file stopped early, empty when it was read to its end

    // Reads up to the next packet; false at the end of the file.
    bool fill() {
        while (next == count) {
            input_event event;
            if (!stream || !stream->next(event)) {
                if (stream)
                    error = stream->error();
                stream.reset();
                return false;
            }
            const int made = assembler.feed(event, packets);
            if (made > 0) {
                count = made;
                next = 0;
                time_us = input::event_time_us(event) - first_us;
            }
        }
        return true;
    }
};

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: floor OUT FILE...\n");
        return 2;
    }
    const std::vector<std::string> paths(argv + 2, argv + argc);
    input::LoadAllResult loaded = input::load_recordings(paths);
    if (!loaded) {
        std::fprintf(stderr, "floor: %s\n", loaded.error->to_string().c_str());
        return 2;
    }
    std::vector<std::unique_ptr<Mouse>> mice;
    for (const input::Recording& recording : loaded.recordings) {
        if (input::classify(recording.capabilities()) != RIM_TYPEMOUSE)
            continue;
        auto mouse = std::make_unique<Mouse>();
        mouse->number = static_cast<int>(mice.size());
        mouse->first_us = recording.first_event_us();
        if (recording.event_count() > 0)
            mouse->stream.emplace(recording);
        mice.push_back(std::move(mouse));
    }

    std::unique_ptr<std::FILE, FileCloser> out(std::fopen(argv[1], "w"));
    if (!out) {
        std::fprintf(stderr, "floor: cannot write %s: %s\n", argv[1], std::strerror(errno));
        return 1;
    }
    std::vector<char> buffer(1 << 16);
    std::setvbuf(out.get(), buffer.data(), _IOFBF, buffer.size());

    std::vector<Mouse*> live;
    for (const auto& mouse : mice) {
        if (mouse->fill())
            live.push_back(mouse.get());
    }
    char line[report::max_line];
    while (!live.empty()) {
        // Earliest packet first; on equal times the earlier file.
        std::size_t earliest = 0;
        for (std::size_t i = 1; i < live.size(); ++i) {
            if (live[i]->time_us < live[earliest]->time_us)
                earliest = i;
        }
        Mouse& mouse = *live[earliest];
        const std::size_t length =
            report::format_packet(line, mouse.number, mouse.packets[mouse.next]);
        std::fwrite(line, 1, length, out.get());
        ++mouse.next;
        if (!mouse.fill())
            live.erase(live.begin() + static_cast<std::ptrdiff_t>(earliest));
    }
    for (const auto& mouse : mice) {
        if (!mouse->error.empty()) {
            std::fprintf(stderr, "floor: %s\n", mouse->error.c_str());
            return 1;
        }
    }
    if (std::fflush(out.get()) != 0 || std::ferror(out.get())) {
        std::fprintf(stderr, "floor: cannot write %s: %s\n", argv[1], std::strerror(errno));
        return 1;
    }
    return 0;
}
