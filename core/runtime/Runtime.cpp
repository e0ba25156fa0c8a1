#include "core/runtime/Runtime.hpp"

#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace noctave::runtime {

namespace {
std::atomic<Runtime*> gRuntime{nullptr};
}

Runtime& current() {
    Runtime* runtime = gRuntime.load(std::memory_order_acquire);
    if (runtime == nullptr) {
        std::fputs("noctave: no runtime installed\n", stderr);
        std::abort();
    }
    return *runtime;
}

bool isInstalled() {
    return gRuntime.load(std::memory_order_acquire) != nullptr;
}

Queue& mainQueue() {
    return current().mainQueue();
}

const Clock& clock() {
    return current().clock();
}

RuntimeInstaller::RuntimeInstaller(Runtime& runtime)
    : previous_(gRuntime.exchange(&runtime, std::memory_order_acq_rel)) {}

RuntimeInstaller::~RuntimeInstaller() {
    gRuntime.store(previous_, std::memory_order_release);
}

}  // namespace noctave::runtime
