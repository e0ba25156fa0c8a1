#include "core/runtime/Timer.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "core/runtime/ManualRuntime.hpp"

namespace noctave::runtime {
namespace {

class TimerTest : public ::testing::Test {
  protected:
    ManualRuntime runtime;
    RuntimeInstaller installer{runtime};
    int fired = 0;
};

TEST_F(TimerTest, OneShotFiresExactlyAtItsDeadlineAndOnlyOnce) {
    auto timer = Timer::oneShot(runtime.mainQueue(), 1.0, 0, [&] { ++fired; });
    runtime.advance(0.999);
    EXPECT_EQ(fired, 0);
    EXPECT_TRUE(timer->isValid());
    runtime.advance(0.001);
    EXPECT_EQ(fired, 1);
    EXPECT_FALSE(timer->isValid());
    runtime.advance(10);
    EXPECT_EQ(fired, 1);
}

TEST_F(TimerTest, RepeatingTimerKeepsItsCadence) {
    std::vector<double> at;
    auto heartbeat = Timer::repeating(runtime.mainQueue(), 0.1, 0.02,
                                      [&] { at.push_back(clock().monotonic()); });
    runtime.advance(0.35);
    ASSERT_EQ(at.size(), 3u);
    EXPECT_NEAR(at[0], 0.1, 1e-9);
    EXPECT_NEAR(at[1], 0.2, 1e-9);
    EXPECT_NEAR(at[2], 0.3, 1e-9);
    runtime.advance(100);
    EXPECT_EQ(at.size(), 1003u) << "a hundred seconds of 0.1 s ticks without drift";
}

TEST_F(TimerTest, CancelAndDestructionBeforeTheDeadlineStopTheHandlerOnAnyQueue) {
    auto queue = runtime.makeSerialQueue("noctave.gesture");
    auto cancelled = Timer::oneShot(runtime.mainQueue(), 1, 0, [&] { ++fired; });
    auto destroyed = Timer::repeating(runtime.mainQueue(), 0.5, 0, [&] { ++fired; });
    auto onWorker = Timer::repeating(*queue, 0.05, 0.005, [&] { ++fired; });
    cancelled->cancel();
    EXPECT_FALSE(cancelled->isValid());
    destroyed.reset();
    onWorker.reset();
    queue.reset();
    runtime.advance(5);
    EXPECT_EQ(fired, 0);
}

TEST_F(TimerTest, AHandlerMayDestroyItsOwnTimer) {
    std::unique_ptr<Timer> timer;
    timer = Timer::repeating(runtime.mainQueue(), 0.1, 0, [&] {
        ++fired;
        timer.reset();
    });
    runtime.advance(1);
    EXPECT_EQ(fired, 1);
    EXPECT_EQ(timer, nullptr);
}

TEST_F(TimerTest, AFiringOfADestroyedTimerNeverRunsTheTimerThatTookItsPlace) {
    // The first timer's firing is still queued when a new timer is made in its place: it must
    // not run the new handler early, and the new timer keeps its own cadence.
    std::vector<double> at;
    auto first = Timer::repeating(runtime.mainQueue(), 0.1, 0, [&] { ++fired; });
    first.reset();
    auto second =
        Timer::repeating(runtime.mainQueue(), 0.25, 0, [&] { at.push_back(clock().monotonic()); });
    runtime.advance(0.6);
    EXPECT_EQ(fired, 0);
    ASSERT_EQ(at.size(), 2u);
    EXPECT_NEAR(at[0], 0.25, 1e-9);
    EXPECT_NEAR(at[1], 0.5, 1e-9);
}

TEST(TimerTeardownTest, RuntimeTornDownWithPendingTimersRunsNothing) {
    int fired = 0;
    {
        ManualRuntime runtime;
        RuntimeInstaller installer{runtime};
        auto leaked = Timer::repeating(runtime.mainQueue(), 1, 0, [&] { ++fired; });
        auto shot = Timer::oneShot(runtime.mainQueue(), 1, 0, [&] { ++fired; });
        runtime.advance(0.5);
        // Timers destroyed first, then the runtime with their firings still on its agenda.
    }
    EXPECT_EQ(fired, 0);
}

}  // namespace
}  // namespace noctave::runtime
