#pragma once

#include <memory>

namespace noctave::os {

class Paths;
class Processes;
class PowerManagement;
class PowerSources;
class Displays;
class DisplayIdle;
class SessionLockFacility;
class HidManager;
class KeyboardState;
class HttpClient;
class Workspace;
class HotKeys;
class ReduceMotion;
class Thermal;
class Vocabulary;
class DesktopNotifications;

// The process's operating system: one pointer per port. A platform (the virtual laptop, the
// Linux backend) fills the ports it offers; core code reaches them through os::system().
// A port left empty is a facility the platform does not have.
struct System {
    std::shared_ptr<Paths> paths;
    std::shared_ptr<Processes> processes;
    std::shared_ptr<PowerManagement> powerManagement;
    std::shared_ptr<PowerSources> powerSources;
    std::shared_ptr<Displays> displays;
    std::shared_ptr<DisplayIdle> displayIdle;
    std::shared_ptr<SessionLockFacility> sessionLock;
    std::shared_ptr<HidManager> hidManager;
    std::shared_ptr<KeyboardState> keyboardState;
    std::shared_ptr<HttpClient> httpClient;
    std::shared_ptr<Workspace> workspace;
    std::shared_ptr<HotKeys> hotKeys;
    // Empty: motion allowed.
    std::shared_ptr<ReduceMotion> reduceMotion;
    // Empty: no temperature can be read, so nothing is ever cut off for heat.
    std::shared_ptr<Thermal> thermal;
    // Empty: the Mac's words (see Vocabulary.hpp).
    std::shared_ptr<Vocabulary> vocabulary;
    // Empty: no notification centre; notices are shown by the shell only.
    std::shared_ptr<DesktopNotifications> notifications;
};

// The installed system. With none installed, a default one that only knows the XDG paths.
System& system();
bool isSystemInstalled();

// Installs a system for the lifetime of this object, restoring the previous one after.
// The composition root installs one for the whole process; tests install one per test.
class SystemInstaller {
  public:
    explicit SystemInstaller(System& system);
    ~SystemInstaller();
    SystemInstaller(const SystemInstaller&) = delete;
    SystemInstaller& operator=(const SystemInstaller&) = delete;

  private:
    System* previous_;
};

}  // namespace noctave::os
