#include "platform/linux/LinuxPowerSources.hpp"

#include <cmath>
#include <vector>

#include "core/runtime/Queue.hpp"
#include "core/runtime/Runtime.hpp"
#include "platform/linux/PowerSupplyTree.hpp"
#include "platform/linux/UdevMonitor.hpp"
#include "platform/linux/bus/BusNames.hpp"

namespace noctave::linuxos {

namespace {

constexpr const char* kDisplayDevice = "/org/freedesktop/UPower/devices/DisplayDevice";
constexpr const char* kDeviceInterface = "org.freedesktop.UPower.Device";
constexpr double kTimeout = 2.0;
constexpr uint32_t kUpDeviceKindBattery = 2;

}  // namespace

struct LinuxPowerSources::Source {
    std::function<void()> callback;
    std::shared_ptr<std::atomic<bool>> live = std::make_shared<std::atomic<bool>>(true);
    std::vector<uint64_t> subscriptions;
    std::unique_ptr<UdevMonitor> monitor;
    // Whether UPower has the bus name, as its coming and going told; read on the monitor's
    // thread.
    std::shared_ptr<std::atomic<bool>> upowerPresent = std::make_shared<std::atomic<bool>>(false);
    bool added = false;
};

LinuxPowerSources::LinuxPowerSources(MachineRoots roots, std::shared_ptr<DBusConnection> systemBus,
                                     double rereadSeconds)
    : roots_(std::move(roots)), bus_(std::move(systemBus)), rereadSeconds_(rereadSeconds) {}

LinuxPowerSources::~LinuxPowerSources() {
    std::vector<Handle> handles;
    {
        std::lock_guard lock(mutex_);
        for (const auto& [handle, source] : sources_) {
            handles.push_back(handle);
        }
    }
    for (Handle handle : handles) {
        removeNotificationSource(handle);
    }
}

bool LinuxPowerSources::upowerRunning() {
    return bus_ && bus_->nameHasOwner(kUPower, kTimeout) == true;
}

std::optional<std::string> LinuxPowerSources::providingPowerSourceType() {
    bool onBattery = false;
    auto status = bus_ ? bus_->getProperty(
                             kUPower, kUPowerPath, kUPower, "OnBattery", "b",
                             [&](sd_bus_message* m) { return readBool(m, onBattery); }, kTimeout)
                       : CallStatus{-ENOTCONN, "", ""};
    if (!status.ok()) {
        onBattery = runsOnBattery(readPowerSupplies(roots_.sys / "class" / "power_supply"));
    }
    return std::string(onBattery ? "Battery Power" : "AC Power");
}

std::optional<std::vector<std::optional<os::PowerSources::SourceDescription>>>
LinuxPowerSources::powerSources() {
    std::vector<std::optional<SourceDescription>> list;
    if (upowerRunning()) {
        bool present = false;
        uint32_t type = 0;
        double percentage = 0;
        double energy = 0;
        double energyFull = 0;
        auto get = [&](const char* name, const char* sig, void* out) {
            return bus_
                ->getProperty(
                    kUPower, kDisplayDevice, kDeviceInterface, name, sig,
                    [&](sd_bus_message* m) {
                        if (sig[0] == 'b') {
                            return readBool(m, *static_cast<bool*>(out));
                        }
                        return sd_bus_message_read_basic(m, sig[0], out);
                    },
                    kTimeout)
                .ok();
        };
        if (!get("IsPresent", "b", &present) || !get("Type", "u", &type)) {
            return std::nullopt;
        }
        if (present && type == kUpDeviceKindBattery) {
            SourceDescription description;
            // Energy in Wh, kept in mWh as whole numbers; the percentage when the battery
            // reports no energy figures.
            if (get("Energy", "d", &energy) && get("EnergyFull", "d", &energyFull) &&
                energyFull > 0) {
                description.currentCapacity = std::llround(energy * 1000.0);
                description.maxCapacity = std::llround(energyFull * 1000.0);
            } else if (get("Percentage", "d", &percentage)) {
                description.currentCapacity = std::llround(percentage * 100.0);
                description.maxCapacity = 10000;
            }
            list.push_back(description);
        }
        return list;
    }
    for (const auto& supply : readPowerSupplies(roots_.sys / "class" / "power_supply")) {
        if (!supply.isBattery() || supply.present == false) {
            continue;
        }
        SourceDescription description;
        description.currentCapacity = supply.currentCapacity;
        description.maxCapacity = supply.maxCapacity;
        list.push_back(description);
    }
    return list;
}

os::PowerSources::Handle LinuxPowerSources::createNotificationSource(
    std::function<void()> callback) {
    auto source = std::make_shared<Source>();
    source->callback = std::move(callback);
    std::lock_guard lock(mutex_);
    Handle handle = next_++;
    sources_[handle] = source;
    return handle;
}

void LinuxPowerSources::addToMainQueue(Handle handle) {
    std::shared_ptr<Source> source;
    {
        std::lock_guard lock(mutex_);
        auto it = sources_.find(handle);
        if (it == sources_.end() || it->second->added) {
            return;
        }
        source = it->second;
        source->added = true;
    }
    runtime::Queue* main = &runtime::mainQueue();
    auto live = source->live;
    auto post = [main, live, callback = source->callback] {
        main->async([live, callback] {
            if (*live) {
                callback();
            }
        });
    };
    // The kernel's events serve whenever UPower is away, also when it leaves after the start
    // (it may crash or be restarted). While it runs it announces every change itself, so the
    // kernel's events and the periodic re-read would only wake the process for nothing.
    auto upower = source->upowerPresent;
    source->monitor = std::make_unique<UdevMonitor>(
        "power_supply", [this, post, upower](UdevMonitor::Wake wake, bool isListening) {
            if (*upower) {
                return -1.0;
            }
            if (wake == UdevMonitor::Wake::event || wake == UdevMonitor::Wake::period) {
                post();
            }
            // Charge drift is rarely announced; without udev events nothing would announce
            // unplugging either: re-read then as well.
            const bool onBattery =
                runsOnBattery(readPowerSupplies(roots_.sys / "class" / "power_supply"));
            return onBattery || !isListening ? rereadSeconds_ : -1.0;
        });
    // UPower's signals (the match holds whether or not it runs now), and its coming and going:
    // either way the figures now come from somewhere else, so callers must read again. The
    // monitor is made first: a coming or going tells it at once.
    for (const char* path : {kUPowerPath, kDisplayDevice}) {
        source->subscriptions.push_back(bus_->subscribe(
            std::string("type='signal',sender='") + kUPower + "',path='" + path +
                "',interface='org.freedesktop.DBus.Properties',member='PropertiesChanged'",
            [post](sd_bus_message*) { post(); }));
    }
    for (const char* member : {"DeviceAdded", "DeviceRemoved"}) {
        source->subscriptions.push_back(bus_->subscribe(
            std::string("type='signal',sender='") + kUPower + "',path='" + kUPowerPath +
                "',interface='" + kUPower + "',member='" + member + "'",
            [post](sd_bus_message*) { post(); }));
    }
    UdevMonitor* monitor = source->monitor.get();
    source->subscriptions.push_back(
        bus_->watchNameOwner(kUPower, [post, upower, monitor](bool present) {
            *upower = present;
            monitor->reconsider();
            post();
        }));
    // After the subscription, so that a coming or going from here on is not missed; the
    // monitor's first look may have been without it.
    *upower = upowerRunning();
    monitor->reconsider();
}

void LinuxPowerSources::removeNotificationSource(Handle handle) {
    std::shared_ptr<Source> source;
    {
        std::lock_guard lock(mutex_);
        auto it = sources_.find(handle);
        if (it == sources_.end()) {
            return;
        }
        source = it->second;
        sources_.erase(it);
    }
    *source->live = false;
    for (uint64_t id : source->subscriptions) {
        bus_->unsubscribe(id);
    }
    source->monitor.reset();
}

}  // namespace noctave::linuxos
