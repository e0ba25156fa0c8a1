// The gesture driver on real threads: its queue is a worker thread, the main queue is drained
// by the test's thread. Run under ThreadSanitizer these show that main-thread phase changes,
// deliveries and destruction never race the ticks.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "core/gesture/GestureDriver.hpp"
#include "core/gesture/LidAngleSensor.hpp"
#include "core/os/System.hpp"
#include "core/runtime/ThreadedRuntime.hpp"
#include "platform/sim/SimHinge.hpp"
#include "platform/sim/SimKeyboard.hpp"
#include "platform/sim/VirtualLaptop.hpp"
#include "tests/support/LogCapture.hpp"

namespace noctave {
namespace {

class GestureDriverThreadedTest : public ::testing::Test {
  protected:
    runtime::ThreadedRuntime runtime;
    runtime::RuntimeInstaller runtimeInstaller{runtime};
    sim::VirtualLaptop laptop;
    os::SystemInstaller systemInstaller{laptop.system()};
    test::LogCapture log;
    std::shared_ptr<LidAngleSensor> sensor = std::make_shared<LidAngleSensor>();
    const std::thread::id mainThread = std::this_thread::get_id();
};

TEST_F(GestureDriverThreadedTest, CallbacksArriveOnTheMainThread) {
    ASSERT_TRUE(sensor->open());
    GestureDriver driver(sensor);
    int commits = 0;
    bool offMain = false;
    driver.onCommit = [&] {
        offMain |= std::this_thread::get_id() != mainThread;
        ++commits;
    };
    driver.onProgress = [&](std::optional<double>) {
        offMain |= std::this_thread::get_id() != mainThread;
    };
    driver.start();
    laptop.hinge().setAngle(110);
    laptop.keyboard().setFunctionHeld(true);
    runtime.runFor(0.2);
    laptop.hinge().moveTo(20, 0.3);
    EXPECT_TRUE(runtime.runUntil([&] { return commits == 1; }, 5.0));
    EXPECT_FALSE(offMain);
    EXPECT_TRUE(driver.isCommitted());
    driver.noteLidClosed();
    EXPECT_FALSE(driver.isCommitted());
}

TEST_F(GestureDriverThreadedTest, MainThreadCallsAndDestructionNeverRaceTicks) {
    ASSERT_TRUE(sensor->open());
    GestureDriver::Config fast;
    fast.idleInterval = 0.0005;  // ticks nearly back to back, so they overlap the calls below
    fast.activeInterval = 0.0005;
    laptop.keyboard().setFunctionHeld(true);
    int progressReports = 0;
    for (int round = 0; round < 3; ++round) {
        auto driver = std::make_unique<GestureDriver>(sensor, fast);
        driver->onProgress = [&](std::optional<double>) { ++progressReports; };
        driver->start();
        laptop.hinge().setAngle(110);
        laptop.hinge().moveTo(20, 0.1);
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(100);
        int calls = 0;
        while (std::chrono::steady_clock::now() < until) {
            driver->noteLidClosed();
            driver->resetToIdle();
            if (++calls % 50 == 0) {
                driver->setEnabled(calls % 100 != 0);
                (void)driver->isCommitted();
                runtime.runFor(0);
            }
        }
        driver->abort();
        driver->beginPractice();
        driver->endPractice();
        driver.reset();  // while ticks are still running
        runtime.runFor(0.002);
    }
    EXPECT_GT(progressReports, 0);
}

TEST_F(GestureDriverThreadedTest, SensorReopensWhileAnotherThreadReads) {
    ASSERT_TRUE(sensor->open());
    std::atomic<bool> done{false};
    std::thread reader([&] {
        while (!done.load()) {
            (void)sensor->angle();
        }
    });
    for (int i = 0; i < 200; ++i) {
        laptop.hinge().failReads(i % 12);
        if (i % 5 == 0) {
            sensor->close();
        }
        sensor->open();
    }
    done = true;
    reader.join();
    EXPECT_TRUE(sensor->isAvailable());
    EXPECT_EQ(laptop.hinge().openDevices(), 1);
    EXPECT_EQ(laptop.hinge().openManagers(), 1);
}

}  // namespace
}  // namespace noctave
