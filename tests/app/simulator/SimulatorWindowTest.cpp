#include <gtest/gtest.h>

#include <QCheckBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QScrollBar>
#include <QSlider>
#include <QSpinBox>
#include <QTest>
#include <QWindow>

#include "app/simulator/SimulatorWindow.hpp"
#include "core/support/UserDefaults.hpp"
#include "platform/sim/SimHinge.hpp"
#include "platform/sim/SimKeyboard.hpp"
#include "platform/sim/SimPower.hpp"
#include "platform/sim/SimThermal.hpp"
#include "tests/support/DelegateTest.hpp"

namespace noctave::test {
namespace {

// The application on the virtual laptop, with the window beside it; everything is done
// through the window's controls, found by name, in virtual time.
class SimulatorWindowTest : public DelegateTest {
  protected:
    ~SimulatorWindowTest() override {
        window.reset();
        if (delegate) {
            delegate->applicationWillTerminate();
            runUntilIdle();
        }
    }

    void launch() {
        DelegateTest::launch(
            [](app::AppDelegate::Options& options) { options.launch.simulate = true; });
        openWindow();
    }
    void openWindow() {
        window = std::make_unique<app::SimulatorWindow>(laptop);
        if (delegate) {
            window->followApp(*delegate);
        }
        window->show();
        runUntilIdle();
    }

    template <class W>
    W* control(const char* name) {
        auto* widget = window->findChild<W*>(QString::fromLatin1(name));
        EXPECT_NE(widget, nullptr) << name;
        return widget;
    }
    QString text(const char* label) { return control<QLabel>(label)->text(); }
    // Near the left edge: a check box or radio button only takes clicks on its box and label.
    void click(const char* name) {
        auto* button = control<QAbstractButton>(name);
        QTest::mouseClick(button, Qt::LeftButton, {}, QPoint(8, button->height() / 2));
        runUntilIdle();
    }
    void slide(const char* slider, int value) {
        control<QSlider>(slider)->setValue(value);
        runUntilIdle();
    }
    QString logTail() { return control<QPlainTextEdit>("logTail")->toPlainText(); }
    State state() { return delegate->session()->state(); }
    void rightClickTray() { DelegateTest::click(Click::right); }

