#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/runtime/Runtime.hpp"

namespace noctave::runtime {

// A runtime in virtual time for tests and the simulated laptop's unattended checks.
//
// Every queue is logical: all jobs of all queues wait in one agenda and run on the thread that
// drives the runtime (advance, runUntilIdle, runFor), strictly in order of due time, jobs due
// at the same time in the order they were posted. Time moves only when the driver moves it.
// `sync` keeps a serial queue's order: the jobs due now that wait on that queue run first.
// Posting is thread-safe, so real threads (a subprocess watcher, say) may feed it.
class ManualRuntime final : public Runtime {
  public:
    ManualRuntime();
    ~ManualRuntime() override;

    Queue& mainQueue() override;
    std::shared_ptr<Queue> makeSerialQueue(std::string label, QoS qos = QoS::utility) override;
    const Clock& clock() const override;
    void runFor(double seconds) override { advance(seconds); }

    // Runs every job due within the next `seconds`, moving the clock to each job's due time,
    // and leaves the clock `seconds` later than it was.
    void advance(double seconds);

    // Runs every job due now, including jobs those jobs post for now.
    void runUntilIdle();

    // Moves the clock to the earliest pending job and runs everything due then.
    // Returns false (and does nothing) when no job is pending.
    bool runNext();

    // Runs jobs in order until `done()` is true or no job is left, moving the clock as needed,
    // but never past `limitSeconds` from now. Returns done().
    bool runUntil(const std::function<bool()>& done, double limitSeconds);

    std::size_t pendingCount() const;
    double now() const;  // monotonic seconds
    void setWallTime(WallTime wall);

    // For queue implementations.
    struct Job;
    class LogicalQueue;
    void post(const std::shared_ptr<LogicalQueue>& queue, int64_t delayNs,
              std::function<void()> fn);
    bool isCurrent(const LogicalQueue* queue) const;
    void runInline(LogicalQueue* queue, const std::function<void()>& fn);

  private:
    class VirtualClock;
    bool runOneDueBy(int64_t limitNs);
    bool runOneQueuedOn(const LogicalQueue* queue, uint64_t postedBefore);

    mutable std::mutex mutex_;
    std::vector<Job> agenda_;  // a heap
    uint64_t nextSeq_ = 0;
    int64_t nowNs_ = 0;
    int64_t wallOffsetNs_;
    std::thread::id driverThread_;
    LogicalQueue* running_ = nullptr;
    std::unique_ptr<VirtualClock> clock_;
    std::shared_ptr<LogicalQueue> main_;
};

}  // namespace noctave::runtime
