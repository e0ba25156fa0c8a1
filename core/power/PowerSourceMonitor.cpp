#include "core/power/PowerSourceMonitor.hpp"

#include "core/os/System.hpp"
#include "core/support/Log.hpp"

namespace noctave {

PowerSourceMonitor::~PowerSourceMonitor() {
    stop();
    onLevel = nullptr;
    onPowerSourceChanged = nullptr;
}

PowerSourceMonitor::Snapshot PowerSourceMonitor::snapshot() {
    Snapshot snapshot;
    if (auto sources = os::system().powerSources) {
        snapshot.onBattery = sources->providingPowerSourceType() == "Battery Power";
    }
    snapshot.percent = batteryPercent();
    return snapshot;
}

std::optional<int> PowerSourceMonitor::batteryPercent() {
    auto sources = os::system().powerSources;
    if (!sources) {
        return std::nullopt;
    }
    const auto list = sources->powerSources();
    if (!list) {
        return std::nullopt;
    }
    for (const auto& description : *list) {
        // A source without both capacities (or with no usable maximum) is still warming up or
        // is not a battery: look further.
        if (!description || !description->currentCapacity || !description->maxCapacity ||
            *description->maxCapacity < 1) {
            continue;
        }
        // Whole percent, truncated. In integers: the floating-point ratio times 100 lands just
        // below the true value for some levels (29 of 100 gives 28.999...), one percent short.
        return static_cast<int>(*description->currentCapacity * 100 / *description->maxCapacity);
    }
    return std::nullopt;
}

bool PowerSourceMonitor::start() {
    if (runLoopSource_ != 0) {
        return true;
    }
    auto sources = os::system().powerSources;
    if (!sources) {
        return false;
    }
    // The source is removed in stop(), which destruction runs, so `this` outlives it.
    const os::PowerSources::Handle source =
        sources->createNotificationSource([this] { handleNotification(); });
    if (source == 0) {
        return false;
    }
    sources->addToMainQueue(source);
    runLoopSource_ = source;
    sources_ = std::move(sources);
    lastOnBattery_ = snapshot().onBattery;
    return true;
}

void PowerSourceMonitor::stop() {
    if (runLoopSource_ == 0) {
        return;
    }
    sources_->removeNotificationSource(runLoopSource_);
    runLoopSource_ = 0;
    sources_.reset();
}

void PowerSourceMonitor::handleNotification() {
    const Snapshot current = snapshot();
    if (onLevel) {
        onLevel(current);
    }
    if (lastOnBattery_ == current.onBattery) {
        return;
    }
    lastOnBattery_ = current.onBattery;
    Log::info(std::string("power source changed: ") + (current.onBattery ? "battery" : "AC"));
    if (onPowerSourceChanged) {
        onPowerSourceChanged(current.onBattery);
    }
}

}  // namespace noctave
