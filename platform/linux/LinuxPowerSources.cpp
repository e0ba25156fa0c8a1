#include "platform/linux/LinuxPowerSources.hpp"

#include <libudev.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cmath>
#include <vector>

#include "core/runtime/Queue.hpp"
#include "core/runtime/Runtime.hpp"
#include "platform/linux/PowerSupplyTree.hpp"

namespace noctave::linuxos {

namespace {

constexpr const char* kUPower = "org.freedesktop.UPower";
constexpr const char* kUPowerPath = "/org/freedesktop/UPower";
constexpr const char* kDisplayDevice = "/org/freedesktop/UPower/devices/DisplayDevice";
constexpr const char* kDeviceInterface = "org.freedesktop.UPower.Device";
constexpr double kTimeout = 2.0;
constexpr uint32_t kUpDeviceKindBattery = 2;

}  // namespace

struct LinuxPowerSources::Source {
    std::function<void()> callback;
    std::shared_ptr<std::atomic<bool>> live = std::make_shared<std::atomic<bool>>(true);
    std::vector<uint64_t> subscriptions;
    std::thread watcher;
    int stopFd = -1;
    bool added = false;
};

LinuxPowerSources::LinuxPowerSources(MachineRoots roots, std::shared_ptr<DBusConnection> systemBus)
    : roots_(std::move(roots)), bus_(std::move(systemBus)) {}

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
    if (upowerRunning()) {
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
        return;
    }
    source->stopFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    source->watcher = std::thread([this, source, post] {
        udev* context = udev_new();
        udev_monitor* monitor =
            context != nullptr ? udev_monitor_new_from_netlink(context, "udev") : nullptr;
        int monitorFd = -1;
        if (monitor != nullptr &&
            udev_monitor_filter_add_match_subsystem_devtype(monitor, "power_supply", nullptr) >=
                0 &&
            udev_monitor_enable_receiving(monitor) >= 0) {
            monitorFd = udev_monitor_get_fd(monitor);
        }
        for (;;) {
            bool onBattery =
                runsOnBattery(readPowerSupplies(roots_.sys / "class" / "power_supply"));
            pollfd fds[2] = {{source->stopFd, POLLIN, 0}, {monitorFd, POLLIN, 0}};
            // Without udev events nothing would announce unplugging: re-read then as well.
            int timeout =
                onBattery || monitorFd < 0 ? static_cast<int>(kBatteryRereadInterval * 1000) : -1;
            int r = poll(fds, monitorFd >= 0 ? 2 : 1, timeout);
            if ((fds[0].revents & POLLIN) != 0) {
                break;
            }
            if (r > 0 && monitorFd >= 0 && (fds[1].revents & POLLIN) != 0) {
                if (udev_device* device = udev_monitor_receive_device(monitor)) {
                    udev_device_unref(device);
                }
            }
            if (r >= 0) {
                post();
            }
        }
        if (monitor != nullptr) {
            udev_monitor_unref(monitor);
        }
        if (context != nullptr) {
            udev_unref(context);
        }
    });
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
    if (source->watcher.joinable()) {
        uint64_t one = 1;
        ssize_t written = write(source->stopFd, &one, sizeof one);
        (void)written;
        source->watcher.join();
    }
    if (source->stopFd >= 0) {
        close(source->stopFd);
    }
}

}  // namespace noctave::linuxos
