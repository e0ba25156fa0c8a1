#include "app/QtRuntime.hpp"

#include <cmath>

#include <QCoreApplication>
#include <QEvent>
#include <QEventLoop>
#include <QObject>
#include <QThread>
#include <QTimer>

namespace noctave::app {

namespace {
runtime::JobHeap::TimePoint dueIn(double seconds) {
    const auto now = std::chrono::steady_clock::now();
    if (!(seconds > 0)) {
        return now;
    }
    return now + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                     std::chrono::duration<double>(seconds));
}

QEvent::Type wakeEventType() {
    static const auto type = static_cast<QEvent::Type>(QEvent::registerEventType());
    return type;
}

// The wake-up carries nothing of ours: the jobs stay behind the queue's mutex, and the receiver,
// made and destroyed on the GUI thread, knows what to drain. Anything written on the posting
// thread and read here first would be handed over through Qt's event-queue lock, which
// ThreadSanitizer cannot see; so the event is not even looked at (Qt sorts it by its type into
// customEvent, and the wake-up is the only custom event this object gets) until drain() has
// taken the mutex the poster held.
class WakeReceiver final : public QObject {
  public:
    explicit WakeReceiver(std::function<void()> onWake) : onWake_(std::move(onWake)) {}

  protected:
    void customEvent(QEvent* /*event*/) override { onWake_(); }

  private:
    std::function<void()> onWake_;
};
}  // namespace

struct QtMainQueue::Shared {
    std::mutex mutex;
    runtime::JobHeap heap;
    bool wakePosted = false;
    bool closed = false;
    // Read by posting threads under the mutex; the destructor clears it under the mutex.
    QObject* receiver = nullptr;
};

QtMainQueue::QtMainQueue()
    : guiThread_(std::this_thread::get_id()),
      shared_(std::make_shared<Shared>()),
      context_(std::make_unique<WakeReceiver>([this] { drain(); })) {
    shared_->receiver = context_.get();
    timer_ = new QTimer(context_.get());
    timer_->setSingleShot(true);
    timer_->setTimerType(Qt::PreciseTimer);
    QObject::connect(timer_, &QTimer::timeout, context_.get(), [this] { drain(); });
}

QtMainQueue::~QtMainQueue() {
    runtime::JobHeap dropped;
    std::lock_guard lock(shared_->mutex);
    shared_->closed = true;
    shared_->receiver = nullptr;
    std::swap(dropped, shared_->heap);
    // Under the lock, so no other thread is posting to the context while it goes; deleting it
    // discards the wake-ups that were posted and not yet delivered.
    context_.reset();
}

void QtMainQueue::wake(const std::shared_ptr<Shared>& shared) {
    // Posting happens under the lock: the destructor deletes the context under it too.
    std::lock_guard lock(shared->mutex);
    if (shared->closed || shared->wakePosted || shared->receiver == nullptr) {
        return;
    }
    shared->wakePosted = true;
    QCoreApplication::postEvent(shared->receiver, new QEvent(wakeEventType()));
}

void QtMainQueue::async(std::function<void()> fn) {
    asyncAfter(0, std::move(fn));
}

void QtMainQueue::asyncAfter(double seconds, std::function<void()> fn) {
    {
        std::lock_guard lock(shared_->mutex);
        if (shared_->closed) {
            return;
        }
        shared_->heap.push(dueIn(seconds), std::move(fn));
    }
    wake(shared_);
}

void QtMainQueue::drain() {
    // Only what is due now runs here; what the jobs post comes in a later turn of the event
    // loop, so a job that keeps posting cannot starve the window system's events.
    const auto now = std::chrono::steady_clock::now();
    {
        std::lock_guard lock(shared_->mutex);
        shared_->wakePosted = false;
    }
    while (true) {
        runtime::JobHeap::Job job;
        {
            std::lock_guard lock(shared_->mutex);
            if (shared_->closed || shared_->heap.empty()) {
                return;
            }
            const auto due = shared_->heap.nextDue();
            if (due > now) {
                if (due <= std::chrono::steady_clock::now()) {
                    break;
                }
                const double ms = std::chrono::duration<double, std::milli>(
                                      due - std::chrono::steady_clock::now())
                                      .count();
                timer_->start(std::max(1, static_cast<int>(std::ceil(ms))));
                return;
            }
            job = shared_->heap.pop();
        }
        const auto alive = shared_;
        job.fn();
        job.fn = nullptr;
        if (alive->closed) {
            return;  // a job destroyed the queue
        }
    }
    wake(shared_);
}

void QtMainQueue::sync(const std::function<void()>& fn) {
    postAndWait(fn);
}

bool QtMainQueue::isCurrent() const {
    return std::this_thread::get_id() == guiThread_;
}

std::shared_ptr<runtime::Queue> QtRuntime::makeSerialQueue(std::string label, runtime::QoS) {
    return std::make_shared<runtime::SerialQueue>(std::move(label));
}

void QtRuntime::runFor(double seconds) {
    QEventLoop loop;
    QTimer::singleShot(std::max(0, static_cast<int>(std::lround(seconds * 1000))), &loop,
                       &QEventLoop::quit);
    loop.exec();
}

}  // namespace noctave::app
