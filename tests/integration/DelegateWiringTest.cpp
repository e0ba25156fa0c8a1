#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "app/AppDelegate.hpp"
#include "app/HotKeyController.hpp"
#include "core/support/AppInfo.hpp"
#include "core/support/Prefs.hpp"
#include "platform/sim/SimHotKeys.hpp"
#include "platform/sim/SimHttpClient.hpp"
#include "tests/app/ShellTest.hpp"
#include "tests/support/SimTest.hpp"

namespace noctave::app {
namespace {

using State = SessionController::State;

// The shortcut and the update adapter as the running application uses them: the delegate
// with its default update adapter, on the virtual laptop.
class DelegateWiringTest : public test::SimTest {
  protected:
    DelegateWiringTest() { test::ensureApplication(); }
    ~DelegateWiringTest() override {
        if (delegate) {
            delegate->applicationWillTerminate();
        }
        delegate.reset();
        runUntilIdle();
    }

    void launch(const AppInfo::Values& values) {
        build.emplace(values);
        AppDelegate::Options options;
        options.arguments = {"noctave"};
        options.makeStatusItem = [this] { return std::make_unique<test::FakeStatusItem>(tray); };
        options.terminate = [] {};
        options.openURL = [](const std::string&) {};
        delegate = std::make_unique<AppDelegate>(std::move(options));
        delegate->applicationDidFinishLaunching();
        runUntilIdle();
    }

    static AppInfo::Values values(std::string feed, std::string key) {
        AppInfo::Values result;
        result.shortVersion = "1.4.2";
        result.feedURL = std::move(feed);
        result.publicEDKey = std::move(key);
        return result;
    }

    bool pressChord() {
        const bool delivered =
            laptop.hotKeys().press(HotKeyController::kKeyCode, HotKeyController::kModifiers);
        runUntilIdle();
        return delivered;
    }

    const MenuEntry* menuEntry(const std::string& title) {
        entries = delegate->statusMenuEntries();
        for (const auto& entry : entries) {
            if (entry.title.toStdString() == title) {
                return &entry;
            }
        }
        return nullptr;
    }

    std::optional<AppInfo::Override> build;
    std::shared_ptr<test::FakeStatusItem::Record> tray =
        std::make_shared<test::FakeStatusItem::Record>();
    test::AlertRecorder alerts;
    std::unique_ptr<AppDelegate> delegate;
    std::vector<MenuEntry> entries;
};

TEST_F(DelegateWiringTest, ShortcutTogglesTheSessionWhileThePreferenceIsOn) {
    launch(values("REPLACE_ME", "REPLACE_ME"));
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
    launch(values("REPLACE_ME", "REPLACE_ME"));
    EXPECT_TRUE(log.contains("no update feed configured in this build"));
    EXPECT_EQ(menuEntry("Check for Updates\u2026"), nullptr);

    delegate->checkForUpdatesFromMenu();
    ASSERT_EQ(alerts.alerts().size(), 1U);
    EXPECT_EQ(alerts.alerts()[0].message.toStdString(), "This build has no update source");
    EXPECT_TRUE(alerts.alerts()[0].informativeText.startsWith(QStringLiteral("Noctave 1.4.2 ")));
}

TEST_F(DelegateWiringTest, ConfiguredBuildChecksFromTheMenuAndShutsDownBeforeAnInstall) {
    launch(values("https://updates.example.com/appcast.xml", "key"));
    EXPECT_TRUE(log.contains("updater ready (feed https://updates.example.com/appcast.xml)"));
    const MenuEntry* check = menuEntry("Check for Updates\u2026");
    ASSERT_NE(check, nullptr);

    const auto before = laptop.http().requests().size();
    laptop.http().script(sim::SimHttpClient::Reply::document(
        "<rss xmlns:u=\"http://example.com/ns\"><channel><item><u:version>1.4.2</u:version>"
        "</item></channel></rss>"));
    check->action();
    runUntilIdle();
    const auto requests = laptop.http().requests();
    ASSERT_EQ(requests.size(), before + 1);
    EXPECT_EQ(requests.back().url, "https://updates.example.com/appcast.xml");
    ASSERT_EQ(alerts.alerts().size(), 1U);
    EXPECT_EQ(alerts.alerts()[0].message.toStdString(), "You're up to date");

    // What the delegate hands the adapter restores the machine before an installer runs.
    delegate->session()->arm("menu");
    ASSERT_TRUE(delegate->updates()->willInstallUpdate);
    delegate->updates()->willInstallUpdate();
    EXPECT_EQ(delegate->session()->state(), State::disarmed);
    EXPECT_TRUE(log.contains("clean exit"));
}

}  // namespace
}  // namespace noctave::app
