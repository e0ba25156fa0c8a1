#include "app/control/StatusText.hpp"

#include <chrono>
#include <nlohmann/json.hpp>

#include "core/session/Deadlines.hpp"
#include "core/text/Iso8601.hpp"

namespace noctave::control {

namespace {

runtime::WallTime wallOf(uint64_t usec) {
    return runtime::WallTime(std::chrono::microseconds(usec));
}

std::string timeText(uint64_t usec) {
    return iso8601::format(wallOf(usec));
}

nlohmann::json optionalTime(uint64_t usec) {
    return usec == 0 ? nlohmann::json(nullptr) : nlohmann::json(timeText(usec));
}

// "until 18:00 local, 1 h 20 min left", read against this machine's clock now.
std::string untilText(uint64_t usec) {
    const auto deadline = wallOf(usec);
    return "until " + deadlines::localText(deadline, "%H:%M") + ", " +
           deadlines::timeLeftText(deadline, std::chrono::system_clock::now());
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

std::string describe(const Status& status) {
    std::string power = status.onBattery ? "battery" : "mains";
    if (status.batteryPercent >= 0) {
        power += ", " + std::to_string(status.batteryPercent) + "%";
    }
    return "State: " + status.state +
           (status.deadlineUsec != 0 ? " (" + untilText(status.deadlineUsec) + ")" : "") +
           "\nKeep awake: " + onOff(status.keepAwake) +
           (status.keepAwakeUntilUsec != 0 ? " (" + untilText(status.keepAwakeUntilUsec) + ")"
                                           : "") +
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
    if ((only & kDeadline) != 0) {
        json["deadline"] = optionalTime(status.deadlineUsec);
    }
    if ((only & kKeepAwakeUntil) != 0) {
        json["keepAwakeUntil"] = optionalTime(status.keepAwakeUntilUsec);
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
    if ((changed & kDeadline) != 0) {
        add("Deadline=" + (status.deadlineUsec != 0 ? timeText(status.deadlineUsec) : "none"));
    }
    if ((changed & kKeepAwakeUntil) != 0) {
        add("KeepAwakeUntil=" +
            (status.keepAwakeUntilUsec != 0 ? timeText(status.keepAwakeUntilUsec) : "none"));
    }
    return line;
}

}  // namespace noctave::control
