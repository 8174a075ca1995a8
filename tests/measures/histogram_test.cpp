// The one histogram of the measures at each of its configurations: the
// intervals' (0 to 50 ms, 1/128, floors) and --stats's delays' (any
// nanosecond count, 1/32, ceilings). What each reads back is checked beside
// its own use (timing_test, stats_test); here, what they share.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <vector>

#include "measures/histogram.h"
#include "measures/timing.h"

namespace {

template <typename Histogram>
class SharedHistogram : public ::testing::Test {};

using Configurations =
    ::testing::Types<measures::timing::IntervalHistogram, measures::DelayHistogram>;
TYPED_TEST_SUITE(SharedHistogram, Configurations);

// Values around every power of two in range, and the range's top.
template <typename H>
std::vector<typename H::value_type> probes() {
    using V = typename H::value_type;
    std::vector<V> values = {0, 1, H::sub_buckets - 1, H::sub_buckets, H::sub_buckets + 1};
    for (int bit = 1; bit < std::numeric_limits<V>::digits; ++bit) {
        const auto power = static_cast<std::uint64_t>(1) << bit;
        for (const std::uint64_t v : {power - 1, power, power + 1, power + power / 3}) {
            if (v <= static_cast<std::uint64_t>(H::highest))
                values.push_back(static_cast<V>(v));
        }
    }
    values.push_back(H::highest);
    return values;
}

TYPED_TEST(SharedHistogram, BucketsTileTheRangeWithoutGapsAtTheirPrecision) {
    using H = TypeParam;
    EXPECT_EQ(H::bucket_count, H::bucket_of(H::highest) + 1);
    EXPECT_EQ(H::floor(0), 0);
    EXPECT_GE(H::ceiling(H::bucket_count - 1), H::highest) << "the last bucket holds the top";
    for (int b = 0; b + 1 < H::bucket_count; ++b)
        ASSERT_EQ(H::ceiling(b) + 1, H::floor(b + 1)) << "bucket " << b;
    for (const auto v : probes<H>()) {
        const int b = H::bucket_of(v);
        ASSERT_LE(H::floor(b), v) << v;
        ASSERT_GE(H::ceiling(b), v) << v;
        ASSERT_LE(H::ceiling(b) - H::floor(b), v / H::sub_buckets) << v;
    }
}

TYPED_TEST(SharedHistogram, ReadsBackItsOwnSideOfABucketKeptWithinTheSamples) {
    using H = TypeParam;
    // Three samples in one bucket: 16384 .. 16511 at 1/128, 16384 .. 16895 at 1/32.
    H h;
    for (const auto v : {16400, 16390, 16450})
        h.add(v);
    const int b = H::bucket_of(16400);
    ASSERT_EQ(H::bucket_of(16390), b);
    ASSERT_EQ(H::bucket_of(16450), b);
    ASSERT_LT(H::floor(b), 16390);
    ASSERT_GT(H::ceiling(b), 16450);
    const bool floors = H::read_back == measures::ReadBack::floor;
    EXPECT_EQ(h.quantile(0.0), floors ? 16390 : 16450);
    EXPECT_EQ(h.quantile(0.5), floors ? 16390 : 16450);
    EXPECT_EQ(h.quantile(1.0), 16450) << "the greatest sample, exactly, whichever side";
    EXPECT_EQ(h.sum(), 16390 + 16400 + 16450);
}

TYPED_TEST(SharedHistogram, MergingCountsAsAddingEverySample) {
    using H = TypeParam;
    H a;
    H b;
    H all;
    for (int i = 1; i <= 300; ++i) {
        (i % 3 == 0 ? a : b).add(i * 97);
        all.add(i * 97);
    }
    a.merge(b);
    EXPECT_EQ(a.count(), all.count());
    EXPECT_EQ(a.min(), all.min());
    EXPECT_EQ(a.max(), all.max());
    EXPECT_EQ(a.sum(), all.sum());
    for (const double q : {0.01, 0.25, 0.5, 0.99})
        EXPECT_EQ(a.quantile(q), all.quantile(q)) << q;
}

// Values past the range's ends are kept at its ends.
TEST(SharedHistogram, TheIntervalsKeepWhatIsOutOfRangeAtTheEnds) {
    measures::timing::IntervalHistogram h;
    h.add(-5);
    h.add(measures::timing::pause_us + 1000);
    EXPECT_EQ(h.min(), 0);
    EXPECT_EQ(h.max(), measures::timing::pause_us - 1);
}

}  // namespace
