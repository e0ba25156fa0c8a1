#pragma once

#include "core/os/Vocabulary.hpp"

namespace noctave::linuxos {

// The words that are true on a Linux laptop: the lid is held by logind's handle-lid-switch
// inhibitor, the displays sleep through Mutter's power-save mode, X11 DPMS or wlroots output
// power (named by the LinuxDisplayIdle handle that acted), the session is locked by logind's
// LockSession, the chord is written the way GNOME and KDE write it, and packages bring updates.
class LinuxVocabulary final : public os::Vocabulary {
  public:
    std::string machine() const override;
    std::string operatingSystem() const override;
    std::string tray() const override;
    std::string chord() const override;
    std::string powerService() const override;
    std::string lidLock() const override;
    std::string serviceOpen() const override;
    std::string displaySleepPath(uint64_t library) const override;
    std::string displaySleepCall(uint64_t library) const override;
    std::string sessionLocker() const override;
    std::string lockAction() const override;
    std::string lidFlagCall() const override;
    std::string lidFlagArgument(bool set) const override;
    std::string idleAssertion() const override;
    std::string keepAwakeCommand() const override;
    std::string updatesArrive() const override;
    std::string hingeSensorNote() const override;
    std::string desktopExtensionNote() const override;
};

}  // namespace noctave::linuxos
