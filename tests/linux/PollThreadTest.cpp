#include "platform/linux/bus/PollThread.hpp"

#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <vector>

#include "tests/support/Mailbox.hpp"

namespace noctave::linuxos {
namespace {

class PollThreadTest : public ::testing::Test {
  protected:
    PollThreadTest() { EXPECT_EQ(::pipe(pipe_), 0); }
    ~PollThreadTest() override {
        ::close(pipe_[0]);
        ::close(pipe_[1]);
    }
    int pipe_[2] = {-1, -1};
    test::Mailbox<std::string> seen;  // what the turns saw
};

TEST_F(PollThreadTest, TurnsRunForReadyDescriptorsWakesAndTimeoutsAndNothingElse) {
    std::atomic<int> timeoutMs = -1;  // set here, read by the loop after the wake
    PollThread thread([&](PollThread::Turn& turn) {
        if (turn.isFirst) {
            seen.put("first");
        } else if (!turn.fds.empty() && (turn.fds[0].revents & POLLIN) != 0) {
            char byte = 0;
            EXPECT_EQ(::read(pipe_[0], &byte, 1), 1);
            seen.put(std::string("read ") + byte);
        } else if (turn.wasWoken) {
            seen.put("woken");
        } else if (turn.timedOut) {
            seen.put("timeout");
            timeoutMs = -1;  // once
        }
        turn.fds.assign(1, pollfd{pipe_[0], POLLIN, 0});
        turn.timeoutMs = timeoutMs;
        return true;
    });
    EXPECT_EQ(seen.take(), "first");
    ASSERT_EQ(::write(pipe_[1], "x", 1), 1);
    EXPECT_EQ(seen.take(), "read x");
    thread.wake();
    EXPECT_EQ(seen.take(), "woken");
    timeoutMs = 10;
    thread.wake();  // the next wait takes the short timeout
    EXPECT_EQ(seen.take(), "woken");
    EXPECT_EQ(seen.take(), "timeout");
    thread.stop();
    EXPECT_TRUE(seen.takeAll().empty());
}

TEST_F(PollThreadTest, ATurnThatGivesUpEndsTheThreadAndStopAfterItIsHarmless) {
    PollThread thread([&](PollThread::Turn& turn) {
        seen.put(turn.isFirst ? "first" : "hang-up");
        if (!turn.isFirst && (turn.fds[0].revents & POLLHUP) != 0) {
            return false;  // the writer went away
        }
        turn.fds.assign(1, pollfd{pipe_[0], POLLIN, 0});
        return true;
    });
    EXPECT_EQ(seen.take(), "first");
    ::close(pipe_[1]);
    pipe_[1] = ::dup(pipe_[0]);  // keep the fixture's close balanced
    EXPECT_EQ(seen.take(), "hang-up");
    thread.stop();
    thread.stop();
    EXPECT_FALSE(thread.isRunning());
    EXPECT_TRUE(seen.takeAll().empty()) << "a hang-up that stays ready must not spin the loop";
}

}  // namespace
}  // namespace noctave::linuxos
