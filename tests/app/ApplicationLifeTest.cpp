// The tray application's life as a session manager or a script sees it: a process, its exit
// status and what it leaves behind.
#include <signal.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include <QProcess>
#include <QProcessEnvironment>

#include "tests/support/TempDir.hpp"

namespace noctave::test {
namespace {

namespace fs = std::filesystem;

QProcessEnvironment simEnvironment(const fs::path& home) {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("QT_QPA_PLATFORM", "offscreen");
    environment.insert("NOCTAVE_PLATFORM", "sim");
    environment.insert("NOCTAVE_SIM_HOME", QString::fromStdString(home.string()));
    environment.remove("NOCTAVE_SIM");
    return environment;
}

// Reads standard error until `text` has appeared; false when the process ended first.
bool waitForError(QProcess& process, const std::string& text, std::string* seen) {
    process.setReadChannel(QProcess::StandardError);
    while (seen->find(text) == std::string::npos) {
        if (!process.waitForReadyRead(30000)) {
            return false;
        }
        *seen += process.readAllStandardError().toStdString();
    }
    return true;
}

TEST(ApplicationLifeTest, WithoutADisplayItSaysSoInOneLineAndLeavesNothingBehind) {
    TempDir temp;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "NOCTAVE_SIM_HOME"}) {
        environment.remove(name);
    }
    environment.insert("NOCTAVE_PLATFORM", "sim");
    environment.insert("TMPDIR", QString::fromStdString(temp.path().string()));
    QProcess process;
    process.setProcessEnvironment(environment);
    process.start(QStringLiteral(NOCTAVE_BINARY), {});
    ASSERT_TRUE(process.waitForFinished(60000));
    EXPECT_EQ(process.exitStatus(), QProcess::NormalExit) << "no abort";
    EXPECT_EQ(process.exitCode(), 1);
    EXPECT_EQ(process.readAllStandardError().toStdString(),
              "Noctave: the tray application needs a graphical session (DISPLAY or "
              "WAYLAND_DISPLAY); the command-line checks (--selftest, --diagnose, "
              "--verify-disconnect-guard) and the image exports work without one.\n");
    EXPECT_TRUE(process.readAllStandardOutput().isEmpty());
    EXPECT_TRUE(fs::is_empty(temp.path())) << "no virtual laptop folder left in TMPDIR";
}

// A termination signal at any moment after the process can handle one is an orderly quit; a
// launch that failed ends with status 1 once its alert is gone.
TEST(ApplicationLifeTest, ASignalRightAfterStartQuitsInOrderAndAFailedLaunchExitsWithOne) {
    const struct {
        const char* sim;
        const char* waitFor;  // on standard error, before the signal
        int signalNumber;
        int status;
        const char* logEnds;  // how the diagnostic log ends
    } cases[] = {
        // Before the launch has run: nothing to shut down yet.
        {"", "INF running on the virtual laptop (NOCTAVE_PLATFORM=sim)", SIGTERM, 0, ""},
        {"", "INF running on the virtual laptop (NOCTAVE_PLATFORM=sim)", SIGHUP, 0, ""},
        {"", "INF running on the virtual laptop (NOCTAVE_PLATFORM=sim)", SIGINT, 0, ""},
        // Launched: the session's shutdown runs.
        {"", "INF session ready", SIGTERM, 0, "INF clean exit\n"},
        // The alert of a failed launch is up; the session manager ends it.
        {"rootdomain=missing", "ERR launch failed: IOPMrootDomain service not found", SIGTERM, 1,
         "ERR launch failed: IOPMrootDomain service not found\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.waitFor) + " / signal " + std::to_string(c.signalNumber));
        TempDir temp;
        QProcessEnvironment environment = simEnvironment(temp.path());
        if (*c.sim != '\0') {
            environment.insert("NOCTAVE_SIM", c.sim);
        }
        QProcess process;
        process.setProcessEnvironment(environment);
        process.start(QStringLiteral(NOCTAVE_BINARY), {});
        ASSERT_TRUE(process.waitForStarted(30000));
        std::string seen;
        ASSERT_TRUE(waitForError(process, c.waitFor, &seen)) << seen;
        ::kill(static_cast<pid_t>(process.processId()), c.signalNumber);
        ASSERT_TRUE(process.waitForFinished(30000));
        seen += process.readAllStandardError().toStdString();
        EXPECT_EQ(process.exitStatus(), QProcess::NormalExit) << seen;
        EXPECT_EQ(process.exitCode(), c.status) << seen;
        if (*c.logEnds != '\0') {
            // The last log line (the toolkit may add remarks of its own after it).
            std::string last;
            std::istringstream lines(seen);
            for (std::string line; std::getline(lines, line);) {
                if (line.starts_with('[')) {
                    last = line + "\n";
                }
            }
            EXPECT_TRUE(last.ends_with(c.logEnds)) << seen;
        }
        // The running application leaves its report of the virtual machine, as the checks do.
        std::ifstream report(temp.path() / "sim-state");
        std::string first;
        std::getline(report, first);
        EXPECT_EQ(first, "lid-close bit: clear");
    }
}

}  // namespace
}  // namespace noctave::test
