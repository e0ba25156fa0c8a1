#include "app/TerminationSignals.hpp"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <utility>

#include <QSocketNotifier>

#include "core/support/Log.hpp"

namespace noctave::app {

namespace {

constexpr std::array<int, 3> kSignals = {SIGTERM, SIGINT, SIGHUP};

int gPipe[2] = {-1, -1};
volatile sig_atomic_t gReceived = 0;
struct sigaction gPrevious[kSignals.size()];

std::size_t slotOf(int signal) {
    for (std::size_t i = 0; i < kSignals.size(); ++i) {
        if (kSignals[i] == signal) {
            return i;
        }
    }
    return 0;
}

// Async-signal-safe only: write(2), sigaction(2), raise(3).
void handleSignal(int signal, siginfo_t* info, void* context) {
    if (gReceived == 0) {
        gReceived = signal;
        const int saved = errno;
        const char byte = static_cast<char>(signal);
        [[maybe_unused]] const ssize_t written = ::write(gPipe[1], &byte, 1);
        errno = saved;
        return;
    }
    const struct sigaction& previous = gPrevious[slotOf(signal)];
    if ((previous.sa_flags & SA_SIGINFO) != 0 && previous.sa_sigaction != nullptr) {
        previous.sa_sigaction(signal, info, context);
    } else if (previous.sa_handler == SIG_IGN) {
        return;
    } else if (previous.sa_handler != SIG_DFL && previous.sa_handler != nullptr) {
        previous.sa_handler(signal);
    } else {
        ::sigaction(signal, &previous, nullptr);
        ::raise(signal);
    }
}

}  // namespace

TerminationSignals::TerminationSignals(std::function<void()> onTerminate)
    : onTerminate_(std::move(onTerminate)) {
    if (::pipe2(gPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        Log::error("could not install the termination signal handlers");
        return;
    }
    gReceived = 0;
    notifier_ = std::make_unique<QSocketNotifier>(gPipe[0], QSocketNotifier::Read);
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, notifier_.get(), [this] {
        char byte = 0;
        while (::read(gPipe[0], &byte, 1) == 1) {
        }
        if (onTerminate_) {
            onTerminate_();
        }
    });
    struct sigaction action = {};
    action.sa_sigaction = handleSignal;
    action.sa_flags = SA_SIGINFO | SA_RESTART;
    sigemptyset(&action.sa_mask);
    for (std::size_t i = 0; i < kSignals.size(); ++i) {
        ::sigaction(kSignals[i], &action, &gPrevious[i]);
    }
}

TerminationSignals::~TerminationSignals() {
    if (!notifier_) {
        return;
    }
    for (std::size_t i = 0; i < kSignals.size(); ++i) {
        ::sigaction(kSignals[i], &gPrevious[i], nullptr);
    }
    notifier_.reset();
    ::close(gPipe[0]);
    ::close(gPipe[1]);
    gPipe[0] = gPipe[1] = -1;
}

}  // namespace noctave::app
