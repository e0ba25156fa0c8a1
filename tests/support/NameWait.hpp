#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>

#include "platform/linux/bus/DBusConnection.hpp"

namespace noctave::test {

// Waits until `name` has an owner on `bus` (or has none, for !present), at most `seconds`:
// asks again after every change of its owner, or each second.
inline bool waitForOwner(linuxos::DBusConnection& bus, const std::string& name, bool present,
                         double seconds = 30) {
    std::mutex mutex;
    std::condition_variable changed;
    uint64_t changes = 0;
    const uint64_t watch = bus.watchNameOwner(name, [&](bool) {
        const std::lock_guard lock(mutex);
        ++changes;
        changed.notify_all();
    });
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                              std::chrono::duration<double>(seconds));
    bool reached = false;
    while (!reached && std::chrono::steady_clock::now() < deadline) {
        uint64_t seen = 0;
        {
            const std::lock_guard lock(mutex);
            seen = changes;
        }
        reached = bus.nameHasOwner(name, 5.0) == present;
        std::unique_lock lock(mutex);
        if (!reached) {
            changed.wait_for(lock, std::chrono::seconds(1), [&] { return changes != seen; });
        }
    }
    bus.unsubscribe(watch);
    return reached;
}

}  // namespace noctave::test
