#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "platform/linux/bus/DBusConnection.hpp"
#include "tests/support/BusDaemon.hpp"
#include "tests/support/ChildProcess.hpp"

namespace noctave::test {

inline constexpr const char* kLogin = "org.freedesktop.login1";
inline constexpr const char* kUPower = "org.freedesktop.UPower";

// A system bus of the test's own: a permissive dbus-daemon in a temporary folder, exported as
// DBUS_SYSTEM_BUS_ADDRESS while it lives, with python3-dbusmock services on it. Waits are for
// names or answers, with a deadline; nothing sleeps blindly.
class PrivateBus {
  public:
    PrivateBus();
    ~PrivateBus();
    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;

    // Why the bus cannot exist here; empty when it runs.
    const std::string& unavailable() const { return unavailable_; }

    // Starts `python3 -m dbusmock --system --template <name>` and waits for `busName`.
    bool startTemplate(const std::string& name, const std::string& busName);
    // Kills that service and waits for its name to vanish.
    bool stopTemplate(const std::string& busName);

    // Properties.Set on a mocked object (bool, uint32_t or double); dbusmock emits
    // PropertiesChanged for it.
    template <typename T>
    bool setProperty(const std::string& busName, const std::string& path,
                     const std::string& interface, const std::string& name, T value) {
        const char* type = std::is_same_v<T, bool> ? "b" : std::is_same_v<T, double> ? "d" : "u";
        linuxos::MethodRef set{busName, path, "org.freedesktop.DBus.Properties", "Set"};
        auto write = [&](sd_bus_message* m) {
            return sd_bus_message_append(m, "ssv", interface.c_str(), name.c_str(), type, value);
        };
        return control_->call(set, write, {}, 5.0).ok();
    }
    // The string argument of each call of a one-string method (LockSession) on mocked logind.
    std::vector<std::string> logindCalls(const std::string& method);
    // logind's inhibitors now, "what:mode:who" each.
    std::vector<std::string> inhibitors();
    bool waitForInhibitors(const std::function<bool(const std::vector<std::string>&)>& pred);

  private:
    std::string unavailable_;
    std::optional<BusDaemon> daemon_;
    std::map<std::string, std::unique_ptr<ChildProcess>> services_;
    std::unique_ptr<linuxos::DBusConnection> control_;
};

}  // namespace noctave::test
