#pragma once

#include <systemd/sd-bus.h>

#include <functional>
#include <span>
#include <string_view>
#include <vector>

#include "app/control/ControlStatus.hpp"
#include "platform/linux/bus/DBusConnection.hpp"

// The control interface spelled once: its methods and properties with their signatures. The
// service exports it from here, emits its property names from here, and the client reads it
// from here.
namespace noctave::control {

// Property signatures: State s, KeepAwake b, LidClosed b, OnBattery b, BatteryPercent i (-1
// when no source reports a charge), Holds a(usst) (id, reason, owner, since in microseconds
// since 1970), LastDisarm (sst) (reason, notice, time; time 0 before any session ended),
// Deadline t and KeepAwakeUntil t (when a timed session or keep-awake ends, microseconds since
// 1970; 0 for none). Methods beyond the plain ones: ArmUntil t and SetKeepAwakeUntil t (the
// deadline, as above), History → s (the session history as JSON).
struct ControlProperty {
    Property bit;
    const char* name;
    const char* signature;
    int (*append)(sd_bus_message* m, const Status& status);  // the bare value
    int (*read)(sd_bus_message* m, Status& status);          // inside its variant
};

// One method of the interface: the service binds a handler to it, the client calls it by it.
struct ControlMethod {
    const char* name;
    const char* signature;
    const char* result;
    const char* argumentNames;
};

inline constexpr ControlMethod kArm{"Arm", "", "", ""};
inline constexpr ControlMethod kDisarm{"Disarm", "", "", ""};
inline constexpr ControlMethod kSetKeepAwake{"SetKeepAwake", "b", "", "on"};
inline constexpr ControlMethod kHold{"Hold", "s", "u", "reason id"};
inline constexpr ControlMethod kRelease{"Release", "u", "", "id"};
inline constexpr ControlMethod kStatus{"Status", "", "a{sv}", "status"};
inline constexpr ControlMethod kArmUntil{"ArmUntil", "t", "", "deadline"};
inline constexpr ControlMethod kSetKeepAwakeUntil{"SetKeepAwakeUntil", "t", "", "deadline"};
inline constexpr ControlMethod kHistory{"History", "", "s", "json"};

// org.freedesktop.Application, on the same object.
inline constexpr ControlMethod kActivate{"Activate", "a{sv}", "", "platform_data"};
inline constexpr ControlMethod kOpen{"Open", "asa{sv}", "", "uris platform_data"};
inline constexpr ControlMethod kActivateAction{"ActivateAction", "sava{sv}", "",
                                               "action_name parameter platform_data"};

// The exported row of `method`, dispatched to `handler`.
linuxos::BusMethod methodRow(const ControlMethod& method,
                             std::function<int(sd_bus_message*)> handler);

// Every property, in the order of their bits.
std::span<const ControlProperty> controlProperties();
// The properties' exported rows, their values read from `status` (on the connection's thread).
std::vector<linuxos::BusProperty> propertyRows(const Status& status);
// Nothing for a name the interface does not have.
const ControlProperty* findProperty(std::string_view name);

// Appends every property as an "a{sv}" (Status's reply).
int appendProperties(sd_bus_message* m, const Status& status);
// Reads an "a{sv}" of properties (Status's reply, PropertiesChanged's second argument) into
// `status`, skipping names it does not know; returns the Property bits it found, or a
// negative errno.
int readProperties(sd_bus_message* m, Status& status, unsigned* found);

}  // namespace noctave::control
