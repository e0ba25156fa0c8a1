#pragma once

#include "core/os/HidManager.hpp"
#include "platform/linux/MachineRoots.hpp"

namespace noctave::linuxos {

// HID devices through hidraw: a device matches when the first top-level collection of its
// report descriptor has the asked usage page and usage; feature reports are read with
// HIDIOCGFEATURE. For the hinge sensor's usage, an IIO "hinge" angle channel is offered as
// a second device that answers the same feature report (id, angle low byte, angle high byte).
class LinuxHidManager final : public os::HidManager {
  public:
    explicit LinuxHidManager(MachineRoots roots) : roots_(std::move(roots)) {}
    std::unique_ptr<os::HidManagerSession> create(const os::HidMatching& matching) override;

  private:
    MachineRoots roots_;
};

}  // namespace noctave::linuxos
