#include "app/diagnostics/DiagnosticCommands.hpp"

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

#include "app/diagnostics/Diagnose.hpp"
#include "app/diagnostics/DisconnectGuardCheck.hpp"
#include "app/diagnostics/SelfTestCommand.hpp"
#include "app/diagnostics/TrayHost.hpp"
#include "core/os/System.hpp"
#include "core/runtime/ManualRuntime.hpp"
#include "core/runtime/ThreadedRuntime.hpp"
#include "core/support/CommandLine.hpp"
#include "core/support/Log.hpp"
#include "platform/PlatformSelection.hpp"
#include "platform/sim/SimPower.hpp"
#include "platform/sim/SimStateReport.hpp"
#include "platform/sim/SimSuspension.hpp"
#include "platform/sim/VirtualLaptop.hpp"

namespace noctave::app {

namespace {

enum class Mode { selfTest, diagnose, disconnectGuard };

std::optional<Mode> requestedMode(int argc, char** argv) {
    const CommandLine line(argc, argv);
    if (line.has("--selftest")) {
        return Mode::selfTest;
    }
    if (line.has("--diagnose")) {
        return Mode::diagnose;
    }
    if (line.has("--verify-disconnect-guard")) {
        return Mode::disconnectGuard;
    }
    return std::nullopt;
}

int runMode(Mode mode) {
    switch (mode) {
        case Mode::selfTest:
            return SelfTest::run();
        case Mode::diagnose:
            return Diagnose::run();
        case Mode::disconnectGuard:
            return DisconnectGuardCheck::run();
    }
    return 1;
}

// On the virtual laptop the whole check runs in virtual time: its waits (seconds to minutes)
// cost nothing, and the virtual hardware's own events happen inside them, in order.
int runOnPlatform(Mode mode, runtime::Runtime& runtime) {
    runtime::RuntimeInstaller runtimeInstaller{runtime};
    std::string error;
    auto platform = platform::selectPlatform(&error);
    if (!platform) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 2;
    }
    int status = 0;
    {
        os::SystemInstaller systemInstaller{platform->system()};
        // A virtual machine that sleeps holds the check back, as a real one would.
        std::shared_ptr<sim::SimSuspension> suspension;
        auto* manual = dynamic_cast<runtime::ManualRuntime*>(&runtime);
        if (platform->laptop && manual != nullptr) {
            suspension = sim::SimSuspension::start(platform->laptop->power(), *manual);
        }
        status = runMode(mode);
        // Said however the check went; the virtual laptop has no panel of its own.
        if (mode == Mode::diagnose && !platform->isSimulated()) {
            TrayHost::print();
        }
        suspension.reset();
        std::fflush(stdout);
        // Lines still queued for the log file belong to the run: let them land while the
        // platform's folders exist.
        if (manual != nullptr) {
            manual->runUntilIdle();
        }
        Log::flush();
    }
    // What the run left behind on the virtual machine, for whoever checks it afterwards.
    if (platform->laptop) {
        sim::writeStateReport(platform->laptop->power(), platform->laptop->root());
    }
    return status;
}

}  // namespace

std::optional<int> runDiagnosticMode(int argc, char** argv) {
    const auto mode = requestedMode(argc, argv);
    if (!mode) {
        return std::nullopt;
    }
    if (platform::requestedPlatform() == platform::Platform::Kind::sim) {
        runtime::ManualRuntime runtime;
        return runOnPlatform(*mode, runtime);
    }
    runtime::ThreadedRuntime runtime;
    return runOnPlatform(*mode, runtime);
}

}  // namespace noctave::app
