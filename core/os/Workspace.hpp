#pragma once

#include <cstdint>
#include <functional>

namespace noctave::os {

// The desktop session's notifications about the machine and its screens.
//
// Thread-safety: add and remove may be called from any thread; handlers run on the main queue,
// posted asynchronously, never inline from add or remove.
class Workspace {
  public:
    virtual ~Workspace() = default;

    enum class Notification {
        didWake,                    // the machine woke from sleep
        screensDidWake,             // the screens woke (the machine may not have slept)
        sessionDidBecomeActive,     // the user's session became the active one again
        screenParametersDidChange,  // the screen arrangement or resolution changed
    };

    using Token = uint64_t;  // 0: none

    // Calls `handler` on the main queue for every `notification` from now on. Never returns 0.
    virtual Token addObserver(Notification notification, std::function<void()> handler) = 0;

    // No handler of this registration starts afterwards. Unknown tokens: no-op.
    virtual void removeObserver(Token token) = 0;
};

}  // namespace noctave::os
