#include "core/power/LidSleepPolicy.hpp"

#include <gtest/gtest.h>

#include "core/os/PowerManagement.hpp"
#include "core/os/System.hpp"
#include "core/power/SleepAssertion.hpp"
#include "platform/sim/SimPower.hpp"
#include "tests/support/SimTest.hpp"

namespace noctave {
namespace {

using sim::SimKernel;
using sim::SimPower;

class LidSleepPolicyTest : public test::SimTest {
  protected:
    SimPower& power = laptop.power();
};

TEST_F(LidSleepPolicyTest, OpenSetAndDestroyLeaveTheFlagClearAndEveryHandleGivenBack) {
    {
        LidSleepPolicy policy;
        EXPECT_NE(gRootDomainConnection.load(), 0u);
        EXPECT_EQ(gRootDomainConnection.load(), policy.connection());
        EXPECT_EQ(power.openConnections(), 1);

        EXPECT_TRUE(policy.set(true));
        EXPECT_TRUE(power.kernelFlag());
        EXPECT_TRUE(policy.set(false));
        EXPECT_FALSE(power.kernelFlag());
        EXPECT_TRUE(policy.set(true));
    }
    EXPECT_FALSE(power.kernelFlag()) << "dropping a policy clears the flag";
    EXPECT_EQ(gRootDomainConnection.load(), 0u);
    EXPECT_EQ(power.openConnections(), 0);
    EXPECT_EQ(power.heldServices(), 0);
    EXPECT_TRUE(log.lines().empty()) << "the policy never logs";
}

TEST_F(LidSleepPolicyTest, OpenFailuresAreTypedDescribedAndLeakNothing) {
    power.setRootDomainPresent(false);
    try {
        LidSleepPolicy policy;
        FAIL() << "opened without a root power domain";
    } catch (const LidSleepPolicy::OpenError& error) {
        EXPECT_EQ(error.kind(), LidSleepPolicy::OpenError::Kind::serviceNotFound);
        EXPECT_EQ(error.description(), "IOPMrootDomain service not found");
    }

    power.setRootDomainPresent(true);
    power.setOpenFailure(static_cast<os::IoReturn>(0xE00002C2));
    try {
        LidSleepPolicy policy;
        FAIL() << "opened although the user client refused";
    } catch (const LidSleepPolicy::OpenError& error) {
        EXPECT_EQ(error.kind(), LidSleepPolicy::OpenError::Kind::openFailed);
        EXPECT_EQ(error.description(), "IOServiceOpen failed (0xe00002c2)");
        EXPECT_STREQ(error.what(), "IOServiceOpen failed (0xe00002c2)");
    }
    EXPECT_EQ(power.heldServices(), 0) << "the service is released before failing";
    EXPECT_EQ(gRootDomainConnection.load(), 0u);

    power.setOpenFailure(5);
    EXPECT_THROW(
        {
            try {
                LidSleepPolicy policy;
            } catch (const LidSleepPolicy::OpenError& error) {
                EXPECT_EQ(error.description(), "IOServiceOpen failed (0x5)");
                throw;
            }
        },
        LidSleepPolicy::OpenError);
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(LidSleepPolicyTest, RefusedWritesReportFalseAndChangeNothing) {
    LidSleepPolicy policy;
    ASSERT_TRUE(policy.set(true));
    power.setRefuseFlag(true);
    EXPECT_FALSE(policy.set(false));
    EXPECT_TRUE(power.kernelFlag());
    EXPECT_FALSE(LidSleepPolicy::clearOnFreshConnection());
    EXPECT_TRUE(power.kernelFlag());
    EXPECT_EQ(power.openConnections(), 1) << "the fresh connection is closed even when refused";
    power.setRefuseFlag(false);
}

TEST_F(LidSleepPolicyTest, FreshConnectionClearsWhenTheOwnConnectionIsBroken) {
    LidSleepPolicy policy;
    ASSERT_TRUE(policy.set(true));
    const auto own = gRootDomainConnection.load();
    // Something closed the connection under the policy.
    laptop.system().powerManagement->closeService(policy.connection());
    EXPECT_FALSE(policy.set(false));
    EXPECT_TRUE(power.kernelFlag());

    EXPECT_TRUE(LidSleepPolicy::clearOnFreshConnection());
    EXPECT_FALSE(power.kernelFlag());
    EXPECT_EQ(gRootDomainConnection.load(), own) << "the handler's connection is left alone";
    EXPECT_EQ(power.openConnections(), 0);

    power.setRootDomainPresent(false);
    EXPECT_FALSE(LidSleepPolicy::clearOnFreshConnection());
    power.setRootDomainPresent(true);
    power.setOpenFailure(SimKernel::kNotPrivileged);
    EXPECT_FALSE(LidSleepPolicy::clearOnFreshConnection());
    power.setOpenFailure(std::nullopt);
    EXPECT_EQ(power.heldServices(), 1) << "only the policy's own service is still held";
}

TEST_F(LidSleepPolicyTest, EmergencyClearUsesTheGlobalConnectionOnly) {
    const uint32_t callsBefore = power.scalarCalls();
    LidSleepPolicy::emergencyClear();
    EXPECT_EQ(power.scalarCalls(), callsBefore) << "no connection, no kernel call";

    LidSleepPolicy policy;
    ASSERT_TRUE(policy.set(true));
    LidSleepPolicy::emergencyClear();
    EXPECT_FALSE(power.kernelFlag());
}

TEST_F(LidSleepPolicyTest, ClamshellCausesSleepPropertyReadsAsOptionalBoolean) {
    LidSleepPolicy policy;
    // As the real kernel: the property stays true while the flag suppresses lid sleep.
    ASSERT_TRUE(policy.set(true));
    EXPECT_EQ(policy.kernelLidCausesSleep(), true);
    EXPECT_FALSE(policy.kernelVisiblyConfirmsSuppression());

    power.setClamshellCausesSleep(os::PropertyValue{0, "No"});
    EXPECT_EQ(policy.kernelLidCausesSleep(), false);
    EXPECT_TRUE(policy.kernelVisiblyConfirmsSuppression());

    power.setClamshellCausesSleep(os::PropertyValue{std::nullopt, "maybe"});
    EXPECT_EQ(policy.kernelLidCausesSleep(), std::nullopt);
    EXPECT_FALSE(policy.kernelVisiblyConfirmsSuppression());

    power.setClamshellCausesSleep(std::nullopt);  // a machine without the property
    EXPECT_EQ(policy.kernelLidCausesSleep(), std::nullopt);
    EXPECT_FALSE(policy.kernelVisiblyConfirmsSuppression());
}

TEST_F(LidSleepPolicyTest, AssertionsAreIdempotentAndNamed) {
    {
        SleepAssertion guard(SleepAssertion::preventSystemSleep, "Noctave: lid shut");
        EXPECT_FALSE(guard.isHeld());
        EXPECT_TRUE(guard.acquire());
        EXPECT_TRUE(guard.acquire());
        EXPECT_EQ(power.assertionsCreated(), 1) << "a held assertion is not taken twice";
        ASSERT_EQ(power.assertions().size(), 1u);
        EXPECT_EQ(power.assertions()[0].type, "PreventSystemSleep");
        EXPECT_EQ(power.assertions()[0].name, "Noctave: lid shut");
        EXPECT_EQ(power.assertions()[0].level, 255u);

        EXPECT_TRUE(guard.release());
        EXPECT_TRUE(guard.release()) << "not held: nothing to give back";
        EXPECT_TRUE(power.assertions().empty());

        ASSERT_TRUE(guard.acquire());
    }
    EXPECT_TRUE(power.assertions().empty()) << "destruction gives a held assertion back";
}

TEST_F(LidSleepPolicyTest, RefusedAssertionsAndReleasesLeaveItNotHeld) {
    SleepAssertion idle(SleepAssertion::preventIdleSystemSleep, "idle");
    SleepAssertion guard(SleepAssertion::preventSystemSleep, "guard");

    power.setAssertionPolicy(SimPower::AssertionPolicy::refuseSystemSleep);
    EXPECT_TRUE(idle.acquire());
    EXPECT_FALSE(guard.acquire());
    EXPECT_FALSE(guard.isHeld());

    power.setAssertionPolicy(SimPower::AssertionPolicy::refuseAll);
    ASSERT_TRUE(idle.release());
    EXPECT_FALSE(idle.acquire());
    EXPECT_FALSE(idle.isHeld());

    power.setAssertionPolicy(SimPower::AssertionPolicy::allow);
    ASSERT_TRUE(idle.acquire());
    power.setFailAssertionRelease(true);
    EXPECT_FALSE(idle.release());
    EXPECT_FALSE(idle.isHeld()) << "a refused release still lets go";
    EXPECT_TRUE(idle.acquire()) << "and a new one can be taken";
    EXPECT_EQ(power.assertions().size(), 1u);
    EXPECT_TRUE(log.lines().empty());
}

}  // namespace
}  // namespace noctave
