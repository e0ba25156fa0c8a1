#pragma once

#include <functional>
#include <memory>
#include <mutex>

namespace noctave::sim {

// Tells one observer, on the main queue, that something a person could see on the virtual
// laptop changed. The pieces of hardware a window shows share one, so that a knob which changes
// several of them (the lid opening lights the panel too) still makes one call.
class SimChangeNotifier : public std::enable_shared_from_this<SimChangeNotifier> {
  public:
    static std::shared_ptr<SimChangeNotifier> make();

    // One observer; an empty function removes it. Never called while none is set.
    void setObserver(std::function<void()> observer);

    // Something changed. Any thread, also under a piece's own lock: it only posts, and changes
    // in a row before the call runs make that one call.
    void note();

  private:
    SimChangeNotifier() = default;

    std::mutex mutex_;
    std::function<void()> observer_;
    bool pending_ = false;
};

}  // namespace noctave::sim
