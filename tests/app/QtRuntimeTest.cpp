#include <gtest/gtest.h>

#include <signal.h>

#include <atomic>
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
