#include "core/power/SessionLocker.hpp"

#include <gtest/gtest.h>

#include "platform/sim/SimPower.hpp"
#include "tests/support/SimTest.hpp"

namespace noctave {
namespace {

using Outcome = SessionLocker::Outcome;
using sim::SimPower;

class SessionLockerTest : public test::SimTest {
  protected:
    SimPower& power = laptop.power();
};

TEST_F(SessionLockerTest, LocksOnceAndClosesTheLibrary) {
    EXPECT_EQ(SessionLocker::lockNow(), Outcome::locked());
    EXPECT_EQ(power.sessionLocks(), 1);
    EXPECT_EQ(power.openLockLibraries(), 0);
    EXPECT_EQ(log.lines(),
              std::vector<std::string>{"INF session locked via macOS login framework"});
}

TEST_F(SessionLockerTest, MissingLibraryFailsOnEveryCall) {
    power.setSessionLockLibrary(SimPower::Library::missing);
    const Outcome expected = Outcome::failed("macOS Lock Screen action is unavailable");
    EXPECT_EQ(SessionLocker::lockNow(), expected);
    EXPECT_EQ(SessionLocker::lockNow(), expected) << "nothing is cached";
    EXPECT_EQ(log.lines(), (std::vector<std::string>{"WRN could not load macOS login framework",
                                                     "WRN could not load macOS login framework"}));
    EXPECT_EQ(power.sessionLocks(), 0);

    power.setSessionLockLibrary(SimPower::Library::present);
    EXPECT_TRUE(SessionLocker::lockNow().succeeded()) << "a library that appears is used";
}

TEST_F(SessionLockerTest, MissingFunctionClosesTheLibraryAndFails) {
    power.setSessionLockLibrary(SimPower::Library::symbolMissing);
    const Outcome outcome = SessionLocker::lockNow();
    EXPECT_FALSE(outcome.succeeded());
    EXPECT_EQ(outcome.message, "macOS Lock Screen action is unavailable");
    EXPECT_EQ(power.openLockLibraries(), 0);
    EXPECT_EQ(log.lines(), std::vector<std::string>{"WRN macOS Lock Screen symbol is unavailable"});
}

}  // namespace
}  // namespace noctave
