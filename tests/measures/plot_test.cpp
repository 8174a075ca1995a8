// What the plot window draws and saves: each mouse's span of reports (its
// last 30 s since Reset, at most 240,000 reports, its memory taken only
// once asked for), the CSV written of it byte for byte, the marks of
// saturated reports and spin-outs, and the pixel columns folded from it.
#include <gtest/gtest.h>

#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "measures/feed.h"
#include "measures/plot.h"
#include "measures/store.h"
#include "tests/support/strokes.h"

namespace {

namespace plot = measures::plot;
using measures::movement::Motion;

constexpr std::int64_t start = 5'000'000;  // some time after boot

// A feed on the microsecond clock that keeps the plot's span.
struct PlotFeed {
    measures::Feed feed;
    PlotFeed() {
        feed.reset(measures::Options{});
        feed.start_plot();
    }
    void packet(measures::Handle mouse, std::int64_t time_us, int dx, int dy,
                bool same_report = false) {
        feed.packet({mouse, time_us, same_report, false, 0, {dx, dy, false}});
    }
    const plot::MouseSpan& span(measures::Handle mouse) const { return *feed.plot()->find(mouse); }
};

TEST(PlotSpan, TheCsvOfTwoMiceIsMergedByTimeWithEmptyCellsWhereAFigureIsUnknown) {
    PlotFeed f;
    f.feed.set_cpi(11, 1000);
    // Mouse 0 at 1 kHz, 10 counts right a report: 10 counts/ms once its
    // stroke's first 4 ms are behind it (0.254 m/s at 1000 CPI). Its fourth
    // report is a frame with a second packet (a wheel's). Mouse 1, 500 µs
    // later each time, 2 counts down, and no CPI.
    for (int i = 0; i < 6; ++i) {
        f.packet(11, start + i * 1000, 10, 0);
        if (i == 3)
            f.packet(11, start + i * 1000, 0, 0, true);
        f.packet(12, start + i * 1000 + 500, 0, 2);
    }
    // A report of mouse 1 at the very time of one of mouse 0: mouse 0 first.
    // Mouse 1's last 4 ms then hold 5 reports, whose 10 counts came in the
    // 4.5 ms since the report before them: 2.222 counts/ms.
    f.packet(11, start + 6000, 10, 0);
    f.packet(12, start + 6000, 0, 2);

    std::ostringstream out;
    const std::uint64_t lines =
        plot::write_csv(out, *f.feed.plot(), {{11, 0, 131, 1000.0}, {12, 1, -5, std::nullopt}});
    EXPECT_EQ(out.str(),
              "mouse,handle,time_us,dx,dy,interval_us,speed_cpms,speed_mps\n"
              "0,131,5000000,10,0,,,\n"
              "1,-5,5000500,0,2,,,\n"
              "0,131,5001000,10,0,1000,,\n"
              "1,-5,5001500,0,2,1000,,\n"
              "0,131,5002000,10,0,1000,,\n"
              "1,-5,5002500,0,2,1000,,\n"
              "0,131,5003000,10,0,1000,,\n"
              "0,131,5003000,0,0,,,\n"
              "1,-5,5003500,0,2,1000,,\n"
              "0,131,5004000,10,0,1000,10.000,0.2540\n"
              "1,-5,5004500,0,2,1000,2.000,\n"
              "0,131,5005000,10,0,1000,10.000,0.2540\n"
              "1,-5,5005500,0,2,1000,2.000,\n"
              "0,131,5006000,10,0,1000,10.000,0.2540\n"
              "1,-5,5006000,0,2,500,2.222,\n");
    EXPECT_EQ(lines, 15u);

    // Only the mice asked for; a mouse with no span writes nothing.
    std::ostringstream one;
    EXPECT_EQ(plot::write_csv(one, *f.feed.plot(), {{12, 1, -5, 400.0}, {99, 2, 99, {}}}), 7u);
    EXPECT_NE(one.str().find("1,-5,5006000,0,2,500,2.222,0.1411\n"), std::string::npos);
}

TEST(PlotSpan, KeepsTheLast30SecondsAtMost240000ReportsAndTakesItsMemoryOnlyWhenAsked) {
    measures::Feed quiet;
    quiet.reset(measures::Options{});
    quiet.packet({1, start, false, false, 0, {1, 0, false}});
    EXPECT_EQ(quiet.plot(), nullptr) << "no memory before the plot window asks";

    PlotFeed f;
    // 40 s at 1 kHz: the last 30 s stay, the newest 30 s after the oldest.
    for (std::int64_t t = 0; t <= 40'000'000; t += 1000)
        f.packet(1, start + t, 1, 0);
    const plot::MouseSpan& slow = f.span(1);
    EXPECT_EQ(slow.size(), 30'001u);
    EXPECT_EQ(slow.time_us(0), start + 10'000'000);
    EXPECT_EQ(slow.time_us(slow.size() - 1), start + 40'000'000);
    EXPECT_LT(slow.memory_bytes(), 1'200'000u) << "a 1 kHz mouse holds what it needs";

    // 35 s at 8 kHz: the cap, 4.2 MB.
    for (std::int64_t t = 0; t < 35'000'000; t += 125)
        f.packet(2, start + t, 1, 0);
    const plot::MouseSpan& fast = f.span(2);
    EXPECT_EQ(fast.size(), plot::max_reports);
    EXPECT_EQ(fast.time_us(fast.size() - 1), start + 35'000'000 - 125);
    EXPECT_EQ(fast.time_us(0), start + 35'000'000 - 125 * 240'000);
    EXPECT_GE(fast.memory_bytes(), plot::max_reports * plot::MouseSpan::report_bytes);
    EXPECT_LT(fast.memory_bytes(),
              (plot::max_reports + 3 * 4096) * plot::MouseSpan::report_bytes + 4096)
        << "in chunks of 4096 reports: at most two part-filled and one spare";

    // Reset empties every span and keeps the memory.
    f.feed.reset_tracking();
    EXPECT_TRUE(f.span(2).empty());
    f.packet(2, start + 36'000'000, 1, 0);
    EXPECT_EQ(f.span(2).size(), 1u);
    EXPECT_FALSE(f.span(2)[0].interval_us) << "the first report since Reset has no interval";
}

TEST(PlotSpan, TimesStayExactOverHoursAndAStampThatGoesBackStartsTheSpanAfresh) {
    PlotFeed f;
    // A report every 100 ms for 40 minutes: past what 32 bits of µs hold.
    const std::int64_t last = 2400LL * 1'000'000;
    for (std::int64_t t = 0; t <= last; t += 100'000)
        f.packet(1, start + t, 1, 0);
    const plot::MouseSpan& span = f.span(1);
    ASSERT_EQ(span.size(), 301u);
    for (std::size_t i = 0; i < span.size(); ++i)
        ASSERT_EQ(span.time_us(i),
                  start + last - 30'000'000 + static_cast<std::int64_t>(i) * 100'000);
    EXPECT_EQ(span[span.size() - 1].interval_us, 100'000);

    f.packet(1, start + last - 5000, 1, 0);
    EXPECT_EQ(span.size(), 1u);
    EXPECT_EQ(span.time_us(0), start + last - 5000);
}

TEST(PlotSpan, SaturatedReportsAndSpinOutsAreMarkedWhereTheyHappen) {
    // A 1 kHz stroke whose sensor collapses for 2 ms at 4 m/s, and one
    // whose 8-bit field clips at 127.
    PlotFeed f;
    std::int64_t last = 0;
    for (const auto& [us, dx, dy] : testsupport::polled(testsupport::spinning_out(), 1000)) {
        f.packet(1, start + us, dx, dy);
        last = us;
    }
    const auto marked = [](const plot::MouseSpan& span, bool plot::Report::*mark) {
        std::vector<std::int64_t> times;
        for (std::size_t i = 0; i < span.size(); ++i) {
            if (span[i].*mark)
                times.push_back(span.time_us(i));
        }
        return times;
    };
    const measures::Mouse& spun = *f.feed.store().find(1);
    ASSERT_EQ(spun.tracking.summary().spinouts, 1u);
    const std::vector<std::int64_t> spinouts = marked(f.span(1), &plot::Report::spinout);
    ASSERT_EQ(spinouts.size(), 1u);
    // The report after the 2 ms without any: the first the collapse is read at.
    const plot::MouseSpan& span = f.span(1);
    const std::size_t at = span.first_at_or_after(spinouts[0]);
    ASSERT_GT(at, 0u);
    EXPECT_EQ(span[at].interval_us, 3000) << "marked where the counts collapsed";
    EXPECT_TRUE(marked(f.span(1), &plot::Report::saturated).empty());

    for (const auto& [us, dx, dy] : testsupport::polled(testsupport::clipping_127(), 1000))
        f.packet(2, start + last + 1'000'000 + us, dx, dy);
    const measures::Mouse& clipped = *f.feed.store().find(2);
    const std::vector<std::int64_t> saturated = marked(f.span(2), &plot::Report::saturated);
    ASSERT_TRUE(clipped.tracking.summary().saturated);
    EXPECT_EQ(saturated.size(), *clipped.tracking.summary().saturated);
    EXPECT_GT(saturated.size(), 0u);
    for (std::int64_t t : saturated)
        EXPECT_EQ(f.span(2)[f.span(2).first_at_or_after(t)].dx, 127);
}

TEST(PlotColumns, EachColumnHoldsItsReportsExtremesFoldedAtOnceOrAsTheyCome) {
    PlotFeed f;
    // A slow hand at 8 kHz: skipped polls, one-count reports, pauses.
    std::vector<testsupport::Counts> packets =
        testsupport::sensed(testsupport::slow_strokes(), 125);
    ASSERT_GT(packets.size(), 1000u);
    plot::Columns gradual;
    gradual.restart(4000);
    std::size_t fed = 0;
    for (const auto& [us, dx, dy] : packets) {
        f.packet(3, start + us, dx, dy);
        if (++fed % 97 == 0)
            gradual.fold(f.span(3), 1000);
    }
    gradual.fold(f.span(3), 1000);
    plot::Columns whole;
    whole.restart(4000);
    whole.fold(f.span(3), 1000);
    ASSERT_EQ(whole.first(), gradual.first());
    ASSERT_EQ(whole.last(), gradual.last());

    // Against the reports themselves.
    const plot::MouseSpan& span = f.span(3);
    std::size_t i = 0;
    for (std::int64_t n = whole.first(); n <= whole.last(); ++n) {
        const plot::Column& c = whole.at(n);
        const plot::Column& g = gradual.at(n);
        EXPECT_EQ(c.min_dx, g.min_dx);
        EXPECT_EQ(c.max_dy, g.max_dy);
        EXPECT_EQ(c.max_speed, g.max_speed);
        EXPECT_EQ(c.min_on, g.min_on);
        std::int32_t min_dx = std::numeric_limits<std::int32_t>::max();
        std::int32_t max_dx = std::numeric_limits<std::int32_t>::min();
        std::int32_t max_interval = 0;
        for (; i < span.size() && whole.column_of(span.time_us(i)) == n; ++i) {
            min_dx = std::min(min_dx, span[i].dx);
            max_dx = std::max(max_dx, span[i].dx);
            if (span[i].interval_us)
                max_interval = std::max(max_interval, *span[i].interval_us);
        }
        EXPECT_EQ(c.min_dx, min_dx) << "column " << n;
        EXPECT_EQ(c.max_dx, max_dx) << "column " << n;
        EXPECT_EQ(std::max(c.max_on, c.max_off), max_interval) << "column " << n;
    }
    EXPECT_EQ(i, span.size());

    // A column no report fell in holds nothing.
    plot::Columns sparse;
    sparse.restart(1000);
    PlotFeed g;
    g.packet(4, start, 3, 0);
    g.packet(4, start + 5000, -2, 0);
    sparse.fold(g.span(4), 100);
    EXPECT_EQ(sparse.last() - sparse.first(), 5);
    EXPECT_FALSE(sparse.at(sparse.first() + 2).counts);
    EXPECT_EQ(sparse.at(sparse.last()).min_dx, -2);
    EXPECT_EQ(sparse.at(sparse.last()).max_on, 5000);
}

}  // namespace
