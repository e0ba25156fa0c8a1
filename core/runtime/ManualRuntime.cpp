#include "core/runtime/ManualRuntime.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace noctave::runtime {

namespace {
constexpr int64_t kNsPerSecond = 1'000'000'000;

int64_t toNs(double seconds) {
    if (!(seconds > 0)) {
        return 0;
    }
    return std::llround(seconds * static_cast<double>(kNsPerSecond));
}

// 2026-12-05T12:00:00Z: a fixed start keeps stamps in test output reproducible.
constexpr int64_t kDefaultWallStartNs = 1'796'472'000LL * kNsPerSecond;
}  // namespace

struct ManualRuntime::Job {
    int64_t dueNs;
    uint64_t seq;
    std::weak_ptr<LogicalQueue> queue;
    std::function<void()> fn;
};

namespace {
struct Later {
    bool operator()(const ManualRuntime::Job& a, const ManualRuntime::Job& b) const {
        return a.dueNs != b.dueNs ? a.dueNs > b.dueNs : a.seq > b.seq;
    }
};
}  // namespace

class ManualRuntime::VirtualClock final : public Clock {
  public:
    explicit VirtualClock(const ManualRuntime& owner) : owner_(owner) {}
    double monotonic() const override { return owner_.now(); }
    WallTime wall() const override {
        std::lock_guard lock(owner_.mutex_);
        return WallTime(std::chrono::duration_cast<WallTime::duration>(
            std::chrono::nanoseconds(owner_.nowNs_ + owner_.wallOffsetNs_)));
    }

  private:
    const ManualRuntime& owner_;
};

class ManualRuntime::LogicalQueue final : public Queue,
                                          public std::enable_shared_from_this<LogicalQueue> {
  public:
    LogicalQueue(ManualRuntime& owner, std::string label)
        : owner_(owner), label_(std::move(label)) {}

    void async(std::function<void()> fn) override {
        owner_.post(shared_from_this(), 0, std::move(fn));
    }
    void asyncAfter(double seconds, std::function<void()> fn) override {
        owner_.post(shared_from_this(), toNs(seconds), std::move(fn));
    }
    void sync(const std::function<void()>& fn) override { owner_.runInline(this, fn); }
    bool isCurrent() const override { return owner_.isCurrent(this); }
    const std::string& label() const override { return label_; }

  private:
    ManualRuntime& owner_;
    std::string label_;
};

ManualRuntime::ManualRuntime()
    : wallOffsetNs_(kDefaultWallStartNs),
      driverThread_(std::this_thread::get_id()),
      clock_(std::make_unique<VirtualClock>(*this)),
      main_(std::make_shared<LogicalQueue>(*this, "main")) {}

ManualRuntime::~ManualRuntime() {
    // Jobs may hold objects whose destructors post again; drop them outside the lock.
    std::vector<Job> pending;
    {
        std::lock_guard lock(mutex_);
        pending.swap(agenda_);
    }
}

Queue& ManualRuntime::mainQueue() {
    return *main_;
}

std::shared_ptr<Queue> ManualRuntime::makeSerialQueue(std::string label, QoS /*qos*/) {
    return std::make_shared<LogicalQueue>(*this, std::move(label));
}

const Clock& ManualRuntime::clock() const {
    return *clock_;
}

void ManualRuntime::post(const std::shared_ptr<LogicalQueue>& queue, int64_t delayNs,
                         std::function<void()> fn) {
    std::lock_guard lock(mutex_);
    agenda_.push_back(Job{nowNs_ + delayNs, nextSeq_++, queue, std::move(fn)});
    std::push_heap(agenda_.begin(), agenda_.end(), Later{});
}

bool ManualRuntime::isCurrent(const LogicalQueue* queue) const {
    if (std::this_thread::get_id() != driverThread_) {
        return false;
    }
    // Code outside any job (a test body, the command-line driver) plays the main thread.
    const LogicalQueue* running = running_ != nullptr ? running_ : main_.get();
    return running == queue;
}

