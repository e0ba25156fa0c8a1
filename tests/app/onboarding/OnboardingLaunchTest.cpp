// When the onboarding appears by itself (the first launch, once) and on request from the
// command line, with the delegate on the virtual laptop; the snapshot option as a process.
#include <gtest/gtest.h>

#include <QApplication>
#include <QImage>
#include <QKeyEvent>
#include <QWidget>

#include "app/EntryPoint.hpp"
#include "app/onboarding/OnboardingKeyboardView.hpp"
#include "app/onboarding/OnboardingWindowController.hpp"
#include "app/settings/SettingsWindowController.hpp"
#include "core/support/Prefs.hpp"
#include "tests/support/ChildProcess.hpp"
#include "tests/support/DelegateTest.hpp"

namespace noctave::test {
namespace {

class OnboardingLaunchTest : public DelegateTest {
  protected:
    void launch(std::vector<std::string> arguments) {
        delegate.reset();
        arguments.insert(arguments.begin(), "noctave");
        startLaunch([&arguments](app::AppDelegate::Options& options) {
            std::string usage;
            options.launch = app::parseLaunchOptions(arguments, &usage).value();
        });
    }
};

TEST_F(OnboardingLaunchTest, TheFirstLaunchShowsTheOnboardingOnceAndTheSecondDoesNot) {
    launch({});
    // Written before anything is shown: a crash while the window opens does not repeat it.
    EXPECT_TRUE(Prefs::hasSeenOnboarding());
    EXPECT_EQ(delegate->onboarding(), nullptr);
    runUntilIdle();
    ASSERT_NE(delegate->onboarding(), nullptr);
    EXPECT_TRUE(delegate->onboarding()->window()->isVisible());
    EXPECT_EQ(delegate->onboarding()->currentIndex(), 0);
    EXPECT_EQ(delegate->settings(), nullptr);

    launch({});
    runUntilIdle();
    EXPECT_EQ(delegate->onboarding(), nullptr);
}

TEST_F(OnboardingLaunchTest, AWindowOptionOnTheFirstLaunchLeavesTheFirstRunForLater) {
    for (const char* option : {"--show-settings", "--show-onboarding"}) {
        SCOPED_TRACE(option);
        launch({option});
        runUntilIdle();
        EXPECT_FALSE(Prefs::hasSeenOnboarding());
        EXPECT_EQ(delegate->onboarding(), nullptr);
        ASSERT_NE(delegate->settings(), nullptr);
    }
    // "--show-onboarding" replays through the settings window, which hides while it shows.
    EXPECT_FALSE(delegate->settings()->window()->isVisible());
}

// The visible onboarding window, wherever it was made.
QWidget* shownOnboarding() {
    for (QWidget* window : QApplication::topLevelWidgets()) {
        if (window->isVisible() && window->windowTitle() == "Welcome to Noctave") {
            return window;
        }
    }
    return nullptr;
}

TEST_F(OnboardingLaunchTest,
       ReplayFromTheSettingsWindowHidesItAndLeavingTheOnboardingBringsItBack) {
    Prefs::setHasSeenOnboarding(true);
    launch({});
    delegate->openSettings();
    runUntilIdle();
    ASSERT_TRUE(delegate->settings()->showOnboarding(2));
    EXPECT_FALSE(delegate->settings()->window()->isVisible());
    QWidget* onboarding = shownOnboarding();
    ASSERT_NE(onboarding, nullptr);

    app::OnboardingKeyboardView* keys = nullptr;
    for (QWidget* child : onboarding->findChildren<QWidget*>()) {
        keys = keys != nullptr ? keys : dynamic_cast<app::OnboardingKeyboardView*>(child);
    }
    ASSERT_NE(keys, nullptr);
    QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
    QCoreApplication::sendEvent(keys, &escape);
    runUntilIdle();
    EXPECT_EQ(shownOnboarding(), nullptr);
    EXPECT_TRUE(delegate->settings()->window()->isVisible());
}

TEST(OnboardingSnapshotOptionTest, WritesThePageAsA720By560PngOrSaysWhyNot) {
    TempDir temp;
    auto run = [&temp](const std::vector<std::string>& arguments) {
        return runProgram(NOCTAVE_BINARY, arguments,
                          {.set = {{"QT_QPA_PLATFORM", "offscreen"},
                                   {"NOCTAVE_PLATFORM", "sim"},
                                   {"NOCTAVE_SIM_HOME", (temp.path() / "home").string()}},
                           .workingDirectory = temp.path()});
    };

    ProgramRun shot = run({"--snapshot-onboarding", "third.png", "3"});
    EXPECT_EQ(shot.status, 0) << shot.err;
    EXPECT_EQ(shot.out, "wrote " + (temp.path() / "third.png").string() + "\n");
    EXPECT_EQ(shot.err, "");
    const QImage image(QString::fromStdString((temp.path() / "third.png").string()));
    ASSERT_EQ(image.size(), QSize(720, 560));
    // The third dot is the current one: ember, where the others are faint white.
    const Rgba third = pixelAt(image, 310 + 2 * 25 + 12, 519);
    const Rgba first = pixelAt(image, 310 + 12, 519);
    EXPECT_GT(third.r, 240);
    EXPECT_LT(third.g, 100);
    EXPECT_LT(first.r, 120);

    shot = run({"--snapshot-onboarding", "missing/x.png"});
    EXPECT_EQ(shot.status, 1);
    EXPECT_EQ(shot.out, "");
    EXPECT_NE(shot.err.find("could not snapshot onboarding: "), std::string::npos) << shot.err;
}

}  // namespace
}  // namespace noctave::test
