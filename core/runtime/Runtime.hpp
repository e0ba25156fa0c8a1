#pragma once

#include <memory>
#include <string>

#include "core/runtime/Clock.hpp"
#include "core/runtime/Queue.hpp"

namespace noctave::runtime {

// The execution environment of the process: the main queue, serial queues and the clocks.
// Exactly one runtime is installed at a time (the composition root installs the real one,
// tests install a ManualRuntime through RuntimeInstaller).
class Runtime {
  public:
    virtual ~Runtime() = default;

    virtual Queue& mainQueue() = 0;

    // A new serial queue with the given label. The queue lives while someone holds it;
    // jobs still pending when the last holder lets go are dropped without running.
    virtual std::shared_ptr<Queue> makeSerialQueue(std::string label, QoS qos = QoS::utility) = 0;

    virtual const Clock& clock() const = 0;

    // Runs main-queue work for `seconds` (virtual seconds on a ManualRuntime, real ones
    // otherwise) and returns. Must be called on the main thread, outside a main-queue job
    // of an event loop that cannot nest.
    virtual void runFor(double seconds) = 0;
};

// The installed runtime. Calling it with none installed is a programming error (aborts).
Runtime& current();
bool isInstalled();

// Shorthands for the installed runtime.
Queue& mainQueue();
const Clock& clock();

// Installs a runtime for the lifetime of this object and restores the previous one after.
class RuntimeInstaller {
  public:
    explicit RuntimeInstaller(Runtime& runtime);
    ~RuntimeInstaller();
    RuntimeInstaller(const RuntimeInstaller&) = delete;
    RuntimeInstaller& operator=(const RuntimeInstaller&) = delete;

  private:
    Runtime* previous_;
};

}  // namespace noctave::runtime
