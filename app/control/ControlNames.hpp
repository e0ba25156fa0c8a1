#pragma once

// The control interface's names on the session bus, shared by the service and `noctave ctl`.
namespace noctave::control {

inline constexpr const char* kBusName = "com.quillor.noctave";
inline constexpr const char* kObjectPath = "/com/quillor/noctave";
inline constexpr const char* kInterface = "com.quillor.noctave.Control1";

}  // namespace noctave::control
