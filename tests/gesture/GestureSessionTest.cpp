// The whole Fn + close road on the virtual laptop, with the real session controller: the
// gesture commits, the lid shuts, the session arms, locks and blanks, and opening the lid
// ends the one-shot session.
#include <gtest/gtest.h>

#include <vector>

#include "core/session/SessionController.hpp"
#include "platform/sim/SimHinge.hpp"
#include "platform/sim/SimKeyboard.hpp"
#include "platform/sim/SimPower.hpp"
#include "platform/sim/SimScreen.hpp"
#include "tests/support/SimTest.hpp"

namespace noctave {
namespace {

using State = SessionController::State;
using GestureSessionTest = test::SimTest;

TEST_F(GestureSessionTest, FnHeldWhileClosingArmsAOneShotSessionThatEndsWhenTheLidOpens) {
    std::vector<State> states;
    SessionController controller;
    controller.onStateChange = [&](State state) { states.push_back(state); };
    runUntilIdle();
    auto& hinge = laptop.hinge();
    auto& power = laptop.power();
    auto& screen = laptop.screen();

    hinge.setAngle(110);
    laptop.keyboard().setFunctionHeld(true);
    advance(0.2);
    hinge.moveTo(32, 0.8);
    advance(0.85);
    EXPECT_TRUE(log.contains("gesture: committed @32° (from 110°) - fn may now be released"));
    EXPECT_EQ(controller.state(), State::pending);
    EXPECT_TRUE(power.kernelFlag());

    // Fn may go now; the lid goes on down and shuts.
    laptop.keyboard().setFunctionHeld(false);
    hinge.moveTo(0, 0.3);
    advance(0.35);
    EXPECT_EQ(controller.state(), State::pending);
    const int blanksBefore = screen.instantIdleCalls();
    power.closeLid();
    advance(2.0);
    EXPECT_EQ(states, (std::vector<State>{State::pending, State::armed}));
    EXPECT_EQ(screen.sessionLocks(), 1);
    EXPECT_GT(screen.instantIdleCalls(), blanksBefore);
    // The lid close ended the gesture: long after its commit timeout the session still holds.
    advance(30.0);
    EXPECT_EQ(controller.state(), State::armed);
    EXPECT_EQ(log.count("gesture: cancelled (committed but lid never closed)"), 0U);

    hinge.moveTo(110, 0.8);
    power.openLid();
    advance(1.0);
    EXPECT_EQ(controller.state(), State::disarmed);
    EXPECT_TRUE(log.contains("disarmed (lid-open (one-shot))"));
    EXPECT_FALSE(power.kernelFlag());
}

}  // namespace
}  // namespace noctave
