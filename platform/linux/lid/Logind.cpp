#include "platform/linux/lid/Logind.hpp"

#include <fcntl.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstdint>
#include <string_view>

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

std::optional<bool> holdsInhibitor(DBusConnection& systemBus, const std::string& what,
                                   const std::string& why) {
    const auto self = static_cast<uint32_t>(::getpid());
    bool found = false;
    const CallStatus status = systemBus.call(
        {kLogin, kLoginPath, kLoginManager, "ListInhibitors"}, {},
        [&](sd_bus_message* m) {
            int r = sd_bus_message_enter_container(m, 'a', "(ssssuu)");
            if (r < 0) {
                return r;
            }
            const char* listedWhat = nullptr;
            const char* who = nullptr;
            const char* listedWhy = nullptr;
            const char* mode = nullptr;
            uint32_t uid = 0;
            uint32_t pid = 0;
            while ((r = sd_bus_message_read(m, "(ssssuu)", &listedWhat, &who, &listedWhy, &mode,
                                            &uid, &pid)) > 0) {
                found =
                    found || (pid == self && what == listedWhat && why == listedWhy &&
                              std::string_view(who) == kWho && std::string_view(mode) == "block");
            }
            return r < 0 ? r : sd_bus_message_exit_container(m);
        },
        kQueryTimeout);
    return status.ok() ? std::optional(found) : std::nullopt;
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
