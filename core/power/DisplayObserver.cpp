#include "core/power/DisplayObserver.hpp"

#include <string>
#include <vector>

#include "core/os/System.hpp"
#include "core/support/Log.hpp"

namespace noctave {

DisplayObserver::~DisplayObserver() {
    stop();
    onChange = nullptr;
}

bool DisplayObserver::start() {
    if (started_) {
        return false;
    }
    auto displays = os::system().displays;
    if (!displays) {
        // A machine without a window server: nothing will ever reconfigure.
        return false;
    }
    // The registration is removed in stop(), which destruction runs, so `this` outlives it.
    os::Displays::Registration registration = 0;
    const os::Displays::Error error = displays->registerReconfigurationCallback(
        [this](os::Displays::DisplayId, uint32_t flags) { handleReconfiguration(flags); },
        &registration);
    if (error != 0) {
        Log::error("could not register for display reconfiguration (" + std::to_string(error) +
                   ")");
        return false;
    }
    registration_ = registration;
    displays_ = std::move(displays);
    started_ = true;
    Log::info("watching display configuration (" + std::to_string(externalDisplayCount()) +
              " external now)");
    return true;
}

void DisplayObserver::stop() {
    if (!started_) {
        return;
    }
    displays_->removeReconfigurationCallback(registration_);
    registration_ = 0;
    displays_.reset();
    started_ = false;
}

int DisplayObserver::externalDisplayCount() {
    auto displays = os::system().displays;
    if (!displays) {
        return 0;
    }
    uint32_t count = 0;
    if (displays->activeDisplayList({}, &count) != 0 || count == 0) {
        return 0;
    }
    std::vector<os::Displays::DisplayId> ids(count);
    uint32_t filled = 0;
    if (displays->activeDisplayList(ids, &filled) != 0) {
        return 0;
    }
    // The list may have shrunk between the two calls; only the filled part counts.
    int external = 0;
    for (uint32_t i = 0; i < filled && i < count; ++i) {
        if (!displays->isBuiltin(ids[i])) {
            ++external;
        }
    }
    return external;
}

void DisplayObserver::handleReconfiguration(uint32_t flags) {
    if (auto subscriber = onChange) {
        subscriber((flags & os::Displays::kBeginConfigurationFlag) != 0 ? Phase::willChange
                                                                        : Phase::didChange);
    }
}

}  // namespace noctave
