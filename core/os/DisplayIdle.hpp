#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace noctave::os {

// What the instant path and its fallback are called on the Mac (the virtual laptop plays one).
inline constexpr const char* kSkyLightPath =
    "/System/Library/PrivateFrameworks/SkyLight.framework/SkyLight";
inline constexpr const char* kDisplaysIdleSymbol = "SLSDisplayManagerRequestDisplaysIdle";
inline constexpr const char* kPmsetPath = "/usr/bin/pmset";
inline constexpr const char* kDisplaySleepNow = "displaysleepnow";

// Putting every display to sleep at once: an instant entry point of the window server, found
// at run time in a library that may be missing, and a command to run when it is not there.
//
// Thread-safety: every member may be called from any thread. Nothing here logs.
class DisplayIdle {
  public:
    virtual ~DisplayIdle() = default;

    using LibraryHandle = uint64_t;  // 0: none

    // Loads the library at `path` with the loader `mode` (1: lazy binding). 0 when it is absent.
    virtual LibraryHandle openLibrary(const std::string& path, int mode) = 0;

    // The instant call: no arguments, 0 on success.
    using IdleFunction = std::function<int32_t()>;

    // The function named `symbol` in the library; empty when the library lacks it.
    virtual IdleFunction lookup(LibraryHandle library, const std::string& symbol) = 0;

    // The command that sleeps the displays, run through Processes::spawnAndWait when the
    // instant call is unavailable or fails; it exits with status 0 on success.
    struct Command {
        std::string executable;
        std::vector<std::string> arguments;
    };
    virtual Command fallbackCommand() const = 0;
};

}  // namespace noctave::os
