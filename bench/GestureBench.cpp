// What one gesture tick costs on the virtual laptop: time and heap allocations per tick, for an
// idle tick (20 Hz, Fn up, on a keyboard that can only be polled) and a tracking tick (120 Hz,
// Fn held, lid part-way down, progress delivered to the main queue), and how many jobs an idle
// second runs on each kind of keyboard. The bare timer firing is measured alongside, so the
// driver's own share is the difference.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <new>
#include <optional>

#include "core/gesture/GestureDriver.hpp"
#include "core/gesture/LidAngleSensor.hpp"
#include "core/os/System.hpp"
#include "core/runtime/ManualRuntime.hpp"
#include "core/runtime/Timer.hpp"
#include "core/support/Log.hpp"
#include "platform/sim/SimHinge.hpp"
#include "platform/sim/SimKeyboard.hpp"
#include "platform/sim/VirtualLaptop.hpp"

namespace {
std::atomic<int64_t> gAllocations{0};
}  // namespace

// Every heap allocation of the process goes through here, so a tick's allocations are counted.
// GCC mistakes the malloc/free pairing below for a new/free mismatch once it inlines them.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
void* operator new(std::size_t size) {
    gAllocations.fetch_add(1, std::memory_order_relaxed);
    if (void* block = std::malloc(size == 0 ? 1 : size)) {
        return block;
    }
    throw std::bad_alloc();
}
void operator delete(void* block) noexcept {
    std::free(block);
}
void operator delete(void* block, std::size_t) noexcept {
    std::free(block);
}

namespace {

using namespace noctave;

struct Bench {
    runtime::ManualRuntime runtime;
    runtime::RuntimeInstaller runtimeInstaller{runtime};
    sim::VirtualLaptop laptop;
    os::SystemInstaller systemInstaller{laptop.system()};
    std::shared_ptr<LidAngleSensor> sensor = std::make_shared<LidAngleSensor>();
    std::unique_ptr<GestureDriver> driver;
    int64_t progressReports = 0;

    explicit Bench(bool announcesFn = true) {
        laptop.keyboard().setAnnouncesChanges(announcesFn);
        Log::setStandardErrorEnabled(false);
        sensor->open();
        driver = std::make_unique<GestureDriver>(sensor);
        driver->onProgress = [this](std::optional<double>) { ++progressReports; };
        driver->start();
        runtime.advance(0.2);
    }
};

void report(benchmark::State& state, int64_t allocationsBefore) {
    state.counters["allocs/tick"] =
        benchmark::Counter(static_cast<double>(gAllocations.load() - allocationsBefore),
                           benchmark::Counter::kAvgIterations);
}

void BM_BareTimerFiring(benchmark::State& state) {
    runtime::ManualRuntime runtime;
    runtime::RuntimeInstaller installer{runtime};
    auto queue = runtime.makeSerialQueue("bench");
    int64_t fired = 0;
    auto timer = runtime::Timer::repeating(*queue, 1.0 / 120.0, 0.0005, [&] { ++fired; });
    const int64_t before = gAllocations.load();
    for (auto _ : state) {
        runtime.runNext();
    }
    report(state, before);
    benchmark::DoNotOptimize(fired);
}
BENCHMARK(BM_BareTimerFiring);

void BM_IdleTickPolledFn(benchmark::State& state) {
    Bench bench(false);
    const int reads = bench.laptop.hinge().reportReads();
    const int64_t before = gAllocations.load();
    for (auto _ : state) {
        bench.runtime.runNext();
    }
    report(state, before);
    if (bench.driver->currentInterval() != bench.driver->config().idleInterval ||
        bench.laptop.hinge().reportReads() != reads) {
        state.SkipWithError("the driver was not idle");
    }
}
BENCHMARK(BM_IdleTickPolledFn);

// One idle second; jobs/s is what wakes the gesture queue: 20 with a polled Fn, none where the
// keyboard announces it.
void BM_IdleSecond(benchmark::State& state) {
    Bench bench(state.range(0) != 0);
    int64_t jobs = 0;
    const int64_t before = gAllocations.load();
    for (auto _ : state) {
        // runUntil asks before every job, once more when none is left and once to return.
        int64_t asked = 0;
        bench.runtime.runUntil(
            [&] {
                ++asked;
                return false;
            },
            1.0);
        jobs += asked - 2;
    }
    state.counters["jobs/s"] =
        benchmark::Counter(static_cast<double>(jobs), benchmark::Counter::kAvgIterations);
    state.counters["allocs/s"] = benchmark::Counter(
        static_cast<double>(gAllocations.load() - before), benchmark::Counter::kAvgIterations);
}
BENCHMARK(BM_IdleSecond)->ArgName("announcedFn")->Arg(0)->Arg(1);

void BM_TrackingTick(benchmark::State& state) {
    Bench bench;
    bench.laptop.hinge().setAngle(110);
    bench.laptop.keyboard().setFunctionHeld(true);
    bench.runtime.advance(0.2);
    bench.laptop.hinge().moveTo(80, 0.2);  // tracking, far from the commit angle
    bench.runtime.advance(0.3);
    const int64_t reportsBefore = bench.progressReports;
    const int64_t before = gAllocations.load();
    for (auto _ : state) {
        bench.runtime.runNext();
    }
    report(state, before);
    state.counters["progress/tick"] =
        benchmark::Counter(static_cast<double>(bench.progressReports - reportsBefore),
                           benchmark::Counter::kAvgIterations);
    if (bench.driver->currentInterval() != bench.driver->config().activeInterval ||
        bench.driver->isCommitted()) {
        state.SkipWithError("the driver was not tracking");
    }
}
BENCHMARK(BM_TrackingTick);

}  // namespace

BENCHMARK_MAIN();
