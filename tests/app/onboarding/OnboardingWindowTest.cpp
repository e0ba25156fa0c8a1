// The onboarding window as a new user meets it, offscreen and in virtual time, with the real
// session controller on the virtual laptop: pages, keys, the live practice, keep-awake, and
// snapshots decoded and checked.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QImage>
#include <QKeyEvent>

#include "app/onboarding/DesktopWallpaper.hpp"
#include "app/onboarding/GesturePracticeView.hpp"
#include "app/onboarding/KeepAwakeVisualView.hpp"
#include "app/onboarding/OnboardingButton.hpp"
#include "app/onboarding/OnboardingDotButton.hpp"
#include "app/onboarding/OnboardingKeyboardView.hpp"
#include "app/onboarding/OnboardingPageView.hpp"
#include "app/onboarding/OnboardingPalette.hpp"
#include "app/onboarding/OnboardingWindowController.hpp"
#include "app/onboarding/StandardOnboardingPage.hpp"
#include "app/settings/CallbackSwitch.hpp"
#include "core/session/SessionController.hpp"
#include "core/support/Prefs.hpp"
#include "platform/sim/SimHinge.hpp"
#include "platform/sim/SimKeyboard.hpp"
#include "tests/app/ShellTest.hpp"
#include "tests/support/SimTest.hpp"

namespace noctave::test {
namespace {

using app::OnboardingWindowController;

class OnboardingWindowTest : public SimTest {
  public:
    OnboardingWindowTest() {
        ensureApplication();
        // No desktop picture: the laptop's screen shows its plain fill.
        app::DesktopWallpaper::setCandidates(std::vector<std::filesystem::path>{});
        session = std::make_unique<SessionController>();
        runUntilIdle();
        onboarding = std::make_unique<OnboardingWindowController>(*session);
        onboarding->onDismiss = [this] { ++dismissals; };
    }
    ~OnboardingWindowTest() override {
        onboarding.reset();
        session.reset();
        app::DesktopWallpaper::setCandidates(std::nullopt);
    }

    // A key as the user types it, at whatever has the focus in the window.
    void press(int key, QWidget* at = nullptr) {
        QKeyEvent event(QEvent::KeyPress, key, Qt::NoModifier);
        QCoreApplication::sendEvent(at != nullptr ? at : onboarding->keyboardView(), &event);
        runUntilIdle();
    }
    QString next() const { return onboarding->nextButton()->text(); }
    app::GesturePracticeView& practice() {
        return *static_cast<app::GesturePracticeView*>(
            static_cast<app::StandardOnboardingPage*>(onboarding->page(1))->visual());
    }

