#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace noctave::os {

// The machine's power sources (mains adapter, batteries) and their change notification.
//
// Thread-safety: the queries may be called from any thread. Nothing here logs.
class PowerSources {
  public:
    virtual ~PowerSources() = default;

    // The type of the source that powers the machine now: "AC Power", "Battery Power", ...;
    // no value when it cannot be told.
    virtual std::optional<std::string> providingPowerSourceType() = 0;

    // One source's description. A key that is missing or holds something other than an integer
    // reads as no value.
    struct SourceDescription {
        std::optional<int64_t> currentCapacity;  // "Current Capacity"
        std::optional<int64_t> maxCapacity;      // "Max Capacity"
    };

    // Every source in the platform's order. No value when the information or its list cannot
    // be had; an element without a value is a source whose description is not a dictionary.
    virtual std::optional<std::vector<std::optional<SourceDescription>>> powerSources() = 0;

    using Handle = uint32_t;  // 0: none

    // A notification source that calls `callback` for every change of the power-source
    // information, once it is added to the main queue. 0 when it cannot be made.
    virtual Handle createNotificationSource(std::function<void()> callback) = 0;

    // From now on `callback` runs on the main queue, posted asynchronously; a platform whose
    // main loop has modes (menu tracking) may hold it back until the loop is back to normal.
    virtual void addToMainQueue(Handle source) = 0;

    // Removes and releases the source; its callback does not start afterwards.
    virtual void removeNotificationSource(Handle source) = 0;
};

}  // namespace noctave::os