void ManualRuntime::runInline(LogicalQueue* queue, const std::function<void()>& fn) {
    // A serial queue runs a sync job after the jobs already waiting on it: run those first.
    // From inside the queue itself there is nothing to wait for (a real queue would deadlock).
    if (running_ != queue && !(running_ == nullptr && queue == main_.get())) {
        uint64_t postedBefore;
        {
            std::lock_guard lock(mutex_);
            postedBefore = nextSeq_;
        }
        while (runOneQueuedOn(queue, postedBefore)) {
        }
    }
    LogicalQueue* saved = running_;
    running_ = queue;
    fn();
    running_ = saved;
}

bool ManualRuntime::runOneQueuedOn(const LogicalQueue* queue, uint64_t postedBefore) {
    Job job;
    {
        std::lock_guard lock(mutex_);
        auto earliest = agenda_.end();
        for (auto it = agenda_.begin(); it != agenda_.end(); ++it) {
            if (it->dueNs > nowNs_ || it->seq >= postedBefore || it->queue.lock().get() != queue) {
                continue;
            }
            if (earliest == agenda_.end() || Later{}(*earliest, *it)) {
                earliest = it;
            }
        }
        if (earliest == agenda_.end()) {
            return false;
        }
        job = std::move(*earliest);
        agenda_.erase(earliest);
        std::make_heap(agenda_.begin(), agenda_.end(), Later{});
    }
    if (auto owner = job.queue.lock()) {
        LogicalQueue* saved = running_;
        running_ = owner.get();
        job.fn();
        running_ = saved;
    }
    return true;
}

bool ManualRuntime::runOneDueBy(int64_t limitNs) {
    Job job;
    {
        std::lock_guard lock(mutex_);
        if (agenda_.empty() || agenda_.front().dueNs > limitNs) {
            return false;
        }
        std::pop_heap(agenda_.begin(), agenda_.end(), Later{});
        job = std::move(agenda_.back());
        agenda_.pop_back();
        nowNs_ = std::max(nowNs_, job.dueNs);
    }
    if (auto queue = job.queue.lock()) {
        LogicalQueue* saved = running_;
        running_ = queue.get();
        job.fn();
        running_ = saved;
    }
    return true;
}

void ManualRuntime::advance(double seconds) {
    int64_t target;
    {
        std::lock_guard lock(mutex_);
        target = nowNs_ + toNs(seconds);
    }
    while (runOneDueBy(target)) {
    }
    std::lock_guard lock(mutex_);
    nowNs_ = std::max(nowNs_, target);
}

void ManualRuntime::runUntilIdle() {
    int64_t now;
    {
        std::lock_guard lock(mutex_);
        now = nowNs_;
    }
    while (runOneDueBy(now)) {
    }
}

bool ManualRuntime::runNext() {
    int64_t due;
    {
        std::lock_guard lock(mutex_);
        if (agenda_.empty()) {
            return false;
        }
        due = agenda_.front().dueNs;
    }
    while (runOneDueBy(due)) {
    }
    return true;
}

bool ManualRuntime::runUntil(const std::function<bool()>& done, double limitSeconds) {
    int64_t limit;
    {
        std::lock_guard lock(mutex_);
        limit = nowNs_ + toNs(limitSeconds);
    }
    while (!done()) {
        if (!runOneDueBy(limit)) {
            std::lock_guard lock(mutex_);
            nowNs_ = std::max(nowNs_, limit);
            break;
        }
    }
    return done();
}

std::size_t ManualRuntime::pendingCount() const {
    std::lock_guard lock(mutex_);
    return agenda_.size();
}

double ManualRuntime::now() const {
    std::lock_guard lock(mutex_);
    return static_cast<double>(nowNs_) / static_cast<double>(kNsPerSecond);
}

void ManualRuntime::setWallTime(WallTime wall) {
    std::lock_guard lock(mutex_);
    const int64_t wallNs =
        std::chrono::duration_cast<std::chrono::nanoseconds>(wall.time_since_epoch()).count();
    wallOffsetNs_ = wallNs - nowNs_;
}

}  // namespace noctave::runtime
