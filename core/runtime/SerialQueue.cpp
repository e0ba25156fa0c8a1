#include "core/runtime/SerialQueue.hpp"

#include <algorithm>

namespace noctave::runtime {

namespace {
struct Later {
    bool operator()(const JobHeap::Job& a, const JobHeap::Job& b) const {
        return a.due != b.due ? a.due > b.due : a.seq > b.seq;
    }
};

JobHeap::TimePoint dueIn(double seconds) {
    auto now = std::chrono::steady_clock::now();
    if (!(seconds > 0)) {
        return now;
    }
    return now + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                     std::chrono::duration<double>(seconds));
}
}  // namespace

void JobHeap::push(TimePoint due, std::function<void()> fn) {
    jobs_.push_back(Job{due, nextSeq_++, std::move(fn)});
    std::push_heap(jobs_.begin(), jobs_.end(), Later{});
}

JobHeap::Job JobHeap::pop() {
    std::pop_heap(jobs_.begin(), jobs_.end(), Later{});
    Job job = std::move(jobs_.back());
    jobs_.pop_back();
    return job;
}

struct SerialQueue::Shared {
    std::mutex mutex;
    std::condition_variable wake;
    JobHeap heap;
    bool stopping = false;
    std::thread::id workerId;
};

SerialQueue::SerialQueue(std::string label)
    : label_(std::move(label)), shared_(std::make_shared<Shared>()) {
    // The worker holds the shared state itself, so a detached worker stays valid.
    worker_ = std::thread([shared = shared_] {
        std::unique_lock lock(shared->mutex);
        while (true) {
            if (shared->stopping) {
                break;
            }
            if (shared->heap.empty()) {
                shared->wake.wait(lock);
                continue;
            }
            if (shared->heap.nextDue() > std::chrono::steady_clock::now()) {
                shared->wake.wait_until(lock, shared->heap.nextDue());
                continue;
            }
            JobHeap::Job job = shared->heap.pop();
            lock.unlock();
            job.fn();
            job.fn = nullptr;  // release captures before taking the lock again
            lock.lock();
        }
        shared->heap.clear();
    });
    std::lock_guard lock(shared_->mutex);
    shared_->workerId = worker_.get_id();
}

SerialQueue::~SerialQueue() {
    JobHeap dropped;
    {
        std::lock_guard lock(shared_->mutex);
        shared_->stopping = true;
        std::swap(dropped, shared_->heap);
    }
    shared_->wake.notify_all();
    if (worker_.get_id() == std::this_thread::get_id()) {
        worker_.detach();
    } else {
        worker_.join();
    }
}

void SerialQueue::async(std::function<void()> fn) {
    asyncAfter(0, std::move(fn));
}

void SerialQueue::asyncAfter(double seconds, std::function<void()> fn) {
    {
        std::lock_guard lock(shared_->mutex);
        if (shared_->stopping) {
            return;
        }
        shared_->heap.push(dueIn(seconds), std::move(fn));
    }
    shared_->wake.notify_one();
}

void SerialQueue::sync(const std::function<void()>& fn) {
    postAndWait(fn);
}

bool SerialQueue::isCurrent() const {
    std::lock_guard lock(shared_->mutex);
    return shared_->workerId == std::this_thread::get_id();
}

RunLoopQueue::RunLoopQueue() : owner_(std::this_thread::get_id()) {}

void RunLoopQueue::async(std::function<void()> fn) {
    asyncAfter(0, std::move(fn));
}

void RunLoopQueue::asyncAfter(double seconds, std::function<void()> fn) {
    {
        std::lock_guard lock(mutex_);
        heap_.push(dueIn(seconds), std::move(fn));
    }
    wake_.notify_one();
}

void RunLoopQueue::sync(const std::function<void()>& fn) {
    postAndWait(fn);
}

bool RunLoopQueue::isCurrent() const {
    return std::this_thread::get_id() == owner_;
}

void RunLoopQueue::runFor(double seconds) {
    runUntil([] { return false; }, seconds);
}

bool RunLoopQueue::runUntil(const std::function<bool()>& done, double seconds) {
    const auto deadline = dueIn(seconds);
    std::unique_lock lock(mutex_);
    while (!done()) {
        const auto now = std::chrono::steady_clock::now();
        if (!heap_.empty() && heap_.nextDue() <= now) {
            JobHeap::Job job = heap_.pop();
            lock.unlock();
            job.fn();
            job.fn = nullptr;
            lock.lock();
            continue;
        }
        if (now >= deadline) {
            break;
        }
        auto until = deadline;
        if (!heap_.empty()) {
            until = std::min(until, heap_.nextDue());
        }
        wake_.wait_until(lock, until);
    }
    lock.unlock();
    return done();
}

}  // namespace noctave::runtime
