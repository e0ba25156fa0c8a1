#include "platform/linux/LinuxSessionLock.hpp"

#include "platform/linux/bus/BusNames.hpp"

namespace noctave::linuxos {

namespace {

constexpr double kTimeout = 3.0;

}  // namespace

os::SessionLockFacility::LibraryHandle LinuxSessionLock::openLibrary(const std::string&, int) {
    return bus_->nameHasOwner(kLogin, kTimeout) == true ? kLogind : 0;
}

os::SessionLockFacility::LockFunction LinuxSessionLock::lookup(LibraryHandle library,
                                                               const std::string&) {
    if (library != kLogind) {
        return {};
    }
    return [bus = bus_]() -> std::string {
        MethodRef lock{kLogin, kLoginPath, kLoginManager, "LockSession"};
        CallStatus status = bus->call(
            lock, [](sd_bus_message* m) { return sd_bus_message_append(m, "s", "auto"); }, {},
            kTimeout);
        if (status.ok()) {
            return {};
        }
        // Older logind versions know no "auto" session; ask for ours and lock it directly.
        std::string path;
        MethodRef get{kLogin, kLoginPath, kLoginManager, "GetSessionByPID"};
        CallStatus found = bus->call(
            get, [](sd_bus_message* m) { return sd_bus_message_append(m, "u", 0U); },
            [&](sd_bus_message* m) {
                const char* p = nullptr;
                int r = sd_bus_message_read(m, "o", &p);
                if (r >= 0) {
                    path = p;
                }
                return r;
            },
            kTimeout);
        if (found.ok()) {
            MethodRef sessionLock{kLogin, path, "org.freedesktop.login1.Session", "Lock"};
            CallStatus locked = bus->call(sessionLock, {}, {}, kTimeout);
            if (locked.ok()) {
                return {};
            }
            status = locked;
        }
        // Outside a logind session (ssh, a user service, a container) logind has no session
        // of ours to lock: that is a refusal, not a lock.
        return "logind could not lock the session (" + status.describe() + ")";
    };
}

void LinuxSessionLock::closeLibrary(LibraryHandle) {}

}  // namespace noctave::linuxos
