#include "core/runtime/ThreadedRuntime.hpp"

namespace noctave::runtime {

double SystemClock::monotonic() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

WallTime SystemClock::wall() const {
    return std::chrono::system_clock::now();
}

std::shared_ptr<Queue> ThreadedRuntime::makeSerialQueue(std::string label, QoS /*qos*/) {
    return std::make_shared<SerialQueue>(std::move(label));
}

}  // namespace noctave::runtime
