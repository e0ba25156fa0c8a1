#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

// What the control interface shows, shared by the service and `noctave ctl`.
namespace noctave::control {

// The interface's times: microseconds since 1970.
inline uint64_t usecOf(std::chrono::system_clock::time_point time) {
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(time.time_since_epoch()).count());
}

// One job's claim on the session: it stands until released, until its owner's bus connection
// goes, or until the session ends.
struct Hold {
    uint32_t id = 0;
    std::string reason;
    std::string owner;       // the unique bus name of the connection that placed it
    uint64_t sinceUsec = 0;  // wall clock, microseconds since 1970
    friend bool operator==(const Hold&, const Hold&) = default;
};

// Why the last session ended: the disarm's source and the notice that came with it, if any.
struct LastDisarm {
    std::string reason;
    std::string notice;
    uint64_t timeUsec = 0;  // 0: no session has ended since launch
    friend bool operator==(const LastDisarm&, const LastDisarm&) = default;
};

// What the control interface shows, as its properties.
struct Status {
    std::string state = "disarmed";
    bool keepAwake = false;
    bool lidClosed = false;
    bool onBattery = false;
    int32_t batteryPercent = -1;  // -1: no source reports a charge
    std::vector<Hold> holds;
    LastDisarm lastDisarm;
    // When a timed session ends and when timed keep-awake does, wall clock in microseconds
    // since 1970; 0: no such deadline. Kept by the running process only.
    uint64_t deadlineUsec = 0;
    uint64_t keepAwakeUntilUsec = 0;
};

// Property bits for what changed.
enum Property : unsigned {
    kState = 1u << 0,
    kKeepAwake = 1u << 1,
    kLidClosed = 1u << 2,
    kOnBattery = 1u << 3,
    kBatteryPercent = 1u << 4,
    kHolds = 1u << 5,
    kLastDisarm = 1u << 6,
    kDeadline = 1u << 7,
    kKeepAwakeUntil = 1u << 8,
};

}  // namespace noctave::control
