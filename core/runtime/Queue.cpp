#include "core/runtime/Queue.hpp"

#include <future>

namespace noctave::runtime {

void Queue::postAndWait(const std::function<void()>& fn) {
    if (isCurrent()) {
        fn();
        return;
    }
    std::promise<void> done;
    async([&] {
        fn();
        done.set_value();
    });
    done.get_future().wait();
}

}  // namespace noctave::runtime
