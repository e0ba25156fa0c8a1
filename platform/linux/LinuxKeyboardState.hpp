#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "core/os/KeyboardState.hpp"
#include "platform/linux/MachineRoots.hpp"
#include "platform/linux/bus/PollThread.hpp"

namespace noctave::linuxos {

// The Fn key from evdev: the keyboards that advertise KEY_FN (Apple keyboards under hid-apple
// do), asked with EVIOCGKEY on every call. The devices are chosen once, at construction; when
// none can be read (the user is not in the "input" group, or no keyboard reports Fn, as on
// most PC laptops whose firmware keeps Fn to itself) Fn is never held, and one info line says
// why.
//
// Fn is announced: while someone observes it, a PollThread waits on the devices, which are
// told (EVIOCSMASK) to pass on nothing but Fn, so typing does not wake it. Without a readable
// device Fn never changes, and observers are accepted and never called.
class LinuxKeyboardState final : public os::KeyboardState {
  public:
    explicit LinuxKeyboardState(const MachineRoots& roots);
    ~LinuxKeyboardState() override;
    LinuxKeyboardState(const LinuxKeyboardState&) = delete;
    LinuxKeyboardState& operator=(const LinuxKeyboardState&) = delete;

    bool isFunctionHeld() const override;
    bool isReadable() const { return !fds_.empty(); }

    ObserverToken addFunctionObserver(std::function<void()> onChange) override;
    void removeFunctionObserver(ObserverToken token) override;

  private:
    bool watchTurn(PollThread::Turn& turn);

    std::vector<int> fds_;
    std::mutex mutex_;  // the observers; held while they run, so removal waits for them
    std::map<ObserverToken, std::function<void()>> observers_;
    ObserverToken nextObserver_ = 1;
    std::mutex watcherMutex_;  // starting and stopping the watcher
    std::unique_ptr<PollThread> watcher_;
};

}  // namespace noctave::linuxos
