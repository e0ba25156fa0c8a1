#include "core/runtime/Timer.hpp"

#include <cstdint>
#include <mutex>
#include <vector>

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
    uint32_t slot = 0;
    uint32_t generation = 0;
};

namespace {

// Every live timer's state, by slot. A queued firing names its timer by slot and generation:
// two plain numbers fit in std::function's own buffer, so posting a firing allocates nothing,
// and a firing whose timer has gone finds another generation in the slot and does nothing.
class TimerSlots {
  public:
    void add(const std::shared_ptr<Timer::State>& state);
    std::shared_ptr<Timer::State> find(uint32_t slot, uint32_t generation);
    void remove(uint32_t slot);

  private:
    struct Slot {
        std::shared_ptr<Timer::State> state;
        uint32_t generation = 0;
    };
    std::mutex mutex_;
    std::vector<Slot> slots_;
    std::vector<uint32_t> free_;
};

void TimerSlots::add(const std::shared_ptr<Timer::State>& state) {
    std::lock_guard lock(mutex_);
    if (free_.empty()) {
        free_.push_back(static_cast<uint32_t>(slots_.size()));
        slots_.emplace_back();
    }
    const uint32_t index = free_.back();
    free_.pop_back();
    slots_[index].state = state;
    state->slot = index;
    state->generation = slots_[index].generation;
}

std::shared_ptr<Timer::State> TimerSlots::find(uint32_t slot, uint32_t generation) {
    std::lock_guard lock(mutex_);
    if (slot >= slots_.size() || slots_[slot].generation != generation) {
        return nullptr;
    }
    return slots_[slot].state;
}

void TimerSlots::remove(uint32_t slot) {
    std::shared_ptr<Timer::State> dropped;
    std::lock_guard lock(mutex_);
    dropped.swap(slots_[slot].state);
    ++slots_[slot].generation;
    free_.push_back(slot);
}

// Never destroyed: a queue may still run a firing while the process exits.
TimerSlots& timerSlots() {
    static auto* slots = new TimerSlots;
    return *slots;
}

}  // namespace

Timer::Timer(Queue& queue, double interval, double leeway, bool repeats,
             std::function<void()> handler)
    : state_(std::make_shared<State>()), interval_(interval), leeway_(leeway), repeats_(repeats) {
    state_->queue = &queue;
    state_->handler = std::move(handler);
    state_->interval = interval;
    state_->repeats = repeats;
    state_->nextDeadline = clock().monotonic() + interval;
    timerSlots().add(state_);
    schedule(*state_, interval);
}

std::unique_ptr<Timer> Timer::oneShot(Queue& queue, double after, double leeway,
                                      std::function<void()> handler) {
    return std::unique_ptr<Timer>(new Timer(queue, after, leeway, false, std::move(handler)));
}

std::unique_ptr<Timer> Timer::repeating(Queue& queue, double interval, double leeway,
                                        std::function<void()> handler) {
    return std::unique_ptr<Timer>(new Timer(queue, interval, leeway, true, std::move(handler)));
}

void Timer::schedule(const State& state, double delay) {
    state.queue->asyncAfter(
        delay, [slot = state.slot, generation = state.generation] { fire(slot, generation); });
}

void Timer::fire(uint32_t slot, uint32_t generation) {
    // Held for the whole firing, so a timer destroyed by its own handler outlives the call.
    const std::shared_ptr<State> state = timerSlots().find(slot, generation);
    if (!state) {
        return;
    }
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
        schedule(*state, state->nextDeadline - now);
    } else {
        state->cancelled = true;
    }
    state->handler();
}

Timer::~Timer() {
    cancel();
    timerSlots().remove(state_->slot);
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
