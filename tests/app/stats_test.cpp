// The --stats collector: delays in a log-scale histogram, rates over one-second
// windows of the packets' own stamps, and the table printed at exit.
#include <gtest/gtest.h>
#include <linux/input.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <map>
#include <optional>
#include <sstream>

#include "app/providers.h"
#include "app/stats.h"
#include "platform/input/recording.h"
#include "rawinput/report.h"
#include "tests/support/recording_files.h"
#include "tests/support/stroke_cases.h"
#include "tests/support/strokes.h"
#include "tests/support/test_support.h"

namespace {

using app::MouseLabel;
using app::PacketStats;
using measures::DelayHistogram;

constexpr std::int64_t ms = 1'000'000;
constexpr std::int64_t us = 1'000;

HANDLE handle(std::uintptr_t value) {
    return reinterpret_cast<HANDLE>(value);
}

// The same device as the measures know it.
measures::Handle measured(std::uintptr_t value) {
    return measures::handle_of(handle(value));
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
        EXPECT_LE(v, DelayHistogram::ceiling(bucket)) << v;
        if (bucket > 0) {
            EXPECT_GT(v, DelayHistogram::ceiling(bucket - 1)) << v;
        }
        // Within 1/32 of the value: the bucket is that narrow.
        EXPECT_LE(DelayHistogram::ceiling(bucket) - v, v / 32) << v;
    }
}

TEST(DelayHistogramTest, QuantilesOfAKnownSpreadAreWithinOneBucket) {
    DelayHistogram h;
    EXPECT_EQ(h.quantile(0.5), std::nullopt) << "empty";
    // 1 us .. 1000 us, one sample each, shuffled order does not matter.
    for (std::uint64_t i = 1000; i >= 1; --i)
        h.add(i * us);
    EXPECT_EQ(h.count(), 1000u);
    EXPECT_EQ(h.min(), 1 * us);
    EXPECT_EQ(h.max(), 1000 * us);
    const auto near = [](std::uint64_t got, double want) {
        return std::fabs(static_cast<double>(got) - want) <= want / 32;
    };
    EXPECT_TRUE(near(*h.quantile(0.5), 500 * us)) << *h.quantile(0.5);
    EXPECT_TRUE(near(*h.quantile(0.99), 990 * us)) << *h.quantile(0.99);
    EXPECT_EQ(h.quantile(1.0), 1000 * us) << "never past the largest sample";
    EXPECT_TRUE(near(*h.quantile(0.0), 1 * us)) << *h.quantile(0.0);
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
    EXPECT_EQ(labels[0].handle, measured(7));
    EXPECT_EQ(labels[0].mouse_number, 0);
    EXPECT_EQ(labels[0].name, "first");
    EXPECT_EQ(labels[1].name, "second");
    EXPECT_EQ(labels[1].mouse_number, 1);
    EXPECT_EQ(labels[2].name, "") << "a handle the list no longer has";
    EXPECT_TRUE(app::mouse_labels(RawInputState{}, devices).empty());
}

// The measures' tables print a handle as the memo's "Amouse[n] = " line does,
// a 64-bit handle with its high bits set among them.
TEST(MouseLabelsTest, TheTablesPrintAHandleAsTheMemoDoes) {
    for (const std::uintptr_t value :
         {std::uintptr_t{65537}, std::uintptr_t{0xFFFFFFFFu}, ~std::uintptr_t{0} - 5}) {
        EXPECT_EQ(measures::handle_text(measured(value)),
                  std::to_string(report::handle_as_int(handle(value))))
            << value;
    }
}

// The report's columns, in order: the whitespace-separated fields of a row
// (the name, last, may hold spaces).
enum Column {
    mouse_col,
    handle_col,
    packets_col,
    hz_col,
    declared_col,
    p1_col,
    median_col,
    p99_col,
    max_col,
    irregular_col,
    overflows_col,
    background_col,
    poll_hz_col,
    skipped_col,
    off_grid_col,
    delay_median_col,
    delay_p99_col,
    delay_max_col,
    name_col,
};

TEST(PacketStatsTest, TheReportHasALinePerMouseThenTheTotals) {
    PacketStats stats;
    measures::Store store({.clock = measures::Clock::microseconds, .counts_overflows = true});
    const std::int64_t t0 = 1000 * ms;
    for (int i = 0; i < 2000; ++i) {
        const std::int64_t t = t0 + i * 500 * us;
        stats.add(handle(65538), t, t + 200 * us);  // 2 kHz
        store.add(measured(65538), t / us, false);
        if (i % 2 == 0) {
            stats.add(handle(65537), t, t + 100 * us);  // 1 kHz
            store.add(measured(65537), t / us, false);
        }
    }
    store.mouse(measured(65537)).timing.set_declared_interval_us(1000);
    store.mouse(measured(65538)).timing.set_overflows(3);
    stats.add(handle(42), t0, t0 + 3 * ms);  // a device the labels do not know
    stats.add(handle(42), t0 + 2 * ms, t0);  // stamped after its handling ended
    EXPECT_EQ(stats.packets(), 3002u);

    const std::vector<MouseLabel> labels = {{measured(65537), 0, "Left Mouse"},
                                            {measured(65538), 1, "Right Mouse"},
                                            {measured(65539), 2, "Idle Mouse"}};
    const std::string report = stats.report(labels, store, measures::Clock::microseconds, 7);
    EXPECT_EQ(report.find("ms clock"), std::string::npos) << report;

    const auto first = row(report, "0");
    ASSERT_EQ(first.size(), 20u) << report;
    EXPECT_EQ(first[handle_col], "65537");
    EXPECT_EQ(first[packets_col], "1000");
    EXPECT_EQ(first[hz_col], "1000");
    EXPECT_EQ(first[declared_col], "1000");
    EXPECT_EQ(first[median_col], "1000") << "µs between reports";
    EXPECT_EQ(first[irregular_col], "0.0");
    EXPECT_EQ(first[overflows_col], "0");
    EXPECT_EQ(first[delay_median_col], "0.100") << "median delay in ms";
    EXPECT_EQ(first[delay_max_col], "0.100");
    EXPECT_EQ(first[name_col] + " " + first[name_col + 1], "Left Mouse");

    const auto second = row(report, "1");
    ASSERT_FALSE(second.empty()) << report;
    EXPECT_EQ(second[packets_col], "2000");
    EXPECT_EQ(second[hz_col], "2000");
    EXPECT_EQ(second[declared_col], "-");
    EXPECT_EQ(second[overflows_col], "3");
    EXPECT_EQ(second[delay_p99_col], "0.200") << "p99 delay in ms";

    EXPECT_TRUE(row(report, "2").empty()) << "a mouse that sent nothing has no line";
    const auto other = row(report, "-");
    ASSERT_EQ(other.size(), 18u) << "no name: " << report;
    EXPECT_EQ(other[handle_col], "42");
    EXPECT_EQ(other[packets_col], "2");
    EXPECT_EQ(other[hz_col], "-") << "not measured";
    EXPECT_EQ(other[delay_median_col], "0.000") << "a stamp after the handling counts as no delay";
    EXPECT_EQ(other[delay_max_col], "3.000");

    const auto total = row(report, "total");
    ASSERT_EQ(total.size(), 17u) << "no handle, no name: " << report;
    EXPECT_EQ(total[1], "3002");
    for (std::size_t c = 2; c < 14; ++c)
        EXPECT_EQ(total[c], "-") << "the timing columns and the poll grid's: " << c;
    EXPECT_EQ(total[16], "3.000") << "the maximum delay of every mouse";
    EXPECT_NE(report.find("dropped because no window was active: 7\n"), std::string::npos);

    // Listed mice in their numbering, then the others; the columns line up.
    EXPECT_LT(report.find("Left Mouse"), report.find("Right Mouse"));
    EXPECT_LT(report.find("Right Mouse"), report.find("\n-"));
    const auto lines = testsupport::split_lines(report);
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(lines[2].find("65537"), lines[1].find("handle"));
    EXPECT_EQ(lines[2].find("1000") + 4, lines[1].find("packets") + 7) << "right-aligned";

    // Times on the X server's clock say so.
    EXPECT_NE(stats.report(labels, store, measures::Clock::milliseconds, 0).find("ms clock"),
              std::string::npos);
}

