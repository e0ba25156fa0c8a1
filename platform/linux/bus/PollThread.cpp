#include "platform/linux/bus/PollThread.hpp"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace noctave::linuxos {

PollThread::PollThread(TurnFn turn) : turn_(std::move(turn)) {
    wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    thread_ = std::thread([this] { run(); });
}

PollThread::~PollThread() {
    stop();
    if (wakeFd_ >= 0) {
        ::close(wakeFd_);
    }
}

void PollThread::wake() {
    const std::uint64_t one = 1;
    // A counter that is already set wakes the thread just as well.
    [[maybe_unused]] const auto written = ::write(wakeFd_, &one, sizeof one);
}

void PollThread::stop() {
    stopping_ = true;
    if (isCurrent()) {
        return;  // run() sees it after this turn
    }
    wake();
    if (thread_.joinable()) {
        thread_.join();
    }
}

void PollThread::run() {
    Turn turn;
    std::vector<pollfd> all;
    while (!stopping_) {
        if (!turn_(turn)) {
            break;
        }
        turn.isFirst = false;
        if (stopping_) {
            break;
        }
        // The wake-up descriptor goes last, so the owner's indices stay its own.
        all.assign(turn.fds.begin(), turn.fds.end());
        all.push_back(pollfd{wakeFd_, POLLIN, 0});
        int ready = ::poll(all.data(), all.size(), turn.timeoutMs);
        if (ready < 0 && errno != EINTR) {
            break;
        }
        for (std::size_t i = 0; i < turn.fds.size(); ++i) {
            turn.fds[i].revents = ready > 0 ? all[i].revents : 0;
        }
        turn.wasWoken = ready > 0 && (all.back().revents & POLLIN) != 0;
        turn.timedOut = ready == 0;
        if (turn.wasWoken) {
            std::uint64_t count = 0;
            [[maybe_unused]] const auto got = ::read(wakeFd_, &count, sizeof count);
        }
    }
    finished_ = true;
}

}  // namespace noctave::linuxos
