#include "platform/linux/LinuxVocabulary.hpp"

#include "platform/linux/GnomeShellExtension.hpp"
#include "platform/linux/LinuxDisplayIdle.hpp"

namespace noctave::linuxos {

std::string LinuxVocabulary::machine() const {
    return "laptop";
}

std::string LinuxVocabulary::operatingSystem() const {
    return "Linux";
}

std::string LinuxVocabulary::tray() const {
    return "tray";
}

std::string LinuxVocabulary::chord() const {
    return "Ctrl+Alt+Super+L";
}

std::string LinuxVocabulary::powerService() const {
    return "systemd-logind";
}

std::string LinuxVocabulary::lidLock() const {
    return "logind's handle-lid-switch lock";
}

std::string LinuxVocabulary::serviceOpen() const {
    return "logind's Inhibit";
}

std::string LinuxVocabulary::displaySleepPath(uint64_t library) const {
    switch (library) {
        case LinuxDisplayIdle::kMutter:
            return "Mutter's power-save mode";
        case LinuxDisplayIdle::kXDpms:
            return "X11 DPMS";
        case LinuxDisplayIdle::kWlrOutputPower:
            return "wlroots output power";
        default:
            // A path added later that has no name here yet still reads true.
            return "the display server's power saving";
    }
}

std::string LinuxVocabulary::displaySleepCall(uint64_t library) const {
    switch (library) {
        case LinuxDisplayIdle::kMutter:
            return "Mutter's PowerSaveMode";
        case LinuxDisplayIdle::kXDpms:
            return "DPMSForceLevel";
        case LinuxDisplayIdle::kWlrOutputPower:
            return "zwlr_output_power_v1.set_mode";
        default:
            return "the display server's power saving";
    }
}

std::string LinuxVocabulary::sessionLocker() const {
    return "logind's LockSession";
}

std::string LinuxVocabulary::lockAction() const {
    return "logind's LockSession";
}

std::string LinuxVocabulary::lidFlagCall() const {
    return "logind's Inhibit(handle-lid-switch)";
}

std::string LinuxVocabulary::lidFlagArgument(bool set) const {
    return set ? "taken" : "released";
}

std::string LinuxVocabulary::idleAssertion() const {
    return "logind idle";
}

std::string LinuxVocabulary::keepAwakeCommand() const {
    return "$ systemd-inhibit";
}

std::string LinuxVocabulary::updatesArrive() const {
    return "Released builds are updated by the package manager that installed them.";
}

std::string LinuxVocabulary::hingeSensorNote() const {
    return "Fn + lid close needs a laptop with a lid-angle sensor (convertibles and 2-in-1s "
           "whose hinge sensor Linux exposes as an HID or IIO hinge-angle device). Right-click "
           "arming, the keyboard shortcut and the tray menu work on every laptop.";
}

std::string LinuxVocabulary::desktopExtensionNote() const {
    // The command on a line of its own, so that no line break falls inside it.
    return std::string("On GNOME, Quick Settings can hold Noctave:\ngnome-extensions enable ") +
           kGnomeExtensionUuid;
}

}  // namespace noctave::linuxos
