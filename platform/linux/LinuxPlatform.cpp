#include "platform/linux/LinuxPlatform.hpp"

#include "core/os/Paths.hpp"
#include "core/support/Log.hpp"
#include "platform/linux/LinuxDisplayIdle.hpp"
#include "platform/linux/LinuxDisplays.hpp"
#include "platform/linux/LinuxHidManager.hpp"
#include "platform/linux/LinuxKeyboardState.hpp"
#include "platform/linux/LinuxNotifications.hpp"
#include "platform/linux/LinuxPowerManagement.hpp"
#include "platform/linux/LinuxPowerSources.hpp"
#include "platform/linux/LinuxProcesses.hpp"
#include "platform/linux/LinuxReduceMotion.hpp"
#include "platform/linux/LinuxSessionLock.hpp"
#include "platform/linux/LinuxThermal.hpp"
#include "platform/linux/LinuxVocabulary.hpp"
#include "platform/linux/LinuxWorkspace.hpp"
#include "platform/linux/bus/DBusConnection.hpp"
#include "platform/linux/hotkeys/LinuxHotKeys.hpp"
#include "platform/linux/http/CurlHttpClient.hpp"

namespace noctave::linuxos {

namespace {

// KDE's PowerDevil holds its own lid inhibitor and acts on the lid itself, whatever other
// programs inhibit: say so once, so a lid that still sleeps the machine is explained.
void warnIfDesktopOwnsLid(DBusConnection& session) {
    if (session.nameHasOwner("org.kde.Solid.PowerManagement", 2.0) == true) {
        Log::warn(
            "KDE PowerDevil manages the lid itself (lid handling belongs to the desktop's power "
            "settings)");
    }
}

}  // namespace

std::unique_ptr<os::System> makeSystem() {
    MachineRoots roots;
    auto system = systemBus();
    auto session = sessionBus();
    auto made = std::make_unique<os::System>();
    made->paths = std::make_shared<os::EnvPaths>();
    made->processes = std::make_shared<LinuxProcesses>(roots.proc);
    made->thermal = std::make_shared<LinuxThermal>(roots.sys);
    made->powerManagement = std::make_shared<LinuxPowerManagement>(roots, system, session);
    made->powerSources = std::make_shared<LinuxPowerSources>(roots, system);
    auto displays = std::make_shared<LinuxDisplays>(roots);
    made->displays = displays;
    made->displayIdle = std::make_shared<LinuxDisplayIdle>(session);
    made->sessionLock = std::make_shared<LinuxSessionLock>(system);
    made->hidManager = std::make_shared<LinuxHidManager>(roots);
    made->keyboardState = std::make_shared<LinuxKeyboardState>(roots);
    made->reduceMotion = std::make_shared<LinuxReduceMotion>(session);
    made->workspace = std::make_shared<LinuxWorkspace>(system, session, displays);
    made->httpClient = std::make_shared<CurlHttpClient>();
    made->hotKeys = makeHotKeys();
    made->vocabulary = std::make_shared<LinuxVocabulary>();
    made->notifications = std::make_shared<LinuxNotifications>(session);
    warnIfDesktopOwnsLid(*session);
    return made;
}

}  // namespace noctave::linuxos
