#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/runtime/Queue.hpp"

namespace noctave::runtime {

// Jobs ordered by due time (ties: posting order), shared by the real queues below.
class JobHeap {
  public:
    using TimePoint = std::chrono::steady_clock::time_point;
    struct Job {
        TimePoint due;
        uint64_t seq;
        std::function<void()> fn;
    };

    void push(TimePoint due, std::function<void()> fn);
    bool empty() const { return jobs_.empty(); }
    TimePoint nextDue() const { return jobs_.front().due; }
    Job pop();
    void clear() { jobs_.clear(); }

  private:
    std::vector<Job> jobs_;
    uint64_t nextSeq_ = 0;
};

// A labelled serial queue backed by one worker thread with a timer heap.
// Destroying it drops jobs that have not started and joins the worker (from the worker itself,
// as when a job lets go of the last reference, the worker is detached and ends after the job).
class SerialQueue final : public Queue {
  public:
    explicit SerialQueue(std::string label);
    ~SerialQueue() override;

    void async(std::function<void()> fn) override;
    void asyncAfter(double seconds, std::function<void()> fn) override;
    void sync(const std::function<void()>& fn) override;
    bool isCurrent() const override;
    const std::string& label() const override { return label_; }

  private:
    struct Shared;
    std::string label_;
    std::shared_ptr<Shared> shared_;
    std::thread worker_;
};

// The main queue of a plain (non-Qt) process: jobs run on the thread that made it, while that
// thread is inside runFor() or runUntil().
class RunLoopQueue final : public Queue {
  public:
    RunLoopQueue();
    void async(std::function<void()> fn) override;
    void asyncAfter(double seconds, std::function<void()> fn) override;
    void sync(const std::function<void()>& fn) override;
    bool isCurrent() const override;
    const std::string& label() const override { return label_; }

    // Runs jobs as they come due until `seconds` have passed.
    void runFor(double seconds);
    // Runs jobs until done() is true after a job, or `seconds` have passed. Returns done().
    bool runUntil(const std::function<bool()>& done, double seconds);

  private:
    std::string label_ = "main";
    std::thread::id owner_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    JobHeap heap_;
};

}  // namespace noctave::runtime
