#include "app/control/ControlClient.hpp"

#include <chrono>
#include <cstring>
#include <nlohmann/json.hpp>

#include "app/control/ControlNames.hpp"
#include "core/text/Iso8601.hpp"

namespace noctave::control {

namespace {

constexpr uint64_t kCallTimeoutUsec = 30'000'000;

std::string timeText(uint64_t usec) {
    return iso8601::format(runtime::WallTime(std::chrono::microseconds(usec)));
}

int readHolds(sd_bus_message* m, std::vector<Hold>& holds) {
    holds.clear();
    int r = sd_bus_message_enter_container(m, 'a', "(usst)");
    if (r < 0) {
        return r;
    }
    Hold hold;
    const char *reason = nullptr, *owner = nullptr;
    while ((r = sd_bus_message_read(m, "(usst)", &hold.id, &reason, &owner, &hold.sinceUsec)) > 0) {
        hold.reason = reason;
        hold.owner = owner;
        holds.push_back(hold);
    }
    return r < 0 ? r : sd_bus_message_exit_container(m);
}

int readValue(sd_bus_message* m, const std::string& name, Status& status, unsigned& bit) {
    auto readBool = [m](bool& out) {
        int value = 0;
        const int r = sd_bus_message_read(m, "v", "b", &value);
        out = value != 0;
        return r;
    };
    if (name == "State") {
        const char* text = nullptr;
        bit = kState;
        const int r = sd_bus_message_read(m, "v", "s", &text);
        if (r >= 0) {
            status.state = text;
        }
        return r;
    }
    if (name == "KeepAwake") {
        bit = kKeepAwake;
        return readBool(status.keepAwake);
    }
    if (name == "LidClosed") {
        bit = kLidClosed;
        return readBool(status.lidClosed);
    }
    if (name == "OnBattery") {
        bit = kOnBattery;
        return readBool(status.onBattery);
    }
    if (name == "BatteryPercent") {
        bit = kBatteryPercent;
        return sd_bus_message_read(m, "v", "i", &status.batteryPercent);
    }
    if (name == "Holds") {
        bit = kHolds;
        int r = sd_bus_message_enter_container(m, 'v', kHoldsSignature);
        if (r >= 0 && (r = readHolds(m, status.holds)) >= 0) {
            r = sd_bus_message_exit_container(m);
        }
        return r;
    }
    if (name == "LastDisarm") {
        bit = kLastDisarm;
        const char *reason = nullptr, *notice = nullptr;
        const int r = sd_bus_message_read(m, "v", kLastDisarmSignature, &reason, &notice,
                                          &status.lastDisarm.timeUsec);
        if (r >= 0) {
            status.lastDisarm.reason = reason;
            status.lastDisarm.notice = notice;
        }
        return r;
    }
    bit = 0;
    return sd_bus_message_skip(m, "v");
}

nlohmann::json holdsJson(const std::vector<Hold>& holds) {
    auto list = nlohmann::json::array();
    for (const auto& hold : holds) {
        list.push_back({{"id", hold.id},
                        {"reason", hold.reason},
                        {"owner", hold.owner},
                        {"since", timeText(hold.sinceUsec)}});
    }
    return list;
}

std::string holdsText(const std::vector<Hold>& holds) {
    std::string text = std::to_string(holds.size());
    for (const auto& hold : holds) {
        text += "\n  #" + std::to_string(hold.id) + " since " + timeText(hold.sinceUsec) + " (" +
                hold.owner + "): " + hold.reason;
    }
    return text;
}

std::string lastDisarmText(const LastDisarm& last) {
    if (last.timeUsec == 0) {
        return "none since launch";
    }
    std::string text = last.reason + " at " + timeText(last.timeUsec);
    if (!last.notice.empty()) {
        text += " (" + last.notice + ")";
    }
    return text;
}

std::string onOff(bool on) {
    return on ? "on" : "off";
}

}  // namespace

bool ControlClient::Error::isUnavailable() const {
    // No error name: the bus itself could not be reached.
    return name.empty() || name == "org.freedesktop.DBus.Error.ServiceUnknown" ||
           name == "org.freedesktop.DBus.Error.NameHasNoOwner" ||
           name == "org.freedesktop.DBus.Error.NoServer" ||
           name == "org.freedesktop.DBus.Error.Disconnected";
}

std::unique_ptr<ControlClient> ControlClient::connect(std::string* error) {
    sd_bus* bus = nullptr;
    const int r = sd_bus_open_user(&bus);
    if (r < 0) {
        *error = std::string("no session bus (") + std::strerror(-r) + ")";
        return nullptr;
    }
    return std::unique_ptr<ControlClient>(new ControlClient(bus));
}

ControlClient::~ControlClient() {
    sd_bus_flush_close_unref(bus_);
}

std::optional<ControlClient::Error> ControlClient::call(const char* member, bool autoStart,
                                                        const Writer& write, const Reader& read) {
    sd_bus_message* message = nullptr;
    int r =
        sd_bus_message_new_method_call(bus_, &message, kBusName, kObjectPath, kInterface, member);
    if (r >= 0) {
        r = sd_bus_message_set_auto_start(message, autoStart ? 1 : 0);
    }
    if (r >= 0 && write) {
        r = write(message);
    }
    if (r < 0) {
        sd_bus_message_unref(message);
        return Error{"org.freedesktop.DBus.Error.InvalidArgs",
                     std::string("could not build the call: ") + std::strerror(-r)};
    }
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    r = sd_bus_call(bus_, message, kCallTimeoutUsec, &error, &reply);
    sd_bus_message_unref(message);
    std::optional<Error> failure;
    if (r < 0) {
        failure = sd_bus_error_is_set(&error)
                      ? Error{error.name, error.message != nullptr ? error.message : ""}
                      : Error{"", std::strerror(-r)};
    } else if (read && (r = read(reply)) < 0) {
        failure = Error{"org.freedesktop.DBus.Error.InvalidSignature",
                        std::string("unexpected reply: ") + std::strerror(-r)};
    }
    sd_bus_error_free(&error);
    sd_bus_message_unref(reply);
    return failure;
}

std::optional<ControlClient::Error> ControlClient::status(Status& out) {
    return call("Status", false, {}, [&out](sd_bus_message* m) {
        unsigned found = 0;
        return readProperties(m, out, &found);
    });
}

int readProperties(sd_bus_message* m, Status& status, unsigned* found) {
    int r = sd_bus_message_enter_container(m, 'a', "{sv}");
    if (r < 0) {
        return r;
    }
    unsigned bits = 0;
    while ((r = sd_bus_message_enter_container(m, 'e', "sv")) > 0) {
        const char* name = nullptr;
        unsigned bit = 0;
        if ((r = sd_bus_message_read(m, "s", &name)) < 0 ||
            (r = readValue(m, name, status, bit)) < 0 ||
            (r = sd_bus_message_exit_container(m)) < 0) {
            return r;
        }
        bits |= bit;
    }
    if (r < 0) {
        return r;
    }
    *found = bits;
    return sd_bus_message_exit_container(m);
}

std::string describe(const Status& status) {
    std::string power = status.onBattery ? "battery" : "mains";
    if (status.batteryPercent >= 0) {
        power += ", " + std::to_string(status.batteryPercent) + "%";
    }
    return "State: " + status.state + "\nKeep awake: " + onOff(status.keepAwake) +
           "\nLid: " + (status.lidClosed ? "closed" : "open") + "\nPower: " + power +
           "\nHolds: " + holdsText(status.holds) +
           "\nLast disarm: " + lastDisarmText(status.lastDisarm) + "\n";
}

std::string toJson(const Status& status, unsigned only) {
    nlohmann::json json = nlohmann::json::object();
    if ((only & kState) != 0) {
        json["state"] = status.state;
    }
    if ((only & kKeepAwake) != 0) {
        json["keepAwake"] = status.keepAwake;
    }
    if ((only & kLidClosed) != 0) {
        json["lidClosed"] = status.lidClosed;
    }
    if ((only & kOnBattery) != 0) {
        json["onBattery"] = status.onBattery;
    }
    if ((only & kBatteryPercent) != 0) {
        json["batteryPercent"] = status.batteryPercent >= 0 ? nlohmann::json(status.batteryPercent)
                                                            : nlohmann::json(nullptr);
    }
    if ((only & kHolds) != 0) {
        json["holds"] = holdsJson(status.holds);
    }
    if ((only & kLastDisarm) != 0) {
        const auto& last = status.lastDisarm;
        json["lastDisarm"] = last.timeUsec == 0 ? nlohmann::json(nullptr)
                                                : nlohmann::json{{"reason", last.reason},
                                                                 {"notice", last.notice},
                                                                 {"time", timeText(last.timeUsec)}};
    }
    // Reasons and notices are UTF-8 checked by the service; replace rather than throw anyway.
    return json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string describeChanges(const Status& status, unsigned changed) {
    std::string line;
    auto add = [&line](const std::string& part) { line += (line.empty() ? "" : " ") + part; };
    if ((changed & kState) != 0) {
        add("State=" + status.state);
    }
    if ((changed & kKeepAwake) != 0) {
        add("KeepAwake=" + onOff(status.keepAwake));
    }
    if ((changed & kLidClosed) != 0) {
        add(std::string("Lid=") + (status.lidClosed ? "closed" : "open"));
    }
    if ((changed & kOnBattery) != 0) {
        add(std::string("Power=") + (status.onBattery ? "battery" : "mains"));
    }
    if ((changed & kBatteryPercent) != 0) {
        add("Battery=" + (status.batteryPercent >= 0 ? std::to_string(status.batteryPercent) + "%"
                                                     : std::string("none")));
    }
    if ((changed & kHolds) != 0) {
        std::string ids;
        for (const auto& hold : status.holds) {
            ids += (ids.empty() ? "#" : ",#") + std::to_string(hold.id);
        }
        add("Holds=" + std::to_string(status.holds.size()) + (ids.empty() ? "" : "(" + ids + ")"));
    }
    if ((changed & kLastDisarm) != 0) {
        add("LastDisarm=\"" + lastDisarmText(status.lastDisarm) + "\"");
    }
    return line;
}

}  // namespace noctave::control
