#pragma once

#include <cstdint>
#include <functional>

namespace noctave::os {

// The keyboard's modifier state as the whole login session sees it.
class KeyboardState {
  public:
    using ObserverToken = uint64_t;

    virtual ~KeyboardState() = default;

    // Whether the Fn (secondary-function) key is down at this moment. Read afresh on every
    // call, never cached; callable from any thread, allocation-free.
    virtual bool isFunctionHeld() const = 0;

    // Fn announced as it changes, where the platform can tell. `onChange` runs on the thread
    // that saw the change (the platform's own, or whoever drives a virtual keyboard) after Fn
    // may have gone down or up; it reads isFunctionHeld() afresh, expects repeats, and only
    // hands the news on (posts it to a queue): it must not add or remove observers. Returns a
    // token for removeFunctionObserver, or 0 when the platform cannot announce Fn: poll then.
    virtual ObserverToken addFunctionObserver(std::function<void()> onChange) {
        (void)onChange;
        return 0;
    }
    // Once it returns, the observer is not running and never runs again. 0 is ignored.
    virtual void removeFunctionObserver(ObserverToken token) { (void)token; }
};

}  // namespace noctave::os
