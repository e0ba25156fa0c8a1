#pragma once

#include <sys/types.h>

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/linux/DBusConnection.hpp"
#include "tests/support/TempDir.hpp"

namespace noctave::test {

// A message bus of the test's own: a dbus-daemon with a permissive configuration of the given
// type in a temporary folder, exported as DBUS_SYSTEM_BUS_ADDRESS (or DBUS_SESSION_BUS_ADDRESS)
// while it lives, and mocked services on it (Debian's python3-dbusmock, run by
// /usr/bin/python3).
// Everything waits for the names it needs to appear or vanish, with a deadline; nothing
// sleeps blindly.
class PrivateBus {
  public:
    explicit PrivateBus(linuxos::BusKind kind = linuxos::BusKind::system);
    ~PrivateBus();
    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;

    // Why the bus cannot exist here (dbus-daemon or dbusmock missing); empty when it runs.
    const std::string& unavailable() const { return unavailable_; }

    // Starts `python3 -m dbusmock --system --template <name>` with optional template
    // parameters (a Python dict literal) and waits for `busName` to appear.
    bool startTemplate(const std::string& name, const std::string& busName,
                       const std::string& parameters = {});
    // Starts a bare mock object (`python3 -m dbusmock <name> <path> <interface>`), to be given
    // methods with AddMethod, and waits for `busName`.
    bool startObject(const std::string& busName, const std::string& path,
                     const std::string& interface);
    // Kills the service and waits for its name to vanish.
    bool stopTemplate(const std::string& busName);

    bool waitForName(const std::string& name, bool present, double seconds = 15.0);

    // Ends the bus daemon itself, as when the system bus goes down.
    void killDaemon();

    // A connection of the test's own, separate from the ones under test.
    linuxos::DBusConnection& control() { return *control_; }

    // org.freedesktop.DBus.Mock.AddProperty(interface, name, value) with a basic value
    // ("b", "s", "u", "d" given as text: "true", "suspend", "2", "50.0").
    bool addProperty(const std::string& busName, const std::string& path,
                     const std::string& interface, const std::string& name, char type,
                     const std::string& value);
    // Properties.Set on the mocked object; dbusmock emits PropertiesChanged for it.
    bool setProperty(const std::string& busName, const std::string& path,
                     const std::string& interface, const std::string& name, char type,
                     const std::string& value);
    // The mock's recorded calls of `method`: the first string argument of each.
    std::vector<std::string> methodCalls(const std::string& busName, const std::string& path,
                                         const std::string& method);
    // Calls a method of the mock interface (AddSession...) with string/uint/bool arguments
    // given by a signature and its values as text.
    bool callMock(const std::string& busName, const std::string& path, const std::string& method,
                  const std::string& signature, const std::vector<std::string>& values);
    bool emitSignal(const std::string& busName, const std::string& path,
                    const std::string& interface, const std::string& member, char type,
                    const std::string& value);

    // logind's inhibitors now: "what:mode:who" per entry.
    std::vector<std::string> inhibitors();
    // Waits until the inhibitors satisfy `pred`.
    bool waitForInhibitors(const std::function<bool(const std::vector<std::string>&)>& pred,
                           double seconds = 10.0);

  private:
    TempDir dir_;
    linuxos::BusKind kind_;
    std::string unavailable_;
    pid_t daemon_ = -1;
    std::optional<std::string> previousAddress_;
    std::map<std::string, pid_t> services_;
    std::unique_ptr<linuxos::DBusConnection> control_;
};

// Spawns a program with argv and the current environment; returns its pid, or -1. Output not
// given a descriptor goes to /dev/null.
pid_t spawnProcess(const std::vector<std::string>& argv, int stdoutFd = -1, int stderrFd = -1);

}  // namespace noctave::test
