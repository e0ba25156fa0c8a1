#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "core/runtime/Runtime.hpp"
#include "core/runtime/SerialQueue.hpp"
#include "core/runtime/ThreadedRuntime.hpp"

class QObject;
class QTimer;

namespace noctave::app {

// The main queue on the Qt event loop: jobs run on the GUI thread, in due order (ties: posting
// order), also while a modal alert or menu runs its own nested loop. Make it on the GUI thread
// after the QCoreApplication exists. Jobs still pending when it goes are dropped.
class QtMainQueue final : public runtime::Queue {
  public:
    QtMainQueue();
    ~QtMainQueue() override;
    QtMainQueue(const QtMainQueue&) = delete;
    QtMainQueue& operator=(const QtMainQueue&) = delete;

    void async(std::function<void()> fn) override;
    void asyncAfter(double seconds, std::function<void()> fn) override;
    // From another thread it waits for the GUI thread to run fn: never call it while the GUI
    // thread waits on the caller.
    void sync(const std::function<void()>& fn) override;
    bool isCurrent() const override;
    const std::string& label() const override { return label_; }

  private:
    struct Shared;
    void drain();
    static void wake(const std::shared_ptr<Shared>& shared);

    std::string label_ = "main";
    std::thread::id guiThread_;
    std::shared_ptr<Shared> shared_;
    std::unique_ptr<QObject> context_;
    QTimer* timer_ = nullptr;  // owned by context_
};

// The application's runtime: the main queue above, serial queues on worker threads, real clocks.
class QtRuntime final : public runtime::Runtime {
  public:
    QtRuntime() = default;
    runtime::Queue& mainQueue() override { return main_; }
    std::shared_ptr<runtime::Queue> makeSerialQueue(
        std::string label, runtime::QoS qos = runtime::QoS::utility) override;
    const runtime::Clock& clock() const override { return clock_; }
    // Runs a nested event loop for `seconds`.
    void runFor(double seconds) override;

  private:
    runtime::SystemClock clock_;
    QtMainQueue main_;
};

}  // namespace noctave::app
