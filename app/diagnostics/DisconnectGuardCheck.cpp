#include "app/diagnostics/DisconnectGuardCheck.hpp"

#include <cstdio>
#include <string>

#include "app/diagnostics/DiagnosticSupport.hpp"
#include "core/os/Vocabulary.hpp"
#include "core/power/LidSleepPolicy.hpp"
#include "core/power/LidStateObserver.hpp"
#include "core/power/PowerSourceMonitor.hpp"
#include "core/power/SleepAssertion.hpp"
#include "core/session/Recovery.hpp"
#include "core/support/Log.hpp"

namespace noctave::app::DisconnectGuardCheck {

namespace {

using diagnostics::printLine;
using LidState = LidStateObserver::LidState;

constexpr const char* kRule = "------------------------------------------";
constexpr const char* kReason = "Noctave disconnect-guard check";

constexpr double kPollInterval = 0.25;
constexpr int kPollsPerSecond = 4;
constexpr int kCloseTimeoutSeconds = 120;
constexpr int kOpenTimeoutSeconds = 300;
constexpr double kSettleSeconds = 6;
constexpr int kWatchRounds = 40;
constexpr double kSleepGapSeconds = 5.0;

bool waitForLid(const LidStateObserver& observer, LidState wanted, int timeoutSeconds) {
    for (int poll = 0; poll < timeoutSeconds * kPollsPerSecond; ++poll) {
        if (observer.currentState() == wanted) {
            return true;
        }
        diagnostics::pause(kPollInterval);
    }
    return false;
}

// One-second rounds; a round that took far longer than a second means the machine was
// suspended in between (it slept and woke again).
bool watchForSleep() {
    bool slept = false;
    double previous = diagnostics::wallSeconds();
    for (int round = 0; round < kWatchRounds; ++round) {
        diagnostics::pause(1);
        const double now = diagnostics::wallSeconds();
        if (now - previous > kSleepGapSeconds) {
            slept = true;
        }
        previous = now;
    }
    return slept;
}

}  // namespace

int run() {
    // Each line must show at once, also when the output goes to a pipe: the user acts on them.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    printLine("Noctave - lid-close disconnect guard check");
    printLine(kRule);
    printLine("This reproduces the exact sleep that an external-display unplug");
    printLine("triggers, without needing an external display.");
    printLine("");
    printLine("  1. Close the lid when asked, and leave it closed.");
    printLine("  2. Wait about a minute.");
    printLine("  3. Open the lid and read the verdict here.");
    printLine("");

    auto policy = diagnostics::openLidSleepPolicy();
    auto observer = policy ? LidStateObserver::create() : nullptr;
    if (!policy || !observer) {
        printLine("FAIL  could not open " + os::vocabulary().powerService());
        return 1;
    }

    Recovery::installSignalHandlers();
    SleepAssertion armed(os::kPreventUserIdleSystemSleep, kReason);
    SleepAssertion guard(os::kPreventSystemSleep, kReason);

    const auto giveEverythingBack = [&] {
        guard.release();
        armed.release();
        if (!Recovery::guardedClear(*policy)) {
            Log::error("disconnect-guard check: the lid-close bit could not be cleared");
        }
    };

    if (!policy->set(true) || !armed.acquire()) {
        printLine("FAIL  could not arm");
        giveEverythingBack();
        return 1;
    }
    printLine("armed. Close the lid now\u2026");

    if (!waitForLid(*observer, LidState::closed, kCloseTimeoutSeconds)) {
        printLine("FAIL  lid never closed; nothing was tested");
        giveEverythingBack();
        return 1;
    }

    const bool guardHeld = guard.acquire();
    Log::info(guardHeld ? "disconnect-guard check: lid shut, guard held"
                        : "disconnect-guard check: lid shut, guard REFUSED");
    diagnostics::pause(kSettleSeconds);

    Log::info("disconnect-guard check: clearing the shared bit (powerd's write)");
    // A refused clear leaves the bit set: the machine stays awake whatever the guard does, so
    // a verdict would be a lie.
    if (!policy->set(false)) {
        Log::error("disconnect-guard check: clearing the shared bit was refused");
        giveEverythingBack();
        printLine("FAIL  could not clear the bit; nothing was tested");
        return 1;
    }
    const bool slept = watchForSleep();

    giveEverythingBack();
    const std::string machine = os::vocabulary().machine();
    Log::info(slept ? "disconnect-guard check: the " + machine + " slept"
                    : "disconnect-guard check: the " + machine + " stayed awake");

    printLine("");
    printLine("Open the lid\u2026");
    waitForLid(*observer, LidState::open, kOpenTimeoutSeconds);

    printLine(kRule);
    printLine(std::string("  guard assertion:  ") + (guardHeld ? "held" : "refused"));
    printLine(std::string("  power source:     ") + (PowerSourceMonitor::snapshot().onBattery
                                                         ? "battery - the guard is inert here"
                                                         : "AC"));
    printLine(slept ? "FAIL  the " + machine + " slept when the bit was cleared"
                    : "PASS  the " + machine + " stayed awake with the bit cleared");
    observer->stop();
    return slept ? 1 : 0;
}

}  // namespace noctave::app::DisconnectGuardCheck
