// Following named programs for `noctave ctl hold --name`: a pidfd per match, so an exit is an
// event, and a rescan for programs that start later.
#include "app/control/ProgramFollower.hpp"

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>

#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/ChildProcess.hpp"

namespace noctave::test {
namespace {

// The process table as a test lists it; only the pids are real.
class ListedProcesses final : public os::Processes {
  public:
    int currentPid() const override { return 0; }
    bool isAlive(int) const override { return false; }
    int64_t bootTime() const override { return 0; }
    SpawnResult spawnAndWait(const std::string&, const std::vector<std::string>&) override {
        return {};
    }
    // Each look reports what is listed and was not before, by pid and start time.
    class Listing final : public Tracker {
      public:
        explicit Listing(const ListedProcesses& table) : table_(table) {}
        Changes update() override {
            Changes changes;
            for (const auto& process : table_.listed) {
                if (known_.insert({process.pid, process.startTime}).second) {
                    changes.started.push_back(process);
                }
            }
            return changes;
        }
        void follow(int) override {}

      private:
        const ListedProcesses& table_;
        std::set<std::pair<int, uint64_t>> known_;
    };
    std::unique_ptr<Tracker> trackUserProcesses() const override {
        return std::make_unique<Listing>(*this);
    }
    static ProcessInfo listing(int pid, const std::string& commandLine) {
        ProcessInfo process;
        process.pid = pid;
        process.name = process.shortName = "sleep";
        process.commandLine = commandLine;
        return process;
    }
    std::vector<ProcessInfo> listed;
};

TEST(ProgramFollower, ExitOfTheLastMatchIsAnEventAndLaterProgramsAreFoundByRescan) {
    ChildProcess first("sleep", {"60"});
    ChildProcess other("sleep", {"60"});
    ListedProcesses processes;
    processes.listed = {ListedProcesses::listing(first.pid(), "sleep 60 --job-a"),
                        ListedProcesses::listing(other.pid(), "sleep 60 --job-b")};
    control::ProgramFollower follower({{"job-a", true}}, processes);
    ASSERT_EQ(follower.rescan(), 1u);
    EXPECT_EQ(follower.describe(), "sleep (pid " + std::to_string(first.pid()) + ")");
    ASSERT_EQ(follower.descriptors().size(), 1u);

    // The exit wakes a poll at once, before any scan would have found it.
    pollfd ended{follower.descriptors()[0], POLLIN, 0};
    EXPECT_EQ(::poll(&ended, 1, 0), 0);
    first.signal(SIGTERM);
    first.wait();
    EXPECT_EQ(::poll(&ended, 1, 20'000), 1);
    // Even while the listing still shows it (as /proc does until it is reaped), it is let go.
    EXPECT_EQ(follower.rescan(), 0u);
    EXPECT_TRUE(follower.descriptors().empty());

    ChildProcess later("sleep", {"60"});
    processes.listed.push_back(ListedProcesses::listing(later.pid(), "sleep 60 --job-a"));
    EXPECT_EQ(follower.rescan(), 1u);
    EXPECT_EQ(follower.describe(), "sleep (pid " + std::to_string(later.pid()) + ")");
}

}  // namespace
}  // namespace noctave::test
