#pragma once

#include <cstdint>
#include <functional>
#include <span>

namespace noctave::os {

// The window server's view of the displays.
//
// Thread-safety: every member may be called from any thread. Nothing here logs.
class Displays {
  public:
    virtual ~Displays() = default;

    using DisplayId = uint32_t;
    using Error = int32_t;  // 0 is success
    using Registration = uint64_t;

    // Bit 0 of the change flags: the reconfiguration is about to begin.
    static constexpr uint32_t kBeginConfigurationFlag = 1;

    // Called once per affected display before a reconfiguration (flags with the begin bit) and
    // once per affected display after it, on a thread of the platform's choosing that is not
    // the main thread.
    using ReconfigurationCallback = std::function<void(DisplayId display, uint32_t flags)>;

    // On success stores a registration (never 0) and returns 0.
    virtual Error registerReconfigurationCallback(ReconfigurationCallback callback,
                                                  Registration* registration) = 0;

    // Removes the registration; its callback does not start afterwards, and a call already
    // running on another thread has finished when this returns. Unknown: no-op.
    virtual void removeReconfigurationCallback(Registration registration) = 0;

    // The active displays: with an empty `buffer`, stores how many there are; otherwise fills
    // at most buffer.size() identifiers and stores how many it filled.
    virtual Error activeDisplayList(std::span<DisplayId> buffer, uint32_t* count) = 0;

    virtual bool isBuiltin(DisplayId display) = 0;
};

}  // namespace noctave::os
