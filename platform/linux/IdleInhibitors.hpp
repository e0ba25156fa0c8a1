#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace noctave::linuxos {

class DBusConnection;

// The session bus's own inhibitions, beside logind's locks: the desktop portal's Inhibit
// (served by the portal backends of GNOME, KDE and others; it reaches desktops that never ask
// logind) and org.freedesktop.ScreenSaver's Inhibit (KDE, and the idle daemons of wlroots
// compositors that serve it, such as hypridle). Each is taken only where its service runs.
//
// The caller's thread waits for the replies. The inhibitions last while the bus connection
// that took them does; release() ends each exactly once.
namespace IdleInhibitors {

enum class Purpose {
    idle,     // keep-awake: the session must not go idle
    suspend,  // a lid session: the machine must not suspend
};

struct Held {
    std::string portalRequest;  // the portal's request object; empty: not taken
    std::optional<std::uint32_t> screenSaverCookie;
    // What was taken, for the log and --diagnose: "portal idle", "org.freedesktop.ScreenSaver".
    std::vector<std::string> names() const;
};

Held take(DBusConnection& bus, Purpose purpose, const std::string& reason, double timeoutSeconds);
void release(DBusConnection& bus, Held& held, double timeoutSeconds);

}  // namespace IdleInhibitors

}  // namespace noctave::linuxos
