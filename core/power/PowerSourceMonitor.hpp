#pragma once

#include <functional>
#include <memory>
#include <optional>

#include "core/os/PowerSources.hpp"

namespace noctave {

// Whether the machine runs on battery and how full the battery is, reported on every
// power-source notification. Callbacks run on the main queue.
class PowerSourceMonitor {
  public:
    struct Snapshot {
        bool onBattery = false;
        std::optional<int> percent;  // whole percent; no value when no source reports one
        friend bool operator==(const Snapshot&, const Snapshot&) = default;
    };

    PowerSourceMonitor() = default;
    ~PowerSourceMonitor();
    PowerSourceMonitor(const PowerSourceMonitor&) = delete;
    PowerSourceMonitor& operator=(const PowerSourceMonitor&) = delete;

    // Read now, nothing cached; any thread.
    static Snapshot snapshot();
    static std::optional<int> batteryPercent();

    // Already started: true. False when the notification source cannot be made.
    bool start();
    // Idempotent; also runs on destruction.
    void stop();

    bool isStarted() const { return runLoopSource_ != 0; }

    // On every notification.
    std::function<void(const Snapshot&)> onLevel;
    // When the providing source flips between battery (true) and mains (false).
    std::function<void(bool onBattery)> onPowerSourceChanged;

  private:
    void handleNotification();

    os::PowerSources::Handle runLoopSource_ = 0;
    std::optional<bool> lastOnBattery_;
    std::shared_ptr<os::PowerSources> sources_;
};

}  // namespace noctave
