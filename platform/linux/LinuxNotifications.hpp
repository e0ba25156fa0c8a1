#pragma once

#include <memory>
#include <mutex>

#include "core/os/DesktopNotifications.hpp"
#include "core/runtime/Queue.hpp"
#include "platform/linux/bus/DBusConnection.hpp"

namespace noctave::linuxos {

// org.freedesktop.Notifications.Notify on the session bus, made on a queue of its own so that
// the caller never waits for the notification server. A bus without one (no desktop, a
// headless session) answers with an error, which is logged and otherwise dropped.
class LinuxNotifications final : public os::DesktopNotifications {
  public:
    explicit LinuxNotifications(std::shared_ptr<DBusConnection> sessionBus);

    void post(const std::string& title, const std::string& body) override;

  private:
    std::shared_ptr<DBusConnection> bus_;
    std::mutex mutex_;
    // Made at the first notice: the platform is built before the runtime is installed.
    std::shared_ptr<runtime::Queue> queue_;
};

}  // namespace noctave::linuxos
