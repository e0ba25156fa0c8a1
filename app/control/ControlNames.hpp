#pragma once

// The control interface's names on the session bus, shared by the service and `noctave ctl`.
namespace noctave::control {

inline constexpr const char* kBusName = "com.quillor.noctave";
inline constexpr const char* kObjectPath = "/com/quillor/noctave";
inline constexpr const char* kInterface = "com.quillor.noctave.Control1";

// Property signatures: State s, KeepAwake b, LidClosed b, OnBattery b, BatteryPercent i (-1
// when no source reports a charge), Holds a(usst) (id, reason, owner, since in microseconds
// since 1970), LastDisarm (sst) (reason, notice, time; time 0 before any session ended).
inline constexpr const char* kHoldsSignature = "a(usst)";
inline constexpr const char* kLastDisarmSignature = "(sst)";

}  // namespace noctave::control
