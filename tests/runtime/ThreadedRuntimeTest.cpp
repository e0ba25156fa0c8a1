// The real runtime: worker threads and a run loop. These tests wait on conditions, never on
// sleeps, and are part of the ThreadSanitizer run.
#include "core/runtime/ThreadedRuntime.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>
#include <vector>

#include "core/runtime/Timer.hpp"

namespace noctave::runtime {
namespace {

TEST(ThreadedRuntimeTest, SerialQueueRunsJobsOneAtATimeInOrder) {
    ThreadedRuntime runtime;
    RuntimeInstaller installer{runtime};
    auto queue = runtime.makeSerialQueue("noctave.test");
    std::vector<int> order;  // touched only by the queue's jobs
    std::atomic<int> concurrent{0};
    bool overlapped = false;
    std::vector<std::thread> posters;
    for (int t = 0; t < 4; ++t) {
        posters.emplace_back([&, t] {
            for (int i = 0; i < 250; ++i) {
                queue->async([&, t, i] {
                    if (concurrent.fetch_add(1) != 0) {
                        overlapped = true;
                    }
                    order.push_back(t * 1000 + i);
                    concurrent.fetch_sub(1);
                });
            }
        });
    }
    for (auto& poster : posters) {
        poster.join();
    }
    queue->sync([] {});
    EXPECT_FALSE(overlapped);
    ASSERT_EQ(order.size(), 1000u);
    // Each poster's jobs keep their own order.
    std::vector<int> last(4, -1);
    for (int value : order) {
        EXPECT_GT(value % 1000, last[value / 1000]);
        last[value / 1000] = value % 1000;
    }
}

TEST(ThreadedRuntimeTest, IsCurrentOnlyOnTheQueuesOwnThreadAndAWorkerPostsBackToTheMainLoop) {
    ThreadedRuntime runtime;
    RuntimeInstaller installer{runtime};
    auto queue = runtime.makeSerialQueue("noctave.test");
    EXPECT_TRUE(runtime.mainQueue().isCurrent());
    EXPECT_FALSE(queue->isCurrent());
    bool onQueue = false;
    bool mainFromQueue = true;
    std::thread::id ranOn;
    bool done = false;
    queue->async([&] {
        onQueue = queue->isCurrent();
        mainFromQueue = runtime.mainQueue().isCurrent();
        runtime.mainQueue().async([&] {
            ranOn = std::this_thread::get_id();
            done = true;
        });
    });
    EXPECT_TRUE(runtime.runUntil([&] { return done; }, 10));
    EXPECT_TRUE(onQueue);
    EXPECT_FALSE(mainFromQueue);
    EXPECT_EQ(ranOn, std::this_thread::get_id());
}

TEST(ThreadedRuntimeTest, RepeatingTimerOnAWorkerStopsWhenCancelledFromTheMainThread) {
    ThreadedRuntime runtime;
    RuntimeInstaller installer{runtime};
    auto queue = runtime.makeSerialQueue("noctave.gesture");
    std::atomic<int> fired{0};
    std::promise<void> threeTicks;
    auto timer = Timer::repeating(*queue, 0.001, 0.0005, [&] {
        if (fired.fetch_add(1) + 1 == 3) {
            threeTicks.set_value();
        }
    });
    threeTicks.get_future().wait();
    timer->cancel();
    const int atCancel = fired.load();
    queue->sync([] {});  // any firing that was already queued has run its check by now
    queue->sync([] {});
    EXPECT_EQ(fired.load(), atCancel);
}

TEST(ThreadedRuntimeTest, QueueReleasedFromItsOwnJobShutsDownCleanly) {
    ThreadedRuntime runtime;
    RuntimeInstaller installer{runtime};
    for (int round = 0; round < 50; ++round) {
        auto queue = runtime.makeSerialQueue("noctave.self");
        std::promise<void> released;
        // Whichever side lets go last destroys the queue: the main thread (join) or the
        // queue's own job (the worker detaches itself).
        queue->async([holder = queue, &released]() mutable {
            holder.reset();
            released.set_value();
        });
        queue.reset();
        released.get_future().wait();
    }
}

}  // namespace
}  // namespace noctave::runtime
