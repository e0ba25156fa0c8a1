#pragma once

namespace noctave::linuxos {

// The system services the backend talks to, by their well-known bus names and objects.

// systemd-logind, on the system bus.
inline constexpr const char* kLogin = "org.freedesktop.login1";
inline constexpr const char* kLoginPath = "/org/freedesktop/login1";
inline constexpr const char* kLoginManager = "org.freedesktop.login1.Manager";

// UPower, on the system bus.
inline constexpr const char* kUPower = "org.freedesktop.UPower";
inline constexpr const char* kUPowerPath = "/org/freedesktop/UPower";

// The desktop portal, on the session bus.
inline constexpr const char* kPortal = "org.freedesktop.portal.Desktop";
inline constexpr const char* kPortalPath = "/org/freedesktop/portal/desktop";

}  // namespace noctave::linuxos
