// paced_pointer: moves one XTEST slave pointer at a steady rate, as a mouse
// polled at that rate would, for the x11 benchmark.
//   paced_pointer XTEST_POINTER RATE_HZ SECONDS
// Each motion is sent at its own deadline (start + n / rate); a deadline missed
// while the machine was busy is caught up at once, so the mean rate holds.
// Prints "<motions sent> <seconds taken>" when done.
#include <X11/Xlib.h>
#include <time.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

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

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: paced_pointer XTEST_POINTER RATE_HZ SECONDS\n");
        return 2;
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
        for (std::int64_t n = 0; n < motions; ++n) {
            const auto deadline = start + static_cast<std::int64_t>(n * period_ns);
            if (now_ns() < deadline)
                sleep_until(deadline);
            // Back and forth, so the pointer stays where it was put.
            driver.move(pointer, n % 2 == 0 ? 1 : -1, 0);
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
