#pragma once

#include <functional>
#include <memory>

class QSocketNotifier;

namespace noctave::app {

// Turns SIGTERM, SIGINT and SIGHUP (the session manager ending the session, Ctrl-C, a closed
// terminal) into an orderly quit on the event loop, so the session's shutdown runs and the
// flag is restored. The handler only writes a byte to a pipe; `onTerminate` runs on the main
// thread when the event loop reads it.
//
// Install it as soon as the application object exists, before anything can arm, and after the
// crash-recovery handlers (Recovery::installSignalHandlers), which are kept as the fallback. A
// second signal that arrives before the orderly quit has finished goes straight to them (flag
// cleared, signal re-raised), so a wedged main thread still cannot keep the flag set.
//
// One instance at a time; main thread only. Destruction restores the previous handlers.
class TerminationSignals {
  public:
    explicit TerminationSignals(std::function<void()> onTerminate);
    ~TerminationSignals();
    TerminationSignals(const TerminationSignals&) = delete;
    TerminationSignals& operator=(const TerminationSignals&) = delete;

    bool isInstalled() const { return notifier_ != nullptr; }

  private:
    std::function<void()> onTerminate_;
    std::unique_ptr<QSocketNotifier> notifier_;
};

}  // namespace noctave::app
