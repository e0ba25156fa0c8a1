// The curtain's windows on two offscreen screens, in virtual time: when they come and go, that
// they never take the keyboard, and the delegate's story from Fn + close to the seal.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QGuiApplication>
#include <QScreen>
#include <QTemporaryFile>
#include <QWindow>
#include <set>

#include "app/AppDelegate.hpp"
#include "app/overlay/CloseOverlay.hpp"
#include "app/overlay/CurtainView.hpp"
#include "app/tray/StatusItem.hpp"
#include "core/session/SessionController.hpp"
#include "platform/sim/SimHinge.hpp"
#include "platform/sim/SimKeyboard.hpp"
#include "platform/sim/SimPower.hpp"
#include "platform/sim/SimReduceMotion.hpp"
#include "tests/support/FakeStatusItem.hpp"
#include "tests/support/SimTest.hpp"

namespace noctave::test {
namespace {

// One QApplication for the process, offscreen with two screens side by side.
void ensureTwoScreenApplication() {
    if (QCoreApplication::instance() != nullptr) {
        return;
    }
    // The screens file is this process's own: test processes run side by side, and one must
    // not read another's half-written file.
    static QTemporaryFile file(QDir::tempPath() + "/noctave-overlay-screens-XXXXXX.json");
    constexpr const char* screens = R"({"screens": [
        {"name": "left", "x": 0, "y": 0, "width": 1280, "height": 800,
         "logicalDpi": 96, "logicalBaseDpi": 96, "dpr": 1},
        {"name": "right", "x": 1280, "y": 0, "width": 1920, "height": 1080,
         "logicalDpi": 96, "logicalBaseDpi": 96, "dpr": 1}]})";
    if (!file.open() || file.write(screens) < 0 || !file.flush()) {
        qFatal("cannot write the offscreen screens file");
    }
    file.close();
    qputenv("QT_QPA_PLATFORM", ("offscreen:configfile=" + file.fileName()).toUtf8());
    static int argc = 1;
    static char name[] = "noctave_overlay_tests";
    static char* argv[] = {name, nullptr};
    new QApplication(argc, argv);
}

class CloseOverlayTest : public SimTest {
  protected:
    CloseOverlayTest() {
        ensureTwoScreenApplication();
        focusWatch = QObject::connect(
            qApp, &QGuiApplication::focusWindowChanged, qApp, [this](QWindow* window) {
                if (window != nullptr && window->title() == "Noctave curtain") {
                    ++curtainFocused;
                }
            });
    }
    ~CloseOverlayTest() override { QObject::disconnect(focusWatch); }

    // Virtual time passes, and the window system's events are delivered as they would be.
    void frames(double seconds) {
        advance(seconds);
        QCoreApplication::processEvents();
    }
    int curtainWindows() const {
        int count = 0;
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            count += qobject_cast<app::CurtainView*>(widget) != nullptr ? 1 : 0;
        }
        return count;
    }
    void expectNeverFocused() {
        QCoreApplication::processEvents();
        EXPECT_EQ(curtainFocused, 0);
        EXPECT_EQ(qobject_cast<app::CurtainView*>(QApplication::activeWindow()), nullptr);
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            if (auto* view = qobject_cast<app::CurtainView*>(widget)) {
                EXPECT_TRUE(view->windowFlags() & Qt::WindowTransparentForInput);
                EXPECT_TRUE(view->windowFlags() & Qt::WindowDoesNotAcceptFocus);
            }
        }
    }

    QMetaObject::Connection focusWatch;
    int curtainFocused = 0;
};

