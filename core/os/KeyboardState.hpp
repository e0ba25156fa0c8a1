#pragma once

namespace noctave::os {

// The keyboard's modifier state as the whole login session sees it.
class KeyboardState {
  public:
    virtual ~KeyboardState() = default;

    // Whether the Fn (secondary-function) key is down at this moment. Read afresh on every
    // call, never cached; callable from any thread, allocation-free.
    virtual bool isFunctionHeld() const = 0;
};

}  // namespace noctave::os
