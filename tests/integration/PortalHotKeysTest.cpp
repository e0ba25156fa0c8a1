#include "platform/linux/hotkeys/PortalHotKeys.hpp"

#include <gtest/gtest.h>
#include <systemd/sd-bus.h>

#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/HotKeyController.hpp"
#include "core/runtime/ThreadedRuntime.hpp"
#include "tests/integration/ChildProcess.hpp"
#include "tests/support/LogCapture.hpp"
#include "tests/support/TempDir.hpp"

namespace noctave::linuxos {
namespace {

constexpr const char* kPortal = "org.freedesktop.portal.Desktop";
constexpr const char* kPortalObject = "/org/freedesktop/portal/desktop";
constexpr const char* kPython = "/usr/bin/python3";

// A session bus of the test's own, printing its address on the report pipe. It has no
// service directories, so nothing real can be activated on it.
test::ChildProcess startPrivateBus(const test::TempDir& temp) {
    const auto config = temp.path() / "bus.conf";
    std::ofstream(config) << "<busconfig><type>session</type><listen>unix:dir="
                          << temp.path().string()
                          << "</listen><policy context=\"default\">"
                             "<allow send_destination=\"*\" eavesdrop=\"true\"/>"
                             "<allow eavesdrop=\"true\"/><allow own=\"*\"/>"
                             "</policy></busconfig>\n";
    return test::ChildProcess(
        {"dbus-daemon", "--config-file=" + config.string(), "--nofork", "--print-address=3"}, {},
        3);
}

// A private session bus with a mocked desktop portal on it, and a test connection to drive
// the mock.
class PortalHotKeysTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!test::hasProgram("dbus-daemon") || !test::hasProgram(kPython)) {
            GTEST_SKIP() << "needs dbus-daemon and python3-dbusmock";
        }
        bus_.emplace(startPrivateBus(temp_));
        const auto address = bus_->readLine(20);
        ASSERT_TRUE(address.has_value()) << "dbus-daemon did not start";
        address_ = *address;
        ASSERT_GE(sd_bus_new(&control_), 0);
        sd_bus_set_address(control_, address_.c_str());
        sd_bus_set_bus_client(control_, 1);
        ASSERT_GE(sd_bus_start(control_), 0);

        portal_.emplace(std::vector<std::string>{kPython, "-m", "dbusmock", "--template",
                                                 NOCTAVE_PORTAL_TEMPLATE},
                        std::map<std::string, std::string>{{"DBUS_SESSION_BUS_ADDRESS", address_},
                                                           {"DBUS_SYSTEM_BUS_ADDRESS", address_}});
        ASSERT_TRUE(waitForPortal()) << "the mocked portal did not appear";
    }

    void TearDown() override { sd_bus_flush_close_unref(control_); }

    // Waits for the portal's name, reacting to the bus's own NameOwnerChanged signal.
    bool waitForPortal() {
        bool appeared = false;
        sd_bus_slot* slot = nullptr;
        sd_bus_match_signal(
            control_, &slot, "org.freedesktop.DBus", "/org/freedesktop/DBus",
            "org.freedesktop.DBus", "NameOwnerChanged",
            [](sd_bus_message* message, void* userdata, sd_bus_error*) {
                const char* name = nullptr;
                sd_bus_message_read(message, "s", &name);
                if (name != nullptr && std::string(name) == kPortal) {
                    *static_cast<bool*>(userdata) = true;
                }
                return 0;
            },
            &appeared);
        int hasOwner = 0;
        sd_bus_error error = SD_BUS_ERROR_NULL;
        sd_bus_message* reply = nullptr;
        if (sd_bus_call_method(control_, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                               "org.freedesktop.DBus", "NameHasOwner", &error, &reply, "s",
                               kPortal) >= 0) {
            sd_bus_message_read(reply, "b", &hasOwner);
        }
        sd_bus_message_unref(reply);
        sd_bus_error_free(&error);
        appeared = appeared || hasOwner != 0;
        for (int round = 0; !appeared && round < 200; ++round) {
            if (sd_bus_process(control_, nullptr) == 0) {
                sd_bus_wait(control_, 100000);
            }
        }
        sd_bus_slot_unref(slot);
        return appeared;
    }

    // Calls a method of the mock's control interface; "as" replies come back as a list.
    std::vector<std::string> mock(const char* method, const char* types = "", ...) {
        sd_bus_message* call = nullptr;
        sd_bus_message* reply = nullptr;
        sd_bus_error error = SD_BUS_ERROR_NULL;
        std::vector<std::string> strings;
        sd_bus_message_new_method_call(control_, &call, kPortal, kPortalObject,
                                       "org.freedesktop.DBus.Mock", method);
        va_list args;
        va_start(args, types);
        sd_bus_message_appendv(call, types, args);
        va_end(args);
        if (sd_bus_call(control_, call, 10000000, &error, &reply) < 0) {
            ADD_FAILURE() << method << ": " << (error.message ? error.message : "failed");
        } else if (sd_bus_message_enter_container(reply, 'a', "s") > 0) {
            const char* text = nullptr;
            while (sd_bus_message_read(reply, "s", &text) > 0) {
                strings.emplace_back(text);
            }
        }
        sd_bus_message_unref(call);
        sd_bus_message_unref(reply);
        sd_bus_error_free(&error);
        return strings;
    }

    // Also for conditions that change off the main queue (log lines of the bus thread).
    bool waitFor(const std::function<bool()>& done) {
        for (int round = 0; round < 1000 && !done(); ++round) {
            runtime_.runFor(0.01);
        }
        return done();
    }

    test::TempDir temp_;
    runtime::ThreadedRuntime runtime_;
    runtime::RuntimeInstaller installer_{runtime_};
    test::LogCapture log_;
    std::optional<test::ChildProcess> bus_;
    std::optional<test::ChildProcess> portal_;
    std::string address_;
    sd_bus* control_ = nullptr;
};

