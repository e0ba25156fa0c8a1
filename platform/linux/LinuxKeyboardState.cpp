#include "platform/linux/LinuxKeyboardState.hpp"

#include <linux/input.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdint>

#include "core/support/Log.hpp"
#include "platform/linux/InputDevices.hpp"

namespace noctave::linuxos {

namespace {

constexpr std::size_t kBitsPerWord = 8 * sizeof(unsigned long);

void setBit(unsigned long* bits, unsigned code) {
    bits[code / kBitsPerWord] |= 1UL << (code % kBitsPerWord);
}

// Asks the kernel to queue for this descriptor only Fn and the reports that close its packets.
// Unchecked: a kernel without event masks queues every key, which costs wake-ups, not
// correctness, since the reader looks for Fn itself.
void passOnlyFunctionKey(int fd) {
    unsigned long types[(EV_MAX + kBitsPerWord) / kBitsPerWord] = {};
    setBit(types, EV_SYN);
    setBit(types, EV_KEY);
    // Type EV_SYN addresses the mask of event types.
    input_mask typeMask{EV_SYN, sizeof types, reinterpret_cast<std::uintptr_t>(types)};
    ioctl(fd, EVIOCSMASK, &typeMask);
    unsigned long keys[(KEY_MAX + kBitsPerWord) / kBitsPerWord] = {};
    setBit(keys, KEY_FN);
    input_mask keyMask{EV_KEY, sizeof keys, reinterpret_cast<std::uintptr_t>(keys)};
    ioctl(fd, EVIOCSMASK, &keyMask);
}

}  // namespace

LinuxKeyboardState::LinuxKeyboardState(const MachineRoots& roots) {
    InputScan scan = openAllReadableInputs(roots, EV_KEY, KEY_FN);
    fds_ = std::move(scan.fds);
    for (int fd : fds_) {
        passOnlyFunctionKey(fd);
    }
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
    {
        std::lock_guard lock(watcherMutex_);
        watcher_.reset();
    }
    for (int fd : fds_) {
        close(fd);
    }
}

bool LinuxKeyboardState::isFunctionHeld() const {
    constexpr std::size_t kWords = (KEY_MAX + kBitsPerWord) / kBitsPerWord;
    for (int fd : fds_) {
        unsigned long keys[kWords] = {};
        if (ioctl(fd, EVIOCGKEY(sizeof keys), keys) >= 0 && testBit(keys, kWords, KEY_FN)) {
            return true;
        }
    }
    return false;
}

os::KeyboardState::ObserverToken LinuxKeyboardState::addFunctionObserver(
    std::function<void()> onChange) {
    ObserverToken token = 0;
    {
        std::lock_guard lock(mutex_);
        token = nextObserver_++;
        observers_.emplace(token, std::move(onChange));
    }
    std::lock_guard lock(watcherMutex_);
    if (!watcher_ && !fds_.empty()) {
        watcher_ = std::make_unique<PollThread>(
            [this](PollThread::Turn& turn) { return watchTurn(turn); });
    }
    return token;
}

void LinuxKeyboardState::removeFunctionObserver(ObserverToken token) {
    bool last = false;
    {
        std::lock_guard lock(mutex_);
        last = observers_.erase(token) > 0 && observers_.empty();
    }
    if (last) {
        std::lock_guard lock(watcherMutex_);
        watcher_.reset();
    }
}

bool LinuxKeyboardState::watchTurn(PollThread::Turn& turn) {
    if (turn.isFirst) {
        turn.fds.clear();
        for (int fd : fds_) {
            turn.fds.push_back(pollfd{fd, POLLIN, 0});
        }
        return true;
    }
    bool changed = false;
    for (pollfd& watched : turn.fds) {
        if ((watched.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
            watched.fd = -1;  // unplugged: poll skips it from now on
            continue;
        }
        if ((watched.revents & POLLIN) == 0) {
            continue;
        }
        input_event events[16];
        ssize_t got = 0;
        while ((got = read(watched.fd, events, sizeof events)) > 0) {
            for (std::size_t i = 0; i < static_cast<std::size_t>(got) / sizeof events[0]; ++i) {
                const input_event& event = events[i];
                // A press or release (not autorepeat), or a lost packet that may have hidden one.
                changed |= (event.type == EV_KEY && event.code == KEY_FN && event.value != 2) ||
                           (event.type == EV_SYN && event.code == SYN_DROPPED);
            }
        }
    }
    if (changed) {
        std::lock_guard lock(mutex_);
        for (auto& [token, onChange] : observers_) {
            onChange();
        }
    }
    return true;
}

}  // namespace noctave::linuxos
