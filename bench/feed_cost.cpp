// The measures' cost per packet, as a count of instructions rather than a
// time: PACKETS packets of four mice, one after the other, each mouse at
// 8 kHz moving a few counts a packet, with a left click every half second
// (as the benchmark's recordings),
// through the feed as the Linux program feeds it (app::to_measures, then
// measures::feed().packet, and batch_handled after every 64), on an
// evdev-like input that declares an interval for every mouse. The movement
// is one endless stroke, or with `to-and-fro` strokes between two stops
// 3150 counts apart, slowly out in 400 ms and fast back in 50 ms (peaking at
// 12 and 99 counts/ms), turning back with no pause. Run it under callgrind
// twice and divide the difference by the difference in packets, which leaves
// out the start-up:
//
//   valgrind --tool=callgrind --callgrind-out-file=/dev/null bench/feed_cost 100000 [to-and-fro]
//   valgrind --tool=callgrind --callgrind-out-file=/dev/null bench/feed_cost 1100000 [to-and-fro]
//   (Collected of the second - Collected of the first) / 1,000,000
//
// It prints the first mouse's reports, so that the work cannot be left out,
// and on standard error the nanoseconds a packet took on the clock (run it
// alone, without callgrind, on a quiet machine, for that figure) and the
// measures' memory after the first tenth of the packets and at the end.
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <numbers>
#include <string>
#include <string_view>
#include <vector>

#include "app/providers.h"
#include "measures/feed.h"
#include "platform/input/device.h"

namespace {

class Evdev final : public input::Provider {
  public:
    const char* name() const override { return "evdev"; }
    std::vector<input::Device> devices() override { return {}; }
    DWORD start(input::PacketSink&) override { return ERROR_SUCCESS; }
    std::string declared_interval(HANDLE) const override { return "125us\n"; }
};

constexpr int mice = 4;
constexpr std::int64_t interval_ns = 125'000;  // 8 kHz
constexpr std::uintptr_t first_handle = 65537;
constexpr long click_period = 4000;  // reports of a mouse: half a second at 8 kHz

// The counts along x of each report of one to and fro: out over `out_ms`,
// back over `back_ms`, each a flick that starts and stops smoothly.
std::vector<LONG> to_and_fro(double counts, double out_ms, double back_ms) {
    std::vector<LONG> reports;
    long sent = 0;
    const auto add = [&](double from, double to, double ms) {
        const auto polls = static_cast<long>(ms * 1000 / (interval_ns / 1000));
        for (long k = 1; k <= polls; ++k) {
            const double done = (1 - std::cos(std::numbers::pi * k / polls)) / 2;
            const long at = std::lround(from + (to - from) * done);
            reports.push_back(static_cast<LONG>(at - sent));
            sent = at;
        }
    };
    add(0, counts, out_ms);
    add(counts, 0, back_ms);
    return reports;
}

}  // namespace

int main(int argc, char** argv) {
    const long packets = argc > 1 ? std::atol(argv[1]) : 1'000'000;
    const bool stops = argc > 2 && std::string_view(argv[2]) == "to-and-fro";
    const std::vector<LONG> cycle = to_and_fro(3150, 400, 50);
    const Evdev evdev;
    const app::MeasuredInput input(evdev);
    measures::feed().start(input);
    std::size_t memory_early = 0;
    const auto started = std::chrono::steady_clock::now();
    for (long i = 0; i < packets; ++i) {
        input::Packet packet{reinterpret_cast<HANDLE>(first_handle + i % mice),
                             {},
                             (i / mice) * interval_ns + (i % mice) * 1'000};
        if (stops) {
            // Each mouse a report of the to and fro, a little behind the one before.
            packet.mouse.lLastX = cycle[static_cast<std::size_t>((i / mice + (i % mice) * 97) %
                                                                 static_cast<long>(cycle.size()))];
        } else {
            // A stroke of a few counts a packet, turning slowly.
            packet.mouse.lLastX = static_cast<LONG>(3 + (i / mice / 8000) % 3);
            packet.mouse.lLastY = static_cast<LONG>((i / mice / 4000) % 3 - 1);
        }
        const long phase = i / mice % click_period;
        if (phase == 0 || phase == click_period / 2)
            packet.mouse.usButtonFlags =
                phase == 0 ? RI_MOUSE_LEFT_BUTTON_DOWN : RI_MOUSE_LEFT_BUTTON_UP;
        measures::feed().packet(app::to_measures(packet, RIM_INPUT));
        if (i % 64 == 63)
            measures::feed().batch_handled();
        if (i == packets / 10)
            memory_early = measures::feed().store().memory_bytes();
    }
    const std::chrono::duration<double, std::nano> took =
        std::chrono::steady_clock::now() - started;
    std::fprintf(stderr, "%.1f ns per packet\n", took.count() / static_cast<double>(packets));
    std::fprintf(stderr, "measures' memory: %zu bytes after %ld packets, %zu after %ld\n",
                 memory_early, packets / 10, measures::feed().store().memory_bytes(), packets);
    const measures::Mouse* first = measures::feed().store().find(first_handle);
    std::printf("%llu\n", static_cast<unsigned long long>(first ? first->timing.reports() : 0));
    return 0;
}
