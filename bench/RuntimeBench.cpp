#include <benchmark/benchmark.h>

#include "core/runtime/ManualRuntime.hpp"
#include "core/runtime/Timer.hpp"

namespace {

using namespace noctave::runtime;

// One firing of a repeating timer on a virtual queue: the cost every periodic tick pays.
void BM_RepeatingTimerFiring(benchmark::State& state) {
    ManualRuntime runtime;
    RuntimeInstaller installer{runtime};
    auto queue = runtime.makeSerialQueue("bench");
    int64_t fired = 0;
    auto timer = Timer::repeating(*queue, 1.0 / 120.0, 0.001, [&] { ++fired; });
    for (auto _ : state) {
        runtime.runNext();
    }
    benchmark::DoNotOptimize(fired);
}
BENCHMARK(BM_RepeatingTimerFiring);

void BM_MainQueueHop(benchmark::State& state) {
    ManualRuntime runtime;
    RuntimeInstaller installer{runtime};
    int64_t ran = 0;
    for (auto _ : state) {
        runtime.mainQueue().async([&] { ++ran; });
        runtime.runUntilIdle();
    }
    benchmark::DoNotOptimize(ran);
}
BENCHMARK(BM_MainQueueHop);

}  // namespace

BENCHMARK_MAIN();
