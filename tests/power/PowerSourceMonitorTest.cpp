#include "core/power/PowerSourceMonitor.hpp"

#include <gtest/gtest.h>

#include <vector>

#include "core/runtime/Runtime.hpp"
#include "platform/sim/SimPower.hpp"
#include "tests/support/SimTest.hpp"

namespace noctave {
namespace {

using Snapshot = PowerSourceMonitor::Snapshot;
using Source = os::PowerSources::SourceDescription;

class PowerSourceMonitorTest : public test::SimTest {
  protected:
    sim::SimPower& power = laptop.power();
};

TEST_F(PowerSourceMonitorTest, SnapshotReadsProvidingSourceAndFirstUsableCapacity) {
    power.setBatteryPercent(80);
    EXPECT_EQ(PowerSourceMonitor::snapshot(), (Snapshot{false, 80}));

    power.setPowerSources({Source{2, 3}});
    EXPECT_EQ(PowerSourceMonitor::batteryPercent(), 66) << "truncated, not rounded";
    power.setPowerSources({Source{249, 250}});
    EXPECT_EQ(PowerSourceMonitor::batteryPercent(), 99);
    for (const int percent : {29, 57, 58}) {
        power.setBatteryPercent(percent);
        EXPECT_EQ(PowerSourceMonitor::batteryPercent(), percent) << "no rounding error below it";
    }

    // Unusable sources are skipped: missing maximum, maximum 0, not a dictionary.
    power.setPowerSources({Source{40, std::nullopt}, Source{10, 0}, std::nullopt, Source{50, 100}});
    EXPECT_EQ(PowerSourceMonitor::batteryPercent(), 50);
    power.setPowerSources({Source{std::nullopt, 100}, Source{7, -1}});
    EXPECT_EQ(PowerSourceMonitor::batteryPercent(), std::nullopt);
    power.setPowerSources({});
    EXPECT_EQ(PowerSourceMonitor::batteryPercent(), std::nullopt);
    power.setPowerSources({Source{120, 100}});
    EXPECT_EQ(PowerSourceMonitor::batteryPercent(), 120) << "not clamped";

    power.setOnBattery(true);
    EXPECT_TRUE(PowerSourceMonitor::snapshot().onBattery);
    power.setPowerInfoAvailable(false);
    EXPECT_EQ(PowerSourceMonitor::snapshot(), (Snapshot{false, std::nullopt}));
    power.setPowerInfoAvailable(true);
    power.setProvidingTypeOverride("UPS Power");
    EXPECT_FALSE(PowerSourceMonitor::snapshot().onBattery);
}

TEST_F(PowerSourceMonitorTest, UnpluggingReportsLevelFlipAndLogOnceOnTheMainQueue) {
    PowerSourceMonitor monitor;
    std::vector<Snapshot> levels;
    std::vector<bool> flips;
    monitor.onLevel = [&](const Snapshot& snapshot) {
        EXPECT_TRUE(runtime::mainQueue().isCurrent());
        levels.push_back(snapshot);
    };
    monitor.onPowerSourceChanged = [&](bool onBattery) { flips.push_back(onBattery); };
    ASSERT_TRUE(monitor.start());
    ASSERT_TRUE(monitor.start());
    EXPECT_EQ(power.powerNotificationSources(), 1);

    power.notifyPowerSources();
    runUntilIdle();
    EXPECT_EQ(levels.size(), 1u);
    EXPECT_TRUE(flips.empty()) << "the start-time source is not a flip";

    power.setOnBattery(true);
    runUntilIdle();
    EXPECT_EQ(levels.size(), 2u);
    EXPECT_EQ(flips, std::vector<bool>{true});
    EXPECT_EQ(log.lines(), std::vector<std::string>{"INF power source changed: battery"});

    power.setBatteryPercent(93);
    runUntilIdle();
    EXPECT_EQ(levels.back(), (Snapshot{true, 93}));
    EXPECT_EQ(flips.size(), 1u);

    power.setOnBattery(false);
    runUntilIdle();
    EXPECT_EQ(flips, (std::vector<bool>{true, false}));
    EXPECT_TRUE(log.contains("power source changed: AC"));
}

TEST_F(PowerSourceMonitorTest, StartIsSeededSoAnEarlierFlipIsNotReportedTwice) {
    PowerSourceMonitor monitor;
    int flips = 0;
    monitor.onPowerSourceChanged = [&](bool) { ++flips; };
    power.setOnBattery(true);
    runUntilIdle();
    ASSERT_TRUE(monitor.start());
    power.notifyPowerSources();
    runUntilIdle();
    EXPECT_EQ(flips, 0);
}

TEST_F(PowerSourceMonitorTest, StopAndFailedStartDeliverNothing) {
    power.setFailPowerNotifications(true);
    PowerSourceMonitor failed;
    int calls = 0;
    failed.onLevel = [&](const Snapshot&) { ++calls; };
    EXPECT_FALSE(failed.start());
    power.setFailPowerNotifications(false);

    auto monitor = std::make_unique<PowerSourceMonitor>();
    monitor->onLevel = [&](const Snapshot&) { ++calls; };
    ASSERT_TRUE(monitor->start());
    power.setOnBattery(true);  // queued, then the monitor goes
    monitor.reset();
    runUntilIdle();
    EXPECT_EQ(calls, 0);
    EXPECT_EQ(power.powerNotificationSources(), 0);
    EXPECT_TRUE(log.lines().empty());
}

}  // namespace
}  // namespace noctave
