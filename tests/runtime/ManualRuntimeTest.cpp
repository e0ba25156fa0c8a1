#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/runtime/ManualRuntime.hpp"

namespace noctave::runtime {
namespace {

class ManualRuntimeTest : public ::testing::Test {
  protected:
    ManualRuntime runtime;
    RuntimeInstaller installer{runtime};
    std::vector<std::string> order;
};

TEST_F(ManualRuntimeTest, RunsJobsAcrossQueuesInDueOrderWithTiesInPostingOrder) {
    auto gesture = runtime.makeSerialQueue("noctave.gesture");
    runtime.mainQueue().asyncAfter(0.2, [&] { order.push_back("main@0.2"); });
    gesture->asyncAfter(0.1, [&] { order.push_back("gesture@0.1"); });
    gesture->async([&] { order.push_back("gesture@0 first"); });
    runtime.mainQueue().async([&] { order.push_back("main@0 second"); });
    gesture->asyncAfter(0.2, [&] { order.push_back("gesture@0.2"); });

    runtime.advance(1.0);

    EXPECT_EQ(order, (std::vector<std::string>{"gesture@0 first", "main@0 second", "gesture@0.1",
                                               "main@0.2", "gesture@0.2"}));
    EXPECT_DOUBLE_EQ(runtime.now(), 1.0);
}

TEST_F(ManualRuntimeTest, RunUntilIdleRunsWhatIsDueNowWithFollowUpsAndNothingOfADroppedQueue) {
    auto dropped = runtime.makeSerialQueue("short-lived");
    dropped->async([&] { order.push_back("dropped"); });
    dropped.reset();
    runtime.mainQueue().async([&] {
        order.push_back("a");
        runtime.mainQueue().async([&] { order.push_back("b"); });
    });
    runtime.mainQueue().asyncAfter(0.001, [&] { order.push_back("later"); });
    runtime.runUntilIdle();
    EXPECT_EQ(order, (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(runtime.pendingCount(), 1u);
}

TEST_F(ManualRuntimeTest, RunUntilStopsAtTheConditionOrTheLimit) {
    int ticks = 0;
    std::function<void()> tick = [&] {
        ++ticks;
        runtime.mainQueue().asyncAfter(1, tick);
    };
    runtime.mainQueue().async(tick);
    EXPECT_TRUE(runtime.runUntil([&] { return ticks == 3; }, 100));
    EXPECT_DOUBLE_EQ(runtime.now(), 2.0);
    EXPECT_FALSE(runtime.runUntil([] { return false; }, 10.5));
    EXPECT_DOUBLE_EQ(runtime.now(), 12.5);
}

// As on a real serial queue: a sync job waits for the jobs already queued there, and only those.
TEST_F(ManualRuntimeTest, SyncRunsAfterWhatIsAlreadyQueuedOnItsQueue) {
    auto log = runtime.makeSerialQueue("noctave.log");
    auto other = runtime.makeSerialQueue("other");
    log->async([&] {
        order.push_back("log first");
        log->async([&] { order.push_back("log posted by the first"); });
    });
    other->async([&] { order.push_back("other"); });
    log->asyncAfter(1, [&] { order.push_back("log later"); });
    log->async([&] { order.push_back("log second"); });
    log->sync([&] {
        order.push_back("sync");
        log->sync([&] { order.push_back("nested sync"); });  // from inside: at once
    });
    EXPECT_EQ(order, (std::vector<std::string>{"log first", "log second", "sync", "nested sync"}));
    runtime.advance(1);
    EXPECT_EQ(order.size(), 7u);
}

}  // namespace
}  // namespace noctave::runtime
