#pragma once

#include <memory>
#include <mutex>

#include "core/os/DisplayIdle.hpp"
#include "platform/linux/bus/DBusConnection.hpp"

namespace noctave::linuxos {

// Sleeping the displays at once. The instant path is found at run time: GNOME's Mutter
// (PowerSaveMode on the session bus); on other Wayland compositors wlroots' output power
// management on a short connection of our own; else X11 DPMS through libXext opened with
// dlopen, so the program runs where none exists. The fallback command suits the session: KDE
// on Wayland has kscreen-doctor, everything with an X server has xset. A Wayland compositor
// with none of these is said once in the log, when the path is first looked for.
class LinuxDisplayIdle final : public os::DisplayIdle {
  public:
    explicit LinuxDisplayIdle(std::shared_ptr<DBusConnection> sessionBus)
        : bus_(std::move(sessionBus)) {}
    ~LinuxDisplayIdle() override;

    LibraryHandle openLibrary(const std::string& path, int mode) override;
    IdleFunction lookup(LibraryHandle library, const std::string& symbol) override;
    Command fallbackCommand() const override;

    static constexpr LibraryHandle kMutter = 1;
    static constexpr LibraryHandle kXDpms = 2;
    static constexpr LibraryHandle kWlrOutputPower = 3;

  private:
    std::shared_ptr<DBusConnection> bus_;
    std::mutex mutex_;
    void* x11_ = nullptr;
    void* xext_ = nullptr;
};

}  // namespace noctave::linuxos
