#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "app/integration/HotKeyController.hpp"
#include "core/support/AppInfo.hpp"
#include "core/support/Prefs.hpp"
#include "platform/sim/SimHotKeys.hpp"
#include "tests/support/DelegateTest.hpp"

namespace noctave::app {
namespace {

// The shortcut and the update adapter as the running application uses them: the delegate
// of a build without an update feed, on the virtual laptop.
class DelegateWiringTest : public test::DelegateTest {
  protected:
    DelegateWiringTest() { launch(); }
    ~DelegateWiringTest() override {
        delegate->applicationWillTerminate();
        delegate.reset();
        runUntilIdle();
    }

    bool pressChord() {
        const bool delivered =
            laptop.hotKeys().press(HotKeyController::kKeyCode, HotKeyController::kModifiers);
        runUntilIdle();
        return delivered;
    }

    AppInfo::Override build{{"1.4.2", false, "", "REPLACE_ME", "REPLACE_ME", ""}};
};

TEST_F(DelegateWiringTest, ShortcutTogglesTheSessionWhileThePreferenceIsOn) {
    ASSERT_TRUE(log.contains("hotkey registered (⌃⌥⌘L)"));
    ASSERT_TRUE(pressChord());
    EXPECT_EQ(delegate->session()->state(), State::armed);
    ASSERT_TRUE(pressChord());
    EXPECT_EQ(delegate->session()->state(), State::disarmed);

    Prefs::setArmWithShortcut(false);
    delegate->updateHotKeyRegistration();
    EXPECT_FALSE(pressChord());
    EXPECT_EQ(laptop.hotKeys().handlerCount(), 0U);

    Prefs::setArmWithShortcut(true);
    delegate->updateHotKeyRegistration();
    delegate->applicationWillTerminate();
    EXPECT_EQ(laptop.hotKeys().registrationCount(), 0U);
    EXPECT_EQ(laptop.hotKeys().handlerCount(), 0U);
}

TEST_F(DelegateWiringTest, UnconfiguredBuildExplainsTheMissingUpdateSource) {
    EXPECT_TRUE(log.contains("no update feed configured in this build"));
    for (const auto& entry : delegate->statusMenuEntries()) {
        EXPECT_NE(entry.title.toStdString(), "Check for Updates\u2026");
    }
    delegate->checkForUpdatesFromMenu();
    ASSERT_EQ(alerts.size(), 1U);
    EXPECT_EQ(alerts[0].message.toStdString(), "This build has no update source");
    EXPECT_EQ(alerts[0].informativeText.toStdString(),
              "Noctave 1.4.2 was built without an update feed, which is normal for a build you "
              "compiled yourself. Released builds update themselves.");
    EXPECT_EQ(alerts[0].buttons, QStringList{QStringLiteral("OK")});
}

}  // namespace
}  // namespace noctave::app
