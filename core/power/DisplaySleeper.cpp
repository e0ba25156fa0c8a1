#include "core/power/DisplaySleeper.hpp"

#include <filesystem>
#include <memory>
#include <mutex>

#include "core/os/DisplayIdle.hpp"
#include "core/os/Processes.hpp"
#include "core/os/System.hpp"
#include "core/os/Vocabulary.hpp"
#include "core/support/Log.hpp"

namespace noctave::DisplaySleeper {

namespace {

constexpr int kLazyBinding = 1;

// The instant path is resolved once and kept. It belongs to the platform it was resolved on:
// the program installs one platform for its whole life, tests install a fresh one per case,
// and a new platform resolves afresh.
struct FastPath {
    std::mutex mutex;
    std::weak_ptr<os::DisplayIdle> owner;
    bool resolved = false;
    os::DisplayIdle::LibraryHandle library = 0;
    os::DisplayIdle::IdleFunction requestDisplaysIdle;
};

FastPath& fastPath() {
    static FastPath path;
    return path;
}

struct Resolved {
    os::DisplayIdle::LibraryHandle library = 0;
    os::DisplayIdle::IdleFunction requestDisplaysIdle;
};

os::DisplayIdle::Command fallbackCommand() {
    if (auto port = os::system().displayIdle) {
        return port->fallbackCommand();
    }
    return {os::kPmsetPath, {os::kDisplaySleepNow}};
}

// The fallback as a log names it: the program's own name, then its arguments.
std::string programName() {
    return std::filesystem::path(fallbackCommand().executable).filename().string();
}

std::string commandLine() {
    std::string line = programName();
    for (const std::string& argument : fallbackCommand().arguments) {
        line += " " + argument;
    }
    return line;
}

Resolved resolve() {
    auto port = os::system().displayIdle;
    FastPath& path = fastPath();
    std::lock_guard lock(path.mutex);
    if (path.resolved && path.owner.lock() == port) {
        return {path.library, path.requestDisplaysIdle};
    }
    path.owner = port;
    path.resolved = true;
    path.library = 0;
    path.requestDisplaysIdle = nullptr;
    if (!port) {
        return {};
    }
    // The library handle is deliberately never closed: the function lives in it.
    const os::DisplayIdle::LibraryHandle library =
        port->openLibrary(os::kSkyLightPath, kLazyBinding);
    if (library == 0) {
        return {};
    }
    auto function = port->lookup(library, os::kDisplaysIdleSymbol);
    if (!function) {
        Log::warn(os::vocabulary().displaySleepCall(library) + " not found; falling back to " +
                  programName());
        return {};
    }
    path.library = library;
    path.requestDisplaysIdle = std::move(function);
    return {path.library, path.requestDisplaysIdle};
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
            Log::warn(commandLine() + " failed to launch (attempt " + std::to_string(attempt) +
                      "): " + result.error);
            continue;
        }
        if (result.exitStatus == 0) {
            return Outcome::pmset();
        }
        Log::warn(commandLine() + " exited " + std::to_string(result.exitStatus) + " (attempt " +
                  std::to_string(attempt) + ")");
    }
    return Outcome::failed(commandLine() + " failed twice; display may remain lit");
}

}  // namespace

std::string executable() {
    return fallbackCommand().executable;
}

std::vector<std::string> arguments() {
    return fallbackCommand().arguments;
}

bool hasFastPath() {
    return static_cast<bool>(resolve().requestDisplaysIdle);
}

Outcome sleepNow() {
    const Resolved fast = resolve();
    if (fast.requestDisplaysIdle) {
        const int32_t status = fast.requestDisplaysIdle();
        if (status == 0) {
            Log::info("displays slept via " + os::vocabulary().displaySleepPath(fast.library) +
                      " (instant)");
            return Outcome::skylight();
        }
        Log::warn(os::vocabulary().displaySleepCall(fast.library) + " returned " +
                  std::to_string(status) + "; falling back to " + programName());
    }
    Outcome outcome = runPmset();
    if (outcome.succeeded()) {
        Log::info("display slept via " + commandLine());
    }
    return outcome;
}

}  // namespace noctave::DisplaySleeper
