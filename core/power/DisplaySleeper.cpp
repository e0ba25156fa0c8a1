#include "core/power/DisplaySleeper.hpp"

#include <memory>
#include <mutex>

#include "core/os/DisplayIdle.hpp"
#include "core/os/Processes.hpp"
#include "core/os/System.hpp"
#include "core/support/Log.hpp"

namespace noctave::DisplaySleeper {

namespace {

constexpr int kLazyBinding = 1;
constexpr const char* kFailedTwice = "pmset displaysleepnow failed twice; display may remain lit";

// The instant path is resolved once and kept. It belongs to the platform it was resolved on:
// the program installs one platform for its whole life, tests install a fresh one per case,
// and a new platform resolves afresh.
struct FastPath {
    std::mutex mutex;
    std::weak_ptr<os::DisplayIdle> owner;
    bool resolved = false;
    os::DisplayIdle::IdleFunction requestDisplaysIdle;
};

FastPath& fastPath() {
    static FastPath path;
    return path;
}

os::DisplayIdle::IdleFunction resolve() {
    auto port = os::system().displayIdle;
    FastPath& path = fastPath();
    std::lock_guard lock(path.mutex);
    if (path.resolved && path.owner.lock() == port) {
        return path.requestDisplaysIdle;
    }
    path.owner = port;
    path.resolved = true;
    path.requestDisplaysIdle = nullptr;
    if (!port) {
        return nullptr;
    }
    // The library handle is deliberately never closed: the function lives in it.
    const os::DisplayIdle::LibraryHandle library =
        port->openLibrary(os::kSkyLightPath, kLazyBinding);
    if (library == 0) {
        return nullptr;
    }
    auto function = port->lookup(library, os::kDisplaysIdleSymbol);
    if (!function) {
        Log::warn("SLSDisplayManagerRequestDisplaysIdle not found; falling back to pmset");
        return nullptr;
    }
    path.requestDisplaysIdle = std::move(function);
    return path.requestDisplaysIdle;
}

os::DisplayIdle::Command fallbackCommand() {
    if (auto port = os::system().displayIdle) {
        return port->fallbackCommand();
    }
    return {os::kPmsetPath, {os::kDisplaySleepNow}};
}

Outcome runPmset() {
    const os::DisplayIdle::Command command = fallbackCommand();
    auto processes = os::system().processes;
    for (int attempt = 1; attempt <= 2; ++attempt) {
        os::Processes::SpawnResult result;
        if (processes) {
            result = processes->spawnAndWait(command.executable, command.arguments);
        } else {
            result.error = "no process support";
        }
        if (!result.launched) {
            Log::warn("pmset displaysleepnow failed to launch (attempt " + std::to_string(attempt) +
                      "): " + result.error);
            continue;
        }
        if (result.exitStatus == 0) {
            return Outcome::pmset();
        }
        Log::warn("pmset displaysleepnow exited " + std::to_string(result.exitStatus) +
                  " (attempt " + std::to_string(attempt) + ")");
    }
    return Outcome::failed(kFailedTwice);
}

}  // namespace

std::string executable() {
    return fallbackCommand().executable;
}

std::vector<std::string> arguments() {
    return fallbackCommand().arguments;
}

bool hasFastPath() {
    return static_cast<bool>(resolve());
}

Outcome sleepNow() {
    if (auto requestDisplaysIdle = resolve()) {
        const int32_t status = requestDisplaysIdle();
        if (status == 0) {
            Log::info("displays slept via SkyLight (instant)");
            return Outcome::skylight();
        }
        Log::warn("SLSDisplayManagerRequestDisplaysIdle returned " + std::to_string(status) +
                  "; falling back to pmset");
    }
    Outcome outcome = runPmset();
    if (outcome.succeeded()) {
        Log::info("display slept via pmset displaysleepnow");
    }
    return outcome;
}

}  // namespace noctave::DisplaySleeper
