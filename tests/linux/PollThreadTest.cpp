#include "platform/linux/bus/PollThread.hpp"

#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

namespace noctave::linuxos {
namespace {

// What the turns saw, for the test thread to wait on.
struct Seen {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::string> turns;

    void add(std::string what) {
        std::lock_guard lock(mutex);
        turns.push_back(std::move(what));
        changed.notify_all();
    }
    bool waitFor(std::size_t count) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(5),
                                [&] { return turns.size() >= count; });
    }
};

class PollThreadTest : public ::testing::Test {
  protected:
    PollThreadTest() { EXPECT_EQ(::pipe(pipe_), 0); }
    ~PollThreadTest() override {
        ::close(pipe_[0]);
        ::close(pipe_[1]);
    }
    int pipe_[2] = {-1, -1};
    Seen seen;
};

TEST_F(PollThreadTest, TurnsRunForReadyDescriptorsWakesAndTimeoutsAndNothingElse) {
    std::atomic<int> timeoutMs = -1;  // set here, read by the loop after the wake
    PollThread thread([&](PollThread::Turn& turn) {
        if (turn.isFirst) {
            seen.add("first");
        } else if (!turn.fds.empty() && (turn.fds[0].revents & POLLIN) != 0) {
            char byte = 0;
            EXPECT_EQ(::read(pipe_[0], &byte, 1), 1);
            seen.add(std::string("read ") + byte);
        } else if (turn.wasWoken) {
            seen.add("woken");
        } else if (turn.timedOut) {
            seen.add("timeout");
            timeoutMs = -1;  // once
        }
        turn.fds.assign(1, pollfd{pipe_[0], POLLIN, 0});
        turn.timeoutMs = timeoutMs;
        return true;
    });
    ASSERT_TRUE(seen.waitFor(1));
    ASSERT_EQ(::write(pipe_[1], "x", 1), 1);
    ASSERT_TRUE(seen.waitFor(2));
    thread.wake();
    ASSERT_TRUE(seen.waitFor(3));
    timeoutMs = 10;
    thread.wake();  // the next wait takes the short timeout
    ASSERT_TRUE(seen.waitFor(5));
    thread.stop();
    std::lock_guard lock(seen.mutex);
    EXPECT_EQ(seen.turns,
              (std::vector<std::string>{"first", "read x", "woken", "woken", "timeout"}));
}

TEST_F(PollThreadTest, ATurnThatGivesUpEndsTheThreadAndStopAfterItIsHarmless) {
    PollThread thread([&](PollThread::Turn& turn) {
        seen.add(turn.isFirst ? "first" : "hang-up");
        if (!turn.isFirst && (turn.fds[0].revents & POLLHUP) != 0) {
            return false;  // the writer went away
        }
        turn.fds.assign(1, pollfd{pipe_[0], POLLIN, 0});
        return true;
    });
    ASSERT_TRUE(seen.waitFor(1));
    ::close(pipe_[1]);
    pipe_[1] = ::dup(pipe_[0]);  // keep the fixture's close balanced
    ASSERT_TRUE(seen.waitFor(2));
    thread.stop();
    thread.stop();
    EXPECT_FALSE(thread.isRunning());
    std::lock_guard lock(seen.mutex);
    EXPECT_EQ(seen.turns, (std::vector<std::string>{"first", "hang-up"}))
        << "a hang-up that stays ready must not spin the loop";
}

}  // namespace
}  // namespace noctave::linuxos
