#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

#include <QAccessible>
#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QImage>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>

#include "app/AppDelegate.hpp"
#include "app/EntryPoint.hpp"
#include "app/integration/LoginItem.hpp"
#include "app/integration/UpdateAdapter.hpp"
#include "app/settings/AboutActionButton.hpp"
#include "app/settings/CallbackSwitch.hpp"
#include "app/settings/OnboardingPresenter.hpp"
#include "app/settings/SettingsAccessibility.hpp"
#include "app/settings/SettingsWindowController.hpp"
#include "app/tray/Alerts.hpp"
#include "app/tray/MainMenu.hpp"
#include "core/os/Paths.hpp"
#include "core/os/System.hpp"
#include "core/session/SessionController.hpp"
#include "core/support/AppInfo.hpp"
#include "core/support/Prefs.hpp"
#include "core/support/UserDefaults.hpp"
#include "platform/sim/SimHinge.hpp"
#include "platform/sim/SimHotKeys.hpp"
#include "platform/sim/SimPower.hpp"
#include "tests/app/ShellTest.hpp"
#include "tests/support/SimTest.hpp"

namespace noctave::test {
namespace {

using app::CallbackSwitch;
using app::SettingsWindowController;
using Tab = SettingsWindowController::Tab;

class FakeUpdates final : public app::UpdateAdapter {
  public:
    FakeUpdates(bool configured, bool updater) : configured_(configured), updater_(updater) {}
    bool isConfigured() const override { return configured_; }
    bool hasUpdater() const override { return updater_; }
    void checkForUpdates() override { ++checks; }
    void explainMissingFeed() override { ++explanations; }
    void setAutomaticallyChecksForUpdates(bool on) override { automatic.push_back(on); }
    int checks = 0, explanations = 0;
    std::vector<bool> automatic;

  private:
    bool configured_, updater_;
};

class FakeOnboarding final : public app::OnboardingPresenter {
  public:
    void show(QWidget*, int page) override { pages.push_back(page); }
    bool writeSnapshot(const std::filesystem::path&, int, std::string*) override { return true; }
    std::vector<int> pages;
};

class SettingsWindowTest : public SimTest {
  protected:
    SettingsWindowTest() {
        ensureApplication();
        app::SettingsAccessibility::setObserver(
            [this](const QString& text) { announcements.push_back(text); });
    }
    ~SettingsWindowTest() override { app::SettingsAccessibility::setObserver(nullptr); }

    std::unique_ptr<SettingsWindowController> open() {
        return open(SettingsWindowController::Options{});
    }
    std::unique_ptr<SettingsWindowController> open(SettingsWindowController::Options options) {
        if (!session) {
            session = std::make_unique<SessionController>();
        }
        return std::make_unique<SettingsWindowController>([this] { return session.get(); },
                                                          &updates, [this] { ++shortcutChanges; },
                                                          std::move(options));
    }
    template <class T>
    static T* find(const SettingsWindowController& settings, const char* name) {
        T* found = settings.window()->findChild<T*>(QString::fromLatin1(name));
        EXPECT_NE(found, nullptr) << name;
        return found;
    }
    static CallbackSwitch* toggle(const SettingsWindowController& settings, const char* key) {
        return find<CallbackSwitch>(settings, key);
    }
    static QImage snapshot(SettingsWindowController& settings, const std::filesystem::path& file) {
        std::string error;
        EXPECT_TRUE(settings.writeSnapshot(file, &error)) << error;
        return QImage(QString::fromStdString(file.string()));
    }