// Kernel buffer overflows per mouse, after the table: listed mice by number,
// others by handle; nothing for an input without kernel buffers.
TEST(PacketStatsTest, SynDroppedIsCountedPerMouse) {
    const std::vector<MouseLabel> labels = {{measured(11), 0, "Left Mouse"},
                                            {measured(12), 1, "Right Mouse"}};
    EXPECT_EQ(app::syn_dropped_line(labels, {}), "");
    EXPECT_EQ(app::syn_dropped_line(labels, {{handle(11), 0}, {handle(12), 0}}),
              "kernel buffer overflows (SYN_DROPPED), events lost: 0\n");
    EXPECT_EQ(app::syn_dropped_line(labels, {{handle(11), 0}, {handle(12), 3}, {handle(30), 1}}),
              "kernel buffer overflows (SYN_DROPPED), events lost: 4 (mouse 1: 3, handle 30: 1)\n");
}

// The rows of the table whose header starts with `first` and `second`, as
// whitespace-separated fields, up to the next title line; empty when there
// is no such table.
std::vector<std::vector<std::string>> table_rows(const std::string& report, const char* first,
                                                 const char* second) {
    std::vector<std::vector<std::string>> rows;
    bool in_table = false;
    for (const std::string& line : testsupport::split_lines(report)) {
        std::istringstream words(line);
        std::vector<std::string> fields;
        std::string word;
        while (words >> word)
            fields.push_back(word);
        if (fields.size() >= 2 && fields[0] == first && fields[1] == second) {
            in_table = true;
        } else if (in_table && !fields.empty() && fields[0] == "rawmice") {
            break;
        } else if (in_table && !fields.empty()) {
            rows.push_back(fields);
        }
    }
    return rows;
}

// The buttons report's columns: presses to unpaired.
std::vector<std::string> button_figures(const std::vector<std::string>& fields) {
    return fields.size() >= 9 ? std::vector<std::string>(fields.begin() + 2, fields.begin() + 9)
                              : fields;
}

constexpr std::uint16_t left_down = 0x0001;
constexpr std::uint16_t left_up = 0x0002;

