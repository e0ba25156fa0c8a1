#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>

#include "app/AppDelegate.hpp"
#include "core/support/AppInfo.hpp"
#include "core/support/Log.hpp"
#include "core/support/Prefs.hpp"
#include "platform/sim/SimPower.hpp"
#include "tests/app/ShellTest.hpp"
#include "tests/support/SimTest.hpp"

namespace noctave::test {
namespace {

using State = SessionController::State;
using Click = app::StatusItem::Click;
using IconState = app::MenuBarIcon::State;

class FakeCurtain final : public app::Curtain {
  public:
    explicit FakeCurtain(std::vector<std::string>* calls) : calls_(calls) {}
    void hide() override { calls_->push_back("hide"); }
    void seal() override { calls_->push_back("seal"); }
    void retract() override { calls_->push_back("retract"); }
    void setProgress(std::optional<double>) override { calls_->push_back("progress"); }
    bool isTrackingGesture() const override { return isTracking; }
    bool isTracking = false;

  private:
    std::vector<std::string>* calls_;
};

class FakeUpdates final : public app::UpdateAdapter {
  public:
    bool isConfigured() const override { return true; }
    bool hasUpdater() const override { return false; }
    void checkForUpdates() override { ++checks; }
    void explainMissingFeed() override { ++explanations; }
    int checks = 0;
    int explanations = 0;
};

class AppDelegateTest : public SimTest {
  protected:
    AppDelegateTest() { ensureApplication(); }
    ~AppDelegateTest() override {
        delegate.reset();
        runUntilIdle();
    }

    void launch(std::function<std::unique_ptr<app::UpdateAdapter>()> makeUpdates = {}) {
        app::AppDelegate::Options options;
        options.arguments = {"noctave"};
        options.makeStatusItem = [this] {
            ++statusItemsMade;
            return std::make_unique<FakeStatusItem>(tray);
        };
        options.makeUpdates = std::move(makeUpdates);
        options.terminate = [this] { ++terminations; };
        options.openURL = [this](const std::string& url) { openedURLs.push_back(url); };
        delegate = std::make_unique<app::AppDelegate>(std::move(options));
        delegate->applicationDidFinishLaunching();
        runUntilIdle();
    }

    State state() { return delegate->session()->state(); }
    void click(Click click) {
        delegate->statusItem()->onClick(click);
        runUntilIdle();
    }
    const app::MenuEntry& firstMenuEntry() { return tray->menus.back().front(); }
    std::vector<QString> menuTitles() {
        std::vector<QString> titles;
        for (const auto& entry : tray->menus.back()) {
            titles.push_back(entry.kind == app::MenuEntry::Kind::separator ? "-" : entry.title);
        }
        return titles;
    }
    // Makes every write of the lid-close flag fail, then disarms: the clear cannot be confirmed.
    void enterRestoreFailed() {
        ASSERT_TRUE(delegate->session()->arm("test"));
        laptop.power().setRefuseFlag(true);
        delegate->session()->disarm("test");
        runUntilIdle();
        ASSERT_EQ(state(), State::restoreFailed);
    }

