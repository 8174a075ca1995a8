// The --stats collector: delays in a log-scale histogram, rates over one-second
// windows of the packets' own stamps, and the table printed at exit.
#include <gtest/gtest.h>
#include <linux/input.h>

#include <cmath>
#include <sstream>

#include "app/stats.h"
#include "tests/support/recording_files.h"
#include "tests/support/test_support.h"

namespace {

using app::DelayHistogram;
using app::MouseLabel;
using app::PacketStats;
using app::RateMeter;

constexpr std::int64_t ms = 1'000'000;
constexpr std::int64_t us = 1'000;

HANDLE handle(std::uintptr_t value) {
    return reinterpret_cast<HANDLE>(value);
}

// The whitespace-separated fields of the report line that starts with `first`.
std::vector<std::string> row(const std::string& report, const std::string& first) {
    std::istringstream lines(report);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        std::vector<std::string> fields;
        std::string word;
        while (words >> word)
            fields.push_back(word);
        if (!fields.empty() && fields[0] == first)
            return fields;
    }
    return {};
}

TEST(DelayHistogramTest, EveryValueFallsInTheBucketThatBoundsIt) {
    std::vector<std::uint64_t> values = {0, 1, 31, 32, 33, 63, 64, 65, 1000, 123'456'789};
    for (int shift = 6; shift < 64; ++shift) {
        values.push_back(std::uint64_t{1} << shift);
        values.push_back((std::uint64_t{1} << shift) - 1);
        values.push_back((std::uint64_t{1} << shift) + 12345);
    }
    values.push_back(UINT64_MAX);
    for (std::uint64_t v : values) {
        const int bucket = DelayHistogram::bucket_of(v);
        ASSERT_GE(bucket, 0);
        ASSERT_LT(bucket, DelayHistogram::bucket_count);
        EXPECT_LE(v, DelayHistogram::bucket_top(bucket)) << v;
        if (bucket > 0) {
            EXPECT_GT(v, DelayHistogram::bucket_top(bucket - 1)) << v;
        }
        // Within 1/32 of the value: the bucket is that narrow.
        EXPECT_LE(DelayHistogram::bucket_top(bucket) - v, v / 32) << v;
    }
}

TEST(DelayHistogramTest, QuantilesOfAKnownSpreadAreWithinOneBucket) {
    DelayHistogram h;
    EXPECT_EQ(h.quantile(0.5), 0u) << "empty";
    // 1 us .. 1000 us, one sample each, shuffled order does not matter.
    for (std::uint64_t i = 1000; i >= 1; --i)
        h.add(i * us);
    EXPECT_EQ(h.count(), 1000u);
    EXPECT_EQ(h.min(), 1 * us);
    EXPECT_EQ(h.max(), 1000 * us);
    const auto near = [](std::uint64_t got, double want) {
        return std::fabs(static_cast<double>(got) - want) <= want / 32;
    };
    EXPECT_TRUE(near(h.quantile(0.5), 500 * us)) << h.quantile(0.5);
    EXPECT_TRUE(near(h.quantile(0.99), 990 * us)) << h.quantile(0.99);
    EXPECT_EQ(h.quantile(1.0), 1000 * us) << "never past the largest sample";
    EXPECT_TRUE(near(h.quantile(0.0), 1 * us)) << h.quantile(0.0);
    EXPECT_GE(h.quantile(0.5), 500 * us) << "a bucket's top, never below the sample";
}

TEST(DelayHistogramTest, OneSlowPacketInAHundredShowsAtTheNinetyNinthPercentile) {
    DelayHistogram fast;
    DelayHistogram slow;
    for (int i = 0; i < 98; ++i)
        fast.add(50 * us);
    for (int i = 0; i < 2; ++i)
        slow.add(5 * ms);
    fast.merge(slow);
    EXPECT_EQ(fast.count(), 100u);
    EXPECT_GE(fast.quantile(0.5), 50 * us);
    EXPECT_LE(fast.quantile(0.5), 50 * us + 50 * us / 32);
    EXPECT_GE(fast.quantile(0.99), 5 * ms - 5 * ms / 32);
    EXPECT_EQ(fast.max(), 5 * ms);
}

TEST(RateMeterTest, ASteadyEightKilohertzMouseReadsEightThousand) {
    RateMeter rate;
    const std::int64_t start = 7 * ms;
    for (int i = 0; i < 3 * 8000; ++i)
        rate.add(start + i * 125 * us);
    EXPECT_EQ(rate.count(), 24000u);
    EXPECT_EQ(rate.peak(), 8000u);
    EXPECT_NEAR(rate.mean(), 8000.0, 1.0);
}

