#pragma once

#include <systemd/sd-bus.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "app/control/ControlStatus.hpp"

namespace noctave::control {

// A blocking client of the running application's control interface, for `noctave ctl`, the
// tests and the benchmark. No Qt, no runtime: one sd-bus connection used on one thread.
class ControlClient {
  public:
    struct Error {
        std::string name;  // the D-Bus error name
        std::string message;
        // Nobody owns the name (and nothing started it), or no bus answers: nothing to talk to.
        bool isUnavailable() const;
    };

    // Connects to the session bus; nothing (and `error` says why) without one.
    static std::unique_ptr<ControlClient> connect(std::string* error);
    ~ControlClient();
    ControlClient(const ControlClient&) = delete;
    ControlClient& operator=(const ControlClient&) = delete;

    using Writer = std::function<int(sd_bus_message*)>;
    using Reader = std::function<int(sd_bus_message*)>;

    // Calls a method of the interface. `autoStart`: let the bus start an installed Noctave
    // that is not running. Nothing on success.
    std::optional<Error> call(const char* member, bool autoStart, const Writer& write = {},
                              const Reader& read = {});
    std::optional<Error> status(Status& out);

    sd_bus* bus() { return bus_; }

  private:
    explicit ControlClient(sd_bus* bus) : bus_(bus) {}
    sd_bus* bus_;
};

// Reads an "a{sv}" of properties (Status's reply, PropertiesChanged's second argument) into
// `status`; returns the Property bits it found, or a negative errno.
int readProperties(sd_bus_message* m, Status& status, unsigned* found);

// "State: armed" and so on, one fact a line.
std::string describe(const Status& status);
// One JSON object with every property (`only`: the Property bits to include).
std::string toJson(const Status& status, unsigned only = ~0u);
// "State=armed Holds=1", for `watch`.
std::string describeChanges(const Status& status, unsigned changed);

}  // namespace noctave::control
