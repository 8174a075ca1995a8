// paced_pointer: moves one XTEST slave pointer at a steady rate, as a mouse
// polled at that rate would, for the x11 benchmark.
//   paced_pointer XTEST_POINTER RATE_HZ SECONDS [MOTIONS_FILE]
// Each motion is sent at its own deadline (start + n / rate); a deadline missed
// while the machine was busy is caught up at once, so the mean rate holds.
// Without a file the pointer goes one pixel right and back; with one, it makes
// the file's motions ("dx dy" a line) in turn, from the first again after the
// last, each axis turned back where it would leave a box of 24 pixels either
// side of where it started. Prints "<motions sent> <seconds taken>" when done.
#include <X11/Xlib.h>
#include <time.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/xfake.h"

namespace {

std::int64_t now_ns() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return std::int64_t{t.tv_sec} * 1'000'000'000 + t.tv_nsec;
}

void sleep_until(std::int64_t deadline_ns) {
    const timespec t{static_cast<time_t>(deadline_ns / 1'000'000'000),
                     static_cast<long>(deadline_ns % 1'000'000'000)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &t, nullptr) != 0) {
    }
}

// A motion along one axis, turned back where it would leave the box.
int within_box(int& at, int delta) {
    constexpr int box = 24;
    if (at + delta > box || at + delta < -box)
        delta = -delta;
    at += delta;
    return delta;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4 && argc != 5) {
        std::fprintf(stderr, "usage: paced_pointer XTEST_POINTER RATE_HZ SECONDS [MOTIONS_FILE]\n");
        return 2;
    }
    std::vector<std::pair<int, int>> motions_of_file;
    if (argc == 5) {
        std::ifstream file(argv[4]);
        int dx = 0;
        int dy = 0;
        while (file >> dx >> dy)
            motions_of_file.emplace_back(dx, dy);
        if (motions_of_file.empty()) {
            std::fprintf(stderr, "paced_pointer: no motions (\"dx dy\" lines) in %s\n", argv[4]);
            return 2;
        }
    }
    const int pointer = std::atoi(argv[1]);
    const double rate = std::atof(argv[2]);
    const double seconds = std::atof(argv[3]);
    if (pointer <= 0 || rate <= 0 || seconds <= 0) {
        std::fprintf(stderr, "paced_pointer: the pointer, rate and seconds must be positive\n");
        return 2;
    }
    try {
        xfake::Driver driver;
        const auto motions = static_cast<std::int64_t>(rate * seconds);
        const double period_ns = 1e9 / rate;
        const std::int64_t start = now_ns();
        int x = 0;
        int y = 0;
        for (std::int64_t n = 0; n < motions; ++n) {
            const auto deadline = start + static_cast<std::int64_t>(n * period_ns);
            if (now_ns() < deadline)
                sleep_until(deadline);
            if (motions_of_file.empty()) {
                // Back and forth, so the pointer stays where it was put.
                driver.move(pointer, n % 2 == 0 ? 1 : -1, 0);
            } else {
                const auto& [dx, dy] =
                    motions_of_file[static_cast<std::size_t>(n) % motions_of_file.size()];
                driver.move(pointer, within_box(x, dx), within_box(y, dy));
            }
            XFlush(driver.display());
        }
        driver.sync();
        std::printf("%lld %.3f\n", static_cast<long long>(motions), (now_ns() - start) / 1e9);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "paced_pointer: %s\n", e.what());
        return 1;
    }
    return 0;
}
