#include "platform/linux/LinuxReduceMotion.hpp"

#include <array>
#include <atomic>
#include <cstring>
#include <string>

#include "platform/linux/bus/BusNames.hpp"

namespace noctave::linuxos {

namespace {
constexpr const char* kSettings = "org.freedesktop.portal.Settings";
constexpr double kReadTimeout = 2.0;

struct Key {
    const char* ns;
    const char* name;
};
constexpr Key kStandard{"org.freedesktop.appearance", "reduced-motion"};
constexpr Key kGnome{"org.gnome.desktop.interface", "enable-animations"};
constexpr Key kKde{"org.kde.kdeglobals.KDE", "AnimationDurationFactor"};

// Reads the setting's value from a message positioned on its variant. The old Read method
// wraps it in a second variant. Returns -1 when the value is not of a type we understand.
int readReduce(sd_bus_message* m, const Key& key) {
    char type = 0;
    const char* contents = nullptr;
    if (sd_bus_message_peek_type(m, &type, &contents) <= 0 || type != 'v' || contents == nullptr) {
        return -1;
    }
    if (std::strcmp(contents, "v") == 0) {
        if (sd_bus_message_enter_container(m, 'v', "v") <= 0) {
            return -1;
        }
        const int value = readReduce(m, key);
        sd_bus_message_exit_container(m);
        return value;
    }
    int result = -1;
    if (std::strcmp(key.ns, kStandard.ns) == 0 && std::strcmp(contents, "u") == 0) {
        uint32_t value = 0;
        if (sd_bus_message_read(m, "v", "u", &value) >= 0) {
            result = value == 1 ? 1 : 0;  // unknown values mean no preference
        }
    } else if (std::strcmp(key.ns, kGnome.ns) == 0 && std::strcmp(contents, "b") == 0) {
        int enabled = 1;
        if (sd_bus_message_read(m, "v", "b", &enabled) >= 0) {
            result = enabled != 0 ? 0 : 1;
        }
    } else if (std::strcmp(key.ns, kKde.ns) == 0 && std::strcmp(contents, "d") == 0) {
        double factor = 1.0;
        if (sd_bus_message_read(m, "v", "d", &factor) >= 0) {
            result = factor == 0.0 ? 1 : 0;
        }
    }
    return result;
}

bool isKey(const char* ns, const char* name, const Key& key) {
    return std::strcmp(ns, key.ns) == 0 && std::strcmp(name, key.name) == 0;
}

// Each key, with where its reading goes.
struct Source {
    const Key* key;
    std::atomic<int>* reading;
};

template <typename Readings>
std::array<Source, 3> sourcesOf(Readings& readings) {
    return {{{&kStandard, &readings.standard}, {&kGnome, &readings.gnome}, {&kKde, &readings.kde}}};
}
}  // namespace

LinuxReduceMotion::LinuxReduceMotion(std::shared_ptr<DBusConnection> bus) : bus_(std::move(bus)) {
    if (!bus_) {
        return;
    }
    auto readings = readings_;
    const std::string rule = std::string("type='signal',sender='") + kPortal + "',path='" +
                             kPortalPath + "',interface='" + kSettings +
                             "',member='SettingChanged'";
    subscription_ = bus_->subscribe(rule, [readings](sd_bus_message* m) {
        const char* ns = nullptr;
        const char* name = nullptr;
        if (sd_bus_message_read(m, "ss", &ns, &name) < 0) {
            return;
        }
        for (const Source& source : sourcesOf(*readings)) {
            if (isKey(ns, name, *source.key)) {
                source.reading->store(readReduce(m, *source.key));
            }
        }
    });
    // The first reading happens on the bus's own thread, so that start-up never waits on a
    // portal that is slow to activate.
    std::weak_ptr<DBusConnection> weakBus = bus_;
    bus_->post([weakBus, readings](sd_bus*) {
        auto bus = weakBus.lock();
        if (!bus) {
            return;
        }
        for (const Source& source : sourcesOf(*readings)) {
            const auto write = [&source](sd_bus_message* m) {
                return sd_bus_message_append(m, "ss", source.key->ns, source.key->name);
            };
            const auto read = [&source](sd_bus_message* m) {
                source.reading->store(readReduce(m, *source.key));
                return 0;
            };
            // ReadOne since version 2 of the interface; Read before it.
            if (!bus->call({kPortal, kPortalPath, kSettings, "ReadOne"}, write, read, kReadTimeout)
                     .ok()) {
                bus->call({kPortal, kPortalPath, kSettings, "Read"}, write, read, kReadTimeout);
            }
        }
    });
}

LinuxReduceMotion::~LinuxReduceMotion() {
    if (bus_ && subscription_ != 0) {
        bus_->unsubscribe(subscription_);
    }
}

bool LinuxReduceMotion::isEnabled() const {
    // Any of them asking for less motion is enough: a desktop may leave the standard key at
    // "no preference" while its own switch is off.
    return readings_->standard.load() == 1 || readings_->gnome.load() == 1 ||
           readings_->kde.load() == 1;
}

}  // namespace noctave::linuxos
