#pragma once

#include <atomic>

#include "core/os/KeyboardState.hpp"

namespace noctave::sim {

class SimKeys;

class VirtualLaptop;

// The virtual laptop's keyboard: only Fn matters to the program.
class SimKeyboard final : public os::KeyboardState {
  public:
    bool isFunctionHeld() const override { return held_.load(); }
    void setFunctionHeld(bool held) { held_.store(held); }

    // fn=up|down
    void registerKeys(SimKeys& keys);

  private:
    std::atomic<bool> held_{false};
};

}  // namespace noctave::sim