    FakeUpdates updates{false, false};
    std::unique_ptr<SessionController> session;
    int shortcutChanges = 0;
    std::vector<QString> announcements;
};

TEST(SettingsLayoutTest, ContentSizeRule) {
    using Measure = SettingsWindowController::StackMeasure;
    struct Case {
        const char* name;
        std::optional<Measure> pane;
        int height;
    };
    const Case cases[] = {
        {"no pane", std::nullopt, 300},
        {"short pane floors at 220", Measure{{30, 40}, 8, 0, 0}, 220},
        {"fractions round up once", Measure{{120.4, 200.3, 30.1}, 8, 6, 6}, 417},  // 378.8
        {"negative heights count 0", Measure{{-50, 300, 20}, 10, 0, 0}, 378},
        {"one child, no spacing", Measure{{250}, 8, 0, 0}, 288},
        {"no children", Measure{{}, 8, 0, 0}, 220},
    };
    for (const Case& c : cases) {
        const QSize size = SettingsWindowController::contentSize(c.pane);
        EXPECT_EQ(size, QSize(480, c.height)) << c.name;
    }
    EXPECT_EQ(SettingsWindowController::roundedPercent(27.6), 28);
    EXPECT_EQ(SettingsWindowController::roundedPercent(27.5), 28);
    EXPECT_EQ(SettingsWindowController::roundedPercent(27.4), 27);
}

TEST_F(SettingsWindowTest,
       OpensOnTheRememberedTabOrArmingSwitchesByItsToolbarAndPicksPanesByNameInAnyCase) {
    EXPECT_EQ(open()->current(), Tab::arming);  // never chosen
    UserDefaults::standard().set("lastSettingsTab", int64_t{3});
    EXPECT_EQ(open()->current(), Tab::arming);  // names no tab
    UserDefaults::standard().set("lastSettingsTab", int64_t{-1});
    auto settings = open();
    EXPECT_EQ(settings->current(), Tab::arming);

    // The toolbar: one item per tab with its identifier, title and tool tip.
    auto* general = find<QAction>(*settings, "Noctave.Settings.1");
    ASSERT_NE(general, nullptr);
    EXPECT_EQ(general->text(), "General");
    EXPECT_EQ(general->toolTip(), "Show General settings");
    general->trigger();
    EXPECT_EQ(settings->current(), Tab::general);
    EXPECT_EQ(settings->window()->windowTitle(), "General");
    EXPECT_TRUE(general->isChecked());
    EXPECT_FALSE(settings->pane(Tab::arming)->isVisibleTo(settings->window()));
    EXPECT_EQ(UserDefaults::standard().integerForKey("lastSettingsTab"), 1);

    // A relaunch reads the same defaults file.
    auto relaunched = open();
    EXPECT_EQ(relaunched->current(), Tab::general);
    relaunched->showPane("aBOUT");
    EXPECT_EQ(relaunched->current(), Tab::about);
    relaunched->showPane("Abou");
    EXPECT_EQ(relaunched->current(), Tab::about);
    EXPECT_EQ(UserDefaults::standard().integerForKey("lastSettingsTab"), 2);
}

TEST_F(SettingsWindowTest, WithoutAHingeSensorTheGestureRowIsOffDisabledAndExplained) {
    Prefs::setArmWithGesture(true);
    auto withSensor = open();
    const int shortPane = withSensor->contentSizeFor(Tab::arming).height();
    EXPECT_EQ(withSensor->window()->findChild<QLabel*>("sensorCaption"), nullptr);
    EXPECT_TRUE(toggle(*withSensor, "armWithGesture")->isChecked());
    EXPECT_EQ(toggle(*withSensor, "armWithGesture")->accessibleName(), "Fn + close lid");

    session.reset();
    laptop.hinge().setSensor(sim::SimHinge::Sensor::absent);
    auto without = open();
    CallbackSwitch* gesture = toggle(*without, "armWithGesture");
    EXPECT_EQ(gesture->accessibleName(), "Fn + close lid  (not supported on this Mac)");
    EXPECT_FALSE(gesture->isChecked());
    EXPECT_FALSE(gesture->isEnabled());
    auto* caption = find<QLabel>(*without, "sensorCaption");
    EXPECT_EQ(caption->text(),
              "Fn + lid close needs a Mac with a lid-angle sensor (MacBook Air M2 2022 or later, "
              "MacBook Pro 14\"/16\" 2021 or later). Right-click arming and the keyboard "
              "shortcut still work.");
    EXPECT_GT(without->contentSizeFor(Tab::arming).height(), shortPane);
    without->select(Tab::arming);
    EXPECT_EQ(without->presentContentSize(), without->contentSizeFor(Tab::arming));
}

// A chord that the desktop would never deliver is not offered as if it worked; the stored
// preference is left as it was, for a desktop that serves shortcuts later.
TEST_F(SettingsWindowTest, WithoutGlobalShortcutsTheShortcutRowSaysSoAndIsOff) {
    Prefs::setArmWithShortcut(true);
    laptop.hotKeys().setServed(false);
    auto settings = open();
    CallbackSwitch* shortcut = toggle(*settings, "armWithShortcut");
    EXPECT_EQ(shortcut->accessibleName(),
              "Keyboard shortcut  (this desktop offers no global shortcut)");
    EXPECT_FALSE(shortcut->isChecked());
    EXPECT_FALSE(shortcut->isEnabled());
    EXPECT_TRUE(Prefs::armWithShortcut());
    for (const QLabel* label : settings->window()->findChildren<QLabel*>()) {
        EXPECT_FALSE(label->text().contains(QString::fromUtf8("\u2318L")))
            << label->text().toStdString();
    }
}

TEST_F(SettingsWindowTest, EverySwitchWritesItsPreferenceAndActsAtOnce) {
    auto settings = open();
    GestureDriver* driver = session->gesture();
    ASSERT_NE(driver, nullptr);

    toggle(*settings, "armWithGesture")->click();
    EXPECT_FALSE(Prefs::armWithGesture());
    EXPECT_FALSE(driver->isEnabled());
    toggle(*settings, "armWithRightClick")->click();
    EXPECT_FALSE(Prefs::armWithRightClick());
    toggle(*settings, "armWithShortcut")->click();
    EXPECT_FALSE(Prefs::armWithShortcut());
    EXPECT_EQ(shortcutChanges, 1);
    toggle(*settings, "stayOnAfterOpeningLid")->click();
    EXPECT_EQ(Prefs::stayOnAfterOpeningLid(),
              toggle(*settings, "stayOnAfterOpeningLid")->isChecked());
    toggle(*settings, "disarmOnLowBattery")->click();
    EXPECT_EQ(Prefs::disarmOnLowBattery(), toggle(*settings, "disarmOnLowBattery")->isChecked());

    // Open at login: the autostart entry is written and removed (in the virtual laptop's folder).
    const auto entry = os::system().paths->autostartFolders().front() / app::LoginItem::kEntryName;
    toggle(*settings, "openAtLogin")->click();
    EXPECT_TRUE(std::filesystem::exists(entry));
    EXPECT_TRUE(Prefs::openAtLogin());
    toggle(*settings, "openAtLogin")->click();
    EXPECT_FALSE(std::filesystem::exists(entry));
    EXPECT_FALSE(toggle(*settings, "openAtLogin")->isChecked());

    // Keep awake applies at once.
    toggle(*settings, "keepAwakeWithLidOpen")->click();
    EXPECT_TRUE(Prefs::keepAwake());
    EXPECT_TRUE(session->isKeepAwakeActive());
    toggle(*settings, "keepAwakeWithLidOpen")->click();
    EXPECT_FALSE(session->isKeepAwakeActive());

    // The battery slider: 27.6 is stored as 28 and read out as 28%.
    auto* slider = find<app::PercentSlider>(*settings, "lowBatteryDisarmPercent");
    slider->setPercent(27.6);
    EXPECT_EQ(Prefs::lowBatteryPercent(), 28);
    EXPECT_EQ(find<QLabel>(*settings, "lowBatteryReadout")->text(), "28%");
}

// The keyboard reaches a switch as a person would, and assistive technology reads the switches
// and the slider by their rows' names.
TEST_F(SettingsWindowTest, SpaceFlipsASwitchAndScreenReadersHearEachControlByName) {
    auto settings = open();
    CallbackSwitch* rightClick = toggle(*settings, "armWithRightClick");
    EXPECT_EQ(rightClick->focusPolicy(), Qt::StrongFocus);
    QKeyEvent press(QEvent::KeyPress, Qt::Key_Space, Qt::NoModifier, QStringLiteral(" "));
    QKeyEvent release(QEvent::KeyRelease, Qt::Key_Space, Qt::NoModifier, QStringLiteral(" "));
    QApplication::sendEvent(rightClick, &press);
    QApplication::sendEvent(rightClick, &release);
    EXPECT_FALSE(Prefs::armWithRightClick());
    QAccessibleInterface* announced = QAccessible::queryAccessibleInterface(rightClick);
    ASSERT_NE(announced, nullptr);
    EXPECT_EQ(announced->role(), QAccessible::CheckBox);
    EXPECT_EQ(announced->text(QAccessible::Name), "Right-click menu bar icon");
    EXPECT_FALSE(announced->state().checked);

    auto* slider = find<app::PercentSlider>(*settings, "lowBatteryDisarmPercent");
    slider->setPercent(27.6);
    QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(slider);
    ASSERT_NE(accessible, nullptr);
    EXPECT_EQ(accessible->text(QAccessible::Value), "28 percent");
    EXPECT_EQ(accessible->text(QAccessible::Name), "Low battery disarm level");
}

TEST_F(SettingsWindowTest, SwitchesThatCannotHoldTheirNewStateFlipBack) {
    auto settings = open();
    // The platform refuses the keep-awake assertion: the session writes the preference back.
    laptop.power().setAssertionPolicy(sim::SimPower::AssertionPolicy::refuseAll);
    CallbackSwitch* keepAwake = toggle(*settings, "keepAwakeWithLidOpen");
    keepAwake->click();
    EXPECT_FALSE(keepAwake->isChecked());
    EXPECT_FALSE(Prefs::keepAwake());

    // The session is gone: refused without touching the preference.
    laptop.power().setAssertionPolicy(sim::SimPower::AssertionPolicy::allow);
    session.reset();
    keepAwake->click();
    EXPECT_FALSE(keepAwake->isChecked());
    EXPECT_FALSE(Prefs::keepAwake());

    // The autostart folder cannot be made: the login item stays off, and so does the switch.
    const auto autostart = os::system().paths->autostartFolders().front();
    std::filesystem::create_directories(autostart.parent_path());
    std::ofstream(autostart) << "in the way";
    CallbackSwitch* login = toggle(*settings, "openAtLogin");
    login->click();
    EXPECT_FALSE(login->isChecked());
    EXPECT_FALSE(Prefs::openAtLogin());
}

TEST_F(SettingsWindowTest, ShowingAgainBringsSwitchesInLineWithPreferencesChangedElsewhere) {
    auto settings = open();
    settings->show();
    Prefs::setKeepAwake(true);  // from the tray menu, say
    EXPECT_FALSE(toggle(*settings, "keepAwakeWithLidOpen")->isChecked());
    settings->window()->close();
    settings->show();
    EXPECT_TRUE(toggle(*settings, "keepAwakeWithLidOpen")->isChecked());
}

TEST_F(SettingsWindowTest, CopyingDiagnosticsFillsTheClipboardAndEachPressRestoresItsTitleOnce) {
    Log::info("a line for support");
    auto settings = open();
    auto* button = find<QPushButton>(*settings, "copyDiagnostics");
    EXPECT_EQ(button->accessibleDescription(), "Copies local Noctave logs to the clipboard.");

    button->click();
    EXPECT_TRUE(QGuiApplication::clipboard()->text().contains("a line for support"));
    const std::string copied = QGuiApplication::clipboard()->text().toStdString();
    EXPECT_EQ(copied.rfind(Log::snapshot(), 0), 0u);
    EXPECT_NE(copied.find("--- session history ---\nNo sessions yet.\n"), std::string::npos);
    EXPECT_EQ(button->text(), "Copied diagnostics");
    EXPECT_EQ(announcements, std::vector<QString>{"Diagnostics copied"});

    advance(1.0);
    button->click();  // a second press within 1.5 s
    advance(0.49);
    EXPECT_EQ(button->text(), "Copied diagnostics");
    advance(0.01);  // 1.5 s after the first press
    EXPECT_EQ(button->text(), "Copy diagnostics for support");
    button->setText("changed");  // the second press's restore still runs, once
    advance(1.0);
    EXPECT_EQ(button->text(), "Copy diagnostics for support");

    // A restore that finds the window gone does nothing.
    button->click();
    settings.reset();
    advance(2.0);
}

TEST_F(SettingsWindowTest, AboutPaneWithoutAFeedExplainsInsteadOfChecking) {
    auto settings = open();
    settings->select(Tab::about);
    EXPECT_FALSE(toggle(*settings, "automaticUpdates")->isEnabled());
    find<app::AboutActionButton>(*settings, "checkForUpdates")->click();
    EXPECT_EQ(updates.explanations, 1);
    EXPECT_EQ(updates.checks, 0);
    // No onboarding window in this build: the replay offers nothing.
    auto* replay = find<app::AboutActionButton>(*settings, "replayOnboarding");
    EXPECT_FALSE(replay->isEnabled());
    EXPECT_FALSE(settings->showOnboarding(0));
    EXPECT_EQ(find<QLabel>(*settings, "versionCaption")->text().toStdString(),
              "Version " + AppInfo::version() + "  \u00B7  \u00A9 2026 Quillor");
}

TEST_F(SettingsWindowTest, AboutPaneWithAnUpdaterAndAnOnboardingWindow) {
    updates = FakeUpdates(true, true);
    FakeOnboarding* onboarding = nullptr;
    SettingsWindowController::Options options;
    options.makeOnboarding = [&onboarding] {
        auto made = std::make_unique<FakeOnboarding>();
        onboarding = made.get();
        return made;
    };
    auto settings = open(std::move(options));
    settings->show();

    CallbackSwitch* automatic = toggle(*settings, "automaticUpdates");
    ASSERT_TRUE(automatic->isEnabled());
    automatic->click();
    EXPECT_FALSE(Prefs::automaticUpdates());
    EXPECT_EQ(updates.automatic, std::vector<bool>{false});
    find<app::AboutActionButton>(*settings, "checkForUpdates")->click();
    EXPECT_EQ(updates.checks, 1);
    EXPECT_EQ(updates.explanations, 0);

    find<app::AboutActionButton>(*settings, "replayOnboarding")->click();
    ASSERT_NE(onboarding, nullptr);
    EXPECT_EQ(onboarding->pages, std::vector<int>{0});
    EXPECT_TRUE(settings->showOnboarding(2));  // the same onboarding window, reused
    EXPECT_EQ(onboarding->pages, (std::vector<int>{0, 2}));
}

TEST_F(SettingsWindowTest, TheWindowGrowsDownwardsAndAnswersTheMainMenuCommands) {
    int quits = 0;
    app::MainMenu menu([&quits] { ++quits; });
    SettingsWindowController::Options options;
    options.mainMenu = &menu;
    auto settings = open(std::move(options));
    settings->show();
    ASSERT_TRUE(spinUntil([&] { return QApplication::activeWindow() == settings->window(); }));
    const QRect before = settings->window()->geometry();
    settings->select(Tab::general);
    const QRect after = settings->window()->geometry();
    EXPECT_EQ(after.top(), before.top());
    EXPECT_EQ(after.width(), 480);
    EXPECT_GT(after.height(), before.height());
    EXPECT_EQ(settings->presentContentSize(), settings->contentSizeFor(Tab::general));

    const QList<QAction*> actions = settings->window()->actions();
    auto close = std::find_if(actions.begin(), actions.end(),
                              [](QAction* a) { return a->text() == "Close Window"; });
    ASSERT_NE(close, actions.end());
    EXPECT_EQ((*close)->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_W));
    (*close)->trigger();
    EXPECT_FALSE(settings->window()->isVisible());
}

TEST_F(SettingsWindowTest,
       SnapshotsAre480WideTheHoverOneDiffersOnlyInTheFirstActionAndFailuresSayWhy) {
    auto settings = open();
    settings->show();
    // Both snapshots are taken of the active window: inactive windows use other colours.
    ASSERT_TRUE(spinUntil([&] { return QApplication::activeWindow() == settings->window(); }));
    for (Tab tab : SettingsWindowController::tabs) {
        settings->select(tab);
        const QImage image = snapshot(*settings, temp.path() / "pane.png");
        ASSERT_FALSE(image.isNull());
        EXPECT_EQ(image.width(), 480);
        EXPECT_EQ(image.height(), settings->window()->height());
        EXPECT_EQ(image.height() - settings->contentSizeFor(tab).height(),
                  settings->window()->height() - settings->presentContentSize().height());
        // The window's height leaves the pane all the room its layout asks for.
        EXPECT_LE(settings->pane(tab)->sizeHint().height(),
                  settings->presentContentSize().height() - 38)
            << SettingsWindowController::title(tab).toStdString();
    }
    const QImage plain = snapshot(*settings, temp.path() / "plain.png");

    SettingsWindowController::Options options;
    options.showsHoverForSnapshot = true;
    auto hovering = open(std::move(options));
    settings->window()->hide();
    hovering->show();
    ASSERT_TRUE(spinUntil([&] { return QApplication::activeWindow() == hovering->window(); }));
    const QImage hover = snapshot(*hovering, temp.path() / "hover.png");
    ASSERT_EQ(hover.size(), plain.size());
    QRect changed;
    for (int y = 0; y < plain.height(); ++y) {
        for (int x = 0; x < plain.width(); ++x) {
            if (plain.pixel(x, y) != hover.pixel(x, y)) {
                changed |= QRect(x, y, 1, 1);
            }
        }
    }
    auto* button = find<app::AboutActionButton>(*hovering, "checkForUpdates");
    const QRect area(button->mapTo(hovering->window(), QPoint(0, 0)), button->size());
    EXPECT_FALSE(changed.isEmpty());
    EXPECT_TRUE(area.contains(changed)) << "changed pixels outside the button";

    std::string error;
    EXPECT_FALSE(settings->writeSnapshot(temp.path() / "missing" / "x.png", &error));
    EXPECT_NE(error.find("could not write"), std::string::npos) << error;
}

TEST_F(SettingsWindowTest, TheDelegateSnapshotsAtLaunchAndKeepsOneWindowForTheMenu) {
    app::Alerts::setPresenter([](const app::Alert&) { return 0; });
    struct Case {
        const char* name;
        std::vector<std::string> arguments;
        bool isWritten;
        int exitStatus;
    };
    const std::string file = (temp.path() / "settings.png").string();
    const std::string unwritable = (temp.path() / "missing" / "settings.png").string();
    const Case cases[] = {
        {"written", {"noctave", "--snapshot-settings", file, "GENERAL"}, true, 0},
        {"unwritable", {"noctave", "--snapshot-settings", unwritable}, false, 1},
        {"no path: ignored", {"noctave", "--snapshot-settings"}, false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        int terminations = 0;
        app::AppDelegate::Options options;
        std::string usage;
        options.launch = app::parseLaunchOptions(c.arguments, &usage).value();
        options.makeStatusItem = [] { return nullptr; };
        options.makeUpdates = [] { return std::make_unique<FakeUpdates>(false, false); };
        options.terminate = [&terminations] { ++terminations; };
        auto delegate = std::make_unique<app::AppDelegate>(std::move(options));
        delegate->applicationDidFinishLaunching();
        runUntilIdle();
        const bool snapshots = c.arguments.size() > 2;
        ASSERT_EQ(delegate->settings() != nullptr, snapshots);
        if (snapshots) {
            advance(0.49);
            EXPECT_EQ(terminations, 0);
            advance(0.01);
            EXPECT_EQ(terminations, 1);
        }
        EXPECT_EQ(delegate->exitStatus(), c.exitStatus);
        if (c.isWritten) {
            EXPECT_EQ(delegate->settings()->current(), Tab::general);
            const QImage image(QString::fromStdString(file));
            EXPECT_EQ(image.width(), 480);
            EXPECT_EQ(image.height(), delegate->settings()->window()->height());
        }

        // The menu's "Settings..." shows the one window, made on first use.
        SettingsWindowController* first = delegate->settings();
        for (const auto& entry : delegate->statusMenuEntries()) {
            if (entry.title == "Settings...") {
                entry.action();
                entry.action();
            }
        }
        ASSERT_NE(delegate->settings(), nullptr);
        EXPECT_TRUE(first == nullptr || first == delegate->settings());
        EXPECT_TRUE(delegate->settings()->window()->isVisible());
        delegate->applicationWillTerminate();
    }
    app::Alerts::setPresenter(nullptr);
}

TEST(AboutActionButtonTest, LooksFollowPointerPressFocusAndEnablement) {
    struct Case {
        bool enabled, inside, pressed, focused;
        double background;
        bool highlighted;
        double border, opacity;
    };
    const Case cases[] = {
        {true, false, false, false, 0.0, false, 0, 1.0},
        {true, true, false, false, 0.10, true, 0, 1.0},
        {true, false, false, true, 0.10, true, 1, 1.0},
        {true, true, true, false, 0.16, true, 0, 1.0},
        {false, true, false, false, 0.0, false, 0, 0.62},
        {false, false, true, false, 0.16, false, 0, 0.62},
    };
    for (const Case& c : cases) {
        const auto look =
            app::AboutActionButton::lookFor(c.enabled, c.inside, c.pressed, c.focused);
        EXPECT_DOUBLE_EQ(look.backgroundAlpha, c.background);
        EXPECT_EQ(look.isHighlighted, c.highlighted);
        EXPECT_DOUBLE_EQ(look.borderWidth, c.border);
        EXPECT_DOUBLE_EQ(look.opacity, c.opacity);
    }
}

}  // namespace
}  // namespace noctave::test
