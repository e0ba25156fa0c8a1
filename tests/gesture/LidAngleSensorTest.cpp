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
    LidAngleSensor sensor;
};

TEST_F(LidAngleSensorTest, DecodesTheLittleEndianAngleAndRejectsNoReading) {
    ASSERT_TRUE(sensor.open());
    EXPECT_TRUE(log.contains("lid-angle sensor opened"));

    hinge().setAngle(90);
    EXPECT_EQ(sensor.angle(), 90.0);
    hinge().setAngle(300);  // 0x2C 0x01: the high byte matters
    EXPECT_EQ(sensor.angle(), 300.0);
    hinge().setAngle(1);
    EXPECT_EQ(sensor.angle(), 1.0);
    hinge().setAngle(359);
    EXPECT_EQ(sensor.angle(), 359.0);
    hinge().setAngle(360);
    EXPECT_EQ(sensor.angle(), std::nullopt);

    // 0 degrees is "no reading", but still a good read: it clears the failure count.
    hinge().failReads(4);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(sensor.angle(), std::nullopt);
    }
    EXPECT_EQ(sensor.consecutiveFailures(), 4);
    hinge().setAngle(0);
    EXPECT_EQ(sensor.angle(), std::nullopt);
    EXPECT_EQ(sensor.consecutiveFailures(), 0);
}

TEST_F(LidAngleSensorTest, OpenReportsAbsentAndRefusedSensorsAndHoldsNothing) {
    hinge().setSensor(SimHinge::Sensor::absent);
    EXPECT_FALSE(sensor.open());
    EXPECT_FALSE(sensor.isAvailable());
    EXPECT_TRUE(log.contains("lid-angle sensor not present on this Mac; tilt gesture unavailable"));
    EXPECT_EQ(hinge().openManagers(), 0);

    hinge().setSensor(SimHinge::Sensor::unopenable);
    EXPECT_FALSE(sensor.open());
    EXPECT_EQ(log.lines().back(), "WRN lid-angle sensor found but could not be opened");
    EXPECT_EQ(hinge().openManagers(), 0);
    EXPECT_EQ(sensor.angle(), std::nullopt);

    hinge().setSensor(SimHinge::Sensor::present);
    EXPECT_TRUE(sensor.open());
    EXPECT_TRUE(sensor.open());  // reopening releases the first device and manager
    EXPECT_EQ(hinge().openDevices(), 1);
    EXPECT_EQ(hinge().openManagers(), 1);
    sensor.close();
    sensor.close();
    EXPECT_FALSE(sensor.isAvailable());
    EXPECT_EQ(hinge().openDevices(), 0);
    EXPECT_EQ(hinge().openManagers(), 0);
}

TEST_F(LidAngleSensorTest, ShortReportsAndErrorsCountAsFailuresAndAGoodReadResetsThem) {
    ASSERT_TRUE(sensor.open());
    hinge().setAngle(100);
    hinge().failReads(5, SimHinge::Failure::status);
    for (int i = 0; i < 5; ++i) {
        sensor.angle();
    }
    hinge().failReads(4, SimHinge::Failure::shortReport);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(sensor.angle(), std::nullopt);
    }
    EXPECT_EQ(sensor.consecutiveFailures(), 9);
    EXPECT_EQ(sensor.angle(), 100.0);
    EXPECT_EQ(sensor.consecutiveFailures(), 0);
    EXPECT_EQ(hinge().deviceOpens(), 1);
    EXPECT_EQ(log.count("lid-angle sensor reads failing repeatedly; attempting reopen"), 0U);
}

TEST_F(LidAngleSensorTest, TenFailuresInARowReopenOnceAndRecover) {
    ASSERT_TRUE(sensor.open());
    hinge().setAngle(100);
    hinge().failReads(10);
    log.clear();
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(sensor.angle(), std::nullopt);
    }
    EXPECT_EQ(log.lines(), (std::vector<std::string>{
                               "WRN lid-angle sensor reads failing repeatedly; attempting reopen",
                               "INF lid-angle sensor opened",
                               "INF lid-angle sensor recovered",
                           }));
    EXPECT_EQ(sensor.consecutiveFailures(), 0);
    EXPECT_EQ(hinge().deviceOpens(), 2);
    EXPECT_EQ(hinge().openDevices(), 1);
    EXPECT_EQ(hinge().openManagers(), 1);
    EXPECT_EQ(sensor.angle(), 100.0);
}

TEST_F(LidAngleSensorTest, AFailedReopenLeavesTheSensorClosedAndSilent) {
    ASSERT_TRUE(sensor.open());
    hinge().setSensor(SimHinge::Sensor::absent);  // unplugged: every read fails
    log.clear();
    for (int i = 0; i < 10; ++i) {
        sensor.angle();
    }
    EXPECT_EQ(log.lines(), (std::vector<std::string>{
                               "WRN lid-angle sensor reads failing repeatedly; attempting reopen",
                               "INF lid-angle sensor not present on this Mac; tilt gesture "
                               "unavailable",
                           }));
    EXPECT_FALSE(sensor.isAvailable());
    EXPECT_EQ(hinge().openDevices(), 0);
    EXPECT_EQ(hinge().openManagers(), 0);

    const int reads = hinge().reportReads();
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(sensor.angle(), std::nullopt);
    }
    EXPECT_EQ(hinge().reportReads(), reads);
    EXPECT_EQ(log.lines().size(), 2U);
}

TEST_F(LidAngleSensorTest, SimKeysSetTheHinge) {
    std::string error;
    ASSERT_TRUE(laptop.configure("angle=none", &error)) << error;
    ASSERT_TRUE(sensor.open());
    EXPECT_EQ(sensor.angle(), std::nullopt);
    ASSERT_TRUE(laptop.configure("angle=72", &error)) << error;
    EXPECT_EQ(sensor.angle(), 72.0);
    ASSERT_TRUE(laptop.configure("angle=absent", &error)) << error;
    EXPECT_FALSE(sensor.open());
    EXPECT_FALSE(laptop.configure("angle=-3", &error));
    EXPECT_EQ(error, "bad NOCTAVE_SIM value for angle: -3");
    EXPECT_FALSE(laptop.configure("fn=sideways", &error));
}

}  // namespace
}  // namespace noctave
