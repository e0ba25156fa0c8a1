#include "app/integration/HotKeyController.hpp"

#include <gtest/gtest.h>

#include "platform/sim/SimHotKeys.hpp"
#include "tests/support/SimTest.hpp"

namespace noctave::app {
namespace {

class HotKeyControllerTest : public test::SimTest {
  protected:
    sim::SimHotKeys& keys() { return laptop.hotKeys(); }
    bool pressChord() {
        return keys().press(HotKeyController::kKeyCode, HotKeyController::kModifiers);
    }
};

TEST_F(HotKeyControllerTest, RegisteringTwiceKeepsOneRegistrationAndOnlyTheNewCallback) {
    HotKeyController controller;
    controller.unregister();
    EXPECT_EQ(keys().operationCount(), 0) << "nothing to undo on a new controller";
    EXPECT_TRUE(log.lines().empty());

    int first = 0;
    int second = 0;
    controller.registerHotKey([&] { ++first; });
    controller.registerHotKey([&] { ++second; });
    EXPECT_EQ(keys().registrationCount(), 1U);
    EXPECT_EQ(keys().handlerCount(), 1U);
    EXPECT_EQ(log.count("hotkey registered (⌃⌥⌘L)"), 2U);
    ASSERT_TRUE(pressChord());
    EXPECT_EQ(second, 0) << "onFire must not run inside the event dispatch";
    runUntilIdle();
    EXPECT_EQ(first, 0);
    EXPECT_EQ(second, 1);
    EXPECT_FALSE(keys().press(HotKeyController::kKeyCode, os::HotKeys::kCommand));
}

TEST_F(HotKeyControllerTest,
       TakenChordLeavesTheHandlerInstalledUntilUnregisterAndAFreedOneRegistersAgain) {
    std::string error;
    ASSERT_TRUE(laptop.configure("hotkey=taken", &error)) << error;
    HotKeyController controller;
    int fired = 0;
    controller.registerHotKey([&] { ++fired; });
    EXPECT_EQ(log.lines(), std::vector<std::string>{
                               "WRN hotkey registration FAILED (status -9878); another app may be "
                               "using ⌃⌥⌘L"});
    EXPECT_FALSE(controller.isRegistered());
    EXPECT_EQ(keys().handlerCount(), 1U);

    controller.unregister();
    EXPECT_EQ(keys().handlerCount(), 0U);
    EXPECT_FALSE(controller.isHandlerInstalled());

    ASSERT_TRUE(laptop.configure("hotkey=free", &error)) << error;
    controller.registerHotKey([&] { ++fired; });
    ASSERT_TRUE(pressChord());
    runUntilIdle();
    EXPECT_EQ(fired, 1);
}

TEST_F(HotKeyControllerTest, WithoutAnEventHandlerNothingIsRegistered) {
    keys().setInstallFailure(-108);
    HotKeyController().registerHotKey([] {});
    EXPECT_EQ(keys().registrationCount(), 0U);
    EXPECT_EQ(log.lines(),
              std::vector<std::string>{"WRN hotkey handler install FAILED (status -108)"});
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

}  // namespace
}  // namespace noctave::app
