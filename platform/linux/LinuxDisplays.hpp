#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "core/os/Displays.hpp"
#include "platform/linux/DrmConnectors.hpp"
#include "platform/linux/MachineRoots.hpp"
#include "platform/linux/UdevMonitor.hpp"

namespace noctave::linuxos {

// Displays from DRM sysfs: every connected and enabled connector is an active display, the
// eDP/LVDS/DSI/DPI ones are built in. A udev monitor on the "drm" subsystem re-reads the
// connectors on every event and reports each connector whose state changed, willChange for
// all of them first and then didChange, from the monitor's thread.
class LinuxDisplays final : public os::Displays {
  public:
    explicit LinuxDisplays(MachineRoots roots);
    ~LinuxDisplays() override;
    LinuxDisplays(const LinuxDisplays&) = delete;
    LinuxDisplays& operator=(const LinuxDisplays&) = delete;

    Error registerReconfigurationCallback(ReconfigurationCallback callback,
                                          Registration* registration) override;
    void removeReconfigurationCallback(Registration registration) override;
    Error activeDisplayList(std::span<DisplayId> buffer, uint32_t* count) override;
    bool isBuiltin(DisplayId display) override;

    // Re-reads the connectors and reports the changes; the monitor calls it on every event.
    void rescan();

  private:
    DisplayId idFor(const std::string& connector);  // stable for the process; mutex_ held
    void startMonitor();
    void stopMonitor();

    MachineRoots roots_;
    std::mutex mutex_;
    std::map<std::string, DisplayId> ids_;
    std::map<DisplayId, bool> builtin_;
    std::map<std::string, bool> active_;  // last seen: connector -> connected and enabled
    DisplayId nextId_ = 1;

    std::recursive_mutex dispatch_;  // held while callbacks run, so removal waits for them
    std::map<Registration, ReconfigurationCallback> callbacks_;
    Registration nextRegistration_ = 1;

    std::unique_ptr<UdevMonitor> monitor_;  // while a callback is registered
};

}  // namespace noctave::linuxos
