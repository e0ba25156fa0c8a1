#pragma once

#include <systemd/sd-bus.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/control/ControlStatus.hpp"
#include "platform/linux/bus/DBusConnection.hpp"

namespace noctave::control {

// A blocking client of the running application's control interface, for `noctave ctl`, the
// tests and the benchmark. No Qt, no runtime: its calls wait for their answers. It is used
// from the thread that connected; once it watches something, what it watches is reported on
// a thread of its connection's own.
class ControlClient {
  public:
    struct Error {
        std::string name;  // the D-Bus error name
        std::string message;
        // Nobody owns the name (and nothing started it), or no bus answers (none, or one that
        // refuses us, such as another user's): nothing to talk to.
        bool isUnavailable() const;
        // Of those, the bus answered: nobody owns the name.
        bool isNotRunning() const;
    };

    // Connects to the session bus; nothing (and `error` says why) without one.
    static std::unique_ptr<ControlClient> connect(std::string* error);
    ~ControlClient();
    ControlClient(const ControlClient&) = delete;
    ControlClient& operator=(const ControlClient&) = delete;

    using Writer = linuxos::DBusConnection::Writer;
    using Reader = linuxos::DBusConnection::Reader;

    // Calls a method of the interface. `autoStart`: let the bus start an installed Noctave
    // that is not running. Nothing on success.
    std::optional<Error> call(const char* member, bool autoStart, const Writer& write = {},
                              const Reader& read = {});
    std::optional<Error> callOn(const char* interface, const char* member, bool autoStart,
                                const Writer& write, const Reader& read, double timeoutSeconds);
    std::optional<Error> status(Status& out);
    // Places a hold (letting the bus start Noctave); its id in `id`.
    std::optional<Error> hold(const std::string& reason, uint32_t* id);
    std::optional<Error> release(uint32_t id);
    // Asks the running Noctave (never starting one) to come forward through
    // org.freedesktop.Application: Activate when `action` is empty, else ActivateAction.
    std::optional<Error> activate(const std::string& action, double timeoutSeconds);

    // How a hold ended other than by release().
    struct HoldEnd {
        bool isNoctaveGone = false;  // Noctave quit, or the bus went
        std::string reason;          // when Noctave ended it: the disarm's source, if it said
    };
    // Reports once, on the connection's thread, that hold `id` ended other than by release.
    bool watchHold(uint32_t id, std::function<void(const HoldEnd&)> onEnded);

    // Reports each PropertiesChanged of the interface: what it carried (the Property bits
    // found) over a default Status. False when the rule could not be installed.
    bool watchChanges(std::function<void(const Status& status, unsigned found)> onChange);
    // Reports once that Noctave's name lost its owner, or that the bus was lost.
    bool watchGone(std::function<void()> onGone);

    linuxos::DBusConnection& connection() { return *bus_; }

  private:
    explicit ControlClient(std::shared_ptr<linuxos::DBusConnection> bus) : bus_(std::move(bus)) {}
    std::shared_ptr<linuxos::DBusConnection> bus_;
    std::vector<uint64_t> watches_;
};

}  // namespace noctave::control
