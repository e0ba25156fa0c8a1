// The safety watches: the battery guard, the flag re-apply after a power-source change or a
// wake, display reconfigurations, the flag heartbeat and the restore retry.
#include <string>

#include "core/os/System.hpp"
#include "core/os/Vocabulary.hpp"
#include "core/runtime/Runtime.hpp"
#include "core/session/Recovery.hpp"
#include "core/session/SessionController.hpp"
#include "core/support/Log.hpp"
#include "core/support/Prefs.hpp"

namespace noctave {

namespace {
constexpr int kMissingLevelLimit = 2;
constexpr double kHeartbeatPeriod = 0.1;
constexpr double kHeartbeatTolerance = 0.02;
constexpr double kRestoreRetryPeriod = 5.0;
}  // namespace

void SessionController::handleBattery(const PowerSourceMonitor::Snapshot& snapshot) {
    lastPowerReading_ = snapshot;
    if (onStatusChange) {
        onStatusChange();
    }
    // Every report that is not a level-less one on battery during a session resets the count,
    // so only consecutive missing levels disarm.
    if (!isSessionActive() || !Prefs::disarmOnLowBattery() || !snapshot.onBattery) {
        missingBatterySamples_ = 0;
        return;
    }
    if (!snapshot.percent) {
        ++missingBatterySamples_;
        if (missingBatterySamples_ < kMissingLevelLimit) {
            return;
        }
        Log::warn("battery level unavailable twice while safety enabled; disarming");
        disarm("battery-telemetry-lost");
        notifySafetyDisarm("Noctave disarmed as a precaution",
                           os::vocabulary().operatingSystem() +
                               " stopped reporting battery charge, so the " +
                               os::vocabulary().machine() + " can sleep.");
        return;
    }
    missingBatterySamples_ = 0;
    const int percent = *snapshot.percent;
    if (percent > Prefs::lowBatteryPercent()) {
        return;
    }
    const std::string text = std::to_string(percent);
    Log::info("low battery (" + text + "%); disarming");
    disarm("low-battery");
    notifySafetyDisarm("Noctave disarmed", "Battery dropped to " + text + "%. Your " +
                                               os::vocabulary().machine() +
                                               " can sleep instead of running flat.");
}

// Runs only while a session stands with the lid shut: that is when heat has nowhere to go, and
// the only time a reading could change anything.
void SessionController::syncThermalGuard() {
    if (state_ == State::armed && lastLidState_ == LidState::closed) {
        thermal_.start();
    } else {
        thermal_.stop();
    }
}

void SessionController::handleTooHot(int celsius) {
    if (!isSessionActive()) {
        return;
    }
    const std::string text = std::to_string(celsius);
    Log::warn("thermal cut-off (" + text + " °C); disarming");
    disarm("thermal cut-off");
    notifySafetyDisarm("Noctave disarmed", "Too hot with the lid closed (" + text +
                                               " °C); disarming so the laptop can sleep.");
}

void SessionController::handleWake() {
    if (isSessionActive()) {
        // Nothing of ours let it sleep: the user will want to know, and to report it.
        Log::warn("slept while armed (the system did not say why)");
        journal_->note("slept while armed", "the system did not say why");
    } else if (isSleepExpected_) {
        journal_->noteAfter("slept and woke");
    }
    isSleepExpected_ = false;
    // A deadline that passed during the sleep ends its session before anything is re-applied.
    checkDeadlines();
    reapplyIfArmed("system wake");
}

void SessionController::reapplyIfArmed(const std::string& reason) {
    if (!isSessionActive()) {
        return;
    }
    if (flag_->set(true)) {
        Log::info("re-applied lid-close flag after " + reason);
        return;
    }
    // Showing a session the kernel no longer honours would be worse than ending it.
    Log::error("re-apply FAILED while armed (" + reason +
               "); disarming to avoid a false armed state");
    disarm("reapply-failed");
    notify("Noctave disarmed",
           "The " + os::vocabulary().machine() + "'s sleep setting could not be maintained.");
}

void SessionController::postDisplayReconfiguration(runtime::WeakPtr<SessionController> weak,
                                                   DisplayObserver::Phase phase) {
    // The display observer calls from the system's thread; the weak pointer is only read on
    // the main queue, where the controller lives and dies.
    auto call = [weak, phase] {
        if (SessionController* self = weak.get()) {
            self->handleDisplayReconfiguration(phase);
        }
    };
    if (runtime::mainQueue().isCurrent()) {
        call();
    } else {
        runtime::mainQueue().async(std::move(call));
    }
}

void SessionController::handleDisplayReconfiguration(DisplayObserver::Phase phase) {
    bool countChanged = false;
    if (phase == DisplayObserver::Phase::didChange) {
        const int count = DisplayObserver::externalDisplayCount();
        if (count != lastExternalDisplays_) {
            Log::info("external displays: " + std::to_string(lastExternalDisplays_) + " → " +
                      std::to_string(count));
            lastExternalDisplays_ = count;
            countChanged = true;
        }
    }
    if (!isSessionActive()) {
        syncLidWatches();
        return;
    }
    // The power daemon may have cleared the shared bit while the displays changed.
    if (!flag_->set(true)) {
        Log::error("display reconfiguration: lid-close flag re-apply FAILED");
    }
    syncLidWatches();
    if (countChanged) {
        schedulePanelBlank();
    }
}

bool SessionController::shouldRunFlagHeartbeat() const {
    return isSessionActive() && (lastLidState_ == LidState::closed || preBlanked_);
}

void SessionController::syncFlagHeartbeat() {
    const bool shouldRun = shouldRunFlagHeartbeat();
    if (shouldRun == (flagHeartbeat_ != nullptr || flagLossWatch_ != 0)) {
        return;
    }
    if (!shouldRun) {
        stopFlagHeartbeat();
        Log::debug("flag heartbeat off");
        return;
    }
    flag_->set(true);
    // Where nothing else writes the flag, it only needs setting again once the platform says
    // it was lost: the heartbeat then costs no wake-up at all.
    auto port = os::system().powerManagement;
    if (port) {
        flagLossWatch_ = port->watchFlagLoss([weak = weakFactory_.weak()] {
            runtime::mainQueue().async([weak] {
                if (SessionController* self = weak.get()) {
                    self->flagHeartbeatTick();
                }
            });
        });
    }
    if (flagLossWatch_ != 0) {
        flagLossPort_ = std::move(port);
        Log::info("flag heartbeat on (when lost) - nothing else writes the lid-close flag here");
        return;
    }
    Log::info("flag heartbeat on (100 ms) - the lid-close bit is shared with powerd");
    flagHeartbeat_ = runtime::Timer::repeating(
        runtime::mainQueue(), kHeartbeatPeriod, kHeartbeatTolerance,
        runtime::bindWeak(weakFactory_.weak(),
                          [](SessionController& self) { self.flagHeartbeatTick(); }));
}

void SessionController::stopFlagHeartbeat() {
    flagHeartbeat_.reset();
    if (flagLossWatch_ != 0) {
        flagLossPort_->unwatchFlagLoss(flagLossWatch_);
        flagLossWatch_ = 0;
        flagLossPort_.reset();
    }
}

void SessionController::flagHeartbeatTick() {
    if (!shouldRunFlagHeartbeat()) {
        stopFlagHeartbeat();
        return;
    }
    // Unchecked on purpose: a refused set is simply tried again on the next tick.
    flag_->set(true);
}

void SessionController::scheduleRestoreRetry() {
    restoreRetryTimer_ = runtime::Timer::repeating(
        runtime::mainQueue(), kRestoreRetryPeriod, 0,
        runtime::bindWeak(weakFactory_.weak(),
                          [](SessionController& self) { self.restoreRetryTick(); }));
}

void SessionController::stopRestoreRetry() {
    restoreRetryTimer_.reset();
}

void SessionController::restoreRetryTick() {
    if (!Recovery::guardedClear(*flag_)) {
        return;
    }
    Log::info("kernel flag restoration confirmed after retry");
    Recovery::clearMarker();
    setState(State::disarmed);
    stopRestoreRetry();
}

}  // namespace noctave
