#pragma once

#include <gmock/gmock.h>

#include <filesystem>
#include <memory>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "core/session/Recovery.hpp"
#include "core/session/SessionController.hpp"
#include "platform/sim/SimHinge.hpp"
#include "platform/sim/SimPower.hpp"
#include "platform/sim/SimScreen.hpp"
#include "tests/support/SimTest.hpp"

namespace noctave {

// Test listings and failure messages name the state rather than dumping its bytes.
inline void PrintTo(SessionController::State state, std::ostream* out) {
    constexpr const char* kNames[] = {"disarmed", "pending", "armed", "restoreFailed"};
    *out << kNames[static_cast<int>(state)];
}

}  // namespace noctave

namespace noctave::test {

using State = SessionController::State;
using Notice = std::pair<std::string, std::string>;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

inline constexpr const char* kArmedName = "Noctave: keeping Mac awake (lid closed)";
inline constexpr const char* kGuardName = "Noctave: lid shut, session running";

// A controller on the virtual laptop, with everything it tells its owner recorded.
class SessionFixture : public SimTest {
  protected:
    sim::SimPower& power() { return laptop.power(); }
    sim::SimScreen& screen() { return laptop.screen(); }
    sim::SimHinge& hinge() { return laptop.hinge(); }

    // Builds the controller as the application does at launch and lets its start-up reports in.
    SessionController& start() {
        controller = std::make_unique<SessionController>();
        controller->onStateChange = [this](State state) { states.push_back(state); };
        controller->onNotice = [this](const std::string& title, const std::string& body) {
            notices.emplace_back(title, body);
        };
        controller->onLidOpen = [this] { ++lidOpens; };
        runUntilIdle();
        return *controller;
    }

    // What the gesture driver delivers on the main queue when a gesture commits or is undone.
    void commitGesture() {
        controller->gesture()->onCommit();
        runUntilIdle();
    }
    void cancelGesture() {
        controller->gesture()->onCancel();
        runUntilIdle();
    }
    void closeLid() {
        power().closeLid();
        runUntilIdle();
    }
    void openLid() {
        power().openLid();
        runUntilIdle();
    }

    // Arms, then has the kernel refuse the clear, and go on refusing until told otherwise.
    void reachRestoreFailed() {
        controller->arm("menu");
        power().setRefuseFlag(true);
        controller->disarm("menu");
    }

    // Names of the power assertions the machine holds now, in creation order.
    std::vector<std::string> assertionNames() {
        std::vector<std::string> names;
        for (const auto& assertion : power().assertions()) {
            names.push_back(assertion.name);
        }
        return names;
    }

    bool markerExists() { return std::filesystem::exists(Recovery::pidFileURL()); }

    // What a session leaves behind once it is over: nothing.
    void expectNothingHeld() {
        EXPECT_FALSE(power().kernelFlag());
        EXPECT_THAT(assertionNames(), IsEmpty());
        EXPECT_FALSE(markerExists());
    }

    std::unique_ptr<SessionController> controller;
    std::vector<State> states;
    std::vector<Notice> notices;
    int lidOpens = 0;
};

}  // namespace noctave::test
