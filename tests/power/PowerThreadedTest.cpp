// The observers on real threads: reports come from worker threads, and stopping or destroying
// an observer while reports stream in never lets one reach it afterwards (run under the
// sanitizers, a late report would be a use after free).
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>

#include "core/os/System.hpp"
#include "core/power/DisplayObserver.hpp"
#include "core/power/LidStateObserver.hpp"
#include "core/runtime/ThreadedRuntime.hpp"
#include "platform/sim/SimPower.hpp"
#include "platform/sim/VirtualLaptop.hpp"
#include "tests/support/LogCapture.hpp"

namespace noctave {
namespace {

class PowerThreadedTest : public ::testing::Test {
  protected:
    runtime::ThreadedRuntime runtime;
    runtime::RuntimeInstaller runtimeInstaller{runtime};
    sim::VirtualLaptop laptop;
    os::SystemInstaller systemInstaller{laptop.system()};
    test::LogCapture log;
    const std::thread::id mainThread = std::this_thread::get_id();
};

TEST_F(PowerThreadedTest, LidReportsComeOffTheMainThreadAndStopAfterStop) {
    for (int round = 0; round < 200; ++round) {
        auto observer = LidStateObserver::create();
        ASSERT_TRUE(observer);
        std::atomic<int> reports{0};
        std::atomic<bool> offMain{true};
        std::atomic<bool> stopped{false};
        std::atomic<bool> lateReport{false};
        observer->onChange = [&](LidStateObserver::LidState) {
            offMain = offMain && std::this_thread::get_id() != mainThread;
            lateReport = lateReport || stopped;
            ++reports;
        };
        ASSERT_TRUE(observer->start());
        std::atomic<bool> done{false};
        std::thread noise([&] {
            // A few messages in flight at a time, so that stop() has little to wait for.
            for (int posted = 0; !done;) {
                if (posted - reports < 4) {
                    laptop.power().postInterestMessage(1);
                    ++posted;
                } else {
                    std::this_thread::yield();
                }
            }
        });
        while (reports < 3) {
            std::this_thread::yield();
        }
        observer->stop();
        stopped = true;
        observer.reset();
        done = true;
        noise.join();
        EXPECT_TRUE(offMain);
        EXPECT_FALSE(lateReport);
    }
}

TEST_F(PowerThreadedTest, DisplayChangesComeOffTheMainThreadAndStopAfterStop) {
    for (int round = 0; round < 200; ++round) {
        auto observer = std::make_unique<DisplayObserver>();
        std::atomic<int> calls{0};
        std::atomic<bool> offMain{true};
        std::atomic<bool> stopped{false};
        std::atomic<bool> lateCall{false};
        observer->onChange = [&](DisplayObserver::Phase) {
            offMain = offMain && std::this_thread::get_id() != mainThread;
            lateCall = lateCall || stopped;
            ++calls;
        };
        ASSERT_TRUE(observer->start());
        std::atomic<bool> done{false};
        std::thread monitors([&] {
            for (int expected = 0; !done;) {
                if (expected - calls < 8) {
                    laptop.power().attachExternal();
                    laptop.power().detachExternal();
                    expected += 4;
                } else {
                    std::this_thread::yield();
                }
            }
        });
        while (calls < 4) {
            std::this_thread::yield();
        }
        observer.reset();
        stopped = true;
        done = true;
        monitors.join();
        EXPECT_TRUE(offMain);
        EXPECT_FALSE(lateCall);
    }
}

}  // namespace
}  // namespace noctave
