#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/os/Workspace.hpp"
#include "platform/linux/bus/DBusConnection.hpp"

namespace noctave::linuxos {

class LinuxDisplays;

// The session's notifications on Linux:
// - didWake: logind PrepareForSleep(false);
// - screensDidWake: the same, and the screensaver ending (GNOME/freedesktop ActiveChanged
//   false) or Mutter leaving power saving, on the session bus;
// - sessionDidBecomeActive: our logind session's Active turning true (any session's when we
//   cannot tell which one is ours);
// - screenParametersDidChange: a DRM connector change.
class LinuxWorkspace final : public os::Workspace {
  public:
    LinuxWorkspace(std::shared_ptr<DBusConnection> systemBus,
                   std::shared_ptr<DBusConnection> sessionBus,
                   std::shared_ptr<LinuxDisplays> displays);
    ~LinuxWorkspace() override;

    Token addObserver(Notification notification, std::function<void()> handler) override;
    void removeObserver(Token token) override;

  private:
    struct Observer;

    std::string ownSessionPath();

    std::shared_ptr<DBusConnection> system_;
    std::shared_ptr<DBusConnection> session_;
    std::shared_ptr<LinuxDisplays> displays_;
    std::mutex mutex_;
    std::map<Token, std::shared_ptr<Observer>> observers_;
    Token next_ = 1;
};

}  // namespace noctave::linuxos
