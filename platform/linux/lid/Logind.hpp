#pragma once

#include <optional>
#include <string>

#include "platform/linux/bus/DBusConnection.hpp"

namespace noctave::linuxos::lid {

// A block inhibitor from logind ("handle-lid-switch", "sleep", "idle"), taken as "Noctave":
// its fd (close-on-exec), or -1 with `status` saying why.
int takeInhibitor(DBusConnection& systemBus, const std::string& what, const std::string& why,
                  CallStatus& status);

// A failed call as the positive errno the power interface returns.
int errnoOf(const CallStatus& status);

// One property of logind's Manager, or no value when logind does not answer.
std::optional<std::string> logindString(DBusConnection& systemBus, const char* name);
std::optional<bool> logindBool(DBusConnection& systemBus, const char* name);

}  // namespace noctave::linuxos::lid
