#pragma once

#include <atomic>

#include "core/os/ReduceMotion.hpp"

namespace noctave::sim {

class SimKeys;

// The virtual desktop's reduce-motion switch; off unless a test or NOCTAVE_SIM turns it on.
class SimReduceMotion final : public os::ReduceMotion {
  public:
    bool isEnabled() const override { return enabled_.load(); }
    void setEnabled(bool enabled) { enabled_.store(enabled); }

    // reducemotion=1|0
    void registerKeys(SimKeys& keys);

  private:
    std::atomic<bool> enabled_{false};
};

}  // namespace noctave::sim
