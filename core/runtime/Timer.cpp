#include "core/runtime/Timer.hpp"

#include <mutex>

#include "core/runtime/Runtime.hpp"

namespace noctave::runtime {

struct Timer::State {
    // Recursive: a handler may cancel its own timer while the firing holds the lock.
    std::recursive_mutex mutex;
    bool cancelled = false;
    Queue* queue = nullptr;
    std::function<void()> handler;
    double interval = 0;
    bool repeats = false;
    double nextDeadline = 0;  // monotonic seconds
};

Timer::Timer(Queue& queue, double interval, double leeway, bool repeats,
             std::function<void()> handler)
    : state_(std::make_shared<State>()), interval_(interval), leeway_(leeway), repeats_(repeats) {
    state_->queue = &queue;
    state_->handler = std::move(handler);
    state_->interval = interval;
    state_->repeats = repeats;
    state_->nextDeadline = clock().monotonic() + interval;
    schedule(state_, interval);
}

std::unique_ptr<Timer> Timer::oneShot(Queue& queue, double after, double leeway,
                                      std::function<void()> handler) {
    return std::unique_ptr<Timer>(new Timer(queue, after, leeway, false, std::move(handler)));
}

std::unique_ptr<Timer> Timer::repeating(Queue& queue, double interval, double leeway,
                                        std::function<void()> handler) {
    return std::unique_ptr<Timer>(new Timer(queue, interval, leeway, true, std::move(handler)));
}

void Timer::schedule(const std::shared_ptr<State>& state, double delay) {
    state->queue->asyncAfter(delay, [state] {
        std::lock_guard lock(state->mutex);
        if (state->cancelled) {
            return;
        }
        if (state->repeats) {
            state->nextDeadline += state->interval;
            const double now = clock().monotonic();
            // A firing that ran very late does not queue a burst of catch-up firings.
            while (state->nextDeadline <= now) {
                state->nextDeadline += state->interval;
            }
            schedule(state, state->nextDeadline - now);
        } else {
            state->cancelled = true;
        }
        state->handler();
    });
}

Timer::~Timer() {
    cancel();
}

void Timer::cancel() {
    std::lock_guard lock(state_->mutex);
    state_->cancelled = true;
}

bool Timer::isValid() const {
    std::lock_guard lock(state_->mutex);
    return !state_->cancelled;
}

}  // namespace noctave::runtime
