#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include <QImage>

#include "tests/support/ChildProcess.hpp"
#include "tests/support/TempDir.hpp"

namespace noctave::test {
namespace {

namespace fs = std::filesystem;

ProgramRun runNoctave(const fs::path& cwd, const std::vector<std::string>& arguments,
                      const char* platform) {
    fs::create_directories(cwd);
    ProgramOptions options{.set = {{"QT_QPA_PLATFORM", "offscreen"},
                                   {"NOCTAVE_SIM", "power=battery,battery=64,externals=1"},
                                   {"NOCTAVE_SIM_HOME", (cwd / "home").string()}},
                           .unset = {"NOCTAVE_PLATFORM"},
                           .workingDirectory = cwd};
    if (platform != nullptr) {
        options.set.emplace_back("NOCTAVE_PLATFORM", platform);
    }
    return runProgram(NOCTAVE_BINARY, arguments, options);
}

TEST(SimulatorModeTest,
     TheSnapshotDrawsTheWindowOnTheVirtualLaptopRemembersItsPlaceAndEndsCleanly) {
    TempDir temp;
    const fs::path cwd = temp.path() / "snapshot";
    // Chosen by the option itself: no NOCTAVE_PLATFORM needed.
    const ProgramRun run = runNoctave(cwd, {"--snapshot-simulator", "shot.png"}, nullptr);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "wrote " + (cwd / "shot.png").string() + "\n");
    // Its log goes to the log file only.
    EXPECT_EQ(run.err, "");
    std::string log;
    for (const auto& entry : fs::recursive_directory_iterator(cwd / "home")) {
        if (entry.path().filename() == "diagnostics.log") {
            log = readFile(entry.path());
        }
    }
    EXPECT_NE(log.find("running on the virtual laptop"), std::string::npos) << log;
    EXPECT_NE(log.find("clean exit"), std::string::npos) << log;

    const QImage image(QString::fromStdString((cwd / "shot.png").string()));
    ASSERT_FALSE(image.isNull());
    EXPECT_GE(image.width(), 500);
    EXPECT_GE(image.height(), 400);
    // A drawn window: a background, text and controls, not one flat colour.
    std::set<QRgb> colours;
    for (int y = 0; y < image.height(); y += 3) {
        for (int x = 0; x < image.width(); x += 3) {
            colours.insert(image.pixel(x, y));
        }
    }
    EXPECT_GT(colours.size(), 20u);
    // The settings file remembers where the window stood.
    const std::string text = readFile(cwd / "home" / "config" / "com.quillor.noctave.conf");
    EXPECT_NE(text.find("simulatorWindowX = "), std::string::npos) << text;
}

TEST(SimulatorModeTest, UsageErrorsAndTheRealBackendEndTheProcessWithStatusTwoOrOne) {
    struct Case {
        std::vector<std::string> arguments;
        const char* platform;
        int status;
        const char* says;  // how standard error begins
    };
    const Case cases[] = {
        {{"--snapshot-simulator"}, nullptr, 2, "usage: Noctave --snapshot-simulator <png-path>\n"},
        {{"--simulate"},
         "linux",
         2,
         "the virtual laptop's window needs the virtual laptop, not NOCTAVE_PLATFORM=linux\n"},
        {{"--snapshot-simulator", "never.png"}, "linux", 2, "the virtual laptop's window needs"},
        {{"--snapshot-simulator", "/dev/null/x.png"},
         "sim",
         1,
         ""},  // the launch's log comes first; the failure line is checked below
    };
    TempDir temp;
    int index = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.arguments));
        const fs::path cwd = temp.path() / std::to_string(index++);
        const ProgramRun run = runNoctave(cwd, c.arguments, c.platform);
        EXPECT_EQ(run.status, c.status) << run.err;
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err.rfind(c.says, 0), 0u) << run.err;
        EXPECT_FALSE(fs::exists(cwd / "never.png"));
        if (c.status == 1) {
            EXPECT_NE(run.err.find("could not export simulator snapshot: cannot write "
                                   "/dev/null/x.png"),
                      std::string::npos)
                << run.err;
        }
    }
}

}  // namespace
}  // namespace noctave::test
