#include "platform/linux/hotkeys/X11HotKeys.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>

#include "app/HotKeyController.hpp"
#include "core/runtime/ThreadedRuntime.hpp"
#include "platform/linux/hotkeys/LinuxHotKeys.hpp"
#include "tests/integration/ChildProcess.hpp"
#include "tests/integration/EnvironmentOverride.hpp"
#include "tests/support/LogCapture.hpp"

namespace noctave::linuxos {
namespace {

// A private X server on a display number it picks itself, and xdotool to type on it.
class X11HotKeysTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!test::hasProgram("Xvfb") || !test::hasProgram("xdotool")) {
            GTEST_SKIP() << "needs Xvfb and xdotool";
        }
        server_.emplace(std::vector<std::string>{"Xvfb", "-displayfd", "3", "-nolisten", "tcp",
                                                 "-screen", "0", "320x240x24"},
                        std::map<std::string, std::string>{}, 3);
        const auto number = server_->readLine(20);
        ASSERT_TRUE(number.has_value()) << "Xvfb did not start";
        display_ = ":" + *number;
    }

    void type(const std::string& keys) {
        ASSERT_EQ(test::ChildProcess::run({"xdotool", "key", keys}, {{"DISPLAY", display_}}), 0);
    }

    bool waitFor(const std::function<bool()>& done) { return runtime_.runUntil(done, 10); }

    runtime::ThreadedRuntime runtime_;
    runtime::RuntimeInstaller installer_{runtime_};
    test::LogCapture log_;
    std::optional<test::ChildProcess> server_;
    std::string display_;
};

TEST_F(X11HotKeysTest, ChordReachesOnFireWithAndWithoutLockKeys) {
    auto keys = X11HotKeys::connect(display_);
    ASSERT_TRUE(keys);
    app::HotKeyController controller(keys);
    int fired = 0;
    controller.registerHotKey([&] { ++fired; });
    ASSERT_TRUE(log_.contains("hotkey registered (⌃⌥⌘L)"))
        << ::testing::PrintToString(log_.lines());

    type("ctrl+alt+super+l");
    EXPECT_TRUE(waitFor([&] { return fired == 1; }));

    type("Num_Lock");
    type("ctrl+alt+super+l");
    EXPECT_TRUE(waitFor([&] { return fired == 2; })) << "NumLock on swallowed the chord";
    type("Num_Lock");

    type("Caps_Lock");
    type("ctrl+alt+super+l");
    EXPECT_TRUE(waitFor([&] { return fired == 3; })) << "CapsLock on swallowed the chord";
    type("Caps_Lock");

    // Another chord on the same letter is not ours. The next press of ours proves the
    // stray one was delivered and ignored, not merely late.
    type("ctrl+alt+l");
    type("ctrl+alt+super+l");
    EXPECT_TRUE(waitFor([&] { return fired == 4; }));
    runtime_.runFor(0.05);
    EXPECT_EQ(fired, 4);
}

TEST_F(X11HotKeysTest, ChordHeldByAnotherClientFailsUntilItIsReleased) {
    auto other = X11HotKeys::connect(display_);
    auto ours = X11HotKeys::connect(display_);
    ASSERT_TRUE(other && ours);
    os::HotKeys::HotKeyRef held = 0;
    ASSERT_EQ(other->registerHotKey(app::HotKeyController::kKeyCode,
                                    app::HotKeyController::kModifiers, {1, 1}, 0, &held),
              os::HotKeys::kNoError);

    app::HotKeyController controller(ours);
    controller.registerHotKey([] {});
    EXPECT_TRUE(
        log_.contains("hotkey registration FAILED (status -9878); another app may be using ⌃⌥⌘L"));
    EXPECT_TRUE(controller.isHandlerInstalled());

    // Releasing every lock variant lets the chord be taken again.
    ASSERT_EQ(other->unregisterHotKey(held), os::HotKeys::kNoError);
    controller.registerHotKey([] {});
    EXPECT_TRUE(controller.isRegistered());

    // And ours, once released, leaves nothing behind that blocks the other client.
    controller.unregister();
    EXPECT_EQ(other->registerHotKey(app::HotKeyController::kKeyCode,
                                    app::HotKeyController::kModifiers, {1, 1}, 0, &held),
              os::HotKeys::kNoError);
}

TEST_F(X11HotKeysTest, WithoutThePortalTheMachineFallsBackToX11ButNotOnWayland) {
    test::EnvironmentOverride noBus{"DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/bus"};
    test::EnvironmentOverride display{"DISPLAY", display_};
    test::EnvironmentOverride noWayland{"WAYLAND_DISPLAY", std::nullopt};
    test::EnvironmentOverride x11Session{"XDG_SESSION_TYPE", "x11"};
    {
        app::HotKeyController controller(makeHotKeys());
        int fired = 0;
        controller.registerHotKey([&] { ++fired; });
        EXPECT_TRUE(log_.contains("hotkey service: X11 key grab"));
        type("ctrl+alt+super+l");
        EXPECT_TRUE(waitFor([&] { return fired == 1; }));
    }

    test::EnvironmentOverride wayland{"XDG_SESSION_TYPE", "wayland"};
    app::HotKeyController controller(makeHotKeys());
    log_.clear();
    controller.registerHotKey([] {});
    EXPECT_EQ(log_.lines(),
              (std::vector<std::string>{
                  "INF hotkey service unavailable (Wayland session without the GlobalShortcuts "
                  "portal)",
                  "WRN hotkey handler install FAILED (status -4)"}));
}

}  // namespace
}  // namespace noctave::linuxos
