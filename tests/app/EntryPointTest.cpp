#include <gtest/gtest.h>

#include <signal.h>

#include <filesystem>

#include <QImage>
#include <QProcess>
#include <QProcessEnvironment>

#include "tests/app/ShellTest.hpp"
#include "tests/support/TempDir.hpp"

namespace noctave::test {
namespace {

namespace fs = std::filesystem;

struct Outcome {
    int status = -1;
    bool crashed = false;
    std::string out;
    std::string err;
};

// Runs the noctave executable in `cwd` and waits for it to end.
class EntryPointTest : public ::testing::Test {
  protected:
    EntryPointTest() { ensureApplication(); }

    void start(QProcess& process, const QStringList& arguments) {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("QT_QPA_PLATFORM", "offscreen");
        environment.insert("NOCTAVE_PLATFORM", "sim");
        environment.insert("NOCTAVE_SIM_HOME",
                           QString::fromStdString((temp.path() / "home").string()));
        process.setProcessEnvironment(environment);
        process.setWorkingDirectory(QString::fromStdString(temp.path().string()));
        process.start(QStringLiteral(NOCTAVE_BINARY), arguments);
        ASSERT_TRUE(process.waitForStarted(10000));
    }

    Outcome run(const QStringList& arguments) {
        QProcess process;
        start(process, arguments);
        EXPECT_TRUE(process.waitForFinished(60000));
        return Outcome{process.exitCode(), process.exitStatus() == QProcess::CrashExit,
                       process.readAllStandardOutput().toStdString(),
                       process.readAllStandardError().toStdString()};
    }

    TempDir temp;
};

TEST_F(EntryPointTest, MissingValuesPrintTheUsageAndExitWithTwo) {
    Outcome r = run({"--preview-menu-icon"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "usage: Noctave --preview-menu-icon <png-path>\n");
    EXPECT_EQ(r.out, "");

    r = run({"--export-app-icon-set", "set"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "usage: Noctave --export-app-icon-set <directory> <source-png>\n");
    EXPECT_FALSE(fs::exists(temp.path() / "set"));
}

TEST_F(EntryPointTest, ExportsWriteRelativeToTheCurrentFolderAndPrintTheAbsolutePath) {
    Outcome r = run({"--preview-menu-icon", "preview.png"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "wrote " + (temp.path() / "preview.png").string() + "\n");
    EXPECT_EQ(QImage(QString::fromStdString((temp.path() / "preview.png").string())).size(),
              QSize(480, 176));

    r = run({"--export-app-icon-set", "icons/", "no-such-source.png"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "wrote " + (temp.path() / "icons").string() + "\n");
    EXPECT_EQ(
        std::distance(fs::directory_iterator(temp.path() / "icons"), fs::directory_iterator()), 10);
}

TEST_F(EntryPointTest, FailedExportsSayWhyAndExitWithOne) {
    Outcome r = run({"--preview-menu-icon", "missing-folder/p.png"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.rfind("could not export menu icon preview: ", 0), 0u) << r.err;
    EXPECT_EQ(r.err.back(), '\n');

    fs::create_directories(temp.path() / "blocked");
    fs::create_directories(temp.path() / "blocked" / "icon_16x16.png");
    r = run({"--export-app-icon-set", "blocked", "x.png"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.rfind("could not export app icon: ", 0), 0u) << r.err;
}

TEST_F(EntryPointTest, OnlyTheFirstModeRunsAndValuesAreTakenByPosition) {
    // The preview wins over the icon set, wherever they stand.
    Outcome r = run({"--export-app-icon-set", "icons", "src.png", "--preview-menu-icon", "p.png"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(fs::exists(temp.path() / "p.png"));
    EXPECT_FALSE(fs::exists(temp.path() / "icons"));

    // A value that looks like an option is still the path.
    r = run({"--preview-menu-icon", "--export-app-icon-set", "icons", "src.png"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(fs::is_regular_file(temp.path() / "--export-app-icon-set"));
    EXPECT_FALSE(fs::exists(temp.path() / "icons"));

    // A diagnostic command comes before every export.
    r = run({"--preview-menu-icon", "late.png", "--selftest"});
    EXPECT_FALSE(fs::exists(temp.path() / "late.png"));
}

// An option with anything appended matches nothing: the application starts, and a SIGTERM from
// the session manager ends it through the orderly shutdown.
TEST_F(EntryPointTest, NearMissOptionsStartTheApplicationWhichQuitsCleanlyOnSigterm) {
    QProcess process;
    start(process, {"--preview-menu-icon=p.png", "--export-app-icon-setx", "a", "b"});
    std::string err;
    for (int i = 0; i < 300 && err.find("launch (v") == std::string::npos; ++i) {
        process.waitForReadyRead(100);
        err += process.readAllStandardError().toStdString();
    }
    ASSERT_NE(err.find("launch (v"), std::string::npos) << err;
    // Give the launch a moment to finish before the signal, as a session manager would.
    for (int i = 0; i < 10; ++i) {
        process.waitForReadyRead(100);
        err += process.readAllStandardError().toStdString();
    }
    ::kill(static_cast<pid_t>(process.processId()), SIGTERM);
    ASSERT_TRUE(process.waitForFinished(20000));
    err += process.readAllStandardError().toStdString();
    EXPECT_EQ(process.exitStatus(), QProcess::NormalExit) << err;
    EXPECT_EQ(process.exitCode(), 0);
    EXPECT_NE(err.find("clean exit"), std::string::npos) << err;
    EXPECT_FALSE(fs::exists(temp.path() / "p.png"));
}

}  // namespace
}  // namespace noctave::test
