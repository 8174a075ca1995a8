// The feed, the measures' one way in: what it asks of its input and when,
// and whom it tells.
#include <gtest/gtest.h>

#include <cstdint>
#include <map>
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

}  // namespace