// A line per mouse and button that changed, listed mice first, the clock in
// the title; the header alone when nothing was pressed.
TEST(ButtonsReportTest, ALinePerMouseAndButtonPressedAfterItsHeader) {
    const std::vector<MouseLabel> labels = {{measured(11), 0, "Left Mouse"},
                                            {measured(12), 1, "Right Mouse"}};
    measures::Store store({.chatter_window_us = 30'000});
    store.add(measured(12), 0, false);  // motion only: no line
    EXPECT_EQ(measures::buttons_table(labels, store),
              "rawmice buttons (chatter: a press less than 30 ms after the same button's "
              "release; gap_ms the shortest release to press, hold_ms the median press to "
              "release)\n"
              "mouse  button  presses  clicks  chatter  gap_ms  hold_ms  hold_min_ms  unpaired  "
              "handle  name\n");

    store.add(measured(40), 0, false, false, 0x0040);  // side, a mouse not listed
    store.add(measured(12), 1000, false, false, left_down);
    store.add(measured(12), 81'000, false, false, left_up);
    store.add(measured(12), 101'000, false, false, left_down | 0x0004);
    store.add(measured(12), 101'000, false, false, 0x0008);
    store.add(measured(11), 0, false, false, 0x0200);  // extra, released unseen
    const std::string report = measures::buttons_table(labels, store);
    const auto rows = table_rows(report, "mouse", "button");
    ASSERT_EQ(rows.size(), 4u) << report;
    EXPECT_EQ(rows[0], (std::vector<std::string>{"0", "extra", "0", "0", "0", "-", "-", "-", "1",
                                                 "11", "Left", "Mouse"}));
    EXPECT_EQ(rows[1], (std::vector<std::string>{"1", "left", "2", "1", "1", "20.0", "80.0", "80.0",
                                                 "0", "12", "Right", "Mouse"}));
    EXPECT_EQ(rows[2][1], "right");
    EXPECT_EQ(button_figures(rows[2]),
              (std::vector<std::string>{"1", "1", "0", "-", "0.0", "0.0", "0"}));
    EXPECT_EQ(rows[3],
              (std::vector<std::string>{"-", "side", "1", "1", "0", "-", "-", "-", "0", "40"}));
    const auto lines = testsupport::split_lines(report);
    EXPECT_EQ(lines[2].find("11"), lines[1].find("handle")) << "the columns line up";

    measures::Store x11({.clock = measures::Clock::milliseconds});
    x11.add(measured(11), 0, false, false, left_down);
    x11.add(measured(11), 95'000, false, false, left_up);
    const std::string on_x11 = measures::buttons_table(labels, x11);
    EXPECT_NE(on_x11.find("the median press to release, on the ms clock)"), std::string::npos)
        << on_x11;
    EXPECT_EQ(table_rows(on_x11, "mouse", "button").at(0).at(6), "95") << "whole ms";
}

// A line per measured mouse, listed mice first; the pairs that moved
// together after their own header; each header even with no rows.
TEST(MovementReportTest, ALinePerMouseThenThePairsMovedTogether) {
    const std::vector<MouseLabel> labels = {{measured(11), 0, "Left Mouse"},
                                            {measured(12), 1, "Right Mouse"}};
    measures::Store store;
    EXPECT_EQ(measures::movement_tables(labels, store, std::nullopt),
              "rawmice movement (net counts and path since the start; angle_deg 0 along +x, "
              "positive up the screen; cpi needs --distance-mm)\n"
              "mouse  counts_x  counts_y  path  angle_deg  cpi  handle  name\n"
              "rawmice pairs moved together (speeds over the last 4 s correlating at 0.8 or more; "
              "ratio b's movement over a's; lag_ms how much later b reports it than a)\n"
              "a  b  ratio  lag_ms  correlation\n");

    // Mouse 1 reports mouse 0's movement 2 ms later at twice its counts.
    for (const auto& [t, dx, dy] : testsupport::sensed(testsupport::hand(), 125, 0.5))
        store.add(measured(11), t, false, false, 0, {dx, dy});
    for (const auto& [t, dx, dy] : testsupport::sensed(testsupport::hand(), 125, 1, 2000, 2))
        store.add(measured(12), t, false, false, 0, {dx, dy});
    store.add(measured(40), 0, false, false, 0, {100, 0, true});  // a tablet not listed
    const std::string report = measures::movement_tables(labels, store, 25.4);
    EXPECT_NE(report.find("cpi over 25.4 mm)"), std::string::npos) << report;
    const auto mice = table_rows(report, "mouse", "counts_x");
    ASSERT_EQ(mice.size(), 3u) << report;
    EXPECT_EQ(mice[0][0], "0");
    EXPECT_EQ(std::vector<std::string>(mice[0].begin() + 6, mice[0].end()),
              (std::vector<std::string>{"11", "Left", "Mouse"}));
    EXPECT_EQ(mice[1][1], "10700") << "the net counts of the hand's flicks";
    EXPECT_EQ(mice[2], (std::vector<std::string>{"-", "-", "-", "-", "-", "-", "40"}));
    const auto pairs = table_rows(report, "a", "b");
    ASSERT_EQ(pairs.size(), 1u) << report;
    EXPECT_EQ(std::vector<std::string>(pairs[0].begin(), pairs[0].begin() + 4),
              (std::vector<std::string>{"0", "1", "2.000", "2.000"}));
}

// An input as the timing feed sees it: its name (which says its clock), the
// intervals its mice declare and its overflow counts.
class FakeProvider final : public input::Provider {
  public:
    explicit FakeProvider(const char* name) : name_(name) {}
    const char* name() const override { return name_; }
    std::vector<input::Device> devices() override { return {}; }
    DWORD start(input::PacketSink&) override { return ERROR_SUCCESS; }
    std::vector<std::pair<HANDLE, std::uint64_t>> syn_dropped_by_mouse() const override {
        return overflows;
    }
    std::uint64_t syn_dropped_total() const override {
        std::uint64_t total = 0;
        for (const auto& [device, count] : overflows)
            total += count;
        return total;
    }
    std::string declared_interval(HANDLE device) const override {
        const auto found = declared.find(device);
        return found == declared.end() ? "" : found->second;
    }

    std::map<HANDLE, std::string> declared;
    std::vector<std::pair<HANDLE, std::uint64_t>> overflows;

  private:
    const char* name_;
};

input::Packet packet_at(HANDLE device, std::int64_t stamp_ns, bool same_report = false) {
    input::Packet packet{device, {}, stamp_ns};
    packet.same_report = same_report;
    return packet;
}

// The feed on each input's terms: evdev's declared intervals and overflows,
// the packets of one report counted once, and x11's millisecond stamps read
// on a ms clock, where a 2 kHz mouse's median interval is 0 ms.
TEST(MeasuresFeedTest, EachInputIsMeasuredOnItsOwnTerms) {
    const std::vector<MouseLabel> labels = {{measured(11), 0, "Fast"}, {measured(12), 1, "Slow"}};
    measures::Feed feed;
    {
        FakeProvider evdev("evdev");
        evdev.declared = {{handle(11), "125us\n"}, {handle(12), "bogus"}};
        evdev.overflows = {{handle(11), 0}, {handle(12), 0}};
        const app::MeasuredInput input(evdev);
        feed.start(input);
        PacketStats stats;
        for (int i = 0; i < 4000; ++i) {
            feed.packet(app::to_measures(packet_at(handle(11), i * 125 * us), RIM_INPUT));
            // A frame that turns both wheels: one report, two packets.
            feed.packet(app::to_measures(packet_at(handle(11), i * 125 * us, true), RIM_INPUT));
            stats.add(handle(11), i * 125 * us, i * 125 * us);
            if (i % 8 == 0) {
                // Read while another program had the focus: half of them.
                feed.packet(app::to_measures(packet_at(handle(12), i * 125 * us),
                                             i % 16 == 0 ? RIM_INPUTSINK : RIM_INPUT));
                stats.add(handle(12), i * 125 * us, i * 125 * us);
            }
        }
        feed.batch_handled();
        evdev.overflows = {{handle(11), 0}, {handle(12), 2}, {handle(13), 1}};
        feed.batch_handled();
        EXPECT_EQ(feed.store().find(measured(11))->timing.reports(), 4000u);
        const std::string report =
            stats.report(labels, feed.store(), measures::Clock::microseconds, 0);
        const auto fast = row(report, "0");
        ASSERT_GT(fast.size(), static_cast<std::size_t>(overflows_col)) << report;
        EXPECT_EQ(fast[hz_col], "8000") << "one report per frame, not per packet";
        EXPECT_EQ(fast[p1_col], "125");
        EXPECT_EQ(fast[declared_col], "8000") << "125us declared";
        EXPECT_EQ(fast[overflows_col], "0");
        EXPECT_EQ(fast[background_col], "0.0");
        const auto slow = row(report, "1");
        ASSERT_GT(slow.size(), static_cast<std::size_t>(overflows_col)) << report;
        EXPECT_EQ(slow[hz_col], "1000");
        EXPECT_EQ(slow[declared_col], "-") << "what sysfs says is not an interval";
        EXPECT_EQ(slow[overflows_col], "2") << "counted after the batch";
        EXPECT_EQ(slow[background_col], "50.0") << "the share read in the background";
        ASSERT_NE(feed.store().find(measured(13)), nullptr);
        EXPECT_EQ(feed.store().find(measured(13))->timing.summary().overflows, 1u)
            << "a mouse that overflowed before its first packet";
    }
    {
        FakeProvider x11("x11");
        const app::MeasuredInput input(x11);
        feed.start(input);
        EXPECT_EQ(feed.store().find(measured(11)), nullptr) << "measured afresh";
        PacketStats stats;
        // 2000 reports 500 µs apart, stamped in whole milliseconds as the X server does.
        for (int i = 0; i < 2000; ++i) {
            feed.packet(app::to_measures(packet_at(handle(11), i * 500 * us / ms * ms), RIM_INPUT));
            stats.add(handle(11), 0, 0);
        }
        feed.batch_handled();
        const std::string report =
            stats.report(labels, feed.store(), measures::Clock::milliseconds, 0);
        EXPECT_NE(report.find("ms clock"), std::string::npos) << report;
        const auto fast = row(report, "0");
        ASSERT_GT(fast.size(), static_cast<std::size_t>(overflows_col)) << report;
        EXPECT_EQ(fast[median_col], "0");
        EXPECT_EQ(fast[hz_col], "2001") << "1999 intervals over 999 ms";
        EXPECT_EQ(fast[irregular_col], "0.0") << "within a tick of the mean";
        EXPECT_EQ(fast[overflows_col], "-") << "no kernel buffers";
    }
}

// Report times of known timing.
std::vector<std::int64_t> steady(std::int64_t period_us, int reports) {
    std::vector<std::int64_t> times;
    for (int i = 0; i < reports; ++i)
        times.push_back(i * period_us);
    return times;
}

// A recording whose reports come at `times` (from 1 s on): a frame of motion
// each, or one that turns both wheels (two packets, one report).
std::string recording_at(const std::string& name, const std::vector<std::int64_t>& times,
                         bool both_wheels = false) {
    std::string text = testsupport::mouse_description(name);
    for (const std::int64_t t : times) {
        const std::int64_t at = 1'000'000 + t;
        if (both_wheels) {
            text += testsupport::event_text(at, EV_REL, REL_WHEEL, 1);
            text += testsupport::event_text(at, EV_REL, REL_HWHEEL, -1);
        } else {
            text += testsupport::event_text(at, EV_REL, REL_X, 1);
        }
        text += testsupport::event_text(at, EV_SYN, SYN_REPORT, 0);
    }
    return text;
}

// Mice of known timing replayed by the program, each read by --stats as the
// timing window reads it: the rate from the median interval, the
// percentiles, pauses left out, skipped and merged reports irregular.
TEST(StatsProgramTest, MiceOfKnownTimingAreMeasuredAsTheyWereRecorded) {
    struct Case {
        const char* name;
        std::vector<std::int64_t> times;
        bool both_wheels;
        // packets, Hz, p1, median, p99, max, irregular %, poll Hz, skipped %,
        // off-grid %: as --stats prints them.
        std::vector<std::string> expected;
    };
    std::vector<std::int64_t> jitter;  // intervals of 1000 µs ± up to 96 µs
    for (std::int64_t t = 0, i = 0; i < 2000; ++i) {
        jitter.push_back(t);
        t += std::array<std::int64_t, 5>{1000, 904, 1096, 952, 1048}[i % 5];
    }
    std::vector<std::int64_t> pauses;  // three spells of 500 reports
    for (std::int64_t start : {0, 499'000 + 50'000, 2 * 499'000 + 50'000 + 49'992}) {
        for (int i = 0; i < 500; ++i)
            pauses.push_back(start + i * 1000);
    }
    std::vector<std::int64_t> skips;  // every tenth report of 2000 missing
    for (int i = 0; i < 2000; ++i) {
        if (i % 10 != 9)
            skips.push_back(i * 1000);
    }
    std::vector<std::int64_t> merged = steady(1000, 1000);  // reports 501 to 519 come at once
    for (int i = 501; i < 519; ++i)
        merged[i] = 519'000;
    const std::vector<Case> cases = {
        {"125 Hz",
         steady(8000, 250),
         false,
         {"250", "125", "8000", "8000", "8000", "8000", "0.0", "125", "0.0", "0.0"}},
        {"500 Hz",
         steady(2000, 1000),
         false,
         {"1000", "500", "2000", "2000", "2000", "2000", "0.0", "500", "0.0", "0.0"}},
        {"1000 Hz",
         steady(1000, 2000),
         false,
         {"2000", "1000", "1000", "1000", "1000", "1000", "0.0", "1000", "0.0", "0.0"}},
        {"8000 Hz",
         steady(125, 16000),
         false,
         {"16000", "8000", "125", "125", "125", "125", "0.0", "8000", "0.0", "0.0"}},
        {"Jitter",
         jitter,
         false,
         {"2000", "1000", "904", "1000", "1096", "1096", "0.0", "1000", "0.0", "0.0"}},
        // A gap of 50 ms is a pause, left out; one just under it is a late
        // report, and 49 skipped polls of the 1547 on the grid.
        {"Pauses",
         pauses,
         false,
         {"1500", "1000", "1000", "1000", "1000", "49992", "0.1", "1000", "3.2", "0.0"}},
        // 199 intervals of 2 ms among 1799: 199 polls of 1998 skipped.
        {"Skips",
         skips,
         false,
         {"1800", "1000", "1000", "1000", "2000", "2000", "11.1", "1000", "10.0", "0.0"}},
        // 18 intervals of 0 and one of 19 ms among 999: the 18 in one poll's
        // time are off the grid, and took no poll of the 999.
        {"Merged",
         merged,
         false,
         {"1000", "1000", "0", "1000", "1000", "19000", "1.9", "1000", "1.8", "1.8"}},
        // Two packets a frame, one report.
        {"Both wheels",
         steady(2000, 1000),
         true,
         {"2000", "500", "2000", "2000", "2000", "2000", "0.0", "500", "0.0", "0.0"}},
    };
    testsupport::TempDir dir;
    std::vector<std::string> args = {"--replay-speed=max", "--exit-after-replay", "--stats"};
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const auto path = dir / ("m" + std::to_string(i) + ".evemu");
        testsupport::write_file(path,
                                recording_at(cases[i].name, cases[i].times, cases[i].both_wheels));
        args.push_back("--replay=" + path.string());
    }
    const auto result = testsupport::run_rawmice(args, dir.path());
    ASSERT_EQ(result.exit_code, 0) << result.err;
    for (std::size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(cases[i].name);
        const auto fields = row(result.err, std::to_string(i));
        ASSERT_GT(fields.size(), static_cast<std::size_t>(name_col)) << result.err;
        EXPECT_EQ(std::vector<std::string>({fields[packets_col], fields[hz_col], fields[p1_col],
                                            fields[median_col], fields[p99_col], fields[max_col],
                                            fields[irregular_col], fields[poll_hz_col],
                                            fields[skipped_col], fields[off_grid_col]}),
                  cases[i].expected);
        EXPECT_EQ(fields[declared_col], "-") << "a recording declares no interval";
        EXPECT_EQ(fields[overflows_col], "-") << "a replay reads no kernel buffer";
    }
    EXPECT_EQ(row(result.err, "total")[1], "27550") << result.err;
    EXPECT_NE(result.err.find("\nmouse  button  presses"), std::string::npos) << result.err;
    EXPECT_TRUE(table_rows(result.err, "mouse", "button").empty())
        << "the header alone: nothing was pressed";
    EXPECT_NE(result.err.find("dropped because no window was active: 0"), std::string::npos);

    // The recorded time stamps, not the replay clock: the same at every speed.
    const auto path = dir / "steady.evemu";
    testsupport::write_file(path, recording_at("Steady", steady(1000, 1000)));
    for (const char* speed : {"--replay-speed=1", "--replay-speed=4"}) {
        SCOPED_TRACE(speed);
        const auto run = testsupport::run_rawmice(
            {"--replay=" + path.string(), speed, "--exit-after-replay", "--stats"}, dir.path());
        ASSERT_EQ(run.exit_code, 0) << run.err;
        const auto line = row(run.err, "0");
        ASSERT_GT(line.size(), static_cast<std::size_t>(max_col)) << run.err;
        EXPECT_EQ(line[hz_col], "1000");
        EXPECT_EQ(line[max_col], "1000");
    }

    const auto quiet = testsupport::run_rawmice(
        {"--replay=" + path.string(), "--replay-speed=max", "--exit-after-replay"}, dir.path());
    ASSERT_EQ(quiet.exit_code, 0) << quiet.err;
    EXPECT_TRUE(row(quiet.err, "total").empty()) << "no table without --stats";
}

// The polls skipped of reports `times` on a grid of `period_us`, in percent
// to one decimal: each interval within a spell of 8 or more is n polls, n - 1
// of them skipped.
std::string skipped_polls(const std::vector<std::int64_t>& times, std::int64_t period_us) {
    std::int64_t polls = 0;
    std::int64_t skipped = 0;
    std::vector<std::int64_t> spell;
    const auto end_spell = [&] {
        if (spell.size() >= 8) {
            for (const std::int64_t interval : spell) {
                polls += interval / period_us;
                skipped += interval / period_us - 1;
            }
        }
        spell.clear();
    };
    for (std::size_t i = 1; i < times.size(); ++i) {
        if (times[i] - times[i - 1] >= 50'000)
            end_spell();
        else
            spell.push_back(times[i] - times[i - 1]);
    }
    end_spell();
    char text[16];
    std::snprintf(text, sizeof text, "%.1f",
                  100.0 * static_cast<double>(skipped) / static_cast<double>(polls));
    return text;
}

// The poll grid as --stats reads it: mice moved slowly (most reports one
// count, polls skipped between them: healthy, on the grid) and the real
// recordings, whose figures were worked out by hand from their stamps.
TEST(StatsProgramTest, MiceMovedSlowlySkipPollsOnTheirGrid) {
    std::vector<std::int64_t> slow_8k;
    for (const auto& packet : testsupport::sensed(testsupport::slow_strokes(), 125))
        slow_8k.push_back(packet.us);
    std::vector<std::int64_t> slow_1k;
    for (const auto& packet : testsupport::sensed(testsupport::slow_strokes(), 1000))
        slow_1k.push_back(packet.us);
    testsupport::TempDir dir;
    struct Case {
        std::string name;
        std::filesystem::path file;
        // poll Hz, skipped %, off-grid %
        std::vector<std::string> expected;
    };
    const auto generated = [&](const std::string& name, const std::vector<std::int64_t>& times) {
        const auto path = dir / (name + ".evemu");
        testsupport::write_file(path, recording_at(name, times));
        return path;
    };
    const auto real = [&](const std::string& name) {
        return testsupport::whole_recording(testsupport::evemu_devices() / "mice" / name,
                                            dir.path());
    };
    const std::vector<Case> cases = {
        {"Slow 8k", generated("Slow 8k", slow_8k), {"8000", skipped_polls(slow_8k, 125), "0.0"}},
        {"Slow 1k", generated("Slow 1k", slow_1k), {"1000", skipped_polls(slow_1k, 1000), "0.0"}},
        // Polled every 1 ms, every interval within 20 µs of whole ms: 781
        // reports on the grid, 1236 of its 2017 polls skipped.
        {"Saitek", real("Saitek Cyborg R.A.T.5 Mouse.events"), {"1000", "61.3", "0.0"}},
        // Bluetooth, a connection event every 11.25 ms: 301 reports on the
        // grid and 4 off it (two button changes, each 1.1 ms after an event
        // and the next 1.2 ms after it), 25 of 330 polls skipped. The runs of
        // 33 ms in its file are the kernel's repeats of a held button, which
        // make no packet.
        {"Ultrathin", real("Ultrathin Touch Mouse.events"), {"88.9", "7.6", "1.3"}},
        // PS/2 reports when the mouse samples, on its own clock: intervals
        // wander from 9 to 14 ms, and no grid fits them.
        {"PS/2", real("PS2 Generic Mouse.events"), {"-", "-", "-"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto run = testsupport::run_rawmice(
            {"--replay=" + c.file.string(), "--replay-speed=max", "--exit-after-replay", "--stats"},
            dir.path());
        ASSERT_EQ(run.exit_code, 0) << run.err;
        const auto fields = row(run.err, "0");
        ASSERT_GT(fields.size(), static_cast<std::size_t>(name_col)) << run.err;
        EXPECT_EQ(std::vector<std::string>(
                      {fields[poll_hz_col], fields[skipped_col], fields[off_grid_col]}),
                  c.expected)
            << run.err;
    }
}

// A mouse's recording from button events: each {µs, code, value} a frame of
// its own; code 0 is a kernel buffer overflow (SYN_DROPPED), after which the
// reader's resync writes the buttons it found changed as a frame stamped
// with it.
struct ButtonEvent {
    std::int64_t us;
    unsigned code;
    int value;
};
std::string clicking_recording(const std::string& name, const std::vector<ButtonEvent>& events) {
    std::string text =
        testsupport::description(name, {REL_X, REL_Y, REL_WHEEL}, {{BTN_LEFT, BTN_EXTRA}});
    for (const ButtonEvent& e : events) {
        const std::int64_t at = 1'000'000 + e.us;
        if (e.code == 0) {
            text += testsupport::event_text(at, EV_SYN, SYN_DROPPED, 0);
        } else {
            text += testsupport::event_text(at, EV_KEY, e.code, e.value);
        }
        text += testsupport::event_text(at, EV_SYN, SYN_REPORT, 0);
    }
    return text;
}

// `count` clicks of `code` every `period_ms`, held `hold_ms`; every
// `bounce_every`-th bounces (a press `gap_ms` after its release, held
// `bounce_hold_ms`).
std::vector<ButtonEvent> clicking(unsigned code, int count, std::int64_t period_ms,
                                  std::int64_t hold_ms, int bounce_every = 0,
                                  std::int64_t gap_ms = 0, std::int64_t bounce_hold_ms = 0) {
    std::vector<ButtonEvent> events;
    for (int i = 0; i < count; ++i) {
        const std::int64_t t = i * period_ms * 1000;
        events.push_back({t, code, 1});
        events.push_back({t + hold_ms * 1000, code, 0});
        if (bounce_every > 0 && i % bounce_every == bounce_every - 1) {
            const std::int64_t again = t + (hold_ms + gap_ms) * 1000;
            events.push_back({again, code, 1});
            events.push_back({again + bounce_hold_ms * 1000, code, 0});
        }
    }
    return events;
}

// Mice of known button timing replayed by the program, each button's line of
// --stats's buttons table as the measures' cases give it; the clicker has no
// polling rate.
TEST(StatsProgramTest, ButtonsOfKnownTimingAreMeasuredAsTheyWereRecorded) {
    struct Case {
        const char* name;
        std::vector<ButtonEvent> events;
        const char* button;
        // presses clicks chatter gap_ms hold_ms hold_min_ms unpaired, at 25 ms and at 40 ms
        std::vector<std::string> expected;
        std::vector<std::string> at_40_ms;
    };
    std::vector<ButtonEvent> held = {{0, BTN_EXTRA, 0}};
    for (const ButtonEvent& e : clicking(BTN_EXTRA, 5, 300, 90))
        held.push_back({e.us + 20'000, e.code, e.value});
    const std::vector<ButtonEvent> overflow = {{0, BTN_LEFT, 1},       {40'000, 0, 0},
                                               {40'000, BTN_LEFT, 0},  {45'000, BTN_LEFT, 1},
                                               {140'000, BTN_LEFT, 0}, {300'000, 0, 0},
                                               {300'000, BTN_LEFT, 1}, {310'000, BTN_LEFT, 0},
                                               {420'000, BTN_LEFT, 1}, {500'000, BTN_LEFT, 0}};
    const std::vector<Case> cases = {
        {"Clean",
         clicking(BTN_LEFT, 50, 400, 120),
         "left",
         {"50", "50", "0", "280.0", "120.0", "120.0", "0"},
         {"50", "50", "0", "280.0", "120.0", "120.0", "0"}},
        {"Bouncing",
         clicking(BTN_LEFT, 40, 400, 100, 4, 8, 30),
         "left",
         {"50", "40", "10", "8.0", "100.0", "30.0", "0"},
         {"50", "40", "10", "8.0", "100.0", "30.0", "0"}},
        {"ReleaseBounce",
         clicking(BTN_RIGHT, 20, 500, 90, 1, 3, 4),
         "right",
         {"40", "20", "20", "3.0", "4.0", "4.0", "0"},
         {"40", "20", "20", "3.0", "4.0", "4.0", "0"}},
        {"DoubleClick",
         clicking(BTN_LEFT, 2, 140, 80),
         "left",
         {"2", "2", "0", "60.0", "80.0", "80.0", "0"},
         {"2", "2", "0", "60.0", "80.0", "80.0", "0"}},
        {"Slow30",
         clicking(BTN_MIDDLE, 10, 500, 100, 2, 30, 50),
         "middle",
         {"15", "15", "0", "30.0", "100.0", "50.0", "0"},
         {"15", "10", "5", "30.0", "100.0", "50.0", "0"}},
        {"HeldAtStart",
         held,
         "extra",
         {"5", "5", "0", "210.0", "90.0", "90.0", "1"},
         {"5", "5", "0", "210.0", "90.0", "90.0", "1"}},
        {"Overflow",
         overflow,
         "left",
         {"4", "4", "0", "110.0", "80.0", "80.0", "0"},
         {"4", "4", "0", "110.0", "80.0", "80.0", "0"}},
    };
    testsupport::TempDir dir;
    std::vector<std::string> args = {"--replay-speed=max", "--exit-after-replay", "--stats"};
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const auto path = dir / ("b" + std::to_string(i) + ".evemu");
        testsupport::write_file(path, clicking_recording(cases[i].name, cases[i].events));
        args.push_back("--replay=" + path.string());
    }
    for (const bool wider : {false, true}) {
        SCOPED_TRACE(wider ? "--chatter-ms=40" : "the default 25 ms");
        std::vector<std::string> run_args = args;
        if (wider)
            run_args.push_back("--chatter-ms=40");
        const auto result = testsupport::run_rawmice(run_args, dir.path());
        ASSERT_EQ(result.exit_code, 0) << result.err;
        EXPECT_NE(result.err.find(wider ? "less than 40 ms" : "less than 25 ms"), std::string::npos)
            << result.err;
        const auto rows = table_rows(result.err, "mouse", "button");
        ASSERT_EQ(rows.size(), cases.size()) << "a line per button pressed: " << result.err;
        for (std::size_t i = 0; i < cases.size(); ++i) {
            SCOPED_TRACE(cases[i].name);
            ASSERT_GE(rows[i].size(), 11u) << result.err;
            EXPECT_EQ(rows[i][0], std::to_string(i));
            EXPECT_EQ(rows[i][1], cases[i].button);
            EXPECT_EQ(button_figures(rows[i]), wider ? cases[i].at_40_ms : cases[i].expected);
            EXPECT_EQ(rows[i][9], std::to_string(65537 + i)) << "its handle";
            EXPECT_EQ(rows[i][10], cases[i].name);
        }
        // Clicks are not polling: the clicker's reports give no rate.
        const auto timing = row(result.err, "1");
        ASSERT_GT(timing.size(), static_cast<std::size_t>(irregular_col)) << result.err;
        for (const Column c : {hz_col, p1_col, median_col, p99_col, max_col, irregular_col})
            EXPECT_EQ(timing[c], "-") << c;
    }
}

// `count` packets of (dx, dy) every `step_us`, from `from_us`.
std::vector<testsupport::Counts> repeated(int count, int dx, int dy, std::int64_t step_us,
                                          std::int64_t from_us = 0) {
    std::vector<testsupport::Counts> packets;
    for (int i = 0; i < count; ++i)
        packets.push_back({from_us + i * step_us, dx, dy});
    return packets;
}

// Strokes of known counts replayed by the program, each mouse's line of
// --stats's movement table as the measures' cases give it, over
// --distance-mm; then mice moved together, each pair's line.
TEST(StatsProgramTest, MovementOfKnownCountsIsMeasuredAsItWasRecorded) {
    struct Case {
        const char* name;
        std::vector<testsupport::Counts> packets;
        std::vector<std::string> expected;  // counts_x counts_y path angle_deg cpi
    };
    std::vector<testsupport::Counts> angled = repeated(100, 16, 0, 1000);
    for (int i = 0; i < 56; ++i)
        angled[static_cast<std::size_t>(i * 100 / 56)].dy = -1;
    std::vector<testsupport::Counts> diagonal = repeated(500, 1, 0, 250);
    for (const auto& p : repeated(500, 0, -1, 250, 125))
        diagonal.push_back(p);
    std::sort(diagonal.begin(), diagonal.end(),
              [](const auto& a, const auto& b) { return a.us < b.us; });
    std::vector<testsupport::Counts> home = repeated(100, 20, 0, 125);
    for (const auto& p : repeated(2000, -1, 0, 125, 500'000))
        home.push_back(p);
    std::vector<testsupport::Counts> residue = home;
    residue.resize(100 + 1900);
    // Each mouse strokes at a time of its own, a second apart, so that none
    // moved together.
    const std::vector<Case> cases = {
        {"Stroke", repeated(100, 16, 0, 1000), {"1600", "0", "1600.0", "0.0", "1600"}},
        {"Angled", angled, {"1600", "-56", "1601.7", "2.0", "1601"}},
        {"Diagonal", diagonal, {"500", "-500", "1000.0", "45.0", "707"}},
        {"Home", home, {"0", "0", "4000.0", "-", "0"}},
        {"Residue", residue, {"100", "0", "3900.0", "0.0", "100"}},
    };
    testsupport::TempDir dir;
    std::vector<std::string> args = {"--replay-speed=max", "--exit-after-replay", "--stats",
                                     "--distance-mm=25.4"};
    for (std::size_t i = 0; i < cases.size(); ++i) {
        std::vector<testsupport::Counts> later = cases[i].packets;
        for (auto& p : later)
            p.us += static_cast<std::int64_t>(i) * 1'000'000;
        const auto path = dir / ("m" + std::to_string(i) + ".evemu");
        testsupport::write_file(path, testsupport::counts_recording(cases[i].name, later));
        args.push_back("--replay=" + path.string());
    }
    // A virtual machine's tablet: positions, not counts.
    std::string tablet = testsupport::read_file(testsupport::evemu_devices() / "tablets" /
                                                "QEMU 0.12.1 QEMU USB Tablet.desc");
    for (int i = 0; i < 20; ++i) {
        const std::int64_t at = 1'000'000 + i * 8000;
        tablet += testsupport::event_text(at, EV_ABS, ABS_X, 1000 + 50 * i) +
                  testsupport::event_text(at, EV_ABS, ABS_Y, 2000) +
                  testsupport::event_text(at, EV_SYN, SYN_REPORT, 0);
    }
    testsupport::write_file(dir / "tablet.evemu", tablet);
    args.push_back("--replay=" + (dir / "tablet.evemu").string());
    const auto result = testsupport::run_rawmice(args, dir.path());
    ASSERT_EQ(result.exit_code, 0) << result.err;
    EXPECT_NE(result.err.find("cpi over 25.4 mm"), std::string::npos) << result.err;
    const auto rows = table_rows(result.err, "mouse", "counts_x");
    ASSERT_EQ(rows.size(), cases.size() + 1) << result.err;
    EXPECT_EQ(std::vector<std::string>(rows.back().begin(), rows.back().begin() + 7),
              (std::vector<std::string>{std::to_string(cases.size()), "-", "-", "-", "-", "-",
                                        std::to_string(65537 + cases.size())}))
        << "the tablet: " << result.err;
    for (std::size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(cases[i].name);
        ASSERT_EQ(rows[i].size(), 8u) << result.err;
        EXPECT_EQ(rows[i][0], std::to_string(i));
        EXPECT_EQ(std::vector<std::string>(rows[i].begin() + 1, rows[i].begin() + 6),
                  cases[i].expected);
        EXPECT_EQ(rows[i][6], std::to_string(65537 + i)) << "its handle";
        EXPECT_EQ(rows[i][7], cases[i].name);
    }
    EXPECT_TRUE(table_rows(result.err, "a", "b").empty()) << result.err;
}

// Two mice of one libinput record file keep their recorded offset: the one
// that reports the hand 3 ms later (at half the counts; the other's strokes
// two counts a report) reads as 3 ms later, though its first report is not
// the file's first.
TEST(StatsProgramTest, TwoMiceOfOneLibinputRecordFileKeepTheirRecordedLag) {
    using testsupport::hand;
    using testsupport::sensed;
    const auto first = sensed(hand(), 125, 1, 0, 2);
    const auto later = sensed(hand(), 125, 0.5, 3000);
    ASSERT_NE(first.front().us, later.front().us);
    testsupport::TempDir dir;
    const auto path = dir / "pair.yml";
    testsupport::write_file(path, testsupport::libinput_head(2) + testsupport::libinput_mouse("A") +
                                      testsupport::libinput_counts(first) +
                                      testsupport::libinput_mouse("B later") +
                                      testsupport::libinput_counts(later));
    const auto result = testsupport::run_rawmice(
        {"--replay-speed=max", "--exit-after-replay", "--stats", "--replay=" + path.string()},
        dir.path());
    ASSERT_EQ(result.exit_code, 0) << result.err;
    const auto pairs = table_rows(result.err, "a", "b");
    ASSERT_EQ(pairs.size(), 1u) << result.err;
    ASSERT_EQ(pairs[0].size(), 5u);
    EXPECT_EQ(pairs[0][0], "0");
    EXPECT_EQ(pairs[0][1], "1");
    EXPECT_NEAR(std::stod(pairs[0][2]), 0.5, 0.01);
    EXPECT_NEAR(std::stod(pairs[0][3]), 3.0, 0.125);
    EXPECT_GE(std::stod(pairs[0][4]), 0.95);
}

// Each recording starts with an empty frame at the same time, as --record
// writes them: the replay's times, counted from each file's first event,
// keep the mice's lags. The slow mice move 10 s after the others, so that
// no mouse of one set has moved within 4 s of the other's movement.
TEST(StatsProgramTest, MiceMovedTogetherArePairedByTheirRecordedStamps) {
    using testsupport::hand;
    using testsupport::sensed;
    using testsupport::slow_hand;
    const auto later = [](std::vector<testsupport::Counts> packets) {
        for (auto& p : packets)
            p.us += 10'000'000;
        return packets;
    };
    const std::vector<std::pair<const char*, std::vector<testsupport::Counts>>> mice = {
        {"A", sensed(hand(), 125, 1, 0, 2)},
        {"B later", sensed(hand(), 125, 0.5, 3000)},
        {"B first", sensed(hand(), 125, 0.5, -3000)},
        {"At 1 kHz", sensed(hand(), 1000)},
        {"Apart", sensed(testsupport::other_hand(), 125)},
        {"Slow A", later(sensed(slow_hand(), 125))},
        {"Slow B", later(sensed(slow_hand(), 125, 0.6, 1750))},
        {"Slow at 1 kHz", later(sensed(slow_hand(), 1000, 0.25))},
        {"Slow apart", later(sensed(testsupport::slow_other_hand(), 125))},
    };
    testsupport::TempDir dir;
    std::vector<std::string> args = {"--replay-speed=max", "--exit-after-replay", "--stats"};
    for (std::size_t i = 0; i < mice.size(); ++i) {
        const auto path = dir / ("p" + std::to_string(i) + ".evemu");
        testsupport::write_file(path, testsupport::counts_recording(mice[i].first, mice[i].second));
        args.push_back("--replay=" + path.string());
    }
    const auto result = testsupport::run_rawmice(args, dir.path());
    ASSERT_EQ(result.exit_code, 0) << result.err;
    EXPECT_NE(result.err.find("cpi needs --distance-mm"), std::string::npos) << result.err;
    const auto pairs = table_rows(result.err, "a", "b");
    // a, b, ratio, lag_ms: every pair of the first four, which moved
    // together, and of the three slow ones; the two apart with none. The
    // 1 kHz mice's lag within a bin of 0.
    const std::vector<std::vector<std::string>> expected = {
        {"0", "1", "0.500", "3.000"},  {"0", "2", "0.500", "-3.000"}, {"0", "3", "1.000", "0.000"},
        {"1", "2", "1.000", "-6.000"}, {"1", "3", "2.000", "-3.000"}, {"2", "3", "2.000", "3.000"},
        {"5", "6", "0.600", "1.750"},  {"5", "7", "0.250", "0.000"},  {"6", "7", "0.417", "-1.750"},
    };
    ASSERT_EQ(pairs.size(), expected.size()) << result.err;
    for (std::size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE(i);
        ASSERT_EQ(pairs[i].size(), 5u);
        EXPECT_EQ(pairs[i][0], expected[i][0]);
        EXPECT_EQ(pairs[i][1], expected[i][1]);
        EXPECT_NEAR(std::stod(pairs[i][2]), std::stod(expected[i][2]),
                    0.005 * std::stod(expected[i][2]));
        EXPECT_NEAR(std::stod(pairs[i][3]), std::stod(expected[i][3]), 0.125);
        EXPECT_GE(std::stod(pairs[i][4]), i < 3 ? 0.95 : 0.8);
    }
}

// The intervals between the reports of a recording, read from its lines apart
// from the program: a frame is a report when it moves, turns a wheel, or
// presses or releases one of the five buttons; gaps of 50 ms or more are
// pauses, left out, and so are the intervals of a spell of fewer than 8.
std::vector<std::int64_t> intervals_of(const std::vector<testsupport::EventLine>& lines) {
    std::vector<std::int64_t> intervals;
    std::vector<std::int64_t> spell;
    const auto end_spell = [&] {
        if (spell.size() >= 8)
            intervals.insert(intervals.end(), spell.begin(), spell.end());
        spell.clear();
    };
    std::optional<std::int64_t> last;
    bool report = false;
    for (const auto& line : lines) {
        if (line.type == EV_SYN && line.code == SYN_REPORT) {
            if (report && last && line.us - *last < 50'000)
                spell.push_back(line.us - *last);
            else if (report && last)
                end_spell();
            if (report)
                last = line.us;
            report = false;
        } else if (line.type == EV_REL) {
            report = report || line.code == REL_X || line.code == REL_Y || line.code == REL_WHEEL ||
                     line.code == REL_HWHEEL || line.code == REL_WHEEL_HI_RES ||
                     line.code == REL_HWHEEL_HI_RES;
        } else if (line.type == EV_KEY) {
            report = report || (line.code >= BTN_LEFT && line.code <= BTN_EXTRA &&
                                (line.value == 0 || line.value == 1));
        }
    }
    end_spell();
    return intervals;
}

// The nearest-rank quantile of sorted values.
std::int64_t quantile(const std::vector<std::int64_t>& sorted, double q) {
    const auto rank = static_cast<std::size_t>(std::ceil(q * static_cast<double>(sorted.size())));
    return sorted[std::max<std::size_t>(rank, 1) - 1];
}

// What the program measures of every bundled mouse recording, against the
// intervals its lines give, and as many presses as its log has DOWN flags: the percentiles to the
// histogram's resolution (exact below 256 µs, then at most 1/128 below), the rate to 1 %, the
// irregular share within what that resolution leaves open. None moves to and fro between two
// stops: seconds of wandering, clicking and scrolling, their strokes give no CPI.
TEST(StatsProgramTest, EveryBundledMouseRecordingIsMeasuredAsItsLinesSay) {
    testsupport::TempDir dir;
    std::vector<std::filesystem::path> files;
    for (const auto& sample : std::filesystem::directory_iterator(
             std::filesystem::path(testsupport::source_dir()) / "samples"))
        files.push_back(sample.path());
    std::sort(files.begin(), files.end());
    for (const std::string folder : {"mice", "trackpoints", "keyboards"}) {
        for (const auto& file : testsupport::files_in(folder)) {
            if (testsupport::has_description(file) || !testsupport::description_for(file).empty())
                files.push_back(testsupport::whole_recording(file, dir.path()));
        }
    }
    std::vector<std::filesystem::path> mice;
    for (const auto& file : files) {
        const input::LoadResult loaded = input::Recording::load(file.string());
        ASSERT_TRUE(loaded) << loaded.error.to_string();
        const auto& caps = loaded.recording->capabilities();
        if (caps.rels.test(REL_X) && caps.rels.test(REL_Y))
            mice.push_back(file);
    }
    ASSERT_GE(mice.size(), 8u);

    int measured = 0;
    int pressed = 0;  // recordings with button presses
    for (const auto& file : mice) {
        SCOPED_TRACE(file.filename().string());
        std::vector<std::int64_t> intervals = intervals_of(testsupport::event_lines(file));
        std::sort(intervals.begin(), intervals.end());
        const auto run =
            testsupport::run_rawmice({"--replay=" + file.string(), "--replay-speed=max",
                                      "--exit-after-replay", "--stats", "--distance-mm=100"},
                                     dir.path());
        ASSERT_EQ(run.exit_code, 0) << run.err;
        for (const auto& fields : table_rows(run.err, "mouse", "strokes")) {
            ASSERT_GE(fields.size(), 10u) << run.err;
            std::printf("%s: strokes %s, between the stops %s\n", file.filename().string().c_str(),
                        fields[1].c_str(), fields[2].c_str());
            EXPECT_EQ(fields[2], "0") << run.err;
            EXPECT_EQ(fields[3], "-") << "no CPI: " << run.err;
            EXPECT_EQ(fields[9], "-") << "no variation: " << run.err;
        }
        // As many presses of each button as log.txt has DOWN flags.
        std::map<std::string, std::uint64_t> downs;
        for (const std::string& line :
             testsupport::split_lines(testsupport::read_file(dir.path() / "log.txt"))) {
            const auto at = line.find("usButtonFlags=");
            if (at == std::string::npos)
                continue;
            const auto flags = std::stoul(line.substr(at + 14, 4), nullptr, 16);
            for (unsigned b = 0; b < 5; ++b) {
                if ((flags & (1u << (2 * b))) != 0)
                    ++downs[std::array<const char*, 5>{"left", "right", "middle", "side",
                                                       "extra"}[b]];
            }
        }
        std::map<std::string, std::uint64_t> presses;
        for (const auto& fields : table_rows(run.err, "mouse", "button")) {
            ASSERT_GE(fields.size(), 3u) << run.err;
            EXPECT_EQ(fields[0], "0") << run.err;
            if (fields[2] != "0")
                presses[fields[1]] = std::stoull(fields[2]);
        }
        EXPECT_EQ(presses, downs) << run.err;
        pressed += downs.empty() ? 0 : 1;
        const auto fields = row(run.err, "0");
        if (intervals.empty()) {
            if (!fields.empty()) {
                EXPECT_EQ(fields[hz_col], "-") << run.err;
            }
            continue;
        }
        ASSERT_GT(fields.size(), static_cast<std::size_t>(irregular_col)) << run.err;
        ++measured;
        const auto within_resolution = [](const std::string& got, std::int64_t exact) {
            const std::int64_t value = std::stoll(got);
            const std::int64_t slack = exact < 256 ? 0 : exact / 128;
            return value <= exact && value >= exact - slack;
        };
        EXPECT_TRUE(within_resolution(fields[p1_col], quantile(intervals, 0.01))) << run.err;
        const std::int64_t median = quantile(intervals, 0.5);
        EXPECT_TRUE(within_resolution(fields[median_col], median)) << run.err;
        EXPECT_TRUE(within_resolution(fields[p99_col], quantile(intervals, 0.99))) << run.err;
        EXPECT_EQ(fields[max_col], std::to_string(intervals.back())) << "exact";
        if (median > 0) {
            EXPECT_NEAR(std::stod(fields[hz_col]), 1e6 / static_cast<double>(median),
                        1e4 / static_cast<double>(median) + 0.5)
                << run.err;
            // Outside half to one and a half times the median: certainly, or
            // within the resolution of a boundary.
            std::size_t surely = 0;
            std::size_t maybe = 0;
            for (const std::int64_t v : intervals) {
                const double x = static_cast<double>(v);
                const double m = static_cast<double>(median);
                const double slack = x / 64 + m / 64;
                if (x < 0.5 * m - slack || x > 1.5 * m + slack)
                    ++surely;
                else if (x < 0.5 * m + slack || x > 1.5 * m - slack)
                    ++maybe;
            }
            const double share = std::stod(fields[irregular_col]);
            const double count = static_cast<double>(intervals.size());
            EXPECT_GE(share, 100.0 * static_cast<double>(surely) / count - 0.05) << run.err;
            EXPECT_LE(share, 100.0 * static_cast<double>(surely + maybe) / count + 0.05) << run.err;
        }
    }
    EXPECT_GE(measured, 6);
    EXPECT_GE(pressed, 3);
}

// The tracking table: its title says the speed window and the thresholds;
// with no mouse moved, its header alone.
TEST(TrackingReportTest, TheHeaderAloneWhileNoMouseMoved) {
    const std::vector<MouseLabel> labels = {{measured(11), 0, "Left Mouse"}};
    measures::Store store;
    store.add(measured(11), 0, false, false, 0x0001);  // a click moves nothing
    EXPECT_EQ(measures::tracking_table(labels, store),
              "rawmice tracking (speed over the last 4 ms or two intervals, whichever is longer, "
              "in counts/ms, and in m/s at the cpi (--cpi); saturated: reports at a report "
              "field's limit, 127, 2047 or 32767 counts; spin-outs: above 1 m/s (40 counts/ms "
              "without a cpi) the movement over 1 ms or two polls collapsing below a quarter or "
              "reversing, the stroke going on within 20 ms; malfunction: the speed just before "
              "the first of either)\n"
              "mouse  cpi  peak_cpms  peak_mps  saturated  spinouts  malfunction_cpms  "
              "malfunction_mps  handle  name\n");
    const std::string on_x11 = measures::tracking_table(
        labels, measures::Store({.clock = measures::Clock::milliseconds, .device_counts = false}));
    EXPECT_NE(on_x11.find("over the last 8 ms"), std::string::npos) << on_x11;
    EXPECT_NE(on_x11.find("(unknown here: the X server's values)"), std::string::npos) << on_x11;
    EXPECT_NE(on_x11.find(", on the ms clock)"), std::string::npos) << on_x11;
}

// Strokes of known counts a poll replayed by the program, each mouse's line
// of --stats's tracking table as the measures' cases give it, at the CPI
// --cpi gives it: its own, else every mouse's. A mouse that only clicked has
// no line; a --cpi for a mouse never numbered is said once, at exit.
TEST(StatsProgramTest, TrackingOfKnownStrokesIsMeasuredAsItWasRecorded) {
    struct Case {
        const char* name;
        std::vector<testsupport::Counts> packets;
        // cpi peak_cpms peak_mps saturated spinouts malfunction_cpms malfunction_mps
        std::vector<std::string> expected;
    };
    const std::vector<Case> cases = {
        {"Clean",
         testsupport::polled(testsupport::clean_stroke(), 1000),
         {"1600", "160.00", "2.54", "0", "0", "-", "-"}},
        {"Spins",
         testsupport::polled(testsupport::spinning_out(), 1000),
         {"1600", "252.00", "4.00", "0", "1", "252.00", "4.00"}},
        {"Clips",
         testsupport::polled(testsupport::clipping_127(), 1000),
         {"800", "127.00", "4.03", "50", "0", "124.50", "3.95"}},
        // One-count reports, polls skipped: 9.24 counts/ms at the fastest
        // stroke's peak, read within a count over 4 ms.
        {"Slow", testsupport::sensed(testsupport::slow_strokes(), 125), {"1600"}},
    };
    testsupport::TempDir dir;
    std::vector<std::string> args = {"--replay-speed=max", "--exit-after-replay", "--stats",
                                     "--cpi=0:1600",       "--cpi=800",           "--cpi=7:400",
                                     "--cpi=2:800",        "--cpi=1:1600",        "--cpi=3:1600"};
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const auto path = dir / ("m" + std::to_string(i) + ".evemu");
        testsupport::write_file(path,
                                testsupport::counts_recording(cases[i].name, cases[i].packets));
        args.push_back("--replay=" + path.string());
    }
    testsupport::write_file(dir / "clicker.evemu",
                            clicking_recording("Clicker", clicking(BTN_LEFT, 5, 200, 80)));
    args.push_back("--replay=" + (dir / "clicker.evemu").string());
    const auto result = testsupport::run_rawmice(args, dir.path());
    ASSERT_EQ(result.exit_code, 0) << result.err;
    const auto lines = testsupport::split_lines(result.err);
    EXPECT_EQ(
        std::count(lines.begin(), lines.end(),
                   "rawmice: --cpi=7:400: no mouse numbered 7 (the mice were numbered 0 to 4)"),
        1)
        << result.err;
    const auto rows = table_rows(result.err, "mouse", "cpi");
    ASSERT_EQ(rows.size(), cases.size()) << "no line for the clicker: " << result.err;
    for (std::size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(cases[i].name);
        ASSERT_EQ(rows[i].size(), 10u) << result.err;
        EXPECT_EQ(rows[i][0], std::to_string(i));
        EXPECT_EQ(rows[i][8], std::to_string(65537 + i)) << "its handle";
        EXPECT_EQ(rows[i][9], cases[i].name);
        if (cases[i].expected.size() > 1) {
            EXPECT_EQ(std::vector<std::string>(rows[i].begin() + 1, rows[i].begin() + 8),
                      cases[i].expected);
        } else {
            EXPECT_EQ(rows[i][1], cases[i].expected[0]);
            EXPECT_NEAR(std::stod(rows[i][2]), 9.24, 0.35) << result.err;
            EXPECT_EQ(std::vector<std::string>(rows[i].begin() + 4, rows[i].begin() + 8),
                      (std::vector<std::string>{"0", "0", "-", "-"}));
        }
    }
}

// The strokes table: its title says the travel D; with no mouse moved, its
// header alone, exactly.
TEST(StrokesReportTest, TheHeaderAloneWhileNoMouseMoved) {
    const std::vector<MouseLabel> labels = {{measured(11), 0, "Left Mouse"}};
    measures::Store store;
    store.add(measured(11), 0, false, false, 0x0001);  // a click moves nothing
    const std::string table = measures::strokes_table(labels, store, 100.0);
    const auto lines = testsupport::split_lines(table);
    ASSERT_EQ(lines.size(), 2u) << table;
    EXPECT_NE(lines[0].find("over 100 mm, the travel between the stops (the gap less the "
                            "mouse's length)"),
              std::string::npos)
        << lines[0];
    EXPECT_EQ(lines[1],
              "mouse  strokes  between  cpi  spread_pct  slow_cpms  fast_cpms  slow_mps  "
              "fast_mps  variation_pct  handle  name");
    EXPECT_NE(measures::strokes_table(labels, store, std::nullopt).find("over --distance-mm"),
              std::string::npos);
}

// Every to and fro of the strokes measures' cases replayed by the program,
// a mouse each, with --distance-mm=100: each mouse's line of --stats's
// strokes table reads the figures worked out by hand (whole-ms stamps here
// on the replay's microsecond clock: its speeds over 4 ms, not 8).
TEST(StatsProgramTest, StrokesBetweenTwoStopsAreMeasuredAsWorkedOutByHand) {
    const std::vector<testsupport::StrokeCase> cases = testsupport::stroke_cases();
    testsupport::TempDir dir;
    std::vector<std::string> args = {"--replay-speed=max", "--exit-after-replay", "--stats",
                                     "--distance-mm=100"};
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const auto path = dir / ("s" + std::to_string(i) + ".evemu");
        testsupport::write_file(path,
                                testsupport::counts_recording(cases[i].name, cases[i].packets));
        args.push_back("--replay=" + path.string());
    }
    const auto result = testsupport::run_rawmice(args, dir.path());
    ASSERT_EQ(result.exit_code, 0) << result.err;
    const auto rows = table_rows(result.err, "mouse", "strokes");
    ASSERT_EQ(rows.size(), cases.size()) << result.err;
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const testsupport::StrokeCase& c = cases[i];
        SCOPED_TRACE(c.what);
        // mouse, 9 figures, handle, name; the mice past the tenth the
        // engine examines have no number, nor a name here.
        const bool numbered = i < 10;
        ASSERT_EQ(rows[i].size(), numbered ? 12u : 11u) << result.err;
        EXPECT_EQ(rows[i][0], numbered ? std::to_string(i) : "-");
        EXPECT_EQ(rows[i][10], std::to_string(65537 + i)) << "its handle";
        if (numbered) {
            EXPECT_EQ(rows[i][11], c.name);
        }
        EXPECT_EQ(std::vector<std::string>(rows[i].begin() + 1, rows[i].begin() + 5), c.exact);
        const auto near = [&](std::size_t field, std::optional<double> expected, double within) {
            if (!expected) {
                EXPECT_EQ(rows[i][field], "-") << field;
                return;
            }
            ASSERT_NE(rows[i][field], "-") << field;
            EXPECT_NEAR(std::stod(rows[i][field]), *expected, within) << field;
        };
        near(9, c.variation_pct, 0.5);
        // Whole-ms stamps read over 4 ms are a quarter off: the x11 input
        // reads them over 8 ms, as the measures' own case does.
        if (c.ms_stamps)
            continue;
        const double within = c.speed_within;
        near(5, c.slow_cpms, within * c.slow_cpms.value_or(0));
        near(6, c.fast_cpms, within * c.fast_cpms.value_or(0));
        // In m/s at the CPI the strokes gave, 800.
        const auto mps = [&](std::optional<double> cpms) -> std::optional<double> {
            if (!cpms || c.exact[2] == "-")
                return std::nullopt;
            return *cpms * 25.4 / testsupport::stops_cpi;
        };
        near(7, mps(c.slow_cpms), within * 0.2 + 0.005);
        near(8, mps(c.fast_cpms), within * 2.7 + 0.005);
    }
    // The tracking table reads each speed at the CPI the strokes gave.
    const auto tracking = table_rows(result.err, "mouse", "cpi");
    ASSERT_EQ(tracking.size(), cases.size()) << result.err;
    for (std::size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(cases[i].name);
        EXPECT_EQ(tracking[i][1], cases[i].exact[2] != "-" ? "800" : "-") << result.err;
    }
}

}  // namespace
