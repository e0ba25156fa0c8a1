// The toolkit's two ways of ending the process when the display goes (its warning, then exit or
// _exit; an exit() from elsewhere) each run the orderly quit first and end with its status. The
// real display servers going away are the system and Wayland stories.
#include "app/DisplayLoss.hpp"

#include <gtest/gtest.h>

#include <QtGlobal>

#include <cstdlib>
#include <functional>
#include <string>

#include "tests/support/ChildProcess.hpp"
#include "tests/support/SimTest.hpp"

namespace noctave::app {
namespace {

class DisplayLossTest : public test::SimTest {};

TEST_F(DisplayLossTest, TheToolkitsLastWarningOrAStrayExitRunsTheQuitAndEndsWithItsStatus) {
    constexpr int kQuitStatus = 7;
    constexpr int kOwnStatus = 3;
    const struct {
        const char* name;
        std::function<int()> then;  // what happens after the hooks are in
        int status;
        const char* logged;
    } cases[] = {
        {"the xcb plugin's warning",
         []() -> int {
             qWarning("The X11 connection broke (error 1). Did the X11 server die?");
             std::exit(1);  // as the plugin does
         },
         kQuitStatus, "display connection lost ("},
        {"the Wayland plugin's warning",
         []() -> int {
             qWarning("The Wayland connection broke. Did the Wayland compositor die?");
             std::_Exit(1);
         },
         kQuitStatus, "display connection lost ("},
        {"exit() from elsewhere", []() -> int { std::exit(1); }, kQuitStatus,
         "exit called while running ("},
        {"any other warning",
         [] {
             qWarning("QXcbConnection: XCB error: 3 (BadWindow)");
             return kOwnStatus;
         },
         kOwnStatus, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::ChildProcess child([&] {
            bool quitRan = false;
            const DisplayLoss loss([&] {
                quitRan = true;
                for (const auto& message : log.messages()) {
                    if (c.logged != nullptr && message.starts_with(c.logged) &&
                        message.ends_with("); quitting")) {
                        return kQuitStatus;
                    }
                }
                return 100;
            });
            const int own = c.then();
            return quitRan ? 101 : own;
        });
        EXPECT_EQ(child.wait().status, c.status);
    }
    EXPECT_TRUE(DisplayLoss::isConnectionLost(
        "The Wayland connection experienced a fatal error: Protocol error"));
}

}  // namespace
}  // namespace noctave::app
