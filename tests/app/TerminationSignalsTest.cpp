#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>

#include <QAction>
#include <QApplication>
#include <QLineEdit>
#include <QWidget>

#include "app/MainMenu.hpp"
#include "app/TerminationSignals.hpp"
#include "tests/app/ShellTest.hpp"

namespace noctave::test {
namespace {

volatile sig_atomic_t gFallbackCalls = 0;
void fallback(int) {
    gFallbackCalls = gFallbackCalls + 1;
}

bool spinUntil(const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!done() && std::chrono::steady_clock::now() < deadline) {
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 20);
    }
    return done();
}

// The crash-recovery handler stands in as `fallback`: the first SIGTERM must become an orderly
// quit on the event loop, a second one (the main thread wedged) must reach the fallback at once.
TEST(TerminationSignalsTest, FirstSignalQuitsInOrderASecondFallsThroughToTheEarlierHandler) {
    ensureApplication();
    struct sigaction recovery = {};
    recovery.sa_handler = fallback;
    sigemptyset(&recovery.sa_mask);
    struct sigaction saved = {};
    ASSERT_EQ(::sigaction(SIGTERM, &recovery, &saved), 0);
    gFallbackCalls = 0;
    int quits = 0;
    {
        app::TerminationSignals installed([&quits] { ++quits; });
        ASSERT_TRUE(installed.isInstalled());
        ::raise(SIGTERM);
        EXPECT_EQ(quits, 0);  // never from inside the handler
        ASSERT_TRUE(spinUntil([&] { return quits == 1; }));
        EXPECT_EQ(gFallbackCalls, 0);

        ::raise(SIGTERM);
        EXPECT_EQ(gFallbackCalls, 1);
    }
    // Gone: the earlier handler is back in place.
    ::raise(SIGTERM);
    EXPECT_EQ(gFallbackCalls, 2);
    EXPECT_EQ(quits, 1);
    ::sigaction(SIGTERM, &saved, nullptr);
}

TEST(MainMenuTest, WindowShortcutsReachTheFocusedFieldAndCloseTheWindow) {
    ensureApplication();
    int quits = 0;
    app::MainMenu menu([&quits] { ++quits; });
    QWidget window;
    auto* field = new QLineEdit(QStringLiteral("some text"), &window);
    menu.attach(window);
    window.show();
    QApplication::setActiveWindow(&window);
    field->setFocus();
    ASSERT_TRUE(spinUntil([&] { return QApplication::focusWidget() == field; }));

    auto action = [&menu](const QString& title) -> QAction* {
        for (QAction* a : menu.actions()) {
            if (a->text() == title) {
                return a;
            }
        }
        return nullptr;
    };
    ASSERT_NE(action("Select All"), nullptr);
    action("Select All")->trigger();
    EXPECT_EQ(field->selectedText(), "some text");
    action("Cut")->trigger();
    EXPECT_EQ(field->text(), "");
    action("Undo")->trigger();
    EXPECT_EQ(field->text(), "some text");
    action("Quit Noctave")->trigger();
    EXPECT_EQ(quits, 1);
    action("Close Window")->trigger();
    EXPECT_FALSE(window.isVisible());
}

}  // namespace
}  // namespace noctave::test
