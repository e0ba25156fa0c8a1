#include "platform/linux/LinuxDisplays.hpp"

#include <vector>

namespace noctave::linuxos {

LinuxDisplays::LinuxDisplays(MachineRoots roots) : roots_(std::move(roots)) {
    std::lock_guard lock(mutex_);
    for (const auto& connector : readDrmConnectors(roots_.sys / "class" / "drm")) {
        idFor(connector.name);
        builtin_[ids_[connector.name]] = connector.isBuiltin();
        active_[connector.name] = connector.isConnected && connector.isEnabled;
    }
}

LinuxDisplays::~LinuxDisplays() {
    stopMonitor();
}

os::Displays::DisplayId LinuxDisplays::idFor(const std::string& connector) {
    auto [it, inserted] = ids_.try_emplace(connector, nextId_);
    if (inserted) {
        ++nextId_;
    }
    return it->second;
}

os::Displays::Error LinuxDisplays::registerReconfigurationCallback(ReconfigurationCallback callback,
                                                                   Registration* registration) {
    bool first = false;
    {
        std::lock_guard lock(dispatch_);
        first = callbacks_.empty();
        *registration = nextRegistration_++;
        callbacks_[*registration] = std::move(callback);
    }
    if (first) {
        startMonitor();
    }
    return 0;
}

void LinuxDisplays::removeReconfigurationCallback(Registration registration) {
    bool last = false;
    {
        std::lock_guard lock(dispatch_);
        last = callbacks_.erase(registration) > 0 && callbacks_.empty();
    }
    if (last && !(monitor_ && monitor_->isCurrent())) {
        stopMonitor();
    }
}

os::Displays::Error LinuxDisplays::activeDisplayList(std::span<DisplayId> buffer, uint32_t* count) {
    auto connectors = readDrmConnectors(roots_.sys / "class" / "drm");
    std::lock_guard lock(mutex_);
    uint32_t filled = 0;
    uint32_t total = 0;
    for (const auto& connector : connectors) {
        if (!connector.isConnected || !connector.isEnabled || connector.isVirtual()) {
            continue;
        }
        DisplayId id = idFor(connector.name);
        builtin_[id] = connector.isBuiltin();
        ++total;
        if (filled < buffer.size()) {
            buffer[filled++] = id;
        }
    }
    *count = buffer.empty() ? total : filled;
    return 0;
}

bool LinuxDisplays::isBuiltin(DisplayId display) {
    std::lock_guard lock(mutex_);
    auto it = builtin_.find(display);
    return it != builtin_.end() && it->second;
}

void LinuxDisplays::rescan() {
    std::vector<DisplayId> changed;
    {
        auto connectors = readDrmConnectors(roots_.sys / "class" / "drm");
        std::lock_guard lock(mutex_);
        std::map<std::string, bool> now;
        for (const auto& connector : connectors) {
            if (connector.isVirtual()) {
                continue;
            }
            now[connector.name] = connector.isConnected && connector.isEnabled;
            builtin_[idFor(connector.name)] = connector.isBuiltin();
        }
        for (const auto& [name, isActive] : now) {
            auto before = active_.find(name);
            if (before == active_.end() ? isActive : before->second != isActive) {
                changed.push_back(ids_[name]);
            }
        }
        for (const auto& [name, wasActive] : active_) {
            if (wasActive && now.count(name) == 0) {
                changed.push_back(ids_[name]);  // the connector itself went (a dock unplugged)
            }
        }
        active_ = std::move(now);
    }
    if (changed.empty()) {
        return;
    }
    std::lock_guard lock(dispatch_);
    for (DisplayId id : changed) {
        for (auto& [registration, callback] : callbacks_) {
            callback(id, kBeginConfigurationFlag);
        }
    }
    for (DisplayId id : changed) {
        for (auto& [registration, callback] : callbacks_) {
            callback(id, 0);
        }
    }
}

void LinuxDisplays::startMonitor() {
    if (monitor_) {
        return;
    }
    monitor_ = std::make_unique<UdevMonitor>("drm", [this](UdevMonitor::Wake wake, bool) {
        if (wake == UdevMonitor::Wake::event) {
            rescan();
        }
        return -1.0;
    });
}

void LinuxDisplays::stopMonitor() {
    monitor_.reset();
}

}  // namespace noctave::linuxos
