// What following the user's processes costs (`holdWhileRunning`, `ctl hold --name`): with N
// sleeping processes of the user started for the measure, the first look (every process read),
// later looks (whatever other programs on the machine start in the meantime is probed too; one
// look in twelve lists every pid), and looks that each find one new process, in CPU time of the
// looking thread.
// Prints figures; not pass/fail. Usage: noctave_bench_process_scan [count...] (300 3000).
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "core/session/ProgramWatch.hpp"
#include "platform/linux/LinuxProcesses.hpp"

extern char** environ;

namespace {

double threadSeconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// A sleeping process of the user's; `sleep` ends by itself should this program die first.
pid_t startSleeper() {
    char program[] = "sleep";
    char seconds[] = "900";
    char* argv[] = {program, seconds, nullptr};
    pid_t pid = -1;
    return posix_spawnp(&pid, program, nullptr, nullptr, argv, environ) == 0 ? pid : -1;
}

void stopAll(std::vector<pid_t>& children) {
    for (const pid_t pid : children) {
        kill(pid, SIGKILL);
    }
    for (const pid_t pid : children) {
        waitpid(pid, nullptr, 0);
    }
    children.clear();
}

double look(noctave::os::Processes::Tracker& tracker) {
    const double start = threadSeconds();
    tracker.update();
    return threadSeconds() - start;
}

void measure(int count) {
    std::vector<pid_t> children;
    for (int i = 0; i < count; ++i) {
        const pid_t pid = startSleeper();
        if (pid < 0) {
            std::printf("could only start %d processes\n", i);
            break;
        }
        children.push_back(pid);
    }
    const noctave::linuxos::LinuxProcesses processes;
    auto tracker = processes.trackUserProcesses();
    double start = threadSeconds();
    const std::size_t listed = tracker->update().started.size();
    const double first = threadSeconds() - start;

    // Back to back: the floor, and the full listing one look in kFullListingEvery makes.
    constexpr unsigned kEvery = noctave::linuxos::LinuxProcesses::kFullListingEvery;
    constexpr unsigned kTight = 20 * kEvery;
    double probing = 0;
    double listing = 0;
    for (unsigned i = 1; i <= kTight; ++i) {
        (i % kEvery == 0 ? listing : probing) += look(*tracker);
    }
    probing /= kTight - kTight / kEvery;
    listing /= kTight / kEvery;

    // As the watch runs: a look every 5 s, with what the machine started in between (none of
    // these lists every pid: the count above is a multiple of kEvery).
    const double interval = noctave::ProgramWatch::kScanSeconds;
    constexpr int kSpaced = 6;
    double spaced = 0;
    for (int i = 0; i < kSpaced; ++i) {
        const timespec pause{static_cast<time_t>(interval), 0};
        nanosleep(&pause, nullptr);
        spaced += look(*tracker);
    }
    spaced /= kSpaced;

    constexpr int kNewLooks = 50;
    unsigned looks = 1 + kTight + kSpaced;  // the tracker's count, to leave its listings out
    double withNew = 0;
    for (int i = 0; i < kNewLooks; ++i) {
        if (looks % kEvery == 0) {
            look(*tracker);
            ++looks;
        }
        children.push_back(startSleeper());
        withNew += look(*tracker);
        ++looks;
    }
    withNew /= kNewLooks;
    stopAll(children);

    const auto row = [interval](const char* what, double seconds) {
        std::printf("  %-44s %9.1f us  %.4f %% of a core at a look every %.0f s\n", what,
                    seconds * 1e6, seconds / interval * 100, interval);
    };
    std::printf("%zu processes of the user (%d started for this)\n", listed, count);
    row("first look (every process read)", first);
    row("later looks, back to back", probing);
    row("later looks, each with one new process", withNew);
    row("a full listing (one look in 12)", listing);
    row("later looks, 5 s apart", spaced);
    row("later looks, 5 s apart, with the listings", (spaced * (kEvery - 1) + listing) / kEvery);
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<int> counts;
    for (int i = 1; i < argc; ++i) {
        counts.push_back(std::atoi(argv[i]));
    }
    if (counts.empty()) {
        counts = {300, 3000};
    }
    for (const int count : counts) {
        measure(count);
    }
    return 0;
}
