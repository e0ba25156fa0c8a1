// The gesture driver on real threads: its queue is a worker thread, the main queue is drained
// by the test's thread. Run under ThreadSanitizer this shows that main-thread phase changes,
// sensor reopens, deliveries and destruction never race the ticks.
#include <gtest/gtest.h>

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

TEST(GestureDriverThreaded, MainThreadCallsSensorReopensAndDestructionNeverRaceTicks) {
    runtime::ThreadedRuntime runtime;
    runtime::RuntimeInstaller runtimeInstaller{runtime};
    sim::VirtualLaptop laptop;
    os::SystemInstaller systemInstaller{laptop.system()};
    test::LogCapture log;
    auto sensor = std::make_shared<LidAngleSensor>();
    const auto mainThread = std::this_thread::get_id();
    ASSERT_TRUE(sensor->open());
    GestureDriver::Config fast;
    fast.idleInterval = 0.0005;  // ticks nearly back to back, so they overlap the calls below
    fast.activeInterval = 0.0005;
    laptop.keyboard().setFunctionHeld(true);
    int progressReports = 0;
    bool offMain = false;
    for (int round = 0; round < 3; ++round) {
        auto driver = std::make_unique<GestureDriver>(sensor, fast);
        driver->onProgress = [&](std::optional<double>) {
            offMain |= std::this_thread::get_id() != mainThread;
            ++progressReports;
        };
        driver->start();
        laptop.hinge().setAngle(110);
        laptop.hinge().moveTo(20, 0.1);
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(100);
        for (int calls = 1; std::chrono::steady_clock::now() < until; ++calls) {
            driver->noteLidClosed();
            if (calls % 50 == 0) {
                driver->setEnabled(calls % 100 != 0);
                (void)driver->isCommitted();
                laptop.hinge().failReads(calls % 12);
                sensor->open();  // a reopen while a tick may be reading
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
    EXPECT_FALSE(offMain);
    EXPECT_EQ(laptop.hinge().openDevices() + laptop.hinge().openManagers(), 2);
}

}  // namespace
}  // namespace noctave
