#pragma once

#include <functional>
#include <string>

namespace noctave::runtime {

enum class QoS { userInteractive, userInitiated, utility, background };

// A serial execution context: jobs run one at a time, in the order they become due.
// Jobs due at the same time run in the order they were posted.
//
// Thread-safety: every member may be called from any thread.
class Queue {
  public:
    virtual ~Queue() = default;

    // Runs fn on this queue as soon as possible. Never runs it inline.
    virtual void async(std::function<void()> fn) = 0;

    // Runs fn on this queue once `seconds` of monotonic time have passed (0 or less: as async).
    virtual void asyncAfter(double seconds, std::function<void()> fn) = 0;

    // Runs fn on this queue and waits for it. Called from a job of this queue, it runs fn inline.
    // Never call it from a queue that this queue may itself be waiting on.
    virtual void sync(const std::function<void()>& fn) = 0;

    // True while the calling code is a job of this queue (for the main queue: the main thread).
    virtual bool isCurrent() const = 0;

    virtual const std::string& label() const = 0;

  protected:
    // The usual sync for a queue backed by a thread: inline when already on this queue,
    // otherwise post fn and wait for it.
    void postAndWait(const std::function<void()>& fn);
};

}  // namespace noctave::runtime
