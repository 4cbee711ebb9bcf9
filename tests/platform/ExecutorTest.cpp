#include <gtest/gtest.h>

#include <atomic>
#include <ranges>
#include <thread>

#include "platform/Executor.h"

using namespace taviro::platform;
using namespace std::chrono_literals;
using std::this_thread::sleep_for;

template <typename Queue>
class ExecutorQueue : public testing::Test {};
using Queues = testing::Types<SerialQueue, ConcurrentQueue>;
TYPED_TEST_SUITE(ExecutorQueue, Queues);

// Tasks posted from many threads, and by running tasks while the destructor already waits,
// all run before the queue is gone.
TYPED_TEST(ExecutorQueue, DestructionFinishesEveryTaskPostedFromAnyThread) {
    std::atomic<int> ran{0};
    auto count = [&] { ++ran; };
    {
        TypeParam queue;
        std::vector<std::jthread> posters;  // joined before the queue is destroyed
        for (int t = 0; t < 8; ++t) posters.emplace_back([&] {
            for (int i = 0; i < 20; ++i) queue.post([&] { sleep_for(1ms), queue.post(count), ++ran; });
        });
    }
    EXPECT_EQ(ran, 8 * 20 * 2);
}

TEST(Executor, ASerialQueueRunsTasksOneAtATimeInPostingOrder) {
    std::vector<int> ran;  // unguarded: only one task at a time may touch it
    std::atomic<int> running{0}, overlaps{0};
    {
        SerialQueue queue;
        for (int i = 0; i < 200; ++i) queue.post([&, i] {
            overlaps += ++running > 1;
            if (i % 50 == 0) sleep_for(5ms);
            ran.push_back(i), --running;
        });
    }
    EXPECT_TRUE(std::ranges::equal(ran, std::views::iota(0, 200)));
    EXPECT_EQ(overlaps, 0);
}

TEST(Executor, AConcurrentQueueRunsTasksThatWaitForEachOther) {
    std::atomic<int> arrived{0}, met{0};
    {
        ConcurrentQueue queue;
        for (int i = 0; i < 2; ++i) queue.post([&] {
            // Bounded, so that tasks run one after the other fail instead of hanging.
            for (int wait = (++arrived, 0); wait < 1000 && arrived < 2; ++wait) sleep_for(10ms);
            met += arrived == 2;
        });
    }
    EXPECT_EQ(met, 2);
}
