// Durations and clock times as typed on a command line, and the time left as shown.
#include "core/session/Deadlines.hpp"

#include <gtest/gtest.h>
#include <time.h>

#include <chrono>
#include <optional>

#include "tests/support/ScopedVariable.hpp"

namespace noctave::test {
namespace {

using namespace std::chrono;

TEST(Deadlines, DurationsInHoursMinutesAndSecondsAndNothingElse) {
    EXPECT_EQ(deadlines::parseDuration("90m"), 5400.0);
    EXPECT_EQ(deadlines::parseDuration("2h"), 7200.0);
    EXPECT_EQ(deadlines::parseDuration("1h30m"), 5400.0);
    EXPECT_EQ(deadlines::parseDuration("45s"), 45.0);
    EXPECT_EQ(deadlines::parseDuration("30"), 1800.0);
    for (const char* bad : {"", "0m", "h", "2x", "-1h", "1h30", "2 h", "169h", "99999999999h"}) {
        EXPECT_FALSE(deadlines::parseDuration(bad).has_value()) << bad;
    }
}

class LocalTime : public ::testing::Test {
  protected:
    void SetUp() override { ::tzset(); }
    void TearDown() override {
        zone_.reset();
        ::tzset();
    }
    // 2026-12-05 at hh:mm UTC.
    static runtime::WallTime at(int hour, int minute) {
        return system_clock::time_point(seconds(1'796'428'800 + hour * 3600 + minute * 60));
    }

  private:
    std::optional<ScopedVariable> zone_{std::in_place, "TZ", "UTC"};
};

TEST_F(LocalTime, ClockTimesAndTheMorningAreTheNextOnesToCome) {
    EXPECT_EQ(deadlines::parseClockTime("18:00", at(14, 10)), at(18, 0));
    EXPECT_EQ(deadlines::parseClockTime("7:05", at(14, 10)), at(24 + 7, 5));
    EXPECT_EQ(deadlines::parseClockTime("14:10", at(14, 10)), at(24 + 14, 10));
    for (const char* bad : {"24:00", "12:60", "1800", "18:0", ":30", "ab:cd", "123:00"}) {
        EXPECT_FALSE(deadlines::parseClockTime(bad, at(14, 10)).has_value()) << bad;
    }
    EXPECT_EQ(deadlines::nextMorning(at(2, 0)), at(8, 0));
    EXPECT_EQ(deadlines::nextMorning(at(22, 0)), at(24 + 8, 0));
    EXPECT_EQ(deadlines::menuChoices(at(22, 0)).back().deadline, at(24 + 8, 0));
}

TEST(Deadlines, TimeLeftInHoursAndMinutes) {
    const runtime::WallTime now{};
    EXPECT_EQ(deadlines::timeLeftText(now + minutes(80), now), "1 h 20 min left");
    EXPECT_EQ(deadlines::timeLeftText(now + minutes(5), now), "5 min left");
    EXPECT_EQ(deadlines::timeLeftText(now + seconds(59), now), "less than a minute left");
    EXPECT_EQ(deadlines::timeLeftText(now - seconds(5), now), "less than a minute left");
}

}  // namespace
}  // namespace noctave::test