TEST_F(CloseOverlayTest,
       AGestureGetsAWindowPerScreenThatStopsItsClockWhenStillAndOnlyTheSealTakesAway) {
    ASSERT_EQ(QGuiApplication::screens().size(), 2);
    app::CloseOverlay overlay;
    overlay.setProgress(std::nullopt);  // nothing shown: nothing to take away
    EXPECT_TRUE(overlay.views().empty());
    EXPECT_FALSE(overlay.isFrameClockRunning());
    EXPECT_EQ(runtime.pendingCount(), 0U);

    overlay.setProgress(0.0);
    ASSERT_EQ(overlay.views().size(), 2U);
    EXPECT_EQ(curtainWindows(), 2);
    const auto screens = QGuiApplication::screens();
    for (int i = 0; i < 2; ++i) {
        const auto& view = *overlay.views()[static_cast<size_t>(i)];
        EXPECT_EQ(view.targetScreen(), screens[i]);
        EXPECT_EQ(view.geometry(), screens[i]->geometry());
        EXPECT_TRUE(view.isVisible());
        EXPECT_EQ(view.animation().displayed(), 0.0);
        EXPECT_TRUE(view.animation().isEntering());
    }
    EXPECT_TRUE(overlay.isTrackingGesture());
    EXPECT_TRUE(overlay.isFrameClockRunning());

    frames(0.1);
    const double early = overlay.views()[0]->animation().displayed();
    EXPECT_GT(early, 0.1);
    EXPECT_LT(early, 0.3);
    // A curtain standing still needs no frames.
    frames(1.5);
    EXPECT_EQ(overlay.views()[0]->animation().displayed(), 0.3);
    EXPECT_FALSE(overlay.isFrameClockRunning());
    EXPECT_EQ(runtime.pendingCount(), 0U);

    overlay.setProgress(0.9);
    EXPECT_TRUE(overlay.isFrameClockRunning());
    frames(0.3);
    EXPECT_NEAR(overlay.views()[1]->animation().displayed(), 0.93, 0.002);

    overlay.retract();  // ignored: a live gesture keeps its curtain
    EXPECT_FALSE(overlay.views()[0]->animation().isRetracting());

    overlay.seal();
    EXPECT_FALSE(overlay.isTrackingGesture());
    frames(0.59);
    ASSERT_EQ(overlay.views().size(), 2U);
    EXPECT_EQ(overlay.views()[0]->animation().displayed(), 1.0);
    EXPECT_LT(overlay.views()[0]->animation().fadeAlpha(), 0.5);
    frames(0.02);
    EXPECT_TRUE(overlay.views().empty());
    EXPECT_EQ(curtainWindows(), 0);
    EXPECT_FALSE(overlay.isFrameClockRunning());
    EXPECT_EQ(runtime.pendingCount(), 0U);  // hidden: not one wake-up left
    expectNeverFocused();
}

TEST_F(CloseOverlayTest, ANewGestureDuringATeardownKeepsTheWindowsAndEntersAgain) {
    app::CloseOverlay overlay;
    overlay.setProgress(0.5);
    frames(0.5);
    const auto* first = overlay.views()[0].get();

    overlay.setProgress(std::nullopt);  // the gesture ends without a session
    EXPECT_FALSE(overlay.isTrackingGesture());
    EXPECT_TRUE(overlay.views()[0]->animation().isRetracting());
    frames(0.5);
    overlay.setProgress(0.0);  // 0.25 s before the teardown
    EXPECT_EQ(overlay.views()[0].get(), first);
    EXPECT_EQ(overlay.views()[0]->animation().displayed(), 0.0);
    EXPECT_TRUE(overlay.views()[0]->animation().isEntering());
    frames(1.0);
    EXPECT_EQ(overlay.views().size(), 2U);
    EXPECT_EQ(overlay.views()[0]->animation().displayed(), 0.3);

    // A disarm after the gesture is over slides it away; 0.75 s later the windows go.
    overlay.setProgress(std::nullopt);
    overlay.retract();
    frames(0.74);
    EXPECT_EQ(overlay.views().size(), 2U);
    frames(0.02);
    EXPECT_TRUE(overlay.views().empty());
    expectNeverFocused();
}

TEST_F(CloseOverlayTest,
       HideOrDestructionTakesEverythingAwayAtOnceAndSealOrRetractAfterHideDoNothing) {
    app::CloseOverlay overlay;
    overlay.setProgress(0.2);
    overlay.seal();
    overlay.hide();
    EXPECT_TRUE(overlay.views().empty());
    EXPECT_EQ(curtainWindows(), 0);
    EXPECT_FALSE(overlay.isTrackingGesture());
    EXPECT_FALSE(overlay.isFrameClockRunning());
    overlay.seal();
    overlay.retract();
    overlay.hide();
    frames(1.0);  // the cancelled timers' slots run out; nothing new is scheduled
    EXPECT_EQ(runtime.pendingCount(), 0U);
    EXPECT_EQ(curtainWindows(), 0);

    // Destroyed while shown: its windows and its timers go with it.
    {
        app::CloseOverlay shortLived;
        shortLived.setProgress(0.4);
        shortLived.setProgress(std::nullopt);
    }
    EXPECT_EQ(curtainWindows(), 0);
    frames(1.0);
    EXPECT_EQ(runtime.pendingCount(), 0U);
}

