// Following the user's processes for a hold while a named program runs. That an emptied list
// stops the scans is shown with the delegate (AppDelegateTest).
#include "core/session/ProgramWatch.hpp"

#include <vector>

#include "platform/sim/SimProcesses.hpp"
#include "tests/support/SimTest.hpp"

namespace noctave::test {
namespace {

using Pattern = ProgramWatch::Pattern;
using Info = os::Processes::ProcessInfo;

TEST(ProgramWatchMatch, NamesMatchWholeAndCommandLinesAnywhereUnlessAWildcardSaysOtherwise) {
    const Info make{1, "make", "make -j8 all"};
    const Info python{2, "python3", "/usr/bin/python3 train.py --epochs 90"};
    EXPECT_TRUE(ProgramWatch::matches({"make", false}, make));
    EXPECT_FALSE(ProgramWatch::matches({"mak", false}, make));
    EXPECT_TRUE(ProgramWatch::matches({"pyth*", false}, python));
    EXPECT_FALSE(ProgramWatch::matches({"train.py", false}, python));
    EXPECT_TRUE(ProgramWatch::matches({"train.py", true}, python));
    EXPECT_TRUE(ProgramWatch::matches({"*train.py --epochs*", true}, python));
    EXPECT_FALSE(ProgramWatch::matches({"train.py*", true}, python));
    EXPECT_FALSE(ProgramWatch::matches({"", true}, python));
}

class ProgramWatchTest : public SimTest {
  protected:
    sim::SimProcesses& processes() { return laptop.processes(); }
    std::vector<bool> changes;
    ProgramWatch watch;
    void SetUp() override {
        watch.onChange = [this](bool running) { changes.push_back(running); };
    }
};

TEST_F(ProgramWatchTest, FollowsTheLastMatchingProcessAndFindsALaterOneAtTheNextScan) {
    const int first = processes().startProcess("rsync", "rsync -a src dst");
    const int second = processes().startProcess("rsync", "rsync -a other dst");
    watch.setPatterns({{"rsync", false}});
    EXPECT_TRUE(watch.isRunning());
    EXPECT_EQ(watch.matched(), "rsync (pid " + std::to_string(first) + ")");

    processes().endProcess(first);
    advance(ProgramWatch::kScanSeconds);
    EXPECT_TRUE(watch.isRunning());
    processes().endProcess(second);
    advance(ProgramWatch::kScanSeconds - 0.5);
    EXPECT_TRUE(watch.isRunning());
    advance(0.5);
    EXPECT_FALSE(watch.isRunning());

    // A program that starts later is found at the next scan.
    processes().startProcess("rsync");
    advance(ProgramWatch::kScanSeconds);
    EXPECT_EQ(changes, (std::vector<bool>{true, false, true}));
}

}  // namespace
}  // namespace noctave::test
