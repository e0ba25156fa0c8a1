#include "core/support/Log.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

#include "core/runtime/ThreadedRuntime.hpp"
#include "tests/support/SimTest.hpp"

namespace noctave {
namespace {

namespace fs = std::filesystem;

unsigned mode(const fs::path& path) {
    struct stat info {};
    ::stat(path.c_str(), &info);
    return info.st_mode & 0777;
}

class LogTest : public test::SimTest {
  protected:
    fs::path folder() const { return Log::directory(); }
    fs::path current() const { return folder() / "diagnostics.log"; }
    fs::path previous() const { return folder() / "diagnostics.1.log"; }
};

// That the stamp is the real time even in virtual time is shown by a check run as a process
// (DiagnosticModeTest).
TEST_F(LogTest, FirstLineCreatesPrivateFolderAndFileWithExactlyThatLine) {
    ASSERT_FALSE(fs::exists(folder()));
    Log::info("keep-awake disabled");
    EXPECT_FALSE(fs::exists(current())) << "the append waits for the log queue";
    runUntilIdle();
    const std::string text = test::readFile(current());
    EXPECT_TRUE(std::regex_match(
        text,
        std::regex(R"(\[\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z\] INF keep-awake disabled\n)")))
        << text;
    EXPECT_EQ(mode(folder()), 0700u);
    EXPECT_EQ(mode(current()), 0600u);
    EXPECT_EQ(folder(), laptop.root() / "state" / "Noctave");
}

TEST_F(LogTest, DebugIsSilentAndUnevaluatedUnlessVerbose) {
    bool evaluated = false;
    Log::debug([&] {
        evaluated = true;
        return std::string("expensive");
    });
    runUntilIdle();
    EXPECT_FALSE(evaluated);
    EXPECT_FALSE(fs::exists(current()));
    EXPECT_TRUE(log.lines().empty());

    Log::setVerbose(true);
    Log::debug([&] {
        evaluated = true;
        return std::string("expensive");
    });
    EXPECT_TRUE(evaluated);
    EXPECT_EQ(log.lines(), std::vector<std::string>{"DBG expensive"});
}

TEST_F(LogTest, RotationTestsTheSizeBeforeTheWrite) {
    fs::create_directories(folder());
    {
        std::ofstream prior(previous());
        prior << "old rotated content\n";
        std::ofstream full(current(), std::ios::binary);
        full << std::string(262'144, 'x');
    }
    Log::info("still fits");
    runUntilIdle();
    EXPECT_EQ(test::readFile(current()).substr(262'144 + 27), "INF still fits\n");
    EXPECT_EQ(test::readFile(previous()), "old rotated content\n");

    Log::info("starts a new file");
    runUntilIdle();
    EXPECT_EQ(test::readFile(current()).substr(27), "INF starts a new file\n");
    EXPECT_EQ(test::readFile(previous()).size(),
              262'144u + 27u + std::string("INF still fits\n").size());
    EXPECT_EQ(mode(current()), 0600u);
}

TEST_F(LogTest, SnapshotJoinsPreviousThenCurrentAndToleratesMissingFiles) {
    EXPECT_EQ(Log::snapshot(), "");
    fs::create_directories(folder());
    { std::ofstream(current()) << "current\n"; }
    EXPECT_EQ(Log::snapshot(), "current\n");
    { std::ofstream(previous()) << "previous\n"; }
    EXPECT_EQ(Log::snapshot(), "previous\ncurrent\n");
    { std::ofstream(previous(), std::ios::binary) << "\xff\xfe broken"; }
    EXPECT_EQ(Log::snapshot(), "current\n") << "a file that is not UTF-8 contributes nothing";
    { std::ofstream(previous()) << "previous\n"; }
    fs::resize_file(previous(), 100'000'000);
    EXPECT_EQ(Log::snapshot(), "current\n") << "nor one far larger than a log ever grows";
}

// A FIFO or a folder where a log file should be: nothing waits on it (the append ran on the log
// queue, the snapshot on the main thread), and the current file starts again beside it.
TEST_F(LogTest, AFifoOrFolderInAFilesPlaceIsNeverWaitedOnAndTheLogStartsAgain) {
    for (const bool fifo : {true, false}) {
        SCOPED_TRACE(fifo ? "a FIFO" : "a folder");
        fs::remove_all(folder());
        fs::create_directories(folder());
        for (const fs::path& file : {current(), previous()}) {
            if (fifo) {
                ASSERT_EQ(::mkfifo(file.c_str(), 0600), 0);
            } else {
                fs::create_directories(file / "inside");
            }
        }
        EXPECT_EQ(Log::snapshot(), "");
        Log::info("after the FIFO");
        runUntilIdle();
        const fs::path aside = current().string() + ".bad";
        EXPECT_EQ(fs::is_fifo(aside), fifo);
        EXPECT_EQ(fs::is_directory(aside), !fifo);
        const std::string text = test::readFile(current());
        EXPECT_TRUE(std::regex_match(
            text, std::regex(R"(\[[^\]]+\] WRN log file was not a file; moved aside to )" +
                             aside.string() + R"(\n\[[^\]]+\] INF after the FIFO\n)")))
            << text;
        EXPECT_EQ(Log::snapshot(), text);
    }
}

TEST_F(LogTest, AFolderThatCannotBeMadeDropsTheLineOnlyForTheFile) {
    fs::create_directories(folder().parent_path());
    { std::ofstream(folder()) << "a file where the folder should be"; }
    Log::error("still reaches the observer");
    runUntilIdle();
    EXPECT_TRUE(log.contains("still reaches the observer"));
    EXPECT_TRUE(fs::is_regular_file(folder()));
}

// Real threads on the real runtime: lines land whole and never interleave.
TEST(LogThreadsTest, ConcurrentWritersProduceWholeLines) {
    test::TempDir temp;
    runtime::ThreadedRuntime runtime;
    runtime::RuntimeInstaller runtimeInstaller{runtime};
    sim::VirtualLaptop laptop{temp.path()};
    os::SystemInstaller systemInstaller{laptop.system()};
    test::LogCapture capture;
    std::vector<std::thread> writers;
    for (int t = 0; t < 4; ++t) {
        writers.emplace_back([t] {
            for (int i = 0; i < 200; ++i) {
                Log::info("writer " + std::to_string(t) + " line " + std::to_string(i) + " " +
                          std::string(100, static_cast<char>('a' + t)));
            }
        });
    }
    for (auto& writer : writers) {
        writer.join();
    }
    Log::flush();
    std::istringstream lines(test::readFile(Log::directory() / "diagnostics.log"));
    const std::regex whole(R"(\[[^\]]+\] INF writer (\d) line \d+ ([a-d])\2{99})");
    int count = 0;
    for (std::string line; std::getline(lines, line); ++count) {
        std::smatch match;
        ASSERT_TRUE(std::regex_match(line, match, whole)) << line;
        EXPECT_EQ(match[2].str()[0], 'a' + (match[1].str()[0] - '0'));
    }
    EXPECT_EQ(count, 800);
}

}  // namespace
}  // namespace noctave
