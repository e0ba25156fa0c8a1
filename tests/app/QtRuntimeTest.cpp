#include <gtest/gtest.h>

#include <signal.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include <QEventLoop>

#include "app/QtRuntime.hpp"
#include "app/TerminationSignals.hpp"
#include "tests/app/ShellTest.hpp"

namespace noctave::test {
namespace {

TEST(QtMainQueueTest, JobsFromAnyThreadRunOnTheGuiThreadInDueOrderAlsoInAModalLoop) {
    ensureApplication();
    app::QtMainQueue main;
    std::vector<int> order;
    std::atomic<bool> synced{false};
    main.asyncAfter(0.2, [&] { order.push_back(3); });
    main.async([&] { order.push_back(1); });
    std::thread worker([&] {
        EXPECT_FALSE(main.isCurrent());
        main.async([&] { order.push_back(2); });
        main.sync([&] { EXPECT_TRUE(main.isCurrent()); });
        synced = true;
    });
    EXPECT_TRUE(order.empty());  // never inline
    ASSERT_TRUE(spinUntil([&] { return synced && order.size() == 3; }));
    worker.join();
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));

    // As a modal alert would: a nested loop that ends only when a later job says so.
    bool ranInside = false;
    main.async([&] {
        QEventLoop modal;
        main.asyncAfter(0.01, [&] {
            ranInside = true;
            modal.quit();
        });
        modal.exec();
    });
    ASSERT_TRUE(spinUntil([&] { return ranInside; }));
}

// Every job posted from another thread while the GUI thread drains (a wake-up pending, taken,
// or about to be re-posted) runs once, in posting order. Under ThreadSanitizer this is also the
// hand-off, many times over: what the worker wrote must be seen through our own locking.
TEST(QtMainQueueTest, AStreamOfJobsFromAnotherThreadIsNeverLostOrReordered) {
    ensureApplication();
    app::QtMainQueue main;
    constexpr int kJobs = 2000;
    std::vector<int> ran;
    std::thread worker([&] {
        for (int i = 0; i < kJobs; ++i) {
            auto payload = std::make_shared<int>(i);
            main.async([&ran, payload = std::move(payload)] { ran.push_back(*payload); });
            if (i % 64 == 0) {
                std::this_thread::yield();
            }
        }
    });
    const bool allRan = spinUntil([&] { return ran.size() == kJobs; });
    worker.join();
    ASSERT_TRUE(allRan) << ran.size() << " of " << kJobs;
    for (int i = 0; i < kJobs; ++i) {
        ASSERT_EQ(ran[i], i);
    }
}

volatile sig_atomic_t gFallbackCalls = 0;
void fallback(int) {
    gFallbackCalls = gFallbackCalls + 1;
}

// The crash-recovery handler stands in as `fallback`: the first SIGTERM must become an orderly
// quit on the event loop, a second one (the main thread wedged) must reach the fallback at once.
TEST(TerminationSignalsTest, FirstSignalQuitsInOrderASecondFallsThroughToTheEarlierHandler) {
    ensureApplication();
    struct sigaction recovery = {}, saved = {};
    recovery.sa_handler = fallback;
    sigemptyset(&recovery.sa_mask);
    ASSERT_EQ(::sigaction(SIGTERM, &recovery, &saved), 0);
    gFallbackCalls = 0;
    int quits = 0;
    {
        app::TerminationSignals installed([&quits] { ++quits; });
        ASSERT_TRUE(installed.isInstalled());
        ::raise(SIGTERM);
        EXPECT_EQ(quits, 0);  // never from inside the handler
        ASSERT_TRUE(spinUntil([&] { return quits == 1; }));
        EXPECT_EQ(gFallbackCalls, 0);
        ::raise(SIGTERM);
        EXPECT_EQ(gFallbackCalls, 1);
    }
    ::raise(SIGTERM);  // gone: the earlier handler is back in place
    EXPECT_EQ(gFallbackCalls, 2);
    EXPECT_EQ(quits, 1);
    ::sigaction(SIGTERM, &saved, nullptr);
}

}  // namespace
}  // namespace noctave::test
