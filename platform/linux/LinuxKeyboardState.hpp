#pragma once

#include <vector>

#include "core/os/KeyboardState.hpp"
#include "platform/linux/MachineRoots.hpp"

namespace noctave::linuxos {

// The Fn key from evdev: the keyboards that advertise KEY_FN (Apple keyboards under hid-apple
// do), asked with EVIOCGKEY on every call. The devices are chosen once, at construction; when
// none can be read (the user is not in the "input" group, or no keyboard reports Fn, as on
// most PC laptops whose firmware keeps Fn to itself) Fn is never held, and one info line says
// why.
class LinuxKeyboardState final : public os::KeyboardState {
  public:
    explicit LinuxKeyboardState(const MachineRoots& roots);
    ~LinuxKeyboardState() override;
    LinuxKeyboardState(const LinuxKeyboardState&) = delete;
    LinuxKeyboardState& operator=(const LinuxKeyboardState&) = delete;

    bool isFunctionHeld() const override;
    bool isReadable() const { return !fds_.empty(); }

  private:
    std::vector<int> fds_;
};

}  // namespace noctave::linuxos
