#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/linux/bus/DBusConnection.hpp"
#include "platform/linux/lid/LidOwner.hpp"

namespace noctave::linuxos::lid {

// Another process's handle-lid-switch block inhibitor, as logind lists it.
struct LidHolder {
    std::string who;
    uint32_t pid = 0;
    std::string command;  // the process's name, when it can be read

    // "xfce4-power-manager (pid 812)".
    std::string describe() const;
};

// Who decides what a lid close does now.
struct LidOwnership {
    enum class Kind {
        logind,          // no desktop daemon: logind's own settings, which our inhibitor holds
        leavesToLogind,  // a desktop daemon that lets logind act (gsd-power)
        desktop,         // a daemon that acts itself and can be stood down (`owner`)
        unknown,         // something else holds the lid; Noctave cannot hold it
        unreadable,      // logind did not answer
    };
    Kind kind = Kind::logind;
    std::string program;              // the daemon or the unknown holder
    std::unique_ptr<LidOwner> owner;  // for a desktop
    std::vector<LidHolder> holders;   // the other processes' lid inhibitors
    bool isHeldByNoctave = false;     // a Noctave (this one or another) holds a lid inhibitor
};

// Looks at logind's inhibitors and the desktop daemons' names on the session bus (which may
// be null). Our own inhibitors are not counted.
LidOwnership findLidOwner(DBusConnection& systemBus,
                          const std::shared_ptr<DBusConnection>& sessionBus);

// The owner a record names, made anew; null for a program this build does not know or whose
// settings cannot be reached.
std::unique_ptr<LidOwner> makeLidOwner(const std::string& program, const std::string& location,
                                       const std::shared_ptr<DBusConnection>& sessionBus);

}  // namespace noctave::linuxos::lid
