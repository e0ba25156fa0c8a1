#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include "app/QtRuntime.hpp"
#include "core/runtime/Timer.hpp"
#include "tests/app/ShellTest.hpp"

namespace noctave::test {
namespace {

class QtRuntimeTest : public ::testing::Test {
  protected:
    QtRuntimeTest() { ensureApplication(); }

    // Spins the event loop until `done` or a generous deadline.
    bool spinUntil(const std::function<bool()>& done) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!done() && std::chrono::steady_clock::now() < deadline) {
            QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents,
                                            20);
        }
        return done();
    }

    app::QtRuntime runtime;
    runtime::RuntimeInstaller installer{runtime};
};

TEST_F(QtRuntimeTest, JobsFromAnyThreadRunOnTheGuiThreadInDueOrder) {
    auto& main = runtime.mainQueue();
    std::vector<int> order;
    std::atomic<bool> offMainSaysCurrent{true};
    main.asyncAfter(0.05, [&] { order.push_back(3); });
    main.async([&] { order.push_back(1); });
    std::thread worker([&] {
        offMainSaysCurrent = main.isCurrent();
        main.async([&] {
            EXPECT_TRUE(main.isCurrent());
            order.push_back(2);
        });
    });
    worker.join();
    EXPECT_TRUE(main.isCurrent());
    EXPECT_FALSE(offMainSaysCurrent);
    EXPECT_TRUE(order.empty());  // never inline
    ASSERT_TRUE(spinUntil([&] { return order.size() == 3; }));
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
}

TEST_F(QtRuntimeTest, MainQueueKeepsRunningInsideANestedModalLoop) {
    auto& main = runtime.mainQueue();
    bool ranInside = false;
    main.async([&] {
        // As a modal alert would: a nested loop that ends only when a later job says so.
        QEventLoop modal;
        main.asyncAfter(0.01, [&] {
            ranInside = true;
            modal.quit();
        });
        modal.exec();
    });
    ASSERT_TRUE(spinUntil([&] { return ranInside; }));
}

TEST_F(QtRuntimeTest, SyncFromAWorkerWaitsForTheGuiThreadAndTimersRepeat) {
    auto& main = runtime.mainQueue();
    std::atomic<bool> synced{false};
    std::thread worker([&] {
        main.sync([&] { EXPECT_TRUE(main.isCurrent()); });
        synced = true;
    });
    ASSERT_TRUE(spinUntil([&] { return synced.load(); }));
    worker.join();

    int fired = 0;
    auto timer = runtime::Timer::repeating(main, 0.01, 0, [&] { ++fired; });
    ASSERT_TRUE(spinUntil([&] { return fired >= 3; }));
    timer.reset();
    const int afterCancel = fired;
    runtime.runFor(0.05);
    EXPECT_EQ(fired, afterCancel);
}

TEST(QtMainQueueLifetime, PendingJobsAreDroppedWithTheQueue) {
    ensureApplication();
    bool ran = false;
    {
        app::QtMainQueue queue;
        queue.async([&] { ran = true; });
        queue.asyncAfter(0.01, [&] { ran = true; });
    }
    QEventLoop loop;
    QTimer::singleShot(50, &loop, &QEventLoop::quit);
    loop.exec();
    EXPECT_FALSE(ran);
}

}  // namespace
}  // namespace noctave::test
