#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include <QAction>
#include <QMenu>

#include "app/AppDelegate.hpp"
#include "app/tray/Alerts.hpp"
#include "core/gesture/GestureDriver.hpp"
#include "core/support/AppInfo.hpp"
#include "core/support/Prefs.hpp"
#include "core/support/UserDefaults.hpp"
#include "platform/sim/SimHotKeys.hpp"
#include "platform/sim/SimPower.hpp"
#include "platform/sim/SimProcesses.hpp"
#include "platform/sim/SimScreen.hpp"
#include "tests/app/ShellTest.hpp"
#include "tests/support/BusDaemon.hpp"
#include "tests/support/DelegateTest.hpp"
#include "tests/support/SimTest.hpp"

namespace noctave::test {
namespace {

using IconState = app::MenuBarIcon::State;
using Notification = os::Workspace::Notification;

class FakeCloseOverlay final : public app::CloseOverlay {
  public:
    void hide() override { calls.push_back("hide"); }
    void seal() override { calls.push_back("seal"); }
    void retract() override { calls.push_back("retract"); }
    void setProgress(std::optional<double>) override {}
    bool isTrackingGesture() const override { return isTracking; }
    bool isTracking = false;
    std::vector<std::string> calls;
};

// A build with an update feed but no running updater.
class FakeUpdates final : public app::UpdateAdapter {
  public:
    bool isConfigured() const override { return true; }
    bool hasUpdater() const override { return false; }
    void checkForUpdates() override { ADD_FAILURE() << "checked without an updater"; }
    void explainMissingFeed() override { ++explanations; }
    bool isChecking() const override { return checking; }
    int explanations = 0;
    bool checking = false;
};

class AppDelegateTest : public DelegateTest {
  protected:
    void startLaunch(std::unique_ptr<app::UpdateAdapter> updates = nullptr) {
        DelegateTest::startLaunch([&updates](app::AppDelegate::Options& options) {
            if (updates) {
                options.makeUpdates = [&updates] { return std::move(updates); };
            }
        });
    }
    void launch(std::unique_ptr<app::UpdateAdapter> updates = nullptr) {
        startLaunch(std::move(updates));
        runUntilIdle();
    }
    std::vector<app::MenuEntry>& menu() { return tray->menus.back(); }
    void expectItem(IconState icon, const char* toolTip) {
        EXPECT_EQ(tray->icon, icon);
        EXPECT_EQ(tray->isTemplate, icon != IconState::warning);
        EXPECT_EQ(tray->toolTip, QString::fromUtf8(toolTip));
        EXPECT_EQ(tray->value, tray->toolTip);
    }
};

// A launch that cannot reach the power service alerts and terminates with nothing set up. After
// the alert's fixed first sentence, the cause the platform gave, or else the service's own words;
// the log line keeps those words either way.
TEST_F(AppDelegateTest, LaunchFailureAlertsWithThePlatformsCauseAndTerminatesWithNothingSetUp) {
    const std::string bus =
        "system bus unavailable (org.freedesktop.DBus.Error.NoServer: Connection refused)";
    const std::string logind = "systemd-logind does not answer (Connection timed out)";
    struct Case {
        bool present;
        std::optional<os::IoReturn> openFailure;
        std::string cause;
        std::string detail;
        std::string logged;
    };
    const std::vector<Case> cases = {
        {false, std::nullopt, "", "IOPMrootDomain service not found",
         "IOPMrootDomain service not found"},
        {true, 0x71, "", "IOServiceOpen failed (0x71)", "IOServiceOpen failed (0x71)"},
        {false, std::nullopt, bus, bus, "IOPMrootDomain service not found"},
        {true, 0x6e, logind, logind, "IOServiceOpen failed (0x6e)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.detail);
        alerts.clear();
        laptop.power().setRootDomainPresent(c.present);
        laptop.power().setOpenFailure(c.openFailure);
        laptop.power().setRootDomainFailure(c.cause);
        launch();
        ASSERT_EQ(alerts.size(), 1u);
        EXPECT_EQ(alerts[0].message, "Noctave could not start");
        EXPECT_EQ(alerts[0].informativeText.toStdString(),
                  "Could not open a connection to IOPMrootDomain.\n\n" + c.detail);
        EXPECT_EQ(alerts[0].style, app::Alert::Style::critical);
        EXPECT_FALSE(alerts[0].activatesApplication);
        EXPECT_TRUE(log.contains("launch failed: " + c.logged));
        EXPECT_EQ(terminations, 1);
        EXPECT_EQ(tray, nullptr);
        EXPECT_EQ(laptop.power().workspaceObservers(), 0);
        delegate->applicationWillTerminate();  // must cope without a session
        EXPECT_FALSE(log.contains("clean exit"));
        terminations = 0;
        delegate.reset();
    }
}

TEST_F(AppDelegateTest,
       LaunchForcesAutomaticUpdatesOnAndStateChangesDriveTheIconTooltipAndCurtain) {
    Prefs::setAutomaticUpdates(false);
    launch();
    EXPECT_TRUE(Prefs::automaticUpdates());  // forced on at every launch
    EXPECT_TRUE(log.contains("launch (v" + AppInfo::version() + ")"));
    expectItem(IconState::ready, "Noctave - ready (not active)");
    auto owned = std::make_unique<FakeCloseOverlay>();
    FakeCloseOverlay* curtain = owned.get();
    delegate->attachCloseOverlay(std::move(owned));

    ASSERT_TRUE(delegate->session()->arm("test"));
    expectItem(IconState::armed, "Noctave - active; the next lid close keeps this Mac awake");
    delegate->session()->onStateChange(State::pending);
    expectItem(IconState::ready, "Noctave - closing\u2026");

    laptop.power().setRefuseFlag(true);
    delegate->session()->disarm("test");
    runUntilIdle();
    expectItem(IconState::warning, "Noctave - could not restore lid sleep; retrying");
    laptop.power().setRefuseFlag(false);
    curtain->isTracking = true;  // a live gesture keeps its curtain
    advance(6);                  // the restore retry clears the flag
    EXPECT_EQ(state(), State::disarmed);
    expectItem(IconState::ready, "Noctave - ready (not active)");
    laptop.power().postWorkspace(Notification::screensDidWake);
    runUntilIdle();
    EXPECT_EQ(curtain->calls, (std::vector<std::string>{"seal", "retract", "hide"}));
}

TEST_F(AppDelegateTest, DurationFromTheMenuArmsUntilItAndTheTooltipShowsTheTimeLeft) {
    launch();
    click(Click::left);
    menu()[1].submenu[1].action();  // 2 hours
    EXPECT_EQ(state(), State::armed);
    EXPECT_TRUE(log.contains("armed (menu)"));
    EXPECT_TRUE(tray->toolTip.endsWith(" - 2 h 0 min left")) << tray->toolTip.toStdString();
    click(Click::left);
    EXPECT_EQ(menu()[0].title, "Disarm");
    EXPECT_EQ(menu()[1].title, "Keep Awake (lid open)");  // no durations while armed
    advance(30 * 60);
    EXPECT_TRUE(tray->toolTip.endsWith(" - 1 h 30 min left")) << tray->toolTip.toStdString();

    advance(90 * 60);
    EXPECT_EQ(state(), State::disarmed);
    EXPECT_TRUE(log.contains("disarmed (time is up)"));
    EXPECT_FALSE(tray->toolTip.contains("left"));
}

// The settings' list of programs, through the control interface's holds: on a session bus of
// the test's own, with the virtual laptop's process table.
TEST_F(AppDelegateTest, ListedProgramHoldsTheSessionWhileItRuns) {
    BusDaemon bus("session");
    ASSERT_FALSE(bus.address().empty());
    setenv("DBUS_SESSION_BUS_ADDRESS", bus.address().c_str(), 1);
    launch();
    delegate->startControlInterface();
    ASSERT_NE(delegate->control(), nullptr);

    Prefs::setHoldWhileRunning({"rsync", "", " make "});
    delegate->syncProgramHolds();
    EXPECT_EQ(delegate->programs().patterns().size(), 2u);
    const int pid = laptop.processes().startProcess("make", "make -j8");
    advance(ProgramWatch::kScanSeconds);
    EXPECT_EQ(state(), State::armed);
    const auto& holds = delegate->control()->model().status().holds;
    ASSERT_EQ(holds.size(), 1u);
    EXPECT_EQ(holds[0].reason, "while make (pid " + std::to_string(pid) + ") runs");

    laptop.processes().endProcess(pid);
    advance(ProgramWatch::kScanSeconds);
    EXPECT_EQ(state(), State::disarmed);
    EXPECT_TRUE(log.contains("disarmed (dbus: last hold ended)"));

    // An emptied list stops the scans.
    Prefs::setHoldWhileRunning({});
    delegate->syncProgramHolds();
    const int scans = laptop.processes().scanCount();
    advance(600);
    EXPECT_EQ(laptop.processes().scanCount(), scans);
    delegate->applicationWillTerminate();
    unsetenv("DBUS_SESSION_BUS_ADDRESS");
}

// A menu the tray keeps (exported to the panel, or the stand-in window) is rebuilt whenever
// what it shows changes, not only when it is clicked.
TEST_F(AppDelegateTest, TheKeptMenuFollowsTheStateAndTheKeepAwakeSwitch) {
    Prefs::setArmWithRightClick(true);
    launch();
    ASSERT_FALSE(tray->menuEntries().empty());
    EXPECT_EQ(tray->menuEntries()[0].title, "Arm for Next Close");
    int changes = tray->menuChanges;
    click(Click::right);
    EXPECT_GT(tray->menuChanges, changes);
    EXPECT_EQ(tray->menuEntries()[0].title, "Disarm");
    changes = tray->menuChanges;
    tray->menuEntries()[1].action();  // Keep Awake (lid open)
    EXPECT_GT(tray->menuChanges, changes);
    EXPECT_TRUE(tray->menuEntries()[1].isChecked);
}

TEST_F(AppDelegateTest, ActivationShowsTheStandInWithoutATrayAndTheSettingsWithOne) {
    launch();
    tray->standsIn = true;
    delegate->activate();
    runUntilIdle();
    EXPECT_EQ(delegate->settings(), nullptr);
    tray->standsIn = false;
    delegate->activate();
    runUntilIdle();
    EXPECT_NE(delegate->settings(), nullptr);
}

TEST_F(AppDelegateTest, ClicksToggleOrOpenTheMenuForTheCurrentState) {
    Prefs::setArmWithRightClick(true);
    launch();
    click(Click::left);
    QStringList titles;
    for (const auto& entry : menu()) {
        titles << (entry.kind == app::MenuEntry::Kind::separator ? "-" : entry.title);
    }
    EXPECT_EQ(titles, (QStringList{"Arm for Next Close", "Arm For", "Keep Awake (lid open)", "-",
                                   "Settings...", "-", "Quit Noctave"}));  // no update check
    QStringList durations;
    for (const auto& entry : menu()[1].submenu) {
        durations << entry.title;
    }
    EXPECT_EQ(durations, (QStringList{"1 hour", "2 hours", "4 hours", "Until tomorrow morning"}));
    // The keep-awake entry is a switch whether on or off, so it is announced as one.
    for (const bool on : {false, true}) {
        QMenu shown;
        app::addMenuEntries(shown, menu());
        const QAction* keepAwake = shown.actions().at(2);
        ASSERT_NE(shown.actions().at(1)->menu(), nullptr);
        EXPECT_EQ(shown.actions().at(1)->menu()->actions().size(), 4);
        EXPECT_TRUE(keepAwake->isCheckable()) << on;
        EXPECT_EQ(keepAwake->isChecked(), on);
        EXPECT_FALSE(shown.actions().at(0)->isCheckable());
        if (!on) {
            Prefs::setKeepAwake(true);
            click(Click::left);
        }
    }
    Prefs::setKeepAwake(false);
    click(Click::left);
    menu()[2].action();
    EXPECT_TRUE(delegate->session()->isKeepAwakeActive());
    menu()[0].action();
    EXPECT_TRUE(log.contains("armed (menu)"));
    click(Click::left);
    EXPECT_EQ(menu()[0].title, "Disarm");
    EXPECT_TRUE(menu()[1].isChecked);
    menu()[0].action();
    EXPECT_TRUE(log.contains("disarmed (menu)"));

    click(Click::right);
    EXPECT_EQ(state(), State::armed);
    EXPECT_TRUE(log.contains("armed (right-click)"));
    click(Click::right);
    EXPECT_EQ(state(), State::disarmed);
    EXPECT_TRUE(log.contains("disarmed (right-click)"));

    // The clear of the lid-close flag cannot be confirmed: the menu offers to arm again, and so
    // does a right click, rather than repeating the failed disarm.
    ASSERT_TRUE(delegate->session()->arm("test"));
    laptop.power().setRefuseFlag(true);
    delegate->session()->disarm("test");
    runUntilIdle();
    ASSERT_EQ(state(), State::restoreFailed);
    click(Click::left);
    EXPECT_EQ(menu()[0].title, "Arm for Next Close");
    laptop.power().setRefuseFlag(false);
    log.clear();
    click(Click::right);
    EXPECT_EQ(state(), State::armed);
    EXPECT_EQ(log.count("armed (right-click)"), 1u);

    Prefs::setArmWithRightClick(false);
    click(Click::right);
    EXPECT_EQ(state(), State::armed);
    EXPECT_EQ(tray->menus.size(), 6u);
    EXPECT_EQ(menu()[0].title, "Disarm");
    menu().back().action();  // Quit Noctave
    EXPECT_EQ(terminations, 1);
}

TEST_F(AppDelegateTest, NoticesAreAlertsAndReadMoreOpensOnlyASafeAddress) {
    AppInfo::Values values = AppInfo::values();
    values.webDomain = "noctave.example";
    AppInfo::Override info(values);
    launch();
    laptop.power().setRefuseFlag(true);
    delegate->session()->arm("test");
    runUntilIdle();  // the session's notices are shown from the loop
    ASSERT_EQ(alerts.size(), 1u);
    EXPECT_EQ(alerts[0].message, "Could not change the Mac's sleep setting");
    EXPECT_EQ(alerts[0].informativeText, "Try again.");
    EXPECT_TRUE(log.contains("notice: Could not change the Mac's sleep setting - Try again."));

    delegate->remoteConfig().onOutdated("2.0");
    EXPECT_EQ(alerts.at(1).message, "There\u2019s a newer Noctave");
    EXPECT_EQ(alerts[1].informativeText,
              QString::fromStdString("This Mac is running " + AppInfo::version() +
                                     " and 2.0 is the oldest version still supported. "
                                     "Settings \u2192 About \u2192 Check for Updates will "
                                     "fetch it."));

    answer = 1;  // "Read More" where offered
    RemoteConfig::Notice notice{"n1", "Hello", "Body text", "https://noctave.example/news"};
    delegate->remoteConfig().onNotice(notice);
    notice.url = "https://elsewhere.example/";
    delegate->remoteConfig().onNotice(notice);
    ASSERT_EQ(alerts.size(), 4u);
    EXPECT_EQ(alerts[2].informativeText, "Body text");
    EXPECT_EQ(alerts[2].buttons, (QStringList{"OK", "Read More"}));
    EXPECT_EQ(alerts[3].buttons, QStringList{"OK"});
    EXPECT_EQ(openedURLs, std::vector<std::string>{"https://noctave.example/news"});
    EXPECT_TRUE(log.contains("notice: Hello"));
}

// A build without a feed explains why when asked; while a check runs the menu says so, and
// offers no second one.
TEST_F(AppDelegateTest, TheMenusUpdateEntryExplainsAMissingFeedAndWaitsOutARunningCheck) {
    auto made = std::make_unique<FakeUpdates>();
    FakeUpdates* updates = made.get();
    launch(std::move(made));
    click(Click::left);
    ASSERT_EQ(menu().at(5).title, "Check for Updates\u2026");
    menu()[5].action();
    EXPECT_EQ(updates->explanations, 1);
    updates->checking = true;
    click(Click::left);
    EXPECT_EQ(menu().at(5).title, "Checking for Updates\u2026");
    EXPECT_FALSE(menu().at(5).isEnabled);
    QMenu shown;
    app::addMenuEntries(shown, menu());
    EXPECT_FALSE(shown.actions().at(5)->isEnabled());
}

// A build without a feed offers no check in the menu, and asked anyway says why.
TEST_F(AppDelegateTest, ABuildWithoutAFeedOffersNoCheckAndExplainsWhenAsked) {
    launch();
    EXPECT_TRUE(log.contains("no update feed configured in this build"));
    for (const auto& entry : delegate->statusMenuEntries()) {
        EXPECT_NE(entry.title.toStdString(), "Check for Updates\u2026");
    }
    delegate->checkForUpdatesFromMenu();
    ASSERT_EQ(alerts.size(), 1U);
    EXPECT_EQ(alerts[0].message.toStdString(), "This build has no update source");
    EXPECT_EQ(alerts[0].informativeText.toStdString(),
              "Noctave " + AppInfo::version() +
                  " was built without an update feed, which is normal for a build you "
                  "compiled yourself. Released builds update themselves.");
    EXPECT_EQ(alerts[0].buttons, QStringList{QStringLiteral("OK")});
}

// Before an update replaces the program, and when it terminates (steps that may run more than
// once), the session ends once, leaving the lid-close flag clear and no observer behind.
TEST_F(AppDelegateTest, AnUpdateInstallAndTerminationShutTheSessionDownOnce) {
    auto made = std::make_unique<FakeUpdates>();
    FakeUpdates* updates = made.get();
    launch(std::move(made));
    ASSERT_TRUE(delegate->session()->arm("menu"));
    ASSERT_TRUE(updates->willInstallUpdate);
    updates->willInstallUpdate();
    EXPECT_FALSE(laptop.power().kernelFlag());
    EXPECT_EQ(log.count("clean exit"), 1u);

    launch();  // the next run, quit while armed
    const int observers = laptop.power().workspaceObservers();
    ASSERT_TRUE(delegate->session()->arm("menu"));
    ASSERT_TRUE(laptop.power().kernelFlag());
    ASSERT_EQ(laptop.hotKeys().registrationCount(), 1U);
    delegate->applicationWillTerminate();
    delegate->applicationWillTerminate();
    runUntilIdle();
    EXPECT_FALSE(laptop.power().kernelFlag());
    EXPECT_EQ(laptop.hotKeys().registrationCount(), 0U);
    EXPECT_EQ(laptop.hotKeys().handlerCount(), 0U);
    EXPECT_TRUE(log.contains("disarmed (quit)"));
    EXPECT_EQ(log.count("clean exit"), 2u);
    EXPECT_EQ(laptop.power().workspaceObservers(), observers - 4);
}

// The tray item is drawn by the launch handler itself; the shortcut and the wake observers come
// a turn of the loop later, and not at all when the program is quitting by then.
TEST_F(AppDelegateTest, TheTrayItemComesFirstAndAQuitBeforeTheRestLeavesNothingRegistered) {
    Prefs::setArmWithShortcut(true);
    startLaunch();
    ASSERT_NE(tray, nullptr);
    expectItem(IconState::ready, "Noctave - ready (not active)");
    EXPECT_EQ(laptop.hotKeys().registrationCount(), 0U);
    const int sessionsOwn = laptop.power().workspaceObservers();
    runUntilIdle();
    EXPECT_EQ(laptop.hotKeys().registrationCount(), 1U);
    EXPECT_EQ(laptop.power().workspaceObservers(), sessionsOwn + 4);
    delegate.reset();

    startLaunch();
    delegate->applicationWillTerminate();
    runUntilIdle();
    EXPECT_EQ(laptop.hotKeys().registrationCount(), 0U);
    EXPECT_EQ(laptop.power().workspaceObservers(), sessionsOwn);
}

// A notice raised while the session handles a lid close must not hold the handling up: the
// alert waits for a person who cannot click with the lid shut, and the closed lid's watches
// (the thermal cut-off, the flag heartbeat) start only once the handling has finished.
TEST_F(AppDelegateTest, ANoticeOfTheLidCloseWaitsForTheClosedLidsWatchesToStart) {
    launch();
    std::vector<bool> watchesRunning;
    app::Alerts::setPresenter([this, &watchesRunning](const app::Alert& alert) {
        alerts.push_back(alert);
        watchesRunning.push_back(
            log.contains("flag heartbeat on (100 ms) - the lid-close bit is shared with powerd"));
        return 0;
    });
    laptop.screen().setSessionLockLibrary(sim::SimScreen::Library::missing);
    ASSERT_TRUE(delegate->session()->arm("menu"));
    laptop.power().closeLid();
    runUntilIdle();
    ASSERT_EQ(alerts.size(), 1u);
    EXPECT_EQ(alerts[0].message, "Noctave needs attention");
    EXPECT_EQ(watchesRunning, std::vector<bool>{true});
}

}  // namespace
}  // namespace noctave::test

namespace noctave::test {
namespace {

// Another program (an editor, a dotfiles sync) rewrites the settings file: each preference the
// delegate applied once follows the file, with no control interface running.
TEST_F(AppDelegateTest, EditsToTheSettingsFileTakeEffectWithoutARestart) {
    launch();
    GestureDriver* gesture = delegate->session()->gesture();
    ASSERT_NE(gesture, nullptr);
    ASSERT_TRUE(gesture->isEnabled());
    ASSERT_EQ(laptop.hotKeys().registrationCount(), 1U);
    ASSERT_FALSE(delegate->session()->isKeepAwakeActive());

    const auto file = UserDefaults::standard().file();
    const auto edit = [&file](const std::string& text) {
        const auto written = file.string() + ".edit";
        std::ofstream(written) << text;
        std::filesystem::rename(written, file);
    };
    edit("armWithGesture = false\narmWithShortcut = false\nkeepAwakeWithLidOpen = true\n");
    // The toolkit reports the change; the gesture's queue runs in virtual time.
    EXPECT_TRUE(spinUntil([&] {
        runUntilIdle();
        return !gesture->isEnabled() && laptop.hotKeys().registrationCount() == 0 &&
               delegate->session()->isKeepAwakeActive();
    }));

    // And back again, the watch following the file through its replacement.
    log.clear();
    edit("armWithGesture = true\n");
    EXPECT_TRUE(spinUntil([&] {
        runUntilIdle();
        return gesture->isEnabled() && laptop.hotKeys().registrationCount() == 1 &&
               !delegate->session()->isKeepAwakeActive();
    }));
    EXPECT_EQ(log.count("hotkey registered (⌃⌥⌘L)"), 1U);
    delegate->applicationWillTerminate();
}

}  // namespace
}  // namespace noctave::test
