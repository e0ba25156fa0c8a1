#pragma once

namespace noctave::os {

// The desktop's "reduce motion" accessibility choice: animations jump to their end instead of
// running. An empty port in os::System means motion is allowed.
class ReduceMotion {
  public:
    virtual ~ReduceMotion() = default;

    // Read afresh on every call (the user may change it while the program runs); main thread.
    virtual bool isEnabled() const = 0;
};

}  // namespace noctave::os
