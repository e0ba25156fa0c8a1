#pragma once

#include <functional>
#include <memory>

#include "core/os/Displays.hpp"

namespace noctave {

// Reports display reconfigurations as two phases and counts the active external displays.
//
// onChange runs on the thread the system delivers on (not the main thread): once per affected
// display with willChange, then once per affected display with didChange; nothing is filtered.
class DisplayObserver {
  public:
    enum class Phase { willChange, didChange };

    DisplayObserver() = default;
    ~DisplayObserver();
    DisplayObserver(const DisplayObserver&) = delete;
    DisplayObserver& operator=(const DisplayObserver&) = delete;

    // False when already started (nothing logged) or when registration fails (logged).
    bool start();
    // Idempotent; the observer can be started again afterwards.
    void stop();
    bool isStarted() const { return started_; }

    // Active displays that are not the built-in panel; 0 when the list cannot be read. Any
    // thread, no observer needed.
    static int externalDisplayCount();

    std::function<void(Phase)> onChange;

  private:
    void handleReconfiguration(uint32_t flags);

    bool started_ = false;
    os::Displays::Registration registration_ = 0;
    std::shared_ptr<os::Displays> displays_;
};

}  // namespace noctave
