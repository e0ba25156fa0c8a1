// The controller's reactions to the lid: lock and blank on close, end the session on open, and
// the three companions kept in step with the session (pre-blank with its closing watch, the
// lid-shut guard, the relight guard).
#include <chrono>
#include <cmath>
#include <string>
#include <vector>

#include "core/os/Vocabulary.hpp"
#include "core/power/DisplaySleeper.hpp"
#include "core/power/SessionLocker.hpp"
#include "core/runtime/Runtime.hpp"
#include "core/session/SessionController.hpp"
#include "core/support/Log.hpp"
#include "core/support/Prefs.hpp"

namespace noctave {

namespace {
constexpr double kPreBlankExpirySeconds = 20.0;
constexpr double kClosingWatchPeriod = 0.05;
constexpr double kClosingAngle = 50.0;
constexpr double kClosingDrop = 25.0;
constexpr double kRelightDelaySeconds = 1.5;
constexpr auto kRelightMinimumGap = std::chrono::seconds(10);
}  // namespace

void SessionController::syncLidWatches() {
    syncThermalGuard();
    syncClosedLidGuard();
    syncFlagHeartbeat();
    syncClosingWatch();
}

void SessionController::handleLidReport(LidState reported) {
    // The observer reports on every power-domain message; most repeat the last state.
    if (reported == lastLidState_) {
        return;
    }
    lastLidState_ = reported;
    if (onStatusChange) {
        onStatusChange();
    }
    if (reported == LidState::open) {
        preBlanked_ = false;
    }
    if (reported != LidState::unknown) {
        journal_->note(reported == LidState::closed ? "lid closed" : "lid opened");
    }
    handleLidChange(reported);
    syncLidWatches();
}

void SessionController::handleLidChange(LidState lid) {
    switch (lid) {
        case LidState::closed:
            handleLidClosed();
            break;
        case LidState::open:
            handleLidOpened();
            break;
        case LidState::unknown:
            Log::debug("lid state unavailable; preserving current state");
            break;
    }
}

void SessionController::handleLidClosed() {
    if (state_ == State::armed) {
        Log::info("lid shut; arm stands");
    } else if (state_ == State::pending) {
        setState(State::armed);
        Log::info("lid shut; gesture confirmed - one-shot session active");
    } else {
        return;
    }
    gesture_->noteLidClosed();

    const auto locked = SessionLocker::lockNow();
    lastPanelBlank_ = runtime::clock().wall();
    const auto blanked = DisplaySleeper::sleepNow();

    std::vector<std::string> problems;
    if (!locked.succeeded()) {
        Log::error(locked.message);
        problems.emplace_back("The " + os::vocabulary().machine() + " could not be locked.");
    }
    if (!blanked.succeeded()) {
        Log::error(blanked.message);
        problems.emplace_back("The built-in display may still be on.");
    }
    if (problems.empty()) {
        return;
    }
    std::string body;
    for (const auto& problem : problems) {
        body += (body.empty() ? "" : " ") + problem;
    }
    notify("Noctave needs attention", body);
}

void SessionController::handleLidOpened() {
    if (onLidOpen) {
        onLidOpen();
    }
    switch (state_) {
        case State::armed:
            if (isHeld_) {
                isLidOpenHeldBack_ = true;
                Log::info("lid opened; session held");
            } else if (origin_ == Origin::oneShot) {
                disarm("lid-open (one-shot)");
            } else if (!Prefs::stayOnAfterOpeningLid()) {
                disarm("lid-open");
            }
            break;
        case State::pending:
            withdrawPending();
            break;
        case State::disarmed:
        case State::restoreFailed:
            break;
    }
}

void SessionController::setHeld(bool held) {
    isHeld_ = held;
    if (held || !isLidOpenHeldBack_) {
        return;
    }
    isLidOpenHeldBack_ = false;
    // The lid may have shut again since; only an opening that still stands ends the session.
    if (lastLidState_ == LidState::open) {
        handleLidOpened();
    }
}

void SessionController::preBlankForClose(const std::string& reason) {
    if (preBlanked_ || DisplayObserver::externalDisplayCount() < 1) {
        return;
    }
    preBlanked_ = true;
    stopClosingWatch();
    lastPanelBlank_ = runtime::clock().wall();
    preBlankExpiry_ = runtime::Timer::oneShot(
        runtime::mainQueue(), kPreBlankExpirySeconds, 0,
        runtime::bindWeak(weakFactory_.weak(),
                          [](SessionController& self) { self.handlePreBlankExpiry(); }));
    Log::info("closing while docked (" + reason +
              ") - blanking now, lid still open, so powerd can drop desktop mode for free");
    // A pre-blank that fails costs nothing: the close-time blank follows anyway.
    DisplaySleeper::sleepNow();
}

void SessionController::handlePreBlankExpiry() {
    preBlankExpiry_.reset();
    if (lastLidState_ == LidState::closed) {
        return;
    }
    Log::info("pre-blank expired without a close; standing down");
    preBlanked_ = false;
    syncLidWatches();
}

void SessionController::syncClosingWatch() {
    const bool shouldRun = state_ == State::armed && lastLidState_ == LidState::open &&
                           !preBlanked_ && sensor_->isAvailable() &&
                           DisplayObserver::externalDisplayCount() >= 1;
    if (!shouldRun) {
        stopClosingWatch();
        return;
    }
    if (closingWatch_) {
        return;
    }
    closingWatchHighAngle_.reset();
    closingWatch_ = runtime::Timer::repeating(
        runtime::mainQueue(), kClosingWatchPeriod, 0,
        runtime::bindWeak(weakFactory_.weak(),
                          [](SessionController& self) { self.closingWatchTick(); }));
}

void SessionController::stopClosingWatch() {
    closingWatch_.reset();
    closingWatchHighAngle_.reset();
}

void SessionController::closingWatchTick() {
    const std::optional<double> reading = sensor_->angle();
    if (!reading) {
        return;
    }
    const double angle = *reading;
    if (!closingWatchHighAngle_ || *closingWatchHighAngle_ <= angle) {
        closingWatchHighAngle_ = angle;
    }
    if (angle <= kClosingAngle || *closingWatchHighAngle_ - angle >= kClosingDrop) {
        preBlankForClose("lid at " + std::to_string(static_cast<long long>(std::trunc(angle))) +
                         "°");
    }
}

void SessionController::syncClosedLidGuard() {
    const bool shouldHold = isSessionActive() && (lastLidState_ == LidState::closed || preBlanked_);
    if (shouldHold) {
        if (closedLidAssertion_.isHeld()) {
            return;
        }
        if (closedLidAssertion_.acquire()) {
            Log::info("lid-shut guard held (blocks the lid-close sleep " +
                      os::vocabulary().operatingSystem() +
                      " requests when an external display disappears; AC only)");
        } else {
            Log::warn("lid-shut guard refused; relying on the kernel flag alone");
        }
        return;
    }
    if (closedLidAssertion_.isHeld()) {
        closedLidAssertion_.release();
        Log::debug("lid-shut guard released");
    }
}

void SessionController::schedulePanelBlank() {
    // Restarting the one-shot folds a burst of display changes into one re-blank.
    relightGuardTimer_ = runtime::Timer::oneShot(
        runtime::mainQueue(), kRelightDelaySeconds, 0,
        runtime::bindWeak(weakFactory_.weak(),
                          [](SessionController& self) { self.relightTick(); }));
}

void SessionController::relightTick() {
    relightGuardTimer_.reset();
    if (state_ != State::armed || lastLidState_ != LidState::closed) {
        return;
    }
    const auto now = runtime::clock().wall();
    if (lastPanelBlank_ && now - *lastPanelBlank_ < kRelightMinimumGap) {
        return;
    }
    lastPanelBlank_ = now;
    Log::info("display set changed with the lid shut; blanking again");
    DisplaySleeper::sleepNow();
}

}  // namespace noctave
