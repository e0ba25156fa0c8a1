#include "core/power/LidSleepPolicy.hpp"

#include <unistd.h>

#include <gtest/gtest.h>

#include <functional>
#include <thread>

#include "core/os/PowerManagement.hpp"
#include "core/os/System.hpp"
#include "core/os/Workspace.hpp"
#include "core/power/SleepAssertion.hpp"
#include "platform/sim/SimPower.hpp"
#include "tests/support/ChildProcess.hpp"
#include "tests/support/SimTest.hpp"

namespace noctave {
namespace {

using sim::SimKernel;
using sim::SimPower;

class LidSleepPolicyTest : public test::SimTest {
  protected:
    SimPower& power = laptop.power();
};

// Runs `body` in a forked child, which ends with the status `body` returns: the emergency clear
// latches for the rest of the process, so it never runs in the test process itself. The virtual
// kernel's bit is shared with the child.
int inChild(const std::function<int()>& body) {
    return test::ChildProcess(body).wait().status;
}

TEST_F(LidSleepPolicyTest, DroppingAPolicyClearsTheFlagAndGivesEveryHandleBack) {
    const uint32_t callsBefore = power.scalarCalls();
    EXPECT_EQ(inChild([] {
                  LidSleepPolicy::emergencyClear();
                  return 0;
              }),
              0);
    EXPECT_EQ(power.scalarCalls(), callsBefore) << "no connection, no kernel call";
    {
        LidSleepPolicy policy;
        EXPECT_EQ(gRootDomainConnection.load(), policy.connection());
        EXPECT_TRUE(policy.set(true));
        EXPECT_TRUE(power.kernelFlag());
        EXPECT_EQ(inChild([] {
                      LidSleepPolicy::emergencyClear();
                      return 0;
                  }),
                  0);
        EXPECT_FALSE(power.kernelFlag());
        EXPECT_TRUE(policy.set(true));
    }
    EXPECT_FALSE(power.kernelFlag());
    EXPECT_EQ(gRootDomainConnection.load(), 0u);
    EXPECT_EQ(power.openConnections(), 0);
    EXPECT_EQ(power.heldServices(), 0);
    EXPECT_TRUE(log.lines().empty()) << "the policy never logs";
}

// A fatal signal on another thread clears the flag while the main thread's heartbeat is setting
// it: the set that raced the clear is undone, and no later set takes hold before the death.
TEST_F(LidSleepPolicyTest, NoSetOutlivesTheEmergencyClearNotEvenOneAlreadyInTheKernel) {
    LidSleepPolicy policy;
    ASSERT_TRUE(policy.set(true));
    const int status = inChild([&] {
        bool raced = false;
        power.setOnScalarCall([&] {
            if (!raced) {
                raced = true;
                // The handler runs to its end on another thread while this set is on its way
                // into the kernel.
                std::thread([] { LidSleepPolicy::emergencyClear(); }).join();
            }
        });
        const bool first = policy.set(true);
        const bool second = policy.set(true);
        return (raced ? 0 : 10) + (first ? 1 : 0) + (second ? 2 : 0);
    });
    EXPECT_EQ(status, 0) << "no set after the emergency clear reports success";
    EXPECT_FALSE(power.kernelFlag()) << "the bit stays clear until the process is gone";
    EXPECT_TRUE(policy.set(true)) << "another process is not latched";
    EXPECT_TRUE(policy.set(false));
}

TEST_F(LidSleepPolicyTest, OpenFailuresAreTypedDescribedAndLeakNothing) {
    using Kind = LidSleepPolicy::OpenError::Kind;
    const struct {
        bool rootDomain;
        std::optional<os::IoReturn> openFailure;
        std::string description;
    } cases[] = {
        {false, std::nullopt, "IOPMrootDomain service not found"},
        {true, static_cast<os::IoReturn>(0xE00002C2), "IOServiceOpen failed (0xe00002c2)"},
        {true, 5, "IOServiceOpen failed (0x5)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.description);
        power.setRootDomainPresent(c.rootDomain);
        power.setOpenFailure(c.openFailure);
        try {
            LidSleepPolicy policy;
            ADD_FAILURE() << "opened";
        } catch (const LidSleepPolicy::OpenError& error) {
            EXPECT_EQ(error.kind(), c.rootDomain ? Kind::openFailed : Kind::serviceNotFound);
            EXPECT_EQ(error.description(), c.description);
            EXPECT_EQ(error.what(), c.description);
        }
        EXPECT_EQ(power.heldServices(), 0);
        EXPECT_EQ(gRootDomainConnection.load(), 0u);
    }
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(LidSleepPolicyTest, ClearsTheKernelRefusesReportFalseAndAFreshConnectionRescuesABrokenOne) {
    LidSleepPolicy policy;
    ASSERT_TRUE(policy.set(true));
    power.setRefuseFlag(true);
    EXPECT_FALSE(policy.set(false));
    EXPECT_FALSE(LidSleepPolicy::clearOnFreshConnection());
    EXPECT_TRUE(power.kernelFlag());
    EXPECT_EQ(power.openConnections(), 1) << "the fresh connection is closed even when refused";
    power.setRefuseFlag(false);

    // Something closed the connection under the policy.
    const auto own = gRootDomainConnection.load();
    laptop.system().powerManagement->closeService(policy.connection());
    EXPECT_FALSE(policy.set(false));
    power.setRootDomainPresent(false);
    EXPECT_FALSE(LidSleepPolicy::clearOnFreshConnection());
    power.setRootDomainPresent(true);
    power.setOpenFailure(SimKernel::kNotPrivileged);
    EXPECT_FALSE(LidSleepPolicy::clearOnFreshConnection());
    power.setOpenFailure(std::nullopt);
    EXPECT_TRUE(power.kernelFlag());

    EXPECT_TRUE(LidSleepPolicy::clearOnFreshConnection());
    EXPECT_FALSE(power.kernelFlag());
    EXPECT_EQ(gRootDomainConnection.load(), own) << "the handler's connection is left alone";
    EXPECT_EQ(power.openConnections(), 0);
    EXPECT_EQ(power.heldServices(), 1) << "only the policy's own service is still held";
}

TEST_F(LidSleepPolicyTest, OnlyAClamshellPropertyOfFalseConfirmsTheSuppression) {
    LidSleepPolicy policy;
    // As the real kernel: the property stays true while the flag suppresses lid sleep.
    ASSERT_TRUE(policy.set(true));
    EXPECT_EQ(policy.kernelLidCausesSleep(), true);
    EXPECT_FALSE(policy.kernelVisiblyConfirmsSuppression());
    power.setClamshellCausesSleep(os::PropertyValue{0, "No"});
    EXPECT_TRUE(policy.kernelVisiblyConfirmsSuppression());
    power.setClamshellCausesSleep(os::PropertyValue{std::nullopt, "maybe"});
    EXPECT_EQ(policy.kernelLidCausesSleep(), std::nullopt);
    EXPECT_FALSE(policy.kernelVisiblyConfirmsSuppression());
}

TEST_F(LidSleepPolicyTest, AssertionsAreTakenOnceAndLetGoEvenWhenRefused) {
    {
        SleepAssertion guard(os::kPreventSystemSleep, "Noctave: lid shut");
        EXPECT_TRUE(guard.acquire());
        EXPECT_TRUE(guard.acquire());
        EXPECT_EQ(power.assertionsCreated(), 1) << "a held assertion is not taken twice";
        ASSERT_EQ(power.assertions().size(), 1u);
        EXPECT_EQ(power.assertions()[0].type, "PreventSystemSleep");
        EXPECT_EQ(power.assertions()[0].name, "Noctave: lid shut");
        EXPECT_TRUE(guard.release());
        EXPECT_TRUE(guard.release()) << "not held: nothing to give back";
        EXPECT_TRUE(power.assertions().empty());
        ASSERT_TRUE(guard.acquire());
    }
    EXPECT_TRUE(power.assertions().empty()) << "destruction gives a held assertion back";

    SleepAssertion idle(os::kPreventUserIdleSystemSleep, "idle");
    SleepAssertion guard(os::kPreventSystemSleep, "guard");
    power.setAssertionPolicy(SimPower::AssertionPolicy::refuseSystemSleep);
    EXPECT_FALSE(guard.acquire());
    EXPECT_FALSE(guard.isHeld());
    EXPECT_TRUE(idle.acquire());
    power.setAssertionPolicy(SimPower::AssertionPolicy::allow);
    power.setFailAssertionRelease(true);
    EXPECT_FALSE(idle.release());
    EXPECT_FALSE(idle.isHeld()) << "a refused release still lets go";
    EXPECT_TRUE(idle.acquire()) << "and a new one can be taken";
    EXPECT_EQ(power.assertions().size(), 1u);
    EXPECT_TRUE(log.lines().empty());
}

}  // namespace
}  // namespace noctave
