#include "platform/linux/IdleInhibitors.hpp"

#include <atomic>

#include "platform/linux/bus/DBusConnection.hpp"

namespace noctave::linuxos::IdleInhibitors {

namespace {

constexpr const char* kPortal = "org.freedesktop.portal.Desktop";
constexpr const char* kPortalPath = "/org/freedesktop/portal/desktop";
constexpr const char* kScreenSaver = "org.freedesktop.ScreenSaver";
constexpr const char* kScreenSaverPath = "/org/freedesktop/ScreenSaver";
// The portal's flags: 4 suspend, 8 idle.
constexpr std::uint32_t kPortalSuspend = 4;
constexpr std::uint32_t kPortalIdle = 8;

std::string nextToken() {
    static std::atomic<unsigned> counter{0};
    return "noctave_inhibit_" + std::to_string(++counter);
}

std::string portalInhibit(DBusConnection& bus, Purpose purpose, const std::string& reason,
                          double timeout) {
    const MethodRef inhibit{kPortal, kPortalPath, "org.freedesktop.portal.Inhibit", "Inhibit"};
    const std::uint32_t flags = purpose == Purpose::idle ? kPortalIdle : kPortalSuspend;
    const std::string token = nextToken();
    std::string request;
    const CallStatus status = bus.call(
        inhibit,
        [&](sd_bus_message* m) {
            // No parent window: the inhibition is the application's, not a window's.
            return sd_bus_message_append(m, "sua{sv}", "", flags, 2, "reason", "s", reason.c_str(),
                                         "handle_token", "s", token.c_str());
        },
        [&](sd_bus_message* m) {
            const char* path = nullptr;
            const int r = sd_bus_message_read(m, "o", &path);
            if (r >= 0 && path != nullptr) {
                request = path;
            }
            return r;
        },
        timeout);
    return status.ok() ? request : std::string();
}

std::optional<std::uint32_t> screenSaverInhibit(DBusConnection& bus, const std::string& reason,
                                                double timeout) {
    const MethodRef inhibit{kScreenSaver, kScreenSaverPath, kScreenSaver, "Inhibit"};
    std::uint32_t cookie = 0;
    const CallStatus status = bus.call(
        inhibit,
        [&](sd_bus_message* m) {
            return sd_bus_message_append(m, "ss", "Noctave", reason.c_str());
        },
        [&](sd_bus_message* m) { return sd_bus_message_read(m, "u", &cookie); }, timeout);
    if (!status.ok()) {
        return std::nullopt;
    }
    return cookie;
}

}  // namespace

std::vector<std::string> Held::names() const {
    std::vector<std::string> names;
    if (!portalRequest.empty()) {
        names.emplace_back("portal Inhibit");
    }
    if (screenSaverCookie) {
        names.emplace_back(kScreenSaver);
    }
    return names;
}

Held take(DBusConnection& bus, Purpose purpose, const std::string& reason, double timeout) {
    Held held;
    if (bus.nameHasOwner(kPortal, timeout) == true) {
        held.portalRequest = portalInhibit(bus, purpose, reason, timeout);
    }
    // The screen saver's inhibition is about idleness only; a lid session has no use for it.
    if (purpose == Purpose::idle && bus.nameHasOwner(kScreenSaver, timeout) == true) {
        held.screenSaverCookie = screenSaverInhibit(bus, reason, timeout);
    }
    return held;
}

void release(DBusConnection& bus, Held& held, double timeout) {
    if (!held.portalRequest.empty()) {
        const MethodRef close{kPortal, held.portalRequest, "org.freedesktop.portal.Request",
                              "Close"};
        bus.call(close, {}, {}, timeout);
        held.portalRequest.clear();
    }
    if (held.screenSaverCookie) {
        const MethodRef uninhibit{kScreenSaver, kScreenSaverPath, kScreenSaver, "UnInhibit"};
        const std::uint32_t cookie = *held.screenSaverCookie;
        bus.call(
            uninhibit,
            [cookie](sd_bus_message* m) { return sd_bus_message_append(m, "u", cookie); }, {},
            timeout);
        held.screenSaverCookie.reset();
    }
}

}  // namespace noctave::linuxos::IdleInhibitors
