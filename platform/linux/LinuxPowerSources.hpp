#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <mutex>

#include "core/os/PowerSources.hpp"
#include "platform/linux/MachineRoots.hpp"
#include "platform/linux/bus/DBusConnection.hpp"

namespace noctave::linuxos {

// Power sources from UPower (OnBattery and the display device, which sums every system
// battery), or from sysfs power_supply when UPower is not running. UPower announces its
// changes, and the bus its coming and going; while UPower is away the sysfs fallback listens to
// udev's power_supply events and, on battery, also re-reads periodically, because charge drift
// is rarely announced. While UPower runs neither wakes the process.
class LinuxPowerSources final : public os::PowerSources {
  public:
    // `rereadSeconds`: the period of the re-read on battery without UPower.
    LinuxPowerSources(MachineRoots roots, std::shared_ptr<DBusConnection> systemBus,
                      double rereadSeconds = kBatteryRereadInterval);
    ~LinuxPowerSources() override;

    std::optional<std::string> providingPowerSourceType() override;
    std::optional<std::vector<std::optional<SourceDescription>>> powerSources() override;
    Handle createNotificationSource(std::function<void()> callback) override;
    void addToMainQueue(Handle source) override;
    void removeNotificationSource(Handle source) override;

    // Seconds between re-reads of sysfs while on battery.
    static constexpr double kBatteryRereadInterval = 60.0;

  private:
    struct Source;

    bool upowerRunning();

    MachineRoots roots_;
    std::shared_ptr<DBusConnection> bus_;
    double rereadSeconds_;
    std::mutex mutex_;
    std::map<Handle, std::shared_ptr<Source>> sources_;
    Handle next_ = 1;
};

}  // namespace noctave::linuxos
