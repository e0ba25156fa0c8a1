#pragma once

// The control interface's names on the session bus, shared by the service and `noctave ctl`.
namespace noctave::control {

inline constexpr const char* kBusName = "com.quillor.noctave";
inline constexpr const char* kObjectPath = "/com/quillor/noctave";
inline constexpr const char* kInterface = "com.quillor.noctave.Control1";
// The desktop's single-instance convention, on the same object: a launcher (or a second
// `noctave`) activates the running one instead of starting another.
inline constexpr const char* kApplicationInterface = "org.freedesktop.Application";
inline constexpr const char* kActionSettings = "settings";
inline constexpr const char* kActionOnboarding = "onboarding";

}  // namespace noctave::control