TEST_F(PortalHotKeysTest, BoundShortcutActivationReachesOnFireAndUnregisterClosesTheSession) {
    auto keys = PortalHotKeys::connect(address_);
    ASSERT_TRUE(keys);
    app::HotKeyController controller(keys);
    int fired = 0;
    controller.registerHotKey([&] { ++fired; });
    ASSERT_TRUE(log_.contains("hotkey registered (⌃⌥⌘L)"))
        << ::testing::PrintToString(log_.lines());
    EXPECT_EQ(mock("BoundTriggers"), std::vector<std::string>{"CTRL+ALT+LOGO+l"});

    mock("Activate", "s", "ClL1-1");
    EXPECT_TRUE(waitFor([&] { return fired == 1; }));

    // A shortcut id that is not ours does nothing; ours still works after it.
    mock("Activate", "s", "someone-else");
    mock("Activate", "s", "ClL1-1");
    EXPECT_TRUE(waitFor([&] { return fired == 2; }));
    runtime_.runFor(0.05);
    EXPECT_EQ(fired, 2);

    controller.unregister();
    // The Close call is sent without waiting; a round trip to the mock orders it first.
    mock("BoundTriggers");
    EXPECT_EQ(mock("ClosedSessions").size(), 1U);
    mock("Activate", "s", "ClL1-1");
    runtime_.runFor(0.1);
    EXPECT_EQ(fired, 2);
}

TEST_F(PortalHotKeysTest, DeclinedBindingIsARegistrationFailure) {
    mock("SetBindAnswer", "i", 1);
    auto keys = PortalHotKeys::connect(address_);
    ASSERT_TRUE(keys);
    app::HotKeyController controller(keys);
    controller.registerHotKey([] {});
    EXPECT_TRUE(
        log_.contains("hotkey registration FAILED (status -9880); another app may be using ⌃⌥⌘L"));
    mock("BoundTriggers");
    EXPECT_EQ(mock("ClosedSessions").size(), 1U) << "the refused session must be closed";
}

TEST_F(PortalHotKeysTest, SlowDesktopCountsAsBoundAndALateRefusalIsLogged) {
    mock("SetBindAnswer", "i", -1);
    auto keys = PortalHotKeys::connect(address_, 5, 0.2);
    ASSERT_TRUE(keys);
    app::HotKeyController controller(keys);
    controller.registerHotKey([] {});
    EXPECT_TRUE(controller.isRegistered());

    mock("AnswerBind", "u", 1);
    EXPECT_TRUE(waitFor(
        [&] { return log_.contains("hotkey binding declined by the desktop (response 1)"); }));
}

TEST(PortalHotKeysAbsent, NoPortalOnTheBusMeansNoBackend) {
    if (!test::hasProgram("dbus-daemon")) {
        GTEST_SKIP() << "needs dbus-daemon";
    }
    test::TempDir temp;
    test::ChildProcess bus = startPrivateBus(temp);
    const auto address = bus.readLine(20);
    ASSERT_TRUE(address.has_value());
    EXPECT_FALSE(PortalHotKeys::connect(*address, 2));
}

}  // namespace
}  // namespace noctave::linuxos
