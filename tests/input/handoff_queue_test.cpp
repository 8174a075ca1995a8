// The queue between a producing thread and the GUI thread: order, the wake-up
// signal, blocking while full, and closing, with real threads.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <set>
#include <thread>
#include <vector>

#include "platform/input/handoff_queue.h"

namespace {

using input::HandoffQueue;
using Pushed = HandoffQueue<int>::Pushed;

constexpr auto deadline = std::chrono::seconds(10);

TEST(HandoffQueue, OnlyThePushIntoAnEmptyQueueAsksForAWakeUp) {
    HandoffQueue<int> queue;
    EXPECT_EQ(queue.push(1), Pushed::first);
    EXPECT_EQ(queue.push(2), Pushed::queued);
    std::vector<int> taken;
    EXPECT_EQ(queue.take_all(taken), 2u);
    EXPECT_EQ(taken, (std::vector<int>{1, 2}));
    EXPECT_EQ(queue.take_all(taken), 0u);
    EXPECT_TRUE(taken.empty()) << "cleared, not appended to";
    EXPECT_EQ(queue.push(3), Pushed::first) << "empty again";
}

// Steady traffic trades the same two buffers back and forth.
TEST(HandoffQueue, TakingTradesBuffersInsteadOfAllocating) {
    HandoffQueue<int> queue;
    std::vector<int> taken;
    std::set<const int*> buffers;
    for (int round = 0; round < 8; ++round) {
        for (int i = 0; i < 100; ++i)
            queue.push(i);
        queue.take_all(taken);
        ASSERT_EQ(taken.size(), 100u);
        if (round >= 2)  // once both buffers have grown
            buffers.insert(taken.data());
    }
    EXPECT_EQ(buffers.size(), 2u);
}

// Many items from another thread arrive whole and in order, and every item
// pushed is either taken after a wake-up was asked for, or taken with one.
TEST(HandoffQueue, ItemsFromAnotherThreadArriveInOrder) {
    HandoffQueue<int> queue;
    constexpr int count = 200'000;
    std::atomic<int> wakeups{0};
    std::thread producer([&] {
        for (int i = 0; i < count; ++i) {
            if (queue.push(i) == Pushed::first)
                ++wakeups;
        }
    });
    std::vector<int> all;
    std::vector<int> taken;
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (all.size() < count && std::chrono::steady_clock::now() < end) {
        queue.take_all(taken);
        all.insert(all.end(), taken.begin(), taken.end());
    }
    producer.join();
    ASSERT_EQ(all.size(), std::size_t{count});
    for (int i = 0; i < count; ++i)
        ASSERT_EQ(all[i], i);
    EXPECT_GE(wakeups.load(), 1);
    EXPECT_LE(wakeups.load(), count);
}

// However fast the producer, a bounded queue never holds more than its
// capacity: the producer waits for the consumer.
TEST(HandoffQueue, ABoundedQueueHoldsNoMoreThanItsCapacity) {
    HandoffQueue<int> queue(3);
    EXPECT_EQ(queue.capacity(), 3u);
    constexpr int count = 20'000;
    std::thread producer([&] {
        for (int i = 0; i < count; ++i)
            queue.push(i);
    });
    std::vector<int> taken;
    std::size_t most = 0;
    int next = 0;
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (next < count && std::chrono::steady_clock::now() < end) {
        queue.take_all(taken);
        most = std::max(most, taken.size());
        for (int item : taken)
            ASSERT_EQ(item, next++);
    }
    producer.join();
    EXPECT_EQ(next, count);
    EXPECT_LE(most, 3u);
    EXPECT_GE(most, 1u);
}

TEST(HandoffQueue, ClosingReleasesABlockedProducerAndRefusesLaterItems) {
    HandoffQueue<int> queue(1);
    queue.push(1);
    auto blocked = std::async(std::launch::async, [&] { return queue.push(2); });
    queue.close();
    ASSERT_EQ(blocked.wait_for(deadline), std::future_status::ready);
    EXPECT_EQ(blocked.get(), Pushed::closed);
    EXPECT_EQ(queue.push(3), Pushed::closed);
    std::vector<int> taken;
    queue.take_all(taken);
    EXPECT_EQ(taken, std::vector<int>{1}) << "what was queued can still be taken";
}

}  // namespace