    AlertRecorder alerts;
    std::shared_ptr<FakeStatusItem::Record> tray = std::make_shared<FakeStatusItem::Record>();
    int statusItemsMade = 0;
    int terminations = 0;
    std::vector<std::string> openedURLs;
    std::unique_ptr<app::AppDelegate> delegate;
};

TEST_F(AppDelegateTest, LaunchWithoutTheRootPowerDomainAlertsThenTerminatesWithNothingSetUp) {
    laptop.power().setRootDomainPresent(false);
    launch();

    ASSERT_EQ(alerts.alerts().size(), 1u);
    const app::Alert& alert = alerts.alerts().front();
    EXPECT_EQ(alert.message, "Noctave could not start");
    EXPECT_TRUE(
        alert.informativeText.startsWith("Could not open a connection to IOPMrootDomain.\n\n"));
    EXPECT_GT(alert.informativeText.size(),
              QString("Could not open a connection to IOPMrootDomain.\n\n").size());
    EXPECT_EQ(alert.style, app::Alert::Style::critical);
    EXPECT_FALSE(alert.activatesApplication);
    EXPECT_EQ(terminations, 1);
    EXPECT_EQ(statusItemsMade, 0);
    EXPECT_EQ(delegate->session(), nullptr);
    EXPECT_EQ(laptop.power().workspaceObservers(), 0);

    // Termination still runs its steps without a session.
    delegate->applicationWillTerminate();
    EXPECT_FALSE(log.contains("clean exit"));
}

TEST_F(AppDelegateTest, LaunchForcesAutomaticUpdatesOnAppliesVerboseAndShowsTheReadyItem) {
    Prefs::setAutomaticUpdates(false);
    Prefs::setVerboseLogging(true);
    Log::setVerbose(false);
    launch();

    EXPECT_TRUE(Prefs::automaticUpdates());
    EXPECT_TRUE(Log::verbose());
    EXPECT_TRUE(log.contains("launch (v" + AppInfo::version() + ")"));
    EXPECT_TRUE(alerts.alerts().empty());
    EXPECT_EQ(statusItemsMade, 1);
    EXPECT_EQ(tray->iconState, IconState::ready);
    EXPECT_TRUE(tray->isTemplate);
    EXPECT_EQ(tray->toolTip, "Noctave - ready (not active)");
    EXPECT_EQ(tray->accessibilityValue, "Noctave - ready (not active)");
    EXPECT_EQ(tray->accessibilityLabel, "Noctave");
    // There is no onboarding to show yet, so the first run is not marked as seen.
    EXPECT_FALSE(Prefs::hasSeenOnboarding());
}

TEST_F(AppDelegateTest, StateChangesDriveTheIconAndTooltip) {
    launch();
    click(Click::left);
    firstMenuEntry().action();  // "Arm for Next Close"
    EXPECT_EQ(state(), State::armed);
    EXPECT_TRUE(laptop.power().kernelFlag());
    EXPECT_EQ(tray->iconState, IconState::armed);
    EXPECT_TRUE(tray->isTemplate);
    EXPECT_EQ(tray->toolTip, "Noctave - active; the next lid close keeps this Mac awake");
    EXPECT_EQ(tray->accessibilityValue, tray->toolTip);

    // Pending draws the ready icon but says it is closing.
    delegate->session()->onStateChange(State::pending);
    EXPECT_EQ(tray->iconState, IconState::ready);
    EXPECT_EQ(tray->toolTip, QString::fromUtf8("Noctave - closing\u2026"));

    laptop.power().setRefuseFlag(true);
    delegate->session()->disarm("test");
    runUntilIdle();
    EXPECT_EQ(tray->iconState, IconState::warning);
    EXPECT_FALSE(tray->isTemplate);
    EXPECT_EQ(tray->iconDescription, "Noctave needs attention");
    EXPECT_EQ(tray->toolTip, "Noctave - could not restore lid sleep; retrying");

    laptop.power().setRefuseFlag(false);
    advance(6);  // the restore retry clears the flag
    EXPECT_EQ(state(), State::disarmed);
    EXPECT_EQ(tray->iconState, IconState::ready);
    EXPECT_EQ(tray->toolTip, "Noctave - ready (not active)");
}

TEST_F(AppDelegateTest, RightClickTogglesInEveryStateWhenAllowedElseOpensTheMenu) {
    Prefs::setArmWithRightClick(true);
    launch();
    click(Click::right);
    EXPECT_EQ(state(), State::armed);
    EXPECT_TRUE(log.contains("armed (right-click)"));
    click(Click::right);
    EXPECT_EQ(state(), State::disarmed);
    EXPECT_TRUE(log.contains("disarmed (right-click)"));
    EXPECT_TRUE(tray->menus.empty());

    // In restoreFailed a right click arms again rather than repeating the failed disarm.
    enterRestoreFailed();
    laptop.power().setRefuseFlag(false);
    log.clear();
    click(Click::right);
    EXPECT_EQ(state(), State::armed);
    EXPECT_EQ(log.count("armed (right-click)"), 1u);

    Prefs::setArmWithRightClick(false);
    click(Click::right);
    EXPECT_EQ(state(), State::armed);
    ASSERT_EQ(tray->menus.size(), 1u);
    EXPECT_EQ(firstMenuEntry().title, "Disarm");
}

TEST_F(AppDelegateTest, TheMenuIsBuiltForTheCurrentStateAndOffersUpdatesOnlyWithAFeed) {
    launch();
    click(Click::left);
    const std::vector<QString> expected = {
        "Arm for Next Close", "Keep Awake (lid open)", "-", "Settings...", "-", "Quit Noctave"};
    EXPECT_EQ(menuTitles(), expected);
    EXPECT_FALSE(tray->menus.back()[1].isChecked);
    EXPECT_EQ(tray->menus.back()[3].keyEquivalent, QKeySequence(Qt::CTRL | Qt::Key_Comma));
    EXPECT_EQ(tray->menus.back()[5].keyEquivalent, QKeySequence(Qt::CTRL | Qt::Key_Q));

    tray->menus.back()[1].action();  // Keep Awake
    EXPECT_TRUE(Prefs::keepAwake());
    EXPECT_TRUE(delegate->session()->isKeepAwakeActive());
    delegate->session()->arm("test");
    click(Click::left);
    EXPECT_EQ(firstMenuEntry().title, "Disarm");
    EXPECT_TRUE(tray->menus.back()[1].isChecked);
    firstMenuEntry().action();
    EXPECT_EQ(state(), State::disarmed);
    EXPECT_TRUE(log.contains("disarmed (menu)"));

    tray->menus.back().back().action();  // Quit
    EXPECT_EQ(terminations, 1);
}

TEST_F(AppDelegateTest, ConfiguredUpdatesAddTheCheckEntryAndInstallingShutsTheSessionDown) {
    FakeUpdates* updates = nullptr;
    launch([&updates] {
        auto made = std::make_unique<FakeUpdates>();
        updates = made.get();
        return made;
    });
    click(Click::left);
    ASSERT_EQ(menuTitles().at(4), QString::fromUtf8("Check for Updates\u2026"));
    tray->menus.back()[4].action();
    EXPECT_EQ(updates->explanations, 1);  // no updater: the explanation, not a check
    EXPECT_EQ(updates->checks, 0);

    delegate->session()->arm("test");
    ASSERT_TRUE(updates->willInstallUpdate);
    updates->willInstallUpdate();
    EXPECT_FALSE(laptop.power().kernelFlag());
    EXPECT_TRUE(log.contains("clean exit"));
}

TEST_F(AppDelegateTest, NoticesAreShownAsAlertsWithTheirTexts) {
    launch();
    laptop.power().setRefuseFlag(true);
    click(Click::left);
    firstMenuEntry().action();
    ASSERT_EQ(alerts.alerts().size(), 1u);
    EXPECT_EQ(alerts.alerts()[0].message, "Could not change the Mac's sleep setting");
    EXPECT_EQ(alerts.alerts()[0].informativeText, "Try again.");
    EXPECT_EQ(alerts.alerts()[0].style, app::Alert::Style::warning);
    EXPECT_EQ(alerts.alerts()[0].buttons, QStringList{"OK"});
    EXPECT_TRUE(alerts.alerts()[0].activatesApplication);
    EXPECT_TRUE(log.contains("notice: Could not change the Mac's sleep setting - Try again."));

    delegate->remoteConfig().onOutdated("2.0");
    ASSERT_EQ(alerts.alerts().size(), 2u);
    EXPECT_EQ(alerts.alerts()[1].message, QString::fromUtf8("There\u2019s a newer Noctave"));
    EXPECT_EQ(alerts.alerts()[1].informativeText,
              QString::fromStdString("This Mac is running " + AppInfo::version() +
                                     " and 2.0 is the oldest version still supported. "
                                     "Settings \u2192 About \u2192 Check for Updates will "
                                     "fetch it."));
}

TEST_F(AppDelegateTest, RemoteNoticeOffersReadMoreOnlyForASafeAddress) {
    AppInfo::Values values = AppInfo::values();
    values.webDomain = "noctave.example";
    AppInfo::Override info(values);
    launch();

    RemoteConfig::Notice notice{"n1", "Hello", "Body text", "https://noctave.example/news"};
    alerts.queueAnswer(1);
    delegate->remoteConfig().onNotice(notice);
    ASSERT_EQ(alerts.alerts().size(), 1u);
    const app::Alert& shown = alerts.alerts()[0];
    EXPECT_EQ(shown.message, "Hello");
    EXPECT_EQ(shown.informativeText, "Body text");
    EXPECT_EQ(shown.style, app::Alert::Style::informational);
    EXPECT_TRUE(shown.icon.has_value());
    EXPECT_EQ(shown.buttons, (QStringList{"OK", "Read More"}));
    EXPECT_EQ(openedURLs, std::vector<std::string>{"https://noctave.example/news"});
    EXPECT_TRUE(log.contains("notice: Hello"));

    notice.url = "http://noctave.example/news";  // not https
    delegate->remoteConfig().onNotice(notice);
    notice.url = "https://elsewhere.example/";
    alerts.queueAnswer(1);  // even a second-button answer opens nothing
    delegate->remoteConfig().onNotice(notice);
    EXPECT_EQ(alerts.alerts()[1].buttons, QStringList{"OK"});
    EXPECT_EQ(alerts.alerts()[2].buttons, QStringList{"OK"});
    EXPECT_EQ(openedURLs.size(), 1u);
}

TEST_F(AppDelegateTest, TerminationShutsTheSessionDownOnceAndClearsTheFlag) {
    launch();
    const int observersBefore = laptop.power().workspaceObservers();
    delegate->session()->arm("menu");
    ASSERT_TRUE(laptop.power().kernelFlag());
    delegate->applicationWillTerminate();
    delegate->applicationWillTerminate();
    runUntilIdle();
    EXPECT_FALSE(laptop.power().kernelFlag());
    EXPECT_TRUE(log.contains("disarmed (quit)"));
    EXPECT_EQ(log.count("clean exit"), 1u);
    EXPECT_EQ(laptop.power().workspaceObservers(), observersBefore - 4);
}

TEST_F(AppDelegateTest, TheCurtainFollowsTheSessionButALiveGestureKeepsIt) {
    launch();
    std::vector<std::string> calls;
    auto curtain = std::make_unique<FakeCurtain>(&calls);
    FakeCurtain* fake = curtain.get();
    delegate->attachCurtain(std::move(curtain));
    auto& onStateChange = delegate->session()->onStateChange;

    onStateChange(State::pending);
    EXPECT_TRUE(calls.empty());
    onStateChange(State::armed);
    fake->isTracking = true;
    onStateChange(State::disarmed);
    fake->isTracking = false;
    onStateChange(State::restoreFailed);
    delegate->session()->onLidOpen();
    laptop.power().postWorkspace(os::Workspace::Notification::screensDidWake);
    laptop.power().postWorkspace(os::Workspace::Notification::sessionDidBecomeActive);
    runUntilIdle();
    EXPECT_EQ(calls, (std::vector<std::string>{"seal", "retract", "hide", "hide", "hide"}));

    delegate->applicationWillTerminate();
    auto hides = [&] { return std::count(calls.begin(), calls.end(), "hide"); };
    EXPECT_EQ(hides(), 4);
    laptop.power().postWorkspace(os::Workspace::Notification::screensDidWake);
    laptop.power().postWorkspace(os::Workspace::Notification::sessionDidBecomeActive);
    runUntilIdle();
    EXPECT_EQ(hides(), 4);  // the observers are gone
}

}  // namespace
}  // namespace noctave::test
