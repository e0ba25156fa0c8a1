#pragma once

#include <memory>

#include "platform/linux/bus/DBusConnection.hpp"
#include "platform/linux/lid/LidOwner.hpp"

namespace noctave::linuxos::lid {

// xfce4-power-manager keeps its settings in xfconf, reached through xfconfd on the session
// bus (which starts it on demand); the daemon watches its channel, so no reload is needed.
// Asked to leave the lid to logind, it drops its own lid inhibitor and logind obeys ours.
// Values are typed text ("b:true", "u:1", "s:text"); a property the user never set reads as
// none and is reset on restore.
std::unique_ptr<LidOwner> makeXfceLidOwner(std::shared_ptr<DBusConnection> sessionBus);

}  // namespace noctave::linuxos::lid