TEST(RateMeterTest, ABurstRaisesThePeakButNotTheMean) {
    RateMeter rate;
    for (int i = 0; i < 100; ++i)
        rate.add(i * 100 * us);  // 100 packets in 10 ms
    rate.add(5000 * ms);
    EXPECT_EQ(rate.peak(), 100u);
    EXPECT_NEAR(rate.mean(), 100.0 / 5.0, 0.01) << "100 intervals over five seconds";

    RateMeter short_run;
    for (int i = 0; i < 3; ++i)
        short_run.add(i * ms);
    EXPECT_DOUBLE_EQ(short_run.mean(), 3.0) << "measured over a second at least";
}

TEST(RateMeterTest, TheMeanNeverExceedsThePeak) {
    // Two bursts of 500 astride the first window's end, 1.01 s apart: each
    // window holds one burst, yet 999 intervals over 1.01 s would read 989/s.
    RateMeter rate;
    for (int i = 0; i < 500; ++i)
        rate.add(i * 10 * us);
    for (int i = 0; i < 500; ++i)
        rate.add(1010 * ms + i * 10 * us);
    EXPECT_EQ(rate.peak(), 500u);
    EXPECT_LE(rate.mean(), 500.0);

    // A steady mouse: its intervals, not its packets, give the rate.
    RateMeter steady;
    for (int i = 0; i <= 2500; ++i)
        steady.add(i * ms);
    EXPECT_EQ(steady.peak(), 1000u);
    EXPECT_DOUBLE_EQ(steady.mean(), 1000.0);
}

// The engine's table gives the numbers; the devices it was given, the names.
TEST(MouseLabelsTest, TheEnginesTableNumbersTheMiceAndTheListNamesThem) {
    RawInputState engine{};
    engine.raw_mouse_count = 3;
    engine.raw_mouse_handles[0] = handle(7);
    engine.raw_mouse_handles[1] = handle(5);
    engine.raw_mouse_handles[2] = handle(9);
    const std::vector<input::Device> devices = {{handle(5), RIM_TYPEMOUSE, "second", ""},
                                                {handle(6), RIM_TYPEKEYBOARD, "keys", ""},
                                                {handle(7), RIM_TYPEMOUSE, "first", ""}};
    const std::vector<MouseLabel> labels = app::mouse_labels(engine, devices);
    ASSERT_EQ(labels.size(), 3u);
    EXPECT_EQ(labels[0].handle, handle(7));
    EXPECT_EQ(labels[0].mouse_number, 0);
    EXPECT_EQ(labels[0].name, "first");
    EXPECT_EQ(labels[1].name, "second");
    EXPECT_EQ(labels[1].mouse_number, 1);
    EXPECT_EQ(labels[2].name, "") << "a handle the list no longer has";
    EXPECT_TRUE(app::mouse_labels(RawInputState{}, devices).empty());
}

TEST(PacketStatsTest, TheReportHasALinePerMouseThenTheTotals) {
    PacketStats stats;
    const std::int64_t t0 = 1000 * ms;
    for (int i = 0; i < 2000; ++i) {
        stats.add(handle(65538), t0 + i * 500 * us, t0 + i * 500 * us + 200 * us);  // 2 kHz
        if (i % 2 == 0)
            stats.add(handle(65537), t0 + i * 500 * us, t0 + i * 500 * us + 100 * us);  // 1 kHz
    }
    stats.add(handle(42), t0, t0 + 3 * ms);  // a device the labels do not know
    stats.add(handle(42), t0 + 2 * ms, t0);  // stamped after its handling ended
    EXPECT_EQ(stats.packets(), 3002u);

    const std::vector<MouseLabel> labels = {{handle(65537), 0, "Left Mouse"},
                                            {handle(65538), 1, "Right Mouse"},
                                            {handle(65539), 2, "Idle Mouse"}};
    const std::string report = stats.report(labels, 7);

    const auto first = row(report, "0");
    ASSERT_EQ(first.size(), 10u) << report;
    EXPECT_EQ(first[1], "65537");
    EXPECT_EQ(first[2], "1000");
    EXPECT_EQ(first[4], "1000") << "peak per second";
    EXPECT_EQ(first[5], "0.100") << "median delay in ms";
    EXPECT_EQ(first[7], "0.100");
    EXPECT_EQ(first[8] + " " + first[9], "Left Mouse");

    const auto second = row(report, "1");
    ASSERT_FALSE(second.empty()) << report;
    EXPECT_EQ(second[2], "2000");
    EXPECT_EQ(second[4], "2000");
    EXPECT_EQ(second[6], "0.200") << "p99 delay in ms";

    EXPECT_TRUE(row(report, "2").empty()) << "a mouse that sent nothing has no line";
    const auto other = row(report, "-");
    ASSERT_FALSE(other.empty()) << report;
    EXPECT_EQ(other[1], "42");
    EXPECT_EQ(other[2], "2");
    EXPECT_EQ(other[5], "0.000") << "a stamp after the handling counts as no delay";
    EXPECT_EQ(other[7], "3.000");

    const auto total = row(report, "total");
    ASSERT_FALSE(total.empty()) << report;
    EXPECT_EQ(total[1], "3002");
    EXPECT_EQ(total[3], "3002") << "every packet fell in the first second";
    EXPECT_EQ(total[6], "3.000") << "the maximum of every mouse";
    EXPECT_NE(report.find("dropped because no window was active: 7\n"), std::string::npos);

    // Listed mice in their numbering, then the others.
    EXPECT_LT(report.find("Left Mouse"), report.find("Right Mouse"));
    EXPECT_LT(report.find("Right Mouse"), report.find("\n-"));
}

