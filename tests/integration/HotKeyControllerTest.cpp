#include "app/HotKeyController.hpp"

#include <gtest/gtest.h>

#include "platform/sim/SimHotKeys.hpp"
#include "tests/support/SimTest.hpp"

namespace noctave::app {
namespace {

using os::HotKeys;

class HotKeyControllerTest : public test::SimTest {
  protected:
    sim::SimHotKeys& keys() { return laptop.hotKeys(); }
    bool pressChord() {
        return keys().press(HotKeyController::kKeyCode, HotKeyController::kModifiers);
    }
};

TEST_F(HotKeyControllerTest, PressReachesOnFireOnlyThroughTheMainQueue) {
    HotKeyController controller;
    int fired = 0;
    controller.registerHotKey([&] { ++fired; });

    EXPECT_TRUE(log.contains("hotkey registered (⌃⌥⌘L)"));
    EXPECT_TRUE(controller.isRegistered());
    ASSERT_TRUE(pressChord());
    EXPECT_EQ(fired, 0) << "onFire must not run inside the event dispatch";
    runUntilIdle();
    EXPECT_EQ(fired, 1);

    // Another chord is not ours.
    EXPECT_FALSE(keys().press(HotKeyController::kKeyCode, HotKeys::kCommand));
}

TEST_F(HotKeyControllerTest, RegisteringTwiceKeepsOneRegistrationAndOnlyTheNewCallback) {
    HotKeyController controller;
    int first = 0;
    int second = 0;
    controller.registerHotKey([&] { ++first; });
    controller.registerHotKey([&] { ++second; });

    EXPECT_EQ(keys().registrationCount(), 1U);
    EXPECT_EQ(keys().handlerCount(), 1U);
    EXPECT_EQ(log.count("hotkey registered (⌃⌥⌘L)"), 2U);
    ASSERT_TRUE(pressChord());
    runUntilIdle();
    EXPECT_EQ(first, 0);
    EXPECT_EQ(second, 1);
}

TEST_F(HotKeyControllerTest, UnregisterOnANewControllerTouchesNothing) {
    HotKeyController controller;
    controller.unregister();
    EXPECT_EQ(keys().operationCount(), 0);
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(HotKeyControllerTest, TakenChordLeavesTheHandlerInstalledUntilUnregister) {
    std::string error;
    ASSERT_TRUE(laptop.configure("hotkey=taken", &error)) << error;
    HotKeyController controller;
    int fired = 0;
    controller.registerHotKey([&] { ++fired; });

    EXPECT_EQ(log.lines(), std::vector<std::string>{
                               "WRN hotkey registration FAILED (status -9878); another app may be "
                               "using ⌃⌥⌘L"});
    EXPECT_FALSE(controller.isRegistered());
    EXPECT_TRUE(controller.isHandlerInstalled());
    EXPECT_EQ(keys().handlerCount(), 1U);
    EXPECT_FALSE(pressChord());

    controller.unregister();
    EXPECT_EQ(keys().handlerCount(), 0U);
    EXPECT_FALSE(controller.isHandlerInstalled());

    // Once the chord is free again, the next registration works.
    ASSERT_TRUE(laptop.configure("hotkey=free", &error)) << error;
    controller.registerHotKey([&] { ++fired; });
    ASSERT_TRUE(pressChord());
    runUntilIdle();
    EXPECT_EQ(fired, 1);
}

TEST_F(HotKeyControllerTest, FailedHandlerInstallRegistersNothing) {
    keys().setInstallFailure(-108);
    HotKeyController controller;
    controller.registerHotKey([] {});
    EXPECT_EQ(log.lines(),
              std::vector<std::string>{"WRN hotkey handler install FAILED (status -108)"});
    EXPECT_EQ(keys().registrationCount(), 0U);
    EXPECT_FALSE(controller.isHandlerInstalled());
}

TEST_F(HotKeyControllerTest, DestroyedControllerReleasesAllAndDropsPendingPresses) {
    int fired = 0;
    {
        HotKeyController controller;
        controller.registerHotKey([&] { ++fired; });
        ASSERT_TRUE(pressChord());
    }
    EXPECT_EQ(keys().registrationCount(), 0U);
    EXPECT_EQ(keys().handlerCount(), 0U);
    runUntilIdle();
    EXPECT_EQ(fired, 0);
}

TEST_F(HotKeyControllerTest, PlatformWithoutShortcutsLogsTheInstallFailure) {
    laptop.system().hotKeys.reset();
    HotKeyController controller;
    controller.registerHotKey([] {});
    EXPECT_EQ(log.lines(),
              std::vector<std::string>{"WRN hotkey handler install FAILED (status -4)"});
}

}  // namespace
}  // namespace noctave::app
