#include "core/gesture/LidAngleSensor.hpp"

#include <gtest/gtest.h>

#include "platform/sim/SimHinge.hpp"
#include "tests/support/SimTest.hpp"

namespace noctave {
namespace {

using sim::SimHinge;

class LidAngleSensorTest : public test::SimTest {
  protected:
    SimHinge& hinge() { return laptop.hinge(); }
    void readTimes(int count) {
        for (int i = 0; i < count; ++i) {
            EXPECT_EQ(sensor.angle(), std::nullopt);
        }
    }
    LidAngleSensor sensor;
};

TEST_F(LidAngleSensorTest, DecodesTheAngleAndCountsFailuresUntilAGoodRead) {
    ASSERT_TRUE(sensor.open());
    for (double degrees : {90.0, 300.0, 1.0, 359.0}) {  // 300 is 0x2C 0x01: the high byte counts
        hinge().setAngle(degrees);
        EXPECT_EQ(sensor.angle(), degrees);
    }
    hinge().setAngle(360);
    EXPECT_EQ(sensor.angle(), std::nullopt);

    hinge().failReads(5, SimHinge::Failure::status);
    readTimes(5);
    hinge().failReads(4, SimHinge::Failure::shortReport);
    readTimes(4);
    EXPECT_EQ(sensor.consecutiveFailures(), 9);
    // "No reading" is still a good read: it clears the count.
    hinge().setAngle(0);
    EXPECT_EQ(sensor.angle(), std::nullopt);
    EXPECT_EQ(sensor.consecutiveFailures(), 0);
    EXPECT_EQ(hinge().deviceOpens(), 1);
}

TEST_F(LidAngleSensorTest, TenFailuresInARowReopenAndAFailedReopenLeavesNothingOpen) {
    ASSERT_TRUE(sensor.open());
    hinge().setAngle(100);
    hinge().failReads(10);
    log.clear();
    readTimes(9);
    EXPECT_TRUE(log.lines().empty());
    readTimes(1);
    EXPECT_EQ(log.lines(), (std::vector<std::string>{
                               "WRN lid-angle sensor reads failing repeatedly; attempting reopen",
                               "INF lid-angle sensor opened",
                               "INF lid-angle sensor recovered",
                           }));
    EXPECT_EQ(hinge().deviceOpens(), 2);
    EXPECT_EQ(hinge().openDevices(), 1);
    EXPECT_EQ(sensor.angle(), 100.0);

    // Unplugged: every read fails, the reopen finds nothing and the sensor stops reading.
    hinge().setSensor(SimHinge::Sensor::absent);
    log.clear();
    readTimes(10);
    EXPECT_EQ(log.lines(), (std::vector<std::string>{
                               "WRN lid-angle sensor reads failing repeatedly; attempting reopen",
                               "INF lid-angle sensor not present on this Mac; tilt gesture "
                               "unavailable",
                           }));
    EXPECT_EQ(hinge().openDevices() + hinge().openManagers(), 0);
    const int reads = hinge().reportReads();
    readTimes(20);
    EXPECT_EQ(hinge().reportReads(), reads);
    EXPECT_EQ(log.lines().size(), 2U);

    hinge().setSensor(SimHinge::Sensor::unopenable);
    EXPECT_FALSE(sensor.open());
    EXPECT_EQ(log.lines().back(), "WRN lid-angle sensor found but could not be opened");
    EXPECT_EQ(hinge().openManagers(), 0);
    hinge().setSensor(SimHinge::Sensor::present);
    EXPECT_TRUE(sensor.open());
    EXPECT_TRUE(sensor.open());  // reopening releases the first device and manager
    EXPECT_EQ(hinge().openDevices() + hinge().openManagers(), 2);
}

}  // namespace
}  // namespace noctave