// A recording of `packets` frames of motion, one every `step_us`; returns its --replay option.
std::string mouse_at(const std::string& name, int packets, std::int64_t step_us,
                     const testsupport::TempDir& dir) {
    const auto path = dir / (name + ".evemu");
    testsupport::write_file(
        path, testsupport::motion_recording(name, std::vector<std::pair<int, int>>(packets, {1, 0}),
                                            0, step_us));
    return "--replay=" + path.string();
}

// The real program: --stats prints the table on standard error at exit.
// Kernel buffer overflows per mouse, after the table: listed mice by number,
// others by handle; nothing for an input without kernel buffers.
TEST(PacketStatsTest, SynDroppedIsCountedPerMouse) {
    const std::vector<MouseLabel> labels = {{handle(11), 0, "Left Mouse"},
                                            {handle(12), 1, "Right Mouse"}};
    EXPECT_EQ(app::syn_dropped_line(labels, {}), "");
    EXPECT_EQ(app::syn_dropped_line(labels, {{handle(11), 0}, {handle(12), 0}}),
              "kernel buffer overflows (SYN_DROPPED), events lost: 0\n");
    EXPECT_EQ(app::syn_dropped_line(labels, {{handle(11), 0}, {handle(12), 3}, {handle(30), 1}}),
              "kernel buffer overflows (SYN_DROPPED), events lost: 4 (mouse 1: 3, handle 30: 1)\n");
}

TEST(StatsProgramTest, AReplayWithStatsReportsEveryMouseAtExit) {
    testsupport::TempDir dir;
    const auto mouse = [&](const std::string& name, int packets) {
        return mouse_at(name, packets, 125, dir);
    };
    const auto result =
        testsupport::run_rawmice({mouse("First", 3), mouse("Second", 2), "--replay-speed=max",
                                  "--exit-after-replay", "--stats"},
                                 dir.path());
    ASSERT_EQ(result.exit_code, 0) << result.err;
    const auto first = row(result.err, "0");
    ASSERT_EQ(first.size(), 9u) << result.err;
    EXPECT_EQ(first[1], "65537");
    EXPECT_EQ(first[2], "3");
    EXPECT_EQ(first[8], "First");
    EXPECT_EQ(row(result.err, "1")[2], "2") << result.err;
    EXPECT_EQ(row(result.err, "total")[1], "5") << result.err;
    EXPECT_NE(result.err.find("dropped because no window was active: 0"), std::string::npos);

    // A 1000 Hz mouse for three seconds reads 1000/s at every replay speed:
    // the rates follow the recorded time stamps, not the replay clock.
    const std::string steady = mouse_at("Steady", 3000, 1000, dir);
    for (const char* speed : {"--replay-speed=1", "--replay-speed=4", "--replay-speed=max"}) {
        SCOPED_TRACE(speed);
        const auto run =
            testsupport::run_rawmice({steady, speed, "--exit-after-replay", "--stats"}, dir.path());
        ASSERT_EQ(run.exit_code, 0) << run.err;
        const auto line = row(run.err, "0");
        ASSERT_EQ(line.size(), 9u) << run.err;
        EXPECT_EQ(line[2], "3000");
        EXPECT_NEAR(std::stod(line[3]), 1000.0, 1.0) << "mean/s";
        EXPECT_EQ(line[4], "1000") << "peak/s";
    }

    const auto quiet = testsupport::run_rawmice(
        {mouse("Third", 1), "--replay-speed=max", "--exit-after-replay"}, dir.path());
    ASSERT_EQ(quiet.exit_code, 0) << quiet.err;
    EXPECT_TRUE(row(quiet.err, "total").empty()) << "no table without --stats";
}

}  // namespace
