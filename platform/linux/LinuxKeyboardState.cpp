#include "platform/linux/LinuxKeyboardState.hpp"

#include <linux/input.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "core/support/Log.hpp"
#include "platform/linux/InputDevices.hpp"

namespace noctave::linuxos {

LinuxKeyboardState::LinuxKeyboardState(const MachineRoots& roots) {
    InputScan scan = openAllReadableInputs(roots, EV_KEY, KEY_FN);
    fds_ = std::move(scan.fds);
    if (!fds_.empty()) {
        return;
    }
    if (scan.nodes == 0) {
        Log::info("fn key unreadable (no input event devices); fn is never held");
    } else if (scan.deniedNodes > 0) {
        Log::info(
            "fn key unreadable (no permission for input event devices; join the input group); "
            "fn is never held");
    } else {
        Log::info("fn key unreadable (no keyboard reports an fn key); fn is never held");
    }
}

LinuxKeyboardState::~LinuxKeyboardState() {
    for (int fd : fds_) {
        close(fd);
    }
}

bool LinuxKeyboardState::isFunctionHeld() const {
    constexpr std::size_t kWords =
        (KEY_MAX + 8 * sizeof(unsigned long)) / (8 * sizeof(unsigned long));
    for (int fd : fds_) {
        unsigned long keys[kWords] = {};
        if (ioctl(fd, EVIOCGKEY(sizeof keys), keys) >= 0 && testBit(keys, kWords, KEY_FN)) {
            return true;
        }
    }
    return false;
}

}  // namespace noctave::linuxos
