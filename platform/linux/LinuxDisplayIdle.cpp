#include "platform/linux/LinuxDisplayIdle.hpp"

#include <dlfcn.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string_view>

#include "core/support/Log.hpp"
#include "platform/linux/wayland/OutputPower.hpp"
#include "platform/linux/wayland/WaylandClient.hpp"

namespace noctave::linuxos {

namespace {

constexpr const char* kMutterName = "org.gnome.Mutter.DisplayConfig";
constexpr const char* kMutterPath = "/org/gnome/Mutter/DisplayConfig";
constexpr int kPowerSaveOff = 3;  // Mutter's and DPMS's "off"
constexpr double kTimeout = 2.0;

bool environmentContains(const char* name, std::string_view needle) {
    const char* value = std::getenv(name);
    return value != nullptr && std::string_view(value).find(needle) != std::string_view::npos;
}

// The program's full path when it is on PATH, else its bare name (the spawn then reports
// that it cannot be found).
std::string onPath(const std::string& program) {
    const char* path = std::getenv("PATH");
    std::istringstream dirs(path != nullptr ? path : "/usr/bin:/bin");
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        if (dir.empty()) {
            continue;
        }
        auto candidate = std::filesystem::path(dir) / program;
        if (access(candidate.c_str(), X_OK) == 0) {
            return candidate.string();
        }
    }
    return program;
}

bool isWaylandSession() {
    return std::getenv("WAYLAND_DISPLAY") != nullptr ||
           environmentContains("XDG_SESSION_TYPE", "wayland");
}

// A connection of its own for each use: the outputs stay off after it closes, and nothing
// waits on the compositor between lid closes.
bool compositorOffersOutputPower() {
    auto client = wayland::WaylandClient::connect();
    return client && wayland::OutputPower::isOffered(*client);
}

int32_t sleepOutputs() {
    auto client = wayland::WaylandClient::connect();
    return client ? wayland::OutputPower::sleepAll(*client) : ENXIO;
}

}  // namespace

LinuxDisplayIdle::~LinuxDisplayIdle() {
    // The X libraries stay loaded: functions handed out may still be held by callers.
}

os::DisplayIdle::LibraryHandle LinuxDisplayIdle::openLibrary(const std::string&, int) {
    if (bus_ && bus_->nameHasOwner(kMutterName, kTimeout) == true) {
        return kMutter;
    }
    if (isWaylandSession()) {
        if (compositorOffersOutputPower()) {
            return kWlrOutputPower;
        }
        // X DPMS through Xwayland would reach no real output: only the fallback is left.
        // Asked once per process, so this is said once.
        Log::warn("display sleep: the compositor offers no output power control; falling back to " +
                  fallbackCommand().executable);
        return 0;
    }
    if (std::getenv("DISPLAY") == nullptr) {
        return 0;
    }
    std::lock_guard lock(mutex_);
    if (x11_ == nullptr) {
        x11_ = dlopen("libX11.so.6", RTLD_LAZY | RTLD_LOCAL);
    }
    if (xext_ == nullptr) {
        xext_ = dlopen("libXext.so.6", RTLD_LAZY | RTLD_LOCAL);
    }
    return x11_ != nullptr && xext_ != nullptr ? kXDpms : 0;
}

os::DisplayIdle::IdleFunction LinuxDisplayIdle::lookup(LibraryHandle library, const std::string&) {
    if (library == kMutter) {
        return [bus = bus_]() -> int32_t {
            MethodRef set{kMutterName, kMutterPath, "org.freedesktop.DBus.Properties", "Set"};
            CallStatus status = bus->call(
                set,
                [](sd_bus_message* m) {
                    return sd_bus_message_append(m, "ssv", kMutterName, "PowerSaveMode", "i",
                                                 kPowerSaveOff);
                },
                {}, kTimeout);
            return status.ok() ? 0 : (status.code < 0 ? -status.code : EIO);
        };
    }
    if (library == kWlrOutputPower) {
        return &sleepOutputs;
    }
    if (library != kXDpms) {
        return {};
    }
    std::lock_guard lock(mutex_);
    using OpenDisplay = void* (*)(const char*);
    using CloseDisplay = int (*)(void*);
    using DpmsEnable = int (*)(void*);
    using DpmsForceLevel = int (*)(void*, unsigned short);
    auto open = reinterpret_cast<OpenDisplay>(dlsym(x11_, "XOpenDisplay"));
    auto close = reinterpret_cast<CloseDisplay>(dlsym(x11_, "XCloseDisplay"));
    auto enable = reinterpret_cast<DpmsEnable>(dlsym(xext_, "DPMSEnable"));
    auto force = reinterpret_cast<DpmsForceLevel>(dlsym(xext_, "DPMSForceLevel"));
    if (open == nullptr || close == nullptr || enable == nullptr || force == nullptr) {
        return {};
    }
    return [open, close, enable, force]() -> int32_t {
        void* display = open(nullptr);
        if (display == nullptr) {
            return ENXIO;
        }
        // DPMS must be on for the forced level to take; closing the display flushes both.
        bool ok = enable(display) != 0 && force(display, kPowerSaveOff) != 0;
        close(display);
        return ok ? 0 : EIO;
    };
}

os::DisplayIdle::Command LinuxDisplayIdle::fallbackCommand() const {
    const bool kde = environmentContains("XDG_CURRENT_DESKTOP", "KDE");
    if (kde && isWaylandSession()) {
        return {onPath("kscreen-doctor"), {"--dpms", "off"}};
    }
    return {onPath("xset"), {"dpms", "force", "off"}};
}

}  // namespace noctave::linuxos
