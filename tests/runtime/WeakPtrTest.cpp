#include "core/runtime/WeakPtr.hpp"

#include <gtest/gtest.h>

#include <memory>

#include "core/runtime/ManualRuntime.hpp"

namespace noctave::runtime {
namespace {

class Owner {
  public:
    explicit Owner(int& calls) : calls_(calls) {}
    void postTo(Queue& queue) {
        queue.async(bindWeak(weakFactory_.weak(), [](Owner& self) { ++self.calls_; }));
    }
    std::function<void(int)> callback() {
        return bindWeak(weakFactory_.weak(),
                        [](Owner& self, int amount) { self.calls_ += amount; });
    }
    WeakPtr<Owner> weak() { return weakFactory_.weak(); }
    void invalidate() { weakFactory_.invalidate(); }

  private:
    int& calls_;
    WeakFactory<Owner> weakFactory_{this};
};

TEST(WeakPtrTest, CallbacksQueuedForADestroyedOwnerDoNothing) {
    ManualRuntime runtime;
    RuntimeInstaller installer{runtime};
    int calls = 0;
    auto owner = std::make_unique<Owner>(calls);
    owner->postTo(runtime.mainQueue());
    owner->postTo(*runtime.makeSerialQueue("other"));
    auto later = owner->callback();
    owner.reset();
    runtime.runUntilIdle();
    later(5);
    EXPECT_EQ(calls, 0);
}

TEST(WeakPtrTest, LiveOwnerIsReachedAndInvalidateCutsOnlyEarlierPointers) {
    int calls = 0;
    Owner owner(calls);
    auto callback = owner.callback();
    callback(2);
    EXPECT_EQ(calls, 2);
    auto old = owner.weak();
    owner.invalidate();
    callback(2);
    EXPECT_EQ(calls, 2);
    EXPECT_FALSE(old);
    EXPECT_TRUE(owner.weak());
}

}  // namespace
}  // namespace noctave::runtime
