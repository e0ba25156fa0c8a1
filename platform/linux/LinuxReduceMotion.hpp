#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "core/os/ReduceMotion.hpp"
#include "platform/linux/bus/DBusConnection.hpp"

namespace noctave::linuxos {

// The desktop's reduce-motion choice, from the desktop portal's Settings interface on the
// session bus (org.freedesktop.portal.Desktop, /org/freedesktop/portal/desktop):
//  - "org.freedesktop.appearance" "reduced-motion" (u, 1: reduce), the standard key;
//  - GNOME's "org.gnome.desktop.interface" "enable-animations" (b, false: reduce);
//  - KDE's "org.kde.kdeglobals.KDE" "AnimationDurationFactor" (d, 0: reduce).
// Any one of them asking for less motion is enough.
// The keys are read once in the background at construction and kept current through the
// portal's SettingChanged signal, so isEnabled never waits on the bus. No portal, or none of
// the keys: motion allowed.
class LinuxReduceMotion final : public os::ReduceMotion {
  public:
    explicit LinuxReduceMotion(std::shared_ptr<DBusConnection> bus);
    ~LinuxReduceMotion() override;
    LinuxReduceMotion(const LinuxReduceMotion&) = delete;
    LinuxReduceMotion& operator=(const LinuxReduceMotion&) = delete;

    bool isEnabled() const override;

  private:
    // What each key says: -1 not read, 0 motion allowed, 1 reduce. Shared with the bus thread's
    // handlers, which may outlive this object by one turn.
    struct Readings {
        std::atomic<int> standard{-1};
        std::atomic<int> gnome{-1};
        std::atomic<int> kde{-1};
    };

    std::shared_ptr<DBusConnection> bus_;
    std::shared_ptr<Readings> readings_ = std::make_shared<Readings>();
    uint64_t subscription_ = 0;
};

}  // namespace noctave::linuxos
