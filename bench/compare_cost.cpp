// The cost of comparing two mice's movement (measures::movement::compare), as
// the movement window runs it a few times a second and --stats once at exit:
// two 8 kHz mice moved together over 4 s of flicks, compared RUNS times.
//
//   bench/compare_cost 200
//
// Prints on standard error the microseconds a comparison took (the median
// of the runs; run it alone on a quiet machine) and the pair found, so that
// the work cannot be left out.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "measures/movement.h"
#include "tests/support/strokes.h"

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 200;
    namespace movement = measures::movement;
    movement::MouseMovement a;
    movement::MouseMovement b;
    for (const auto& [t, dx, dy] : testsupport::sensed(testsupport::hand(), 125))
        a.add(t, {dx, dy});
    for (const auto& [t, dx, dy] : testsupport::sensed(testsupport::hand(), 125, 0.5, 3000))
        b.add(t, {dx, dy});
    std::vector<double> took;
    movement::Pair pair;
    for (int i = 0; i < runs; ++i) {
        const auto started = std::chrono::steady_clock::now();
        pair = movement::compare(a, b, {125, 125});
        took.push_back(
            std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - started)
                .count());
    }
    std::nth_element(took.begin(), took.begin() + runs / 2, took.end());
    std::fprintf(stderr, "%.0f us per comparison (median of %d)\n", took[runs / 2], runs);
    std::printf("together %d, lag %lld us, ratio %.3f, correlation %.2f\n", pair.together ? 1 : 0,
                static_cast<long long>(pair.lag_us), pair.ratio, pair.correlation);
    return 0;
}
