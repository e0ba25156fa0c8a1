#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "core/runtime/Queue.hpp"

namespace noctave::runtime {

// A one-shot or repeating timer whose handler runs on a queue.
//
// The timer starts when it is made. A repeating timer keeps a fixed cadence: its n-th firing
// is due `n * interval` after the start, however late earlier firings ran. `leeway` is the
// slack the system may add to each firing to save power; a virtual runtime fires on time.
//
// Cancelling or destroying the timer guarantees that its handler does not start afterwards;
// called from another thread while the handler runs, it waits for that run to end. The
// handler may cancel or destroy its own timer. The queue must outlive the timer.
//
// A firing costs no heap allocation: what the queue holds is a small plain job that finds the
// timer again when it runs.
class Timer {
  public:
    static std::unique_ptr<Timer> oneShot(Queue& queue, double after, double leeway,
                                          std::function<void()> handler);
    static std::unique_ptr<Timer> repeating(Queue& queue, double interval, double leeway,
                                            std::function<void()> handler);

    ~Timer();
    Timer(const Timer&) = delete;
    Timer& operator=(const Timer&) = delete;

    void cancel();
    bool isValid() const;  // false once cancelled, or once a one-shot timer has fired
    double interval() const { return interval_; }
    double leeway() const { return leeway_; }
    bool repeats() const { return repeats_; }

    struct State;  // defined and used only in Timer.cpp

  private:
    Timer(Queue& queue, double interval, double leeway, bool repeats,
          std::function<void()> handler);
    static void schedule(const State& state, double delay);
    static void fire(uint32_t slot, uint32_t generation);

    std::shared_ptr<State> state_;
    double interval_;
    double leeway_;
    bool repeats_;
};

}  // namespace noctave::runtime
