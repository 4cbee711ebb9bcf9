#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "platform/Executor.h"

using namespace taviro::platform;
using namespace std::chrono_literals;

namespace {

template <typename Queue>
class ExecutorQueue : public testing::Test {};
using Queues = testing::Types<SerialQueue, ConcurrentQueue>;
TYPED_TEST_SUITE(ExecutorQueue, Queues);

TYPED_TEST(ExecutorQueue, RunsEveryTaskPostedFromManyThreadsOffTheCallersThread) {
    constexpr int kThreads = 8;
    constexpr int kTasks = 50;
    std::atomic<int> ran{0};
    std::atomic<int> onCaller{0};
    auto caller = std::this_thread::get_id();
    {
        TypeParam queue;
        std::vector<std::thread> posters;
        for (int t = 0; t < kThreads; ++t) {
            posters.emplace_back([&] {
                for (int i = 0; i < kTasks; ++i) {
                    queue.post([&] {
                        onCaller += std::this_thread::get_id() == caller ? 1 : 0;
                        ++ran;
                    });
                }
            });
        }
        for (auto& poster : posters) poster.join();
    }
    EXPECT_EQ(ran, kThreads * kTasks);
    EXPECT_EQ(onCaller, 0);
}

// The destructor waits for everything posted, including what running tasks post meanwhile.
TYPED_TEST(ExecutorQueue, DestructionFinishesQueuedTasksAndTheTasksTheyPost) {
    std::atomic<int> ran{0};
    {
        TypeParam queue;
        queue.post([] { std::this_thread::sleep_for(100ms); });
        for (int i = 0; i < 20; ++i) {
            queue.post([&] {
                std::this_thread::sleep_for(1ms);
                queue.post([&] { ++ran; });
                ++ran;
            });
        }
    }
    EXPECT_EQ(ran, 40);
}

TEST(Executor, ASerialQueueRunsTasksOneAtATimeInPostingOrderOnOneThread) {
    std::vector<int> order;  // unguarded: only one task at a time may touch it
    std::atomic<int> running{0};
    std::atomic<int> overlaps{0};
    std::vector<std::thread::id> threads;
    {
        SerialQueue queue;
        for (int i = 0; i < 200; ++i) {
            queue.post([&, i] {
                if (++running > 1) ++overlaps;
                if (i % 50 == 0) std::this_thread::sleep_for(5ms);
                order.push_back(i);
                threads.push_back(std::this_thread::get_id());
                --running;
            });
        }
    }
    std::vector<int> expected(200);
    for (int i = 0; i < 200; ++i) expected[i] = i;
    EXPECT_EQ(order, expected);
    EXPECT_EQ(overlaps, 0);
    EXPECT_EQ(std::count(threads.begin(), threads.end(), threads.front()), 200);
}

TEST(Executor, AConcurrentQueueRunsTasksThatWaitForEachOther) {
    std::mutex mutex;
    std::condition_variable changed;
    int arrived = 0;
    std::atomic<int> metTheOther{0};
    auto meet = [&] {
        std::unique_lock lock(mutex);
        ++arrived;
        changed.notify_all();
        // Bounded, so that a queue running them one after the other fails instead of hanging.
        if (changed.wait_for(lock, 10s, [&] { return arrived == 2; })) ++metTheOther;
    };
    {
        ConcurrentQueue queue;
        queue.post(meet);
        queue.post(meet);
    }
    EXPECT_EQ(metTheOther, 2);
}

}  // namespace