    std::unique_ptr<app::SimulatorWindow> window;
};

TEST_F(SimulatorWindowTest,
       ArmedFromTheTrayTheLidClosesAtAPersonsPaceAndTheWindowShowsWhatHappens) {
    launch();
    EXPECT_EQ(text("lidCloseFlag"), "Lid-close flag: clear");
    EXPECT_EQ(text("assertions"), "Assertions: none");

    rightClickTray();
    ASSERT_EQ(state(), State::armed);
    EXPECT_EQ(text("lidCloseFlag"), "Lid-close flag: set");
    EXPECT_TRUE(text("assertions").contains("PreventUserIdleSystemSleep"))
        << text("assertions").toStdString();
    EXPECT_TRUE(logTail().contains("armed (right-click)"));

    // Halfway down the hinge is still moving and the switch still open.
    click("closeLid");
    advance(0.3);
    EXPECT_TRUE(window->lid().isMoving());
    EXPECT_NEAR(control<QSlider>("lidAngle")->value(), 55, 3);
    EXPECT_EQ(text("lidSwitch"), "Lid switch: open");
    advance(0.4);
    EXPECT_FALSE(window->lid().isMoving());
    EXPECT_EQ(laptop.hinge().angle(), 0);
    EXPECT_EQ(text("lidSwitch"), "Lid switch: shut");
    EXPECT_EQ(text("sessionLock"), "Session: locked");
    EXPECT_EQ(text("panel"), "Panel: blank");
    EXPECT_EQ(text("machine"), "Machine: awake");
    EXPECT_EQ(text("lidCloseFlag"), "Lid-close flag: set");
    EXPECT_FALSE(control<QPushButton>("wake")->isEnabled());

    // Opening lights the panel; the lock stays until someone unlocks it.
    click("openLid");
    advance(0.7);
    EXPECT_EQ(text("lidSwitch"), "Lid switch: open");
    EXPECT_EQ(text("panel"), "Panel: lit");
    EXPECT_EQ(text("sessionLock"), "Session: locked");
    click("unlock");
    EXPECT_EQ(text("sessionLock"), "Session: unlocked");
    EXPECT_FALSE(control<QPushButton>("unlock")->isEnabled());
}

TEST_F(SimulatorWindowTest, ALidTurnedBackHalfwayNeverThrowsItsSwitch) {
    launch();
    click("closeLid");
    advance(0.3);
    click("openLid");
    advance(0.7);
    EXPECT_FALSE(window->lid().isMoving());
    EXPECT_EQ(control<QSlider>("lidAngle")->value(), 110);
    EXPECT_TRUE(laptop.power().sleepEvents().empty());
}

TEST_F(SimulatorWindowTest, WithoutASessionTheMachineSleepsAndTheWindowSaysWhyUntilWoken) {
    launch();
    click("closeLid");
    advance(0.7);
    EXPECT_EQ(text("machine"), "Machine: asleep (lid closed)");
    ASSERT_TRUE(control<QPushButton>("wake")->isEnabled());
    click("wake");
    EXPECT_EQ(text("machine"), "Machine: awake");
    click("openLid");
    advance(0.7);

    // Idle sleep comes unless keep-awake holds it off.
    click("idleTimeout");
    EXPECT_EQ(text("machine"), "Machine: asleep (idle)");
    click("wake");
    delegate->toggleKeepAwake();
    runUntilIdle();
    EXPECT_EQ(text("appState"), "Noctave: disarmed, keep-awake on");
    click("idleTimeout");
    EXPECT_EQ(text("machine"), "Machine: awake");

    // On mains a monitor keeps a closed laptop awake; pulled out, the machine sleeps.
    delegate->toggleKeepAwake();
    runUntilIdle();
    click("mains");
    control<QSpinBox>("externalDisplays")->setValue(1);
    runUntilIdle();
    click("closeLid");
    advance(0.7);
    EXPECT_EQ(text("machine"), "Machine: awake");
    control<QSpinBox>("externalDisplays")->setValue(0);
    runUntilIdle();
    advance(1.0);
    EXPECT_EQ(text("machine"), "Machine: asleep (external display disconnected with the lid shut)");
}

TEST_F(SimulatorWindowTest, TheBatteryGoingLowOrSilentWhileArmedDisarmsWithTheNotice) {
    struct Case {
        bool silences;  // else the slider goes below the floor
        const char* line;
    };
    const Case cases[] = {
        {false, "disarmed (low-battery)"},
        {true, "disarmed (battery-telemetry-lost)"},
    };
    launch();
    click("battery");
    slide("batteryPercent", 80);
    ASSERT_TRUE(laptop.power().isOnBattery());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        alerts.clear();
        rightClickTray();
        ASSERT_EQ(state(), State::armed);
        if (c.silences) {
            click("batterySilent");
            // One report without a level may be a glitch; the power sources' next one is not.
            EXPECT_EQ(state(), State::armed);
            advance(app::SimulatorWindow::kSilentReportInterval + 1);
        } else {
            slide("batteryPercent", 12);
        }
        EXPECT_EQ(state(), State::disarmed);
        EXPECT_EQ(alerts.size(), 1u);
        EXPECT_TRUE(logTail().contains(c.line)) << c.line;
        EXPECT_EQ(text("lidCloseFlag"), "Lid-close flag: clear");
        // Charge reported again, well above the floor.
        if (control<QCheckBox>("batterySilent")->isChecked()) {
            click("batterySilent");
        }
        slide("batteryPercent", 80);
        EXPECT_EQ(laptop.power().batteryPercent(), 80);
    }
    EXPECT_EQ(text("batteryValue"), "80%");
}

TEST_F(SimulatorWindowTest, TemperatureRaisedWithTheLidShutDisarmsAfterAMinute) {
    launch();
    rightClickTray();
    ASSERT_EQ(state(), State::armed);
    click("closeLid");
    runUntilIdle();
    control<QSpinBox>("temperature")->setValue(99);
    EXPECT_EQ(laptop.thermal().celsius(), 99.0);
    advance(ThermalGuard::kSustainSeconds + ThermalGuard::kPeriodSeconds);
    EXPECT_EQ(state(), State::disarmed);
    EXPECT_TRUE(logTail().contains("thermal cut-off (99 \u00B0C); disarming"));
    ASSERT_EQ(alerts.size(), 1u);
    EXPECT_EQ(alerts[0].message, "Noctave disarmed");
}

// The curtain that follows the gesture is the close overlay's story.
TEST_F(SimulatorWindowTest, FnHeldWhileTheLidClosesPendsThenArmsOnClose) {
    launch();
    QTest::mousePress(control<QPushButton>("fnKey"), Qt::LeftButton);
    EXPECT_TRUE(laptop.keyboard().isFunctionHeld());
    EXPECT_EQ(text("fnState"), "Fn: held");
    advance(0.2);
    click("closeLid");
    advance(0.45);  // below the commit angle, not yet shut
    EXPECT_EQ(state(), State::pending);
    EXPECT_EQ(text("appState"), "Noctave: pending, keep-awake off");
    advance(0.3);
    EXPECT_EQ(text("lidSwitch"), "Lid switch: shut");
    EXPECT_EQ(state(), State::armed);
    EXPECT_EQ(text("appState"), "Noctave: armed, keep-awake off");
    EXPECT_EQ(text("machine"), "Machine: awake");
    EXPECT_EQ(text("sessionLock"), "Session: locked");
    QTest::mouseRelease(control<QPushButton>("fnKey"), Qt::LeftButton);
    EXPECT_FALSE(laptop.keyboard().isFunctionHeld());
}

TEST_F(SimulatorWindowTest, SuperStandsForFnAndTheShortcutChordReachesTheVirtualHotKeyService) {
    launch();
    QTest::keyPress(window.get(), Qt::Key_Meta, Qt::MetaModifier);
    EXPECT_EQ(text("fnState"), "Fn: held");
    QTest::keyRelease(window.get(), Qt::Key_Meta);
    EXPECT_FALSE(laptop.keyboard().isFunctionHeld());

    // Super held as part of the chord is no Fn; the chord arms, the button disarms.
    const auto chord = Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier;
    QTest::keyPress(window.get(), Qt::Key_Meta, Qt::ControlModifier | Qt::AltModifier);
    EXPECT_FALSE(laptop.keyboard().isFunctionHeld());
    QTest::keyClick(control<QSlider>("lidAngle"), Qt::Key_L, chord);
    runUntilIdle();
    EXPECT_EQ(state(), State::armed);
    EXPECT_TRUE(log.contains("armed (hotkey)"));
    click("shortcut");
    EXPECT_EQ(state(), State::disarmed);
    // Without Super it is not the shortcut.
    QTest::keyClick(window.get(), Qt::Key_L, Qt::ControlModifier | Qt::AltModifier);
    runUntilIdle();
    EXPECT_EQ(state(), State::disarmed);
}

TEST_F(SimulatorWindowTest, OpeningTheWindowShowsTheStartingStateWithoutTouchingTheMachine) {
    std::string error;
    ASSERT_TRUE(
        laptop.configure("lid=closed,power=battery,battery=none,externals=2,angle=40", &error))
        << error;
    openWindow();
    EXPECT_EQ(text("lidSwitch"), "Lid switch: shut");
    EXPECT_EQ(control<QSlider>("lidAngle")->value(), 40);
    EXPECT_TRUE(control<QRadioButton>("battery")->isChecked());
    EXPECT_TRUE(control<QCheckBox>("batterySilent")->isChecked());
    EXPECT_FALSE(control<QSlider>("batteryPercent")->isEnabled());
    EXPECT_EQ(control<QSpinBox>("externalDisplays")->value(), 2);
    window.reset();
    runUntilIdle();
    EXPECT_EQ(laptop.power().lid(), sim::SimPower::Lid::closed);
    EXPECT_EQ(laptop.hinge().angle(), 40);
    EXPECT_EQ(laptop.power().batteryPercent(), std::nullopt);
    EXPECT_EQ(laptop.power().externalCount(), 2);
    EXPECT_TRUE(laptop.power().isOnBattery());
    EXPECT_TRUE(laptop.power().sleepEvents().empty());

    // A desktop has no lid to move.
    ASSERT_TRUE(laptop.configure("lid=absent", &error));
    openWindow();
    EXPECT_EQ(text("lidSwitch"), "No lid (a desktop)");
    EXPECT_FALSE(control<QPushButton>("closeLid")->isEnabled());
}

TEST_F(SimulatorWindowTest, ThePositionIsRememberedButNeverRestoredOffEveryScreen) {
    openWindow();
    window->move(40, 50);
    window->hide();
    EXPECT_EQ(UserDefaults::standard().integerForKey("simulatorWindowX"), 40);
    EXPECT_EQ(UserDefaults::standard().integerForKey("simulatorWindowY"), 50);
    openWindow();
    EXPECT_EQ(window->pos(), QPoint(40, 50));

    // Placed by the desktop rather than by the program, it is remembered all the same.
    window.reset();
    UserDefaults::standard().remove("simulatorWindowX");
    openWindow();
    window->windowHandle()->setFramePosition(QPoint(60, 70));
    runUntilIdle();
    QCoreApplication::processEvents();
    window->close();
    EXPECT_EQ(UserDefaults::standard().integerForKey("simulatorWindowX"), window->pos().x());
    EXPECT_TRUE(UserDefaults::standard().object("simulatorWindowX").has_value());

    window.reset();
    UserDefaults::standard().set("simulatorWindowX", int64_t{-30000});
    openWindow();
    EXPECT_NE(window->pos().x(), -30000);
    EXPECT_TRUE(QGuiApplication::primaryScreen()->availableGeometry().contains(window->pos()));
}

TEST_F(SimulatorWindowTest, EveryControlHasAnAccessibleNameAndTheLogTailFollowsNewLines) {
    openWindow();
    for (auto* widget : window->findChildren<QWidget*>()) {
        // The log's scroll bars belong to the log, which is named.
        const bool isControl = qobject_cast<QAbstractButton*>(widget) != nullptr ||
                               (qobject_cast<QAbstractSlider*>(widget) != nullptr &&
                                qobject_cast<QScrollBar*>(widget) == nullptr) ||
                               qobject_cast<QAbstractSpinBox*>(widget) != nullptr ||
                               qobject_cast<QPlainTextEdit*>(widget) != nullptr;
        if (isControl) {
            EXPECT_FALSE(widget->accessibleName().isEmpty()) << widget->metaObject()->className();
            EXPECT_NE(widget->focusPolicy(), Qt::NoFocus) << widget->objectName().toStdString();
        }
    }
    Log::info("a line written after the window opened");
    runUntilIdle();
    EXPECT_TRUE(logTail().endsWith("INF a line written after the window opened"))
        << logTail().toStdString();

    // Lines written after the window has gone reach nothing.
    window.reset();
    Log::info("after");
    runUntilIdle();
}

}  // namespace
}  // namespace noctave::test
