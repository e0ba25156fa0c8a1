#include "platform/linux/lid/LidOwners.hpp"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <fstream>

#include "platform/linux/bus/BusNames.hpp"
#include "platform/linux/lid/GSettingsLidOwner.hpp"
#include "platform/linux/lid/PowerDevilLidOwner.hpp"
#include "platform/linux/lid/XfconfLidOwner.hpp"

namespace noctave::linuxos::lid {

namespace {

constexpr double kTimeout = 2.0;

// The desktops' power managers: their name on the session bus, and what their inhibitor's
// "who" or their process name (cut to 15 bytes by the kernel) contains.
struct KnownDaemon {
    const char* program;
    const char* busName;
    const char* mark;
    bool actsOnLid;
};
constexpr KnownDaemon kKnown[] = {
    {"PowerDevil", "org.kde.Solid.PowerManagement", "powerde", true},
    {"xfce4-power-manager", "org.xfce.PowerManager", "xfce4-power", true},
    {"mate-power-manager", "org.mate.PowerManager", "mate-power", true},
    {"csd-power", "org.cinnamon.SettingsDaemon.Power", "csd-power", true},
    {"gsd-power", "org.gnome.SettingsDaemon.Power", "gsd-power", false},
};

std::string lowercase(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

const KnownDaemon* knownHolder(const LidHolder& holder) {
    const std::string text = lowercase(holder.who + " " + holder.command);
    for (const auto& daemon : kKnown) {
        if (text.find(daemon.mark) != std::string::npos) {
            return &daemon;
        }
    }
    return nullptr;
}

std::string commandOf(uint32_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    std::getline(in, name);
    return name;
}

}  // namespace

std::string LidHolder::describe() const {
    std::string name = who;
    if (!command.empty() && lowercase(command) != lowercase(who)) {
        name += name.empty() ? command : " (" + command + ")";
    }
    return name + " (pid " + std::to_string(pid) + ")";
}

std::unique_ptr<LidOwner> makeLidOwner(const std::string& program, const std::string& location,
                                       const std::shared_ptr<DBusConnection>& sessionBus) {
    if (program == "PowerDevil") {
        if (!location.empty()) {
            return makePowerDevilLidOwner(PowerDevilFiles::ofLocation(location), sessionBus);
        }
        auto files = PowerDevilFiles::ofSession();
        files.versions = plasmaVersions(files.configHome, sessionBus);
        return makePowerDevilLidOwner(std::move(files), sessionBus);
    }
    if (program == "xfce4-power-manager") {
        return makeXfceLidOwner(sessionBus);
    }
    if (program == "mate-power-manager") {
        return makeMateLidOwner();
    }
    if (program == "csd-power") {
        return makeCinnamonLidOwner();
    }
    return nullptr;
}

LidOwnership findLidOwner(DBusConnection& systemBus,
                          const std::shared_ptr<DBusConnection>& sessionBus) {
    LidOwnership found;
    const auto self = static_cast<uint32_t>(::getpid());
    const CallStatus status = systemBus.call(
        {kLogin, kLoginPath, kLoginManager, "ListInhibitors"}, {},
        [&](sd_bus_message* m) {
            int r = sd_bus_message_enter_container(m, 'a', "(ssssuu)");
            if (r < 0) {
                return r;
            }
            const char* what = nullptr;
            const char* who = nullptr;
            const char* why = nullptr;
            const char* mode = nullptr;
            uint32_t uid = 0;
            uint32_t pid = 0;
            while ((r = sd_bus_message_read(m, "(ssssuu)", &what, &who, &why, &mode, &uid, &pid)) >
                   0) {
                if (std::strstr(what, "handle-lid-switch") == nullptr ||
                    std::strcmp(mode, "block") != 0) {
                    continue;
                }
                if (pid == self || std::strcmp(who, "Noctave") == 0) {
                    found.isHeldByNoctave = true;
                } else {
                    found.holders.push_back({who, pid, commandOf(pid)});
                }
            }
            return r < 0 ? r : sd_bus_message_exit_container(m);
        },
        kTimeout);
    if (!status.ok()) {
        found.kind = LidOwnership::Kind::unreadable;
        return found;
    }
    const KnownDaemon* daemon = nullptr;
    for (const auto& holder : found.holders) {
        const KnownDaemon* known = knownHolder(holder);
        if (known == nullptr) {
            found.kind = LidOwnership::Kind::unknown;
            found.program = holder.describe();
            return found;
        }
        if (daemon == nullptr || (known->actsOnLid && !daemon->actsOnLid)) {
            daemon = known;
        }
    }
    // A daemon may be between inhibitors (gsd-power takes one only around monitor changes):
    // its name on the session bus says it is there.
    if (daemon == nullptr && sessionBus) {
        for (const auto& known : kKnown) {
            if (sessionBus->nameHasOwner(known.busName, kTimeout) == true) {
                daemon = &known;
                break;
            }
        }
    }
    if (daemon == nullptr) {
        return found;
    }
    found.program = daemon->program;
    if (!daemon->actsOnLid) {
        found.kind = LidOwnership::Kind::leavesToLogind;
        return found;
    }
    found.kind = LidOwnership::Kind::desktop;
    found.owner = makeLidOwner(daemon->program, {}, sessionBus);
    return found;
}

}  // namespace noctave::linuxos::lid
