#include "platform/linux/lid/Logind.hpp"

#include <fcntl.h>
#include <unistd.h>

#include "platform/linux/bus/BusNames.hpp"

namespace noctave::linuxos::lid {

namespace {

constexpr const char* kWho = "Noctave";
// Taking an inhibitor may wait for polkit; a lost logind must not hold the caller longer.
constexpr double kInhibitTimeout = 5.0;
constexpr double kQueryTimeout = 2.0;

}  // namespace

int takeInhibitor(DBusConnection& systemBus, const std::string& what, const std::string& why,
                  CallStatus& status) {
    int fd = -1;
    MethodRef method{kLogin, kLoginPath, kLoginManager, "Inhibit"};
    status = systemBus.call(
        method,
        [&](sd_bus_message* m) {
            return sd_bus_message_append(m, "ssss", what.c_str(), kWho, why.c_str(), "block");
        },
        [&](sd_bus_message* m) {
            int borrowed = -1;
            int r = sd_bus_message_read(m, "h", &borrowed);
            if (r < 0) {
                return r;
            }
            // The reply owns its fd; ours must survive it and never leak into children.
            fd = fcntl(borrowed, F_DUPFD_CLOEXEC, 3);
            return fd < 0 ? -errno : 0;
        },
        kInhibitTimeout);
    if (!status.ok() && fd >= 0) {
        close(fd);
        fd = -1;
    }
    return fd;
}

int errnoOf(const CallStatus& status) {
    return status.code < 0 ? -status.code : EIO;
}

std::optional<std::string> logindString(DBusConnection& systemBus, const char* name) {
    std::string value;
    auto status = systemBus.getProperty(
        kLogin, kLoginPath, kLoginManager, name, "s",
        [&](sd_bus_message* m) {
            const char* s = nullptr;
            int r = sd_bus_message_read(m, "s", &s);
            if (r >= 0) {
                value = s;
            }
            return r;
        },
        kQueryTimeout);
    return status.ok() ? std::optional(value) : std::nullopt;
}

std::optional<bool> logindBool(DBusConnection& systemBus, const char* name) {
    bool value = false;
    auto status = systemBus.getProperty(
        kLogin, kLoginPath, kLoginManager, name, "b",
        [&](sd_bus_message* m) { return readBool(m, value); }, kQueryTimeout);
    return status.ok() ? std::optional(value) : std::nullopt;
}

}  // namespace noctave::linuxos::lid
