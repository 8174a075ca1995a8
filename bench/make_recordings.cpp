// Writes a bench recording set: MICE evemu recordings of 8 kHz mice, PACKETS
// packets in all, one packet per frame (mostly motion, some clicks and wheel
// turns), as mouse0.evemu, mouse1.evemu ... under DIR.
//   make_recordings DIR PACKETS [MICE]
#include <linux/input.h>

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr std::int64_t period_us = 125;  // 8 kHz
constexpr std::int64_t start_us = 1'700'000'000'000'000;

// The evemu "B:" lines of a type's code bits, eight bytes a line.
void bits_lines(std::string& out, unsigned type, const std::vector<unsigned>& codes,
                unsigned count) {
    std::vector<unsigned char> mask((count + 7) / 8);
    for (unsigned code : codes)
        mask[code / 8] |= static_cast<unsigned char>(1u << (code % 8));
    mask.resize((mask.size() + 7) / 8 * 8);
    for (std::size_t i = 0; i < mask.size(); i += 8) {
        char line[64];
        std::snprintf(line, sizeof line, "B: %02x %02x %02x %02x %02x %02x %02x %02x %02x\n", type,
                      mask[i], mask[i + 1], mask[i + 2], mask[i + 3], mask[i + 4], mask[i + 5],
                      mask[i + 6], mask[i + 7]);
        out += line;
    }
}

std::string description(int mouse) {
    char head[256];
    std::snprintf(head, sizeof head,
                  "# EVEMU 1.3\n# rawmice bench mouse, written by bench/make_recordings\n"
                  "N: Bench 8k Mouse %d\nI: 0003 1d6b %04x 0100\nP: 00 00 00 00 00 00 00 00\n",
                  mouse, 0x0200 + mouse);
    std::string out = head;
    bits_lines(out, 0, {EV_SYN, EV_KEY, EV_REL, EV_MSC}, 32);
    bits_lines(out, EV_KEY, {BTN_LEFT, BTN_RIGHT, BTN_MIDDLE, BTN_SIDE, BTN_EXTRA}, 768);
    bits_lines(out, EV_REL, {REL_X, REL_Y, REL_WHEEL, REL_WHEEL_HI_RES}, 16);
    bits_lines(out, EV_ABS, {}, 64);
    bits_lines(out, EV_MSC, {MSC_SCAN}, 8);
    bits_lines(out, EV_LED, {}, 16);
    bits_lines(out, EV_SND, {}, 128);
    bits_lines(out, EV_FF, {}, 128);
    bits_lines(out, EV_FF, {}, 128);
    return out;
}

class Writer {
  public:
    explicit Writer(std::FILE* file) : file_(file) { buffer_.reserve(1 << 20); }
    void event(std::int64_t us, unsigned type, unsigned code, int value) {
        char line[64];
        const int n = std::snprintf(line, sizeof line, "E: %lld.%06lld %04x %04x %d\n",
                                    static_cast<long long>(us / 1'000'000),
                                    static_cast<long long>(us % 1'000'000), type, code, value);
        buffer_.append(line, static_cast<std::size_t>(n));
        if (buffer_.size() > (1 << 20) - 128)
            flush();
    }
    bool flush() {
        const bool ok = std::fwrite(buffer_.data(), 1, buffer_.size(), file_) == buffer_.size();
        buffer_.clear();
        return ok;
    }

  private:
    std::FILE* file_;
    std::string buffer_;
};

// One mouse's frames: a smooth loop (so mouse 2's trail stays on the window),
// a left click every half second and a wheel notch every quarter second.
void write_frames(Writer& out, int mouse, std::int64_t packets) {
    const double pi = std::acos(-1.0);
    const double period = 1600.0 + 200.0 * mouse;  // packets per loop
    int last_x = 0;
    int last_y = 0;
    int wobble = 1;
    for (std::int64_t i = 0; i < packets; ++i) {
        const std::int64_t t = start_us + i * period_us;
        const double a = 2.0 * pi * static_cast<double>(i + 1) / period;
        const int x = static_cast<int>(std::lround(200.0 * (1.0 - std::cos(a))));
        const int y = static_cast<int>(std::lround(80.0 * std::sin(2.0 * a)));
        int dx = x - last_x;
        const int dy = y - last_y;
        last_x = x;
        last_y = y;
        const std::int64_t phase = i % 4000;
        if (phase == 1000 || phase == 3000) {
            out.event(t, EV_REL, REL_WHEEL, phase == 1000 ? 1 : -1);
            out.event(t, EV_REL, REL_WHEEL_HI_RES, phase == 1000 ? 120 : -120);
            last_x -= dx;  // this frame carries no motion
            last_y -= dy;
        } else {
            if (phase == 0 || phase == 2000) {
                out.event(t, EV_MSC, MSC_SCAN, 0x90001);
                out.event(t, EV_KEY, BTN_LEFT, phase == 0 ? 1 : 0);
            }
            if (dx == 0 && dy == 0) {
                // A sensor at 8 kHz jitters by a count when the hand rests.
                dx = wobble;
                wobble = -wobble;
                last_x += dx;
            }
            if (dx != 0)
                out.event(t, EV_REL, REL_X, dx);
            if (dy != 0)
                out.event(t, EV_REL, REL_Y, dy);
        }
        out.event(t, EV_SYN, SYN_REPORT, 0);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3 || argc > 4) {
        std::fprintf(stderr, "usage: make_recordings DIR PACKETS [MICE]\n");
        return 2;
    }
    const std::string dir = argv[1];
    const long long total = std::atoll(argv[2]);
    const int mice = argc == 4 ? std::atoi(argv[3]) : 4;
    if (total <= 0 || mice <= 0 || mice > 10) {
        std::fprintf(stderr, "make_recordings: PACKETS must be > 0 and MICE 1..10\n");
        return 2;
    }
    for (int mouse = 0; mouse < mice; ++mouse) {
        const std::int64_t packets = total / mice + (mouse < total % mice ? 1 : 0);
        const std::string path = dir + "/mouse" + std::to_string(mouse) + ".evemu";
        std::FILE* file = std::fopen(path.c_str(), "w");
        if (file == nullptr) {
            std::fprintf(stderr, "make_recordings: cannot write %s: %s\n", path.c_str(),
                         std::strerror(errno));
            return 1;
        }
        const std::string head = description(mouse);
        bool ok = std::fwrite(head.data(), 1, head.size(), file) == head.size();
        Writer writer(file);
        write_frames(writer, mouse, packets);
        ok = writer.flush() && ok;
        ok = std::fclose(file) == 0 && ok;
        if (!ok) {
            std::fprintf(stderr, "make_recordings: cannot write %s: %s\n", path.c_str(),
                         std::strerror(errno));
            return 1;
        }
    }
    return 0;
}
