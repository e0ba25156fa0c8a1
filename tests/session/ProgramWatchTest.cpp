// Following the user's processes for a hold while a named program runs. That an emptied list
// stops the scans is shown with the delegate (AppDelegateTest).
#include "core/session/ProgramWatch.hpp"

#include <string>
#include <utility>
#include <vector>

#include "platform/sim/SimProcesses.hpp"
#include "tests/support/SimTest.hpp"

namespace noctave::test {
namespace {

using Pattern = ProgramWatch::Pattern;
using Info = os::Processes::ProcessInfo;

Info process(std::string name, std::string shortName, std::string commandLine) {
    Info info;
    info.pid = 1;
    info.name = std::move(name);
    info.shortName = std::move(shortName);
    info.commandLine = std::move(commandLine);
    return info;
}

TEST(ProgramWatchMatch, NamesMatchWholeAndCommandLinesAnywhereUnlessAWildcardSaysOtherwise) {
    const Info make = process("make", "make", "make -j8 all");
    const Info python = process("python3", "python3", "/usr/bin/python3 train.py --epochs 90");
    const Info transmission =
        process("transmission-gtk", "transmission-gt", "/usr/bin/transmission-gtk");
    const Info script = process("sh", "backup.sh", "/bin/sh ./backup.sh");
    const struct {
        Pattern pattern;
        const Info& process;
        bool matches;
    } cases[] = {
        {{"make", false}, make, true},
        {{"mak", false}, make, false},
        {{"pyth*", false}, python, true},
        {{"train.py", false}, python, false},
        {{"train.py", true}, python, true},
        {{"*train.py --epochs*", true}, python, true},
        {{"train.py*", true}, python, false},
        {{"", true}, python, false},
        // The kernel's name is cut to 15 bytes; the full name is matched, and the cut one too.
        {{"transmission-gtk", false}, transmission, true},
        {{"transmission-gt", false}, transmission, true},
        {{"transmission", false}, transmission, false},
        {{"backup.sh", false}, script, true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ProgramWatch::matches(c.pattern, c.process), c.matches)
            << c.pattern.text << " on " << c.process.name;
    }
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

    // A program that starts later is found at the next scan, by its full name.
    watch.setPatterns({{"rsync", false}, {"transmission-gtk", false}});
    const int later = processes().startProcess("transmission-gtk");
    advance(ProgramWatch::kScanSeconds);
    EXPECT_EQ(changes, (std::vector<bool>{true, false, true}));
    EXPECT_EQ(watch.matched(), "transmission-gtk (pid " + std::to_string(later) + ")");
}

}  // namespace
}  // namespace noctave::test
