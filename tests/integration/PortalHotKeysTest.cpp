#include "platform/linux/hotkeys/PortalHotKeys.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "app/integration/HotKeyController.hpp"
#include "core/runtime/ThreadedRuntime.hpp"
#include "tests/support/BusDaemon.hpp"
#include "tests/support/ChildProcess.hpp"
#include "tests/support/LogCapture.hpp"

namespace noctave::linuxos {
namespace {

// A session bus of the test's own (with no service folders, so nothing real can start on it)
// and a mocked desktop portal on it.
class PortalHotKeysTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!test::hasProgram("dbus-daemon") || !test::hasProgram("busctl")) {
            GTEST_SKIP() << "needs dbus-daemon, busctl and python3-dbusmock";
        }
        bus_.emplace("session");
        address_ = bus_->address();
        ASSERT_FALSE(address_.empty()) << "dbus-daemon did not start";
        portal_.emplace("/usr/bin/python3",
                        test::words("-m dbusmock --template " NOCTAVE_PORTAL_TEMPLATE),
                        test::ProgramOptions{.set = {{"DBUS_SESSION_BUS_ADDRESS", address_}},
                                             .standardOutput = "/dev/null",
                                             .standardError = "/dev/null"});
        for (int round = 0; round < 400 && !mock("BoundTriggers"); ++round) {
            runtime_.runFor(0.05);
        }
        ASSERT_TRUE(mock("BoundTriggers")) << "the mocked portal did not appear";
    }

    // Calls a method of the mock's control interface; its reply as busctl prints it, nothing
    // when the call failed.
    std::optional<std::string> mock(const std::string& call) {
        std::vector<std::string> arguments{
            "--address=" + address_, "call", "org.freedesktop.portal.Desktop",
            "/org/freedesktop/portal/desktop", "org.freedesktop.DBus.Mock"};
        for (std::string& word : test::words(call)) {
            arguments.push_back(std::move(word));
        }
        const test::ProgramRun reply =
            test::runProgram("busctl", arguments, {.standardError = "/dev/null"});
        return reply.status == 0 ? std::optional(reply.out) : std::nullopt;
    }

    bool waitFor(const std::function<bool()>& done) { return runtime_.runUntil(done, 10); }

    runtime::ThreadedRuntime runtime_;
    runtime::RuntimeInstaller installer_{runtime_};
    test::LogCapture log_;
    std::optional<test::BusDaemon> bus_;
    std::optional<test::ChildProcess> portal_;
    std::string address_;
};

TEST_F(PortalHotKeysTest, BoundShortcutActivationReachesOnFireAndUnregisterClosesTheSession) {
    auto keys = PortalHotKeys::connect(address_);
    ASSERT_TRUE(keys);
    app::HotKeyController controller(keys);
    int fired = 0;
    controller.registerHotKey([&] { ++fired; });
    ASSERT_TRUE(log_.contains("hotkey registered (⌃⌥⌘L)"))
        << ::testing::PrintToString(log_.lines());
    EXPECT_EQ(mock("BoundTriggers"), "as 1 \"CTRL+ALT+LOGO+l\"\n");

    mock("Activate s ClL1-1");
    EXPECT_TRUE(waitFor([&] { return fired == 1; }));
    // A shortcut id that is not ours does nothing.
    mock("Activate s someone-else");
    mock("Activate s ClL1-1");
    EXPECT_TRUE(waitFor([&] { return fired == 2; }));

    controller.unregister();
    // The Close call is sent without waiting; a round trip to the mock orders it first.
    mock("BoundTriggers");
    EXPECT_TRUE(mock("ClosedSessions").value_or("").starts_with("as 1 "))
        << *mock("ClosedSessions");
    mock("Activate s ClL1-1");
    runtime_.runFor(0.1);
    EXPECT_EQ(fired, 2);
}

TEST_F(PortalHotKeysTest, DeclinedBindingIsARegistrationFailureAndClosesTheSession) {
    mock("SetBindAnswer i 1");
    app::HotKeyController controller(PortalHotKeys::connect(address_));
    controller.registerHotKey([] {});
    EXPECT_TRUE(
        log_.contains("hotkey registration FAILED (status -9880); another app may be using ⌃⌥⌘L"));
    mock("BoundTriggers");
    EXPECT_TRUE(mock("ClosedSessions").value_or("").starts_with("as 1 "));
}

}  // namespace
}  // namespace noctave::linuxos
