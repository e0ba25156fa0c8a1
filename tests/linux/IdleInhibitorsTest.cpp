// Keep-awake's and a lid session's inhibitions on the session bus, beside logind's locks: a
// mocked desktop portal and screen saver on a private bus, driven through the backend's
// assertions as the core takes them.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/linux/LinuxPowerManagement.hpp"
#include "platform/linux/bus/DBusConnection.hpp"
#include "tests/support/PrivateBus.hpp"
#include "tests/support/TempDir.hpp"

namespace noctave::test {
namespace {

using linuxos::LinuxPowerManagement;

constexpr const char* kPortal = "org.freedesktop.portal.Desktop";
constexpr const char* kScreenSaver = "org.freedesktop.ScreenSaver";
constexpr const char* kKeepAwake = "PreventUserIdleSystemSleep";
constexpr const char* kLidSession = "PreventSystemSleep";

class IdleInhibitorsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!bus.unavailable().empty()) {
            GTEST_SKIP() << "no private system bus: " << bus.unavailable();
        }
        ASSERT_TRUE(bus.startTemplate("logind", kLogin));
    }

    // The mock's own list of live inhibitions (its test control method `Held`).
    std::vector<std::string> held(const char* service, const char* path, const char* interface) {
        std::vector<std::string> entries;
        const linuxos::MethodRef method{service, path, interface, "Held"};
        const auto status = connection->call(
            method, {},
            [&](sd_bus_message* m) {
                char** strings = nullptr;
                const int r = sd_bus_message_read_strv(m, &strings);
                for (char** s = strings; s != nullptr && *s != nullptr; ++s) {
                    entries.emplace_back(*s);
                    free(*s);  // NOLINT(cppcoreguidelines-no-malloc): sd-bus hands out malloc'd
                               // strings
                }
                free(static_cast<void*>(strings));  // NOLINT(cppcoreguidelines-no-malloc)
                return r;
            },
            5.0);
        EXPECT_TRUE(status.ok()) << status.describe();
        return entries;
    }
    std::vector<std::string> portalHeld() {
        return held(kPortal, "/org/freedesktop/portal/desktop", "org.freedesktop.portal.Inhibit");
    }
    std::vector<std::string> screenSaverHeld() {
        return held(kScreenSaver, "/org/freedesktop/ScreenSaver", kScreenSaver);
    }
    std::string taken() {
        return power->registryProperties(LinuxPowerManagement::kRootDomain)
            ->at("keep-awake inhibitions");
    }

    PrivateBus bus;
    TempDir temp;
    linuxos::MachineRoots roots{temp.path() / "sys", temp.path() / "dev", temp.path() / "proc"};
    // The private bus stands for the system bus and the session bus both.
    std::shared_ptr<linuxos::DBusConnection> connection =
        std::make_shared<linuxos::DBusConnection>(linuxos::BusKind::system);
    std::unique_ptr<LinuxPowerManagement> power =
        std::make_unique<LinuxPowerManagement>(roots, connection, connection);
};

TEST_F(IdleInhibitorsTest, KeepAwakeTakesThePortalsIdleAndTheScreenSaversAndGivesBothBack) {
    ASSERT_TRUE(bus.startTemplate(NOCTAVE_INHIBIT_PORTAL_TEMPLATE, kPortal));
    ASSERT_TRUE(bus.startTemplate(NOCTAVE_SCREENSAVER_TEMPLATE, kScreenSaver));
    EXPECT_EQ(taken(), "none held");

    os::AssertionId keepAwake = 0;
    ASSERT_EQ(power->createAssertion(kKeepAwake, 255, "Noctave keep awake", &keepAwake), 0);
    const auto portal = portalHeld();
    ASSERT_EQ(portal.size(), 1U);
    EXPECT_EQ(portal[0].rfind("8:Noctave keep awake:", 0), 0U) << portal[0];  // flag 8: idle
    ASSERT_EQ(screenSaverHeld().size(), 1U);
    EXPECT_EQ(screenSaverHeld()[0].substr(screenSaverHeld()[0].find(':')),
              ":Noctave:Noctave keep awake");
    EXPECT_EQ(taken(), "logind idle, portal Inhibit, org.freedesktop.ScreenSaver");

    // A lid session asks the portal not to suspend; the screen saver has nothing to do with it.
    os::AssertionId session = 0;
    ASSERT_EQ(power->createAssertion(kLidSession, 255, "Noctave lid session", &session), 0);
    EXPECT_EQ(portalHeld().size(), 2U);
    EXPECT_EQ(screenSaverHeld().size(), 1U);

    // Each release ends exactly its own inhibitions, once.
    ASSERT_EQ(power->releaseAssertion(keepAwake), 0);
    ASSERT_EQ(portalHeld().size(), 1U);
    EXPECT_EQ(portalHeld()[0].rfind("4:Noctave lid session:", 0), 0U) << portalHeld()[0];
    EXPECT_TRUE(screenSaverHeld().empty());
    EXPECT_EQ(taken(), "none held");
    EXPECT_NE(power->releaseAssertion(keepAwake), 0);
    ASSERT_EQ(power->releaseAssertion(session), 0);
    EXPECT_TRUE(portalHeld().empty());
}

// Where neither service runs, keep-awake is logind's lock alone and says so.
TEST_F(IdleInhibitorsTest, WithoutThePortalOrAScreenSaverOnlyLogindsLockIsTaken) {
    os::AssertionId keepAwake = 0;
    ASSERT_EQ(power->createAssertion(kKeepAwake, 255, "Noctave keep awake", &keepAwake), 0);
    EXPECT_EQ(taken(), "logind idle");
    EXPECT_EQ(power->releaseAssertion(keepAwake), 0);
}

}  // namespace
}  // namespace noctave::test