TEST_F(CloseOverlayTest, WithReduceMotionEveryStepJumps) {
    laptop.reduceMotion().setEnabled(true);
    app::CloseOverlay overlay;
    overlay.setProgress(0.5);
    EXPECT_DOUBLE_EQ(overlay.views()[0]->animation().displayed(), 0.65);
    EXPECT_FALSE(overlay.views()[0]->animation().isEntering());
    overlay.setProgress(1.0);
    EXPECT_EQ(overlay.views()[1]->animation().displayed(), 1.0);
    overlay.seal();
    EXPECT_EQ(overlay.views()[0]->animation().fadeAlpha(), 0.0);
    frames(0.05);
    EXPECT_FALSE(overlay.isFrameClockRunning());
    frames(0.55);
    EXPECT_TRUE(overlay.views().empty());

    // A gesture that ends without a session is gone at once.
    overlay.setProgress(0.5);
    overlay.setProgress(std::nullopt);
    EXPECT_EQ(overlay.views()[0]->animation().displayed(), 0.0);
    EXPECT_EQ(overlay.views()[0]->animation().fadeAlpha(), 1.0);
    EXPECT_TRUE(overlay.views()[0]->animation().isRetracting());
}

class CloseOverlayDelegateTest : public CloseOverlayTest {
  protected:
    void launch() {
        app::AppDelegate::Options options;
        options.makeStatusItem = [] { return std::make_unique<FakeStatusItem>(); };
        options.terminate = [] {};
        options.openURL = [](const std::string&) {};
        delegate = std::make_unique<app::AppDelegate>(std::move(options));
        auto made = std::make_unique<app::CloseOverlay>();
        overlay = made.get();
        delegate->attachCloseOverlay(std::move(made));
        delegate->applicationDidFinishLaunching();
        runUntilIdle();
    }
    // Fn held at 110°, the lid closes to 32° in 0.8 s: the gesture commits.
    void closeWithFn() {
        laptop.hinge().setAngle(110);
        laptop.keyboard().setFunctionHeld(true);
        frames(0.2);
        laptop.hinge().moveTo(32, 0.8);
    }
    double displayed() const { return overlay->views()[0]->animation().displayed(); }

    std::unique_ptr<app::AppDelegate> delegate;
    app::CloseOverlay* overlay = nullptr;  // owned by the delegate
};

// Fn held, the lid closes: a window on each screen follows the lid down; the session arms when
// the lid shuts, and the seal takes the windows away.
TEST_F(CloseOverlayDelegateTest, FnAndCloseShowTheCurtainOnEveryScreenUntilTheSeal) {
    launch();
    closeWithFn();
    frames(0.3);
    ASSERT_EQ(overlay->views().size(), 2U);
    EXPECT_TRUE(overlay->isTrackingGesture());
    const double partWay = displayed();
    frames(0.55);
    EXPECT_GT(displayed(), partWay);
    EXPECT_EQ(delegate->session()->state(), SessionController::State::pending);

    laptop.keyboard().setFunctionHeld(false);
    laptop.hinge().moveTo(0, 0.3);
    frames(0.35);
    laptop.power().closeLid();
    frames(0.1);
    EXPECT_EQ(delegate->session()->state(), SessionController::State::armed);
    // The gesture has ended behind the seal; the curtain fades rather than sliding back up.
    ASSERT_EQ(overlay->views().size(), 2U);
    EXPECT_TRUE(overlay->views()[0]->animation().isSealing());
    EXPECT_FALSE(overlay->isTrackingGesture());
    frames(0.5);
    EXPECT_TRUE(overlay->views().empty());
    EXPECT_EQ(curtainWindows(), 0);
    expectNeverFocused();
    delegate->applicationWillTerminate();
}

// A disarm while the hand is still on the lid keeps the curtain; opening the lid hides it at
// once.
TEST_F(CloseOverlayDelegateTest, ADisarmDuringALiveGestureKeepsTheCurtainAndTheLidOpeningHidesIt) {
    launch();
    closeWithFn();
    frames(0.85);
    ASSERT_EQ(delegate->session()->state(), SessionController::State::pending);
    ASSERT_EQ(overlay->views().size(), 2U);
    ASSERT_TRUE(overlay->isTrackingGesture());
    delegate->session()->disarm("menu");
    frames(0.05);
    EXPECT_EQ(delegate->session()->state(), SessionController::State::disarmed);
    ASSERT_EQ(overlay->views().size(), 2U);
    EXPECT_FALSE(overlay->views()[0]->animation().isRetracting());

    laptop.keyboard().setFunctionHeld(false);
    laptop.hinge().moveTo(0, 0.2);
    frames(0.2);
    laptop.power().closeLid();
    frames(0.05);
    ASSERT_FALSE(overlay->views().empty());
    laptop.hinge().setAngle(110);
    laptop.power().openLid();
    frames(0.05);  // far sooner than any teardown
    EXPECT_TRUE(overlay->views().empty());
    EXPECT_EQ(curtainWindows(), 0);
    expectNeverFocused();
    delegate->applicationWillTerminate();
}

}  // namespace
}  // namespace noctave::test
