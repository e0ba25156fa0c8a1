#include "platform/sim/SimChangeNotifier.hpp"

#include "core/runtime/Queue.hpp"
#include "core/runtime/Runtime.hpp"

namespace noctave::sim {

std::shared_ptr<SimChangeNotifier> SimChangeNotifier::make() {
    return std::shared_ptr<SimChangeNotifier>(new SimChangeNotifier());
}

void SimChangeNotifier::setObserver(std::function<void()> observer) {
    std::lock_guard lock(mutex_);
    observer_ = std::move(observer);
}

void SimChangeNotifier::note() {
    std::lock_guard lock(mutex_);
    if (!observer_ || pending_ || !runtime::isInstalled()) {
        return;
    }
    pending_ = true;
    runtime::mainQueue().async([weak = weak_from_this()] {
        auto self = weak.lock();
        if (!self) {
            return;
        }
        std::function<void()> observer;
        {
            std::lock_guard lock(self->mutex_);
            self->pending_ = false;
            observer = self->observer_;
        }
        if (observer) {
            observer();
        }
    });
}

}  // namespace noctave::sim
