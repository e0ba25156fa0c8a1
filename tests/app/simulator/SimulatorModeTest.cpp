#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>

#include <QImage>
#include <QProcess>
#include <QProcessEnvironment>

#include "tests/support/TempDir.hpp"

namespace noctave::test {
namespace {

namespace fs = std::filesystem;

struct Outcome {
    int status = -1;
    std::string out, err;
};

Outcome runNoctave(const fs::path& cwd, const QStringList& arguments, const char* platform) {
    fs::create_directories(cwd);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("QT_QPA_PLATFORM", "offscreen");
    environment.remove("NOCTAVE_PLATFORM");
    if (platform != nullptr) {
        environment.insert("NOCTAVE_PLATFORM", platform);
    }
    environment.insert("NOCTAVE_SIM", "power=battery,battery=64,externals=1");
    environment.insert("NOCTAVE_SIM_HOME", QString::fromStdString((cwd / "home").string()));
    QProcess process;
    process.setProcessEnvironment(environment);
    process.setWorkingDirectory(QString::fromStdString(cwd.string()));
    process.start(QStringLiteral(NOCTAVE_BINARY), arguments);
    Outcome run;
    if (!process.waitForFinished(60000)) {
        process.kill();
        process.waitForFinished();
        return run;
    }
    run.status = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run.out = process.readAllStandardOutput().toStdString();
    run.err = process.readAllStandardError().toStdString();
    return run;
}

TEST(SimulatorModeTest, TheSnapshotDrawsTheWindowOnTheVirtualLaptopAndEndsCleanly) {
    TempDir temp;
    const fs::path cwd = temp.path() / "snapshot";
    // Chosen by the option itself: no NOCTAVE_PLATFORM needed.
    const Outcome run = runNoctave(cwd, {"--snapshot-simulator", "shot.png"}, nullptr);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "wrote " + (cwd / "shot.png").string() + "\n");
    EXPECT_NE(run.err.find("running on the virtual laptop"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("clean exit"), std::string::npos) << run.err;

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
    std::ifstream settings(cwd / "home" / "config" / "com.quillor.noctave.conf");
    const std::string text((std::istreambuf_iterator<char>(settings)), {});
    EXPECT_NE(text.find("simulatorWindowX = "), std::string::npos) << text;
}

TEST(SimulatorModeTest, UsageErrorsAndTheRealBackendEndTheProcessWithStatusTwoOrOne) {
    struct Case {
        QStringList arguments;
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
        SCOPED_TRACE(c.arguments.join(' ').toStdString());
        const fs::path cwd = temp.path() / std::to_string(index++);
        const Outcome run = runNoctave(cwd, c.arguments, c.platform);
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
