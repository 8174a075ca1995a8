// The feed, the measures' one way in: what it asks of its input and when,
// and whom it tells.
#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "measures/feed.h"

namespace {

// An input that answers from tables and counts what it was asked.
class TableInput final : public measures::Input {
  public:
    std::string_view name() const override { return "evdev"; }
    std::string declared_interval(measures::Handle mouse) const override {
        ++asked_declared;
        const auto found = declared.find(mouse);
        return found == declared.end() ? "" : found->second;
    }
    std::uint64_t overflows() const override {
        std::uint64_t total = 0;
        for (const auto& [mouse, count] : by_mouse)
            total += count;
        return total;
    }
    std::vector<std::pair<measures::Handle, std::uint64_t>> overflows_by_mouse() const override {
        ++asked_by_mouse;
        return by_mouse;
    }

    std::map<measures::Handle, std::string> declared;
    std::vector<std::pair<measures::Handle, std::uint64_t>> by_mouse;
    mutable int asked_declared = 0;
    mutable int asked_by_mouse = 0;
};

TEST(FeedTest, AsksItsInputOnceAMouseAndAfterABatchOnlyWhatChanged) {
    measures::Feed feed;
    int told = 0;
    feed.add_listener(&told, [&] { ++told; });
    TableInput input;
    input.declared = {{7, "1ms\n"}};
    feed.start(input);
    EXPECT_EQ(feed.resets(), 1u);
    EXPECT_EQ(told, 1) << "the measures started afresh";
    EXPECT_TRUE(feed.store().options().counts_overflows) << "on evdev's terms";

    for (std::int64_t i = 0; i < 10; ++i) {
        feed.packet({7, i * 1000});
        feed.packet({8, i * 1000, false, true});
    }
    EXPECT_EQ(told, 21) << "each packet";
    EXPECT_EQ(input.asked_declared, 2) << "once for each mouse, at its first packet";
    EXPECT_EQ(feed.store().find(7)->timing.summary().declared_interval_us, 1000);
    EXPECT_EQ(feed.store().find(8)->timing.summary().declared_interval_us, std::nullopt);
    EXPECT_EQ(feed.store().find(8)->timing.summary().background_reports, 10u);

    feed.batch_handled();
    EXPECT_EQ(input.asked_by_mouse, 0) << "nothing overflowed";
    input.by_mouse = {{7, 0}, {8, 3}};
    feed.batch_handled();
    feed.batch_handled();
    EXPECT_EQ(input.asked_by_mouse, 1) << "asked again only when the total moved";
    EXPECT_EQ(feed.store().find(8)->timing.summary().overflows, 3u);
    EXPECT_EQ(told, 22);

    // Started afresh without an input: nothing is asked any more.
    feed.reset({});
    feed.packet({9, 0});
    feed.batch_handled();
    EXPECT_EQ(feed.resets(), 2u);
    EXPECT_EQ(feed.store().size(), 1u);
    EXPECT_EQ(input.asked_declared, 2);
    EXPECT_EQ(input.asked_by_mouse, 1);
    EXPECT_FALSE(feed.store().find(9)->timing.summary().overflows) << "no kernel buffers";
}

// The check window's Reset: every measure afresh, the timing's too, each
// mouse keeping what it declares and what was set of it; overflows counted
// from the reset on.
TEST(FeedTest, ResetAllStartsEveryMeasureAfreshAndKeepsWhatWasSet) {
    measures::Feed feed;
    TableInput input;
    input.declared = {{7, "1ms"}};
    input.by_mouse = {{7, 3}};
    feed.start(input);
    feed.set_cpi_source([](measures::Handle mouse) {
        return mouse == 7 ? std::optional<double>(400) : std::nullopt;
    });
    feed.set_distance_mm(100);
    feed.start_check();
    for (std::int64_t i = 0; i < 3000; ++i) {
        // Both fast and slow by turns, together.
        const int dx = i % 40 < 20 ? 6 : 1;
        feed.packet({7,
                     i * 1000,
                     false,
                     false,
                     i % 100 == 0 ? std::uint16_t{1} : std::uint16_t{0},
                     {dx, 1, false}});
        feed.packet({8, i * 1000 + 300, false, false, 0, {dx, 1, false}});
    }
    feed.batch_handled();
    feed.set_cpi(7, 800);
    feed.set_cpi_setting(8, 1600);
    const measures::Mouse& mouse = *feed.store().find(7);
    ASSERT_EQ(mouse.timing.summary().overflows, 3u);
    ASSERT_EQ(feed.pairs()->found().size(), 1u) << "moved together";
    EXPECT_EQ(feed.cpi_setting(7), 400) << "--cpi's, while nothing was set";

    feed.reset_all();
    const measures::timing::Summary timing = mouse.timing.summary();
    EXPECT_EQ(timing.reports, 0u);
    EXPECT_EQ(timing.intervals, 0u);
    EXPECT_FALSE(timing.poll_period_us);
    EXPECT_EQ(timing.declared_interval_us, 1000) << "what it declares stays";
    EXPECT_EQ(timing.overflows, 0u);
    EXPECT_EQ(mouse.buttons.summary(measures::buttons::Button::left).presses, 0u);
    EXPECT_EQ(mouse.movement.summary().relative, 0u);
    EXPECT_EQ(mouse.strokes.summary(100).strokes, 0u);
    EXPECT_FALSE(mouse.tracking.summary().peak_cpms);
    EXPECT_EQ(mouse.tracking.cpi(), 800) << "its CPI for speed stays";
    EXPECT_EQ(feed.cpi_setting(8), 1600) << "what was typed stays";
    EXPECT_EQ(feed.distance_mm(), 100);
    EXPECT_TRUE(feed.pairs()->found().empty());

    // Measured afresh: the first packet after the reset starts a spell of
    // its own, an overflow after it counts one.
    feed.packet({7, 10'000'000});
    feed.packet({7, 10'001'000});
    EXPECT_EQ(mouse.timing.summary().reports, 2u);
    EXPECT_EQ(mouse.timing.recent().size(), 2u);
    EXPECT_EQ(mouse.timing.recent()[0].interval_us, measures::timing::no_interval);
    input.by_mouse = {{7, 4}};
    feed.batch_handled();
    EXPECT_EQ(mouse.timing.summary().overflows, 1u);

    // A start forgets what was typed.
    feed.start(input);
    EXPECT_EQ(feed.cpi_setting(8), std::nullopt);
}

}  // namespace
