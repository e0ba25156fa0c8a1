#include "platform/linux/hotkeys/X11HotKeys.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>

#include "app/integration/HotKeyController.hpp"
#include "core/runtime/ThreadedRuntime.hpp"
#include "tests/support/ChildProcess.hpp"
#include "tests/support/LogCapture.hpp"

namespace noctave::linuxos {
namespace {

using app::HotKeyController;

// A private X server on a display number it picks itself, and xdotool to type on it.
class X11HotKeysTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!test::hasProgram("Xvfb") || !test::hasProgram("xdotool")) {
            GTEST_SKIP() << "needs Xvfb and xdotool";
        }
        server_.emplace("Xvfb", test::words("-displayfd 1 -nolisten tcp -screen 0 320x240x24"),
                        test::ProgramOptions{.standardError = "/dev/null"});
        display_ = ":" + server_->line(test::Stream::output).value_or("");
        ASSERT_NE(display_, ":") << "Xvfb did not start";
    }

    void type(const std::string& keys) {
        std::vector<std::string> arguments = test::words(keys);
        arguments.insert(arguments.begin(), "key");
        ASSERT_EQ(test::runProgram("xdotool", arguments, {.set = {{"DISPLAY", display_}}}).status,
                  0);
    }
    bool waitFor(const std::function<bool()>& done) { return runtime_.runUntil(done, 10); }

    runtime::ThreadedRuntime runtime_;
    runtime::RuntimeInstaller installer_{runtime_};
    test::LogCapture log_;
    std::optional<test::ChildProcess> server_;
    std::string display_;
};

TEST_F(X11HotKeysTest, ChordReachesOnFireWithAndWithoutLockKeys) {
    auto keys = X11HotKeys::connect(display_);
    ASSERT_TRUE(keys);
    HotKeyController controller(keys);
    int fired = 0;
    controller.registerHotKey([&] { ++fired; });
    ASSERT_TRUE(log_.contains("hotkey registered (⌃⌥⌘L)"))
        << ::testing::PrintToString(log_.lines());

    // A lock key left on must not swallow the chord; another chord on the same letter is not
    // ours, and the press of ours after it shows it was delivered and ignored, not late.
    const char* presses[] = {"ctrl+alt+super+l", "Num_Lock ctrl+alt+super+l Num_Lock",
                             "Caps_Lock ctrl+alt+super+l Caps_Lock", "ctrl+alt+l ctrl+alt+super+l"};
    for (int count = 1; const char* press : presses) {
        SCOPED_TRACE(press);
        type(press);
        EXPECT_TRUE(waitFor([&] { return fired == count; }));
        ++count;
    }
    runtime_.runFor(0.05);
    EXPECT_EQ(fired, 4);
}

TEST_F(X11HotKeysTest, ChordHeldByAnotherClientFailsUntilItIsReleased) {
    auto other = X11HotKeys::connect(display_);
    auto ours = X11HotKeys::connect(display_);
    ASSERT_TRUE(other && ours);
    const auto grab = [&](os::HotKeys::HotKeyRef* ref) {
        return other->registerHotKey(HotKeyController::kKeyCode, HotKeyController::kModifiers,
                                     {1, 1}, 0, ref);
    };
    os::HotKeys::HotKeyRef held = 0;
    ASSERT_EQ(grab(&held), os::HotKeys::kNoError);

    HotKeyController controller(ours);
    controller.registerHotKey([] {});
    EXPECT_TRUE(
        log_.contains("hotkey registration FAILED (status -9878); another app may be using ⌃⌥⌘L"));
    EXPECT_TRUE(controller.isHandlerInstalled());

    ASSERT_EQ(other->unregisterHotKey(held), os::HotKeys::kNoError);
    controller.registerHotKey([] {});
    EXPECT_TRUE(controller.isRegistered()) << "a lock variant of the grab was left behind";
    controller.unregister();
    EXPECT_EQ(grab(&held), os::HotKeys::kNoError);
}

}  // namespace
}  // namespace noctave::linuxos