    std::unique_ptr<SessionController> session;
    std::unique_ptr<OnboardingWindowController> onboarding;
    int dismissals = 0;
};

TEST_F(OnboardingWindowTest,
       TheRealFnAndLidCompleteThePracticeAndTurnSkipIntoContinueForThisShowing) {
    onboarding->show(nullptr, 0);
    ASSERT_TRUE(onboarding->window()->isVisible());
    EXPECT_FALSE(onboarding->backButton()->isVisible());
    press(Qt::Key_Left);
    EXPECT_EQ(onboarding->currentIndex(), 0);

    press(Qt::Key_Right);
    ASSERT_EQ(onboarding->currentIndex(), 1);
    EXPECT_EQ(next(), "Skip");
    EXPECT_EQ(onboarding->nextButton()->width(), 116);
    EXPECT_TRUE(onboarding->backButton()->isVisible());
    advance(1.2);  // the demonstration runs; it never lights the key
    EXPECT_TRUE(practice().isAnimating());
    EXPECT_GT(practice().practice().curtain.displayed(), 0.3);
    EXPECT_FALSE(practice().practice().physicalFnHeld);
    EXPECT_EQ(practice().caption(), "HOLD + MOVE");

    // The user holds the virtual Fn: the key lights and the demonstration stops.
    laptop.hinge().setAngle(110);
    laptop.keyboard().setFunctionHeld(true);
    advance(0.3);
    EXPECT_TRUE(practice().practice().physicalFnHeld);
    EXPECT_FALSE(practice().practice().demoFnHeld);
    EXPECT_EQ(next(), "Skip");

    // ... and moves the lid: the first progress completes the practice on the spot.
    laptop.hinge().moveTo(70, 0.5);
    advance(0.6);
    EXPECT_EQ(next(), "Continue");
    EXPECT_EQ(onboarding->nextButton()->bezelColor(), app::OnboardingPalette::ember());
    EXPECT_EQ(practice().caption(), QString::fromUtf8("\u2713  DONE"));
    EXPECT_EQ(onboarding->currentIndex(), 1);
    EXPECT_EQ(session->state(), SessionController::State::disarmed);  // only practice

    // Let go and open the lid again: the curtain goes and the clock stops until Fn returns.
    laptop.keyboard().setFunctionHeld(false);
    laptop.hinge().moveTo(110, 0.4);
    advance(4.0);
    EXPECT_EQ(practice().practice().curtain.displayed(), 0.0);
    EXPECT_FALSE(practice().isAnimating());
    laptop.keyboard().setFunctionHeld(true);
    advance(0.2);
    EXPECT_TRUE(practice().isAnimating());
    laptop.keyboard().setFunctionHeld(false);
    advance(1.0);

    press(Qt::Key_Left);
    press(Qt::Key_Right);
    EXPECT_EQ(next(), "Continue");

    // A new showing asks again.
    onboarding->show(nullptr, 1);
    EXPECT_EQ(next(), "Skip");
    EXPECT_EQ(practice().caption(), "HOLD + MOVE");
    EXPECT_EQ(dismissals, 0);
}

TEST_F(OnboardingWindowTest, LeavingThePracticePageEndsPracticeModeAndADotReentryRestartsTheDemo) {
    onboarding->show(nullptr, 1);
    advance(1.0);
    const auto startedAt = practice().practice().demoStartedAt;
    ASSERT_TRUE(startedAt);
    onboarding->dot(1)->click();
    runUntilIdle();
    EXPECT_GT(*practice().practice().demoStartedAt, *startedAt);
    EXPECT_FALSE(onboarding->isPushing());

    onboarding->dot(3)->click();
    EXPECT_TRUE(onboarding->isPushing());
    EXPECT_TRUE(onboarding->dot(3)->isCurrent());
    EXPECT_FALSE(onboarding->dot(1)->isCurrent());
    EXPECT_EQ(onboarding->dot(3)->accessibleDescription(), "Current step");
    EXPECT_EQ(onboarding->dot(1)->accessibleDescription(), "Not current");
    EXPECT_EQ(onboarding->dot(2)->toolTip(), "Go to step 3");
    EXPECT_EQ(onboarding->dot(2)->accessibleName(), "Onboarding step 3 of 4");
    EXPECT_FALSE(practice().isAnimating());
    // Fn and the lid now mean nothing to the onboarding; its picture stands still.
    const double coverage = practice().practice().curtain.displayed();
    laptop.keyboard().setFunctionHeld(true);
    laptop.hinge().moveTo(60, 0.5);
    advance(0.8);
    EXPECT_FALSE(practice().practice().practiceComplete);
    EXPECT_FALSE(practice().practice().physicalFnHeld);
    EXPECT_EQ(practice().practice().curtain.displayed(), coverage);
}

TEST_F(OnboardingWindowTest,
       TheLastPagesButtonReturnAndTheRightArrowDismissOnceAndClosingAfterSaysNothing) {
    struct Case {
        const char* name;
        void (*leave)(OnboardingWindowTest&);
    };
    const Case cases[] = {
        {"button", [](OnboardingWindowTest& t) { t.onboarding->nextButton()->click(); }},
        {"return, with Back focused",
         [](OnboardingWindowTest& t) { t.press(Qt::Key_Return, t.onboarding->backButton()); }},
        {"right arrow", [](OnboardingWindowTest& t) { t.press(Qt::Key_Right); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        dismissals = 0;
        onboarding->show(nullptr, 3);
        EXPECT_EQ(next(), "Start Using Noctave");
        EXPECT_EQ(onboarding->nextButton()->width(), 154);
        c.leave(*this);
        EXPECT_EQ(dismissals, 1);
        EXPECT_FALSE(onboarding->window()->isVisible());
        onboarding->window()->close();
        EXPECT_EQ(dismissals, 1);
    }
}

TEST_F(OnboardingWindowTest, EscapeOnEveryPageAndTheCloseButtonLeaveTheOnboarding) {
    for (int page = 0; page < 4; ++page) {
        SCOPED_TRACE(page);
        onboarding->show(nullptr, page);
        press(Qt::Key_Escape, onboarding->nextButton());
        press(Qt::Key_Escape);  // a second Escape says nothing more
        EXPECT_EQ(dismissals, page + 1);
        EXPECT_FALSE(onboarding->window()->isVisible());
    }
    onboarding->show(nullptr, 1);
    ASSERT_TRUE(practice().isAnimating());
    onboarding->closeButton()->click();
    onboarding->window()->close();
    EXPECT_EQ(dismissals, 5);
    EXPECT_FALSE(onboarding->window()->isVisible());
    EXPECT_FALSE(practice().isAnimating());
}

TEST_F(OnboardingWindowTest, TheKeepAwakeSwitchWritesThePreferenceAtOnceAndShowsItAnewEachShowing) {
    onboarding->show(nullptr, 2);
    auto& visual = *static_cast<app::KeepAwakeVisualView*>(
        static_cast<app::StandardOnboardingPage*>(onboarding->page(2))->visual());
    ASSERT_FALSE(visual.toggle()->isChecked());
    EXPECT_EQ(visual.toggle()->accessibleName(), "Keep awake with the lid open");
    visual.toggle()->click();
    runUntilIdle();
    EXPECT_TRUE(Prefs::keepAwake());
    EXPECT_TRUE(session->isKeepAwakeActive());

    // Turned off elsewhere (the tray menu): the next showing reflects it.
    Prefs::setKeepAwake(false);
    session->applyKeepAwakePreference();
    onboarding->show(nullptr, 2);
    EXPECT_FALSE(visual.toggle()->isChecked());
}

TEST_F(OnboardingWindowTest, LeavingOneOfTwoOpenOnboardingsKeepsTheOthersPracticeRunning) {
    // The first-run window and a replay from the settings share the one gesture driver.
    OnboardingWindowController replay(*session);
    onboarding->show(nullptr, 1);
    replay.show(nullptr, 1);
    press(Qt::Key_Escape);  // the first-run window goes
    ASSERT_EQ(dismissals, 1);

    laptop.hinge().setAngle(110);
    laptop.keyboard().setFunctionHeld(true);
    laptop.hinge().moveTo(70, 0.5);
    advance(0.8);
    EXPECT_EQ(replay.nextButton()->text(), "Continue");
    EXPECT_EQ(next(), "Skip");
}

// The pixel at a point of a widget inside the window, in a snapshot of the window.
Rgba at(const QImage& image, const QWidget* window, const QWidget* widget, QPointF point) {
    const QPoint p = widget->mapTo(window, point.toPoint());
    return pixelAt(image, p.x(), p.y());
}

TEST_F(OnboardingWindowTest,
       SnapshotsAre720By560WithTheCurrentDotAndTheHalfClosedPracticeOrSayWhyNot) {
    for (int page = 0; page < 4; ++page) {
        SCOPED_TRACE(page);
        const auto file = temp.path() / ("page" + std::to_string(page) + ".png");
        std::string error;
        ASSERT_TRUE(onboarding->writeSnapshot(file, page, &error)) << error;
        const QImage image(QString::fromStdString(file.string()));
        ASSERT_EQ(image.size(), QSize(720, 560));

        const Rgba backdrop = pixelAt(image, 8, 300);
        EXPECT_LE(backdrop.r, 10);
        EXPECT_LE(backdrop.b, 12);
        EXPECT_GT(pixelAt(image, 300, 0).r, backdrop.r + 10);  // the hairline
        for (int dot = 0; dot < 4; ++dot) {
            const Rgba bar = at(image, onboarding->window(), onboarding->dot(dot), {12, 12});
            if (dot == page) {
                EXPECT_GT(bar.r, 240);
                EXPECT_LT(bar.g, 100);
            } else {
                EXPECT_NEAR(bar.r, bar.g, 6);  // white, faint
            }
        }
        // The next button's bezel, left of its title.
        const Rgba bezel = at(image, onboarding->window(), onboarding->nextButton(), {5, 16});
        EXPECT_GT(bezel.r, 240) << "Continue after the snapshot's completed practice";
    }

    // Page 2's picture: the curtain covers the upper 55 % of the laptop's screen.
    std::string error;
    const auto file = temp.path() / "practice.png";
    ASSERT_TRUE(onboarding->writeSnapshot(file, 1, &error));
    const QImage image(QString::fromStdString(file.string()));
    EXPECT_EQ(practice().caption(), QString::fromUtf8("\u2713  DONE"));
    // The screen spans y 206 - 27 - 0.888 * 179 ... in the picture's y-down coordinates.
    const double screenTop = 230 - (27 + 0.888 * 179);
    const double screenHeight = 0.734 * 179;
    const double left = 247 + 0.2 * 276;
    const Rgba covered =
        at(image, onboarding->window(), &practice(), {left, screenTop + 0.3 * screenHeight});
    const Rgba open =
        at(image, onboarding->window(), &practice(), {left, screenTop + 0.8 * screenHeight});
    EXPECT_LE(covered.r + covered.g + covered.b, 30);
    EXPECT_NEAR(open.r, 31, 4);
    EXPECT_NEAR(open.g, 38, 4);
    EXPECT_NEAR(open.b, 54, 4);

    EXPECT_FALSE(onboarding->writeSnapshot(temp.path() / "no-such" / "x.png", 0, &error));
    EXPECT_EQ(error.rfind("could not write ", 0), 0U) << error;
}

}  // namespace
}  // namespace noctave::test
