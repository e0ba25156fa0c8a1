#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <mutex>

#include "core/os/KeyboardState.hpp"

namespace noctave::sim {

class SimKeys;

// The virtual laptop's keyboard: only Fn matters to the program. It announces Fn as it
// changes, on the thread that sets it, unless told to behave like a keyboard that can only be
// polled.
class SimKeyboard final : public os::KeyboardState {
  public:
    bool isFunctionHeld() const override { return held_.load(); }
    // Tells the observers when the state changes.
    void setFunctionHeld(bool held);

    ObserverToken addFunctionObserver(std::function<void()> onChange) override;
    void removeFunctionObserver(ObserverToken token) override;
    // false: later observers are refused, as on a platform that cannot announce Fn.
    void setAnnouncesChanges(bool announces);

    // fn=up|down
    void registerKeys(SimKeys& keys);

  private:
    std::atomic<bool> held_{false};
    std::mutex mutex_;  // held while observers run, so removal waits for them
    std::map<ObserverToken, std::function<void()>> observers_;
    ObserverToken nextObserver_ = 1;
    bool announces_ = true;
};

}  // namespace noctave::sim
