#include "core/power/LidStateObserver.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "core/os/System.hpp"
#include "core/power/DisplayObserver.hpp"
#include "core/power/PowerSourceMonitor.hpp"
#include "core/runtime/Queue.hpp"
#include "core/runtime/Runtime.hpp"
#include "core/runtime/ThreadedRuntime.hpp"
#include "platform/sim/SimKernel.hpp"
#include "platform/sim/SimPower.hpp"
#include "platform/sim/VirtualLaptop.hpp"
#include "tests/support/LogCapture.hpp"
#include "tests/support/SimTest.hpp"

namespace noctave {
namespace {

using LidState = LidStateObserver::LidState;
using Snapshot = PowerSourceMonitor::Snapshot;
using Source = os::PowerSources::SourceDescription;
using sim::SimPower;

class LidStateObserverTest : public test::SimTest {
  protected:
    SimPower& power = laptop.power();
};

TEST_F(LidStateObserverTest, ReportsTheClamshellOnEveryMessageOfTheDomainFromStartToStop) {
    auto observer = LidStateObserver::create();
    ASSERT_TRUE(observer);
    std::vector<LidState> reports;
    observer->onChange = [&](LidState state) {
        EXPECT_TRUE(observer->queue().isCurrent());
        EXPECT_FALSE(runtime::mainQueue().isCurrent());
        reports.push_back(state);
    };
    power.setFailNotificationPort(true);
    EXPECT_FALSE(observer->start());
    power.setFailNotificationPort(false);
    power.setFailInterestRegistration(sim::SimKernel::kNoResources);
    EXPECT_FALSE(observer->start());
    power.setFailInterestRegistration(std::nullopt);
    EXPECT_EQ(power.interestRegistrations(), 0);
    EXPECT_EQ(observer->currentState(), LidState::open) << "polled without a start";
    ASSERT_TRUE(observer->start()) << "a failed start leaves it startable";
    EXPECT_FALSE(observer->start());
    power.closeLid();
    runUntilIdle();
    power.postInterestMessage(0xE0000280);  // about something else: still a report
    runUntilIdle();
    power.setLid(SimPower::Lid::absent);  // a desktop
    runUntilIdle();
    EXPECT_EQ(reports,
              (std::vector<LidState>{LidState::closed, LidState::closed, LidState::unknown}));
    power.setLid(SimPower::Lid::unknown);  // present, but not a number
    EXPECT_EQ(observer->currentState(), LidState::unknown);

    power.setLid(SimPower::Lid::open);
    power.closeLid();
    observer->stop();
    runUntilIdle();
    EXPECT_EQ(reports.size(), 3u) << "a message already queued is dropped after stop";
    EXPECT_EQ(power.interestRegistrations(), 0);
    EXPECT_EQ(observer->currentState(), LidState::unknown);
    EXPECT_FALSE(observer->start()) << "stopped for good";
    observer->stop();
    observer.reset();
    EXPECT_EQ(power.heldServices(), 0);
    EXPECT_TRUE(log.lines().empty());

    power.setRootDomainPresent(false);
    EXPECT_EQ(LidStateObserver::create(), nullptr);
}

using PowerSourceMonitorTest = LidStateObserverTest;

TEST_F(PowerSourceMonitorTest, PercentIsTruncatedFromTheFirstUsableSource) {
    const struct {
        std::vector<std::optional<Source>> sources;
        std::optional<int> percent;
    } cases[] = {
        {{Source{2, 3}}, 66},  // truncated, not rounded
        {{Source{249, 250}}, 99},
        // Exact in integers, one short through a floating-point ratio.
        {{Source{29, 100}}, 29},
        {{Source{57, 100}}, 57},
        {{Source{58, 100}}, 58},
        // Unusable sources are skipped: missing maximum, maximum 0, not a dictionary.
        {{Source{40, std::nullopt}, Source{10, 0}, std::nullopt, Source{50, 100}}, 50},
        {{Source{std::nullopt, 100}, Source{7, -1}}, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.percent.value_or(-1));
        power.setPowerSources(c.sources);
        EXPECT_EQ(PowerSourceMonitor::batteryPercent(), c.percent);
    }

    power.setBatteryPercent(80);
    power.setOnBattery(true);
    EXPECT_EQ(PowerSourceMonitor::snapshot(), (Snapshot{true, 80}));
    power.setProvidingTypeOverride("UPS Power");
    EXPECT_FALSE(PowerSourceMonitor::snapshot().onBattery);
    power.setPowerInfoAvailable(false);
    EXPECT_EQ(PowerSourceMonitor::snapshot(), (Snapshot{false, std::nullopt}));
}

TEST_F(PowerSourceMonitorTest, FlipsAreReportedOnceOnTheMainQueueAndNothingAfterTheEnd) {
    power.setFailPowerNotifications(true);
    EXPECT_FALSE(PowerSourceMonitor().start());
    EXPECT_EQ(power.powerNotificationSources(), 0);
    power.setFailPowerNotifications(false);
    power.setOnBattery(true);  // before the start: not a flip
    runUntilIdle();

    auto monitor = std::make_unique<PowerSourceMonitor>();
    std::vector<Snapshot> levels;
    std::vector<bool> flips;
    monitor->onLevel = [&](const Snapshot& snapshot) {
        EXPECT_TRUE(runtime::mainQueue().isCurrent());
        levels.push_back(snapshot);
    };
    monitor->onPowerSourceChanged = [&](bool onBattery) { flips.push_back(onBattery); };
    ASSERT_TRUE(monitor->start());
    ASSERT_TRUE(monitor->start());
    EXPECT_EQ(power.powerNotificationSources(), 1);
    power.notifyPowerSources();
    runUntilIdle();
    power.setOnBattery(false);
    runUntilIdle();
    power.setBatteryPercent(93);
    power.setOnBattery(true);
    runUntilIdle();
    EXPECT_EQ(levels.size(), 4u);
    EXPECT_EQ(levels.back(), (Snapshot{true, 93}));
    EXPECT_EQ(flips, (std::vector<bool>{false, true}));
    EXPECT_EQ(log.lines(), (std::vector<std::string>{"INF power source changed: AC",
                                                     "INF power source changed: battery"}));

    power.setOnBattery(false);  // queued, then the monitor goes
    monitor.reset();
    runUntilIdle();
    EXPECT_EQ(levels.size(), 4u);
    EXPECT_EQ(power.powerNotificationSources(), 0);
}

// The observers on real threads: reports come from worker threads, and stopping and destroying
// an observer while reports stream in never lets one reach it afterwards (run under the sanitizers,
// a late report would be a use after free).

class PowerThreadedTest : public ::testing::Test {
  protected:
    // Starts `observer`, keeps a few reports in flight from another thread (each `poke` causes
    // `perPoke` of them), and stops and destroys the observer mid-stream; 200 rounds.
    template <typename Observer>
    void stopWhileReporting(const std::function<std::unique_ptr<Observer>()>& make,
                            const std::function<void()>& poke, int perPoke) {
        for (int round = 0; round < 200; ++round) {
            auto observer = make();
            ASSERT_TRUE(observer);
            std::atomic<int> reports{0};
            std::atomic<bool> offMain{true};
            std::atomic<bool> stopped{false};
            std::atomic<bool> lateReport{false};
            observer->onChange = [&](auto) {
                offMain = offMain && std::this_thread::get_id() != mainThread;
                lateReport = lateReport || stopped;
                ++reports;
            };
            ASSERT_TRUE(observer->start());
            std::atomic<bool> done{false};
            std::thread noise([&] {
                // Only a few in flight, so that the teardown has little to wait for.
                for (int expected = 0; !done;) {
                    if (expected - reports < 2 * perPoke + 2) {
                        poke();
                        expected += perPoke;
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

    runtime::ThreadedRuntime runtime;
    runtime::RuntimeInstaller runtimeInstaller{runtime};
    sim::VirtualLaptop laptop;
    os::SystemInstaller systemInstaller{laptop.system()};
    test::LogCapture log;
    const std::thread::id mainThread = std::this_thread::get_id();
};

TEST_F(PowerThreadedTest, LidObserverTornDownWhileReporting) {
    stopWhileReporting<LidStateObserver>([] { return LidStateObserver::create(); },
                                         [this] { laptop.power().postInterestMessage(1); }, 1);
}

TEST_F(PowerThreadedTest, DisplayObserverTornDownWhileReporting) {
    stopWhileReporting<DisplayObserver>([] { return std::make_unique<DisplayObserver>(); },
                                        [this] {
                                            laptop.power().attachExternal();
                                            laptop.power().detachExternal();
                                        },
                                        4);
}

}  // namespace
}  // namespace noctave
