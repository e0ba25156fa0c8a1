#include "app/control/ControlInterface.hpp"

#include <array>
#include <utility>

namespace noctave::control {

namespace {

using linuxos::readBool;
using linuxos::readString;

int appendHolds(sd_bus_message* m, const Status& status) {
    int r = sd_bus_message_open_container(m, 'a', "(usst)");
    for (const auto& hold : status.holds) {
        if (r < 0) {
            return r;
        }
        r = sd_bus_message_append(m, "(usst)", hold.id, hold.reason.c_str(), hold.owner.c_str(),
                                  hold.sinceUsec);
    }
    return r < 0 ? r : sd_bus_message_close_container(m);
}

int readHolds(sd_bus_message* m, Status& status) {
    status.holds.clear();
    int r = sd_bus_message_enter_container(m, 'a', "(usst)");
    if (r < 0) {
        return r;
    }
    Hold hold;
    const char *reason = nullptr, *owner = nullptr;
    while ((r = sd_bus_message_read(m, "(usst)", &hold.id, &reason, &owner, &hold.sinceUsec)) > 0) {
        hold.reason = reason;
        hold.owner = owner;
        status.holds.push_back(hold);
    }
    return r < 0 ? r : sd_bus_message_exit_container(m);
}

const std::array<ControlProperty, 9> kProperties = {{
    {kState, "State", "s",
     [](sd_bus_message* m, const Status& s) {
         return sd_bus_message_append(m, "s", s.state.c_str());
     },
     [](sd_bus_message* m, Status& s) { return readString(m, s.state); }},
    {kKeepAwake, "KeepAwake", "b",
     [](sd_bus_message* m, const Status& s) { return sd_bus_message_append(m, "b", s.keepAwake); },
     [](sd_bus_message* m, Status& s) { return readBool(m, s.keepAwake); }},
    {kLidClosed, "LidClosed", "b",
     [](sd_bus_message* m, const Status& s) { return sd_bus_message_append(m, "b", s.lidClosed); },
     [](sd_bus_message* m, Status& s) { return readBool(m, s.lidClosed); }},
    {kOnBattery, "OnBattery", "b",
     [](sd_bus_message* m, const Status& s) { return sd_bus_message_append(m, "b", s.onBattery); },
     [](sd_bus_message* m, Status& s) { return readBool(m, s.onBattery); }},
    {kBatteryPercent, "BatteryPercent", "i",
     [](sd_bus_message* m, const Status& s) {
         return sd_bus_message_append(m, "i", s.batteryPercent);
     },
     [](sd_bus_message* m, Status& s) { return sd_bus_message_read(m, "i", &s.batteryPercent); }},
    {kHolds, "Holds", "a(usst)", appendHolds, readHolds},
    {kLastDisarm, "LastDisarm", "(sst)",
     [](sd_bus_message* m, const Status& s) {
         return sd_bus_message_append(m, "(sst)", s.lastDisarm.reason.c_str(),
                                      s.lastDisarm.notice.c_str(), s.lastDisarm.timeUsec);
     },
     [](sd_bus_message* m, Status& s) {
         const char *reason = nullptr, *notice = nullptr;
         const int r = sd_bus_message_read(m, "(sst)", &reason, &notice, &s.lastDisarm.timeUsec);
         if (r >= 0) {
             s.lastDisarm.reason = reason;
             s.lastDisarm.notice = notice;
         }
         return r;
     }},
    {kDeadline, "Deadline", "t",
     [](sd_bus_message* m, const Status& s) {
         return sd_bus_message_append(m, "t", s.deadlineUsec);
     },
     [](sd_bus_message* m, Status& s) { return sd_bus_message_read(m, "t", &s.deadlineUsec); }},
    {kKeepAwakeUntil, "KeepAwakeUntil", "t",
     [](sd_bus_message* m, const Status& s) {
         return sd_bus_message_append(m, "t", s.keepAwakeUntilUsec);
     },
     [](sd_bus_message* m, Status& s) {
         return sd_bus_message_read(m, "t", &s.keepAwakeUntilUsec);
     }},
}};

}  // namespace

std::span<const ControlProperty> controlProperties() {
    return kProperties;
}

std::vector<linuxos::BusProperty> propertyRows(const Status& status) {
    std::vector<linuxos::BusProperty> rows;
    for (const auto& property : kProperties) {
        rows.push_back({property.name, property.signature,
                        [&status, append = property.append](sd_bus_message* reply) {
                            return append(reply, status);
                        }});
    }
    return rows;
}

linuxos::BusMethod methodRow(const ControlMethod& method,
                             std::function<int(sd_bus_message*)> handler) {
    return {method.name, method.signature, method.result, method.argumentNames, std::move(handler)};
}

const ControlProperty* findProperty(std::string_view name) {
    for (const auto& property : kProperties) {
        if (name == property.name) {
            return &property;
        }
    }
    return nullptr;
}

int appendProperties(sd_bus_message* m, const Status& status) {
    int r = sd_bus_message_open_container(m, 'a', "{sv}");
    for (const auto& property : kProperties) {
        if (r < 0 || (r = sd_bus_message_open_container(m, 'e', "sv")) < 0 ||
            (r = sd_bus_message_append(m, "s", property.name)) < 0 ||
            (r = sd_bus_message_open_container(m, 'v', property.signature)) < 0 ||
            (r = property.append(m, status)) < 0 || (r = sd_bus_message_close_container(m)) < 0) {
            return r;
        }
        r = sd_bus_message_close_container(m);
    }
    return r < 0 ? r : sd_bus_message_close_container(m);
}

int readProperties(sd_bus_message* m, Status& status, unsigned* found) {
    unsigned bits = 0;
    const int r =
        linuxos::readPropertyDictionary(m, [&](const std::string& name, sd_bus_message* value) {
            const ControlProperty* property = findProperty(name);
            if (property == nullptr) {
                return sd_bus_message_skip(value, "v");
            }
            int rr = sd_bus_message_enter_container(value, 'v', property->signature);
            if (rr >= 0 && (rr = property->read(value, status)) >= 0) {
                rr = sd_bus_message_exit_container(value);
            }
            bits |= rr >= 0 ? property->bit : 0u;
            return rr;
        });
    if (r >= 0) {
        *found = bits;
    }
    return r;
}

}  // namespace noctave::control
