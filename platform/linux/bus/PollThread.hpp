#pragma once

#include <poll.h>

#include <atomic>
#include <functional>
#include <thread>
#include <vector>

namespace noctave::linuxos {

// One background thread that waits in poll(2) on the file descriptors its owner names, plus an
// eventfd of its own through which any thread wakes it or stops it.
//
// The owner's `turn` runs on the thread: first with `fds` empty, then after every wait with
// the descriptors it asked for last and their revents. It replaces `fds` with what to wait on
// next and sets `timeoutMs` (-1: no limit; the default). Returning false ends the thread (the
// descriptor it read from went away). A turn is idle until one of its descriptors is ready,
// the timeout passes or someone calls wake(): between them the thread costs nothing.
//
// stop() (and the destructor) wakes the thread, waits for the turn under way and joins; no
// turn starts after it returns. Called from a turn itself, it ends the loop after that turn.
class PollThread {
  public:
    struct Turn {
        std::vector<pollfd> fds;  // kept between turns, so a steady set allocates nothing
        int timeoutMs = -1;
        bool isFirst = true;
        bool wasWoken = false;  // wake() was called since the last turn
        bool timedOut = false;  // the wait ended by its timeout
    };
    using TurnFn = std::function<bool(Turn&)>;

    explicit PollThread(TurnFn turn);
    ~PollThread();
    PollThread(const PollThread&) = delete;
    PollThread& operator=(const PollThread&) = delete;

    // Makes the thread run a turn soon. Callable from any thread, the turn's own included;
    // never blocks.
    void wake();
    void stop();
    bool isCurrent() const { return std::this_thread::get_id() == thread_.get_id(); }
    bool isRunning() const { return !finished_.load(); }

  private:
    void run();

    TurnFn turn_;
    int wakeFd_ = -1;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> finished_{false};
    std::thread thread_;
};

}  // namespace noctave::linuxos
