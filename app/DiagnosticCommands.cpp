#include "app/DiagnosticCommands.hpp"

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

#include "app/Diagnose.hpp"
#include "app/DisconnectGuardCheck.hpp"
#include "app/PlatformSelection.hpp"
#include "app/SelfTest.hpp"
#include "core/os/System.hpp"
#include "core/runtime/ManualRuntime.hpp"
#include "core/runtime/ThreadedRuntime.hpp"
#include "core/support/Log.hpp"
#include "platform/sim/SimPower.hpp"
#include "platform/sim/SimStateReport.hpp"
#include "platform/sim/SimSuspension.hpp"
#include "platform/sim/VirtualLaptop.hpp"

namespace noctave::app {

namespace {

enum class Mode { selfTest, diagnose, disconnectGuard };

bool hasArgument(int argc, char** argv, std::string_view option) {
    for (int i = 0; i < argc; ++i) {
        if (argv[i] != nullptr && option == argv[i]) {
            return true;
        }
    }
    return false;
}

std::optional<Mode> requestedMode(int argc, char** argv) {
    if (hasArgument(argc, argv, "--selftest")) {
        return Mode::selfTest;
    }
    if (hasArgument(argc, argv, "--diagnose")) {
        return Mode::diagnose;
    }
    if (hasArgument(argc, argv, "--verify-disconnect-guard")) {
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

bool wantsVirtualLaptop() {
    const char* chosen = std::getenv("NOCTAVE_PLATFORM");
    return chosen != nullptr && std::string_view(chosen) == "sim";
}

// On the virtual laptop the whole check runs in virtual time: its waits (seconds to minutes)
// cost nothing, and the virtual hardware's own events happen inside them, in order.
int runOnPlatform(Mode mode, runtime::Runtime& runtime) {
    runtime::RuntimeInstaller runtimeInstaller{runtime};
    std::string error;
    auto platform = selectPlatform(&error);
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
        sim::writeStateReport(*platform->laptop);
    }
    return status;
}

}  // namespace

std::optional<int> runDiagnosticMode(int argc, char** argv) {
    const auto mode = requestedMode(argc, argv);
    if (!mode) {
        return std::nullopt;
    }
    if (wantsVirtualLaptop()) {
        runtime::ManualRuntime runtime;
        return runOnPlatform(*mode, runtime);
    }
    runtime::ThreadedRuntime runtime;
    return runOnPlatform(*mode, runtime);
}

}  // namespace noctave::app
