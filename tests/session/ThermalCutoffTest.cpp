// The thermal cut-off: a session with its lid shut ends after a minute above the cut-off, and
// nothing is read while the lid is open or no session stands.
#include "core/support/Prefs.hpp"
#include "platform/sim/SimNotifications.hpp"
#include "platform/sim/SimThermal.hpp"
#include "tests/session/SessionFixture.hpp"

namespace noctave::test {
namespace {

constexpr const char* kHotNotice =
    "Too hot with the lid closed (99 °C); disarming so the laptop can sleep.";

class ThermalCutoffTest : public SessionFixture {
  protected:
    sim::SimThermal& thermal() { return laptop.thermal(); }
};

TEST_F(ThermalCutoffTest, MinuteAboveTheCutoffWithTheLidShutDisarmsAndTheLaptopSleeps) {
    power().setOnBattery(true);
    auto& session = start();
    ASSERT_TRUE(session.arm("menu"));
    // Critical at 105 °C: the cut-off is 95 °C.
    thermal().setCelsius(99);
    closeLid();

    advance(59);
    EXPECT_EQ(session.state(), State::armed);
    EXPECT_TRUE(notices.empty());

    advance(1);
    EXPECT_EQ(session.state(), State::disarmed);
    EXPECT_TRUE(log.contains("thermal cut-off (99 °C); disarming"));
    EXPECT_TRUE(log.contains("disarmed (thermal cut-off)"));
    EXPECT_THAT(notices, ElementsAre(Notice{"Noctave disarmed", kHotNotice}));
    EXPECT_EQ(laptop.notifications().posted(), notices);
    advance(power().sleepRequestDelay());
    EXPECT_TRUE(power().isAsleep());
    expectNothingHeld();
}

TEST_F(ThermalCutoffTest, DipBelowTheCutoffStartsTheMinuteAgain) {
    auto& session = start();
    ASSERT_TRUE(session.arm("menu"));
    thermal().setCelsius(99);
    closeLid();
    advance(50);
    thermal().setCelsius(80);
    advance(5);
    thermal().setCelsius(99);
    // The next reading, at 60 s, starts a new minute.
    advance(64);
    EXPECT_EQ(session.state(), State::armed);
    advance(1);
    EXPECT_EQ(session.state(), State::disarmed);
}

TEST_F(ThermalCutoffTest, OpeningTheLidStopsTheWatchAndClosingItStartsTheMinuteAfresh) {
    Prefs::setStayOnAfterOpeningLid(true);
    auto& session = start();
    ASSERT_TRUE(session.arm("menu"));
    thermal().setCelsius(99);

    // Hot with the lid open: nothing is cut off, and nothing is read.
    advance(600);
    EXPECT_EQ(thermal().readCount(), 0);
    closeLid();
    advance(30);
    openLid();
    const int reads = thermal().readCount();
    EXPECT_EQ(reads, 7);
    advance(600);
    EXPECT_EQ(session.state(), State::armed);
    EXPECT_EQ(thermal().readCount(), reads);

    closeLid();
    advance(59);
    EXPECT_EQ(session.state(), State::armed);
    advance(1);
    EXPECT_EQ(session.state(), State::disarmed);
    // Nor once the session has ended.
    const int atEnd = thermal().readCount();
    advance(600);
    EXPECT_EQ(thermal().readCount(), atEnd);
}

TEST_F(ThermalCutoffTest, UnreadableSensorIsLoggedOnceAndNeverDisarms) {
    auto& session = start();
    ASSERT_TRUE(session.arm("menu"));
    thermal().setCelsius(std::nullopt);
    closeLid();
    advance(3600);
    EXPECT_EQ(session.state(), State::armed);
    EXPECT_EQ(log.count("temperature could not be read (cpu); the thermal cut-off waits for a "
                        "reading"),
              1u);
}

TEST_F(ThermalCutoffTest, SettingReplacesTheCutoffTheSensorSuggests) {
    Prefs::setThermalCutoffCelsius(70);
    auto& session = start();
    ASSERT_TRUE(session.arm("menu"));
    thermal().setCelsius(75);
    closeLid();
    advance(60);
    EXPECT_EQ(session.state(), State::disarmed);
}

TEST(ThermalCutoff, DefaultIsTenBelowCriticalButAtMostNinetyFive) {
    EXPECT_EQ(ThermalGuard::cutoffFor(100.0, 0), 90.0);
    EXPECT_EQ(ThermalGuard::cutoffFor(110.0, 0), 95.0);
    EXPECT_EQ(ThermalGuard::cutoffFor(std::nullopt, 0), 95.0);
    EXPECT_EQ(ThermalGuard::cutoffFor(100.0, 80), 80.0);
    EXPECT_EQ(ThermalGuard::cutoffFor(100.0, -5), 90.0);
}

}  // namespace
}  // namespace noctave::test
