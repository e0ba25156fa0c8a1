// The real `noctave` on the virtual laptop, serving a private session bus, driven by
// `noctave ctl` run as a script would run it. Waits are for bus names and output lines, each
// with a deadline; nothing sleeps.
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "app/control/ControlClient.hpp"
#include "app/control/ControlNames.hpp"
#include "tests/support/TempDir.hpp"

extern char** environ;

namespace noctave::test {
namespace {

using ::testing::HasSubstr;
using Json = nlohmann::json;

constexpr const char* kDaemon = "/usr/bin/dbus-daemon";

// A child process with its standard output on a pipe (standard error goes to `errFile`).
struct Child {
    pid_t pid = -1;
    int out = -1;
    std::string buffered;

    ~Child() {
        if (pid > 0) {
            kill(-pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        if (out >= 0) {
            close(out);
        }
    }
    // The next line of output, or nothing once the deadline passes or the output ends.
    std::optional<std::string> line(double seconds = 20) {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(int(seconds * 1000));
        for (;;) {
            if (auto end = buffered.find('\n'); end != std::string::npos) {
                std::string text = buffered.substr(0, end);
                buffered.erase(0, end + 1);
                return text;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  deadline - std::chrono::steady_clock::now())
                                  .count();
            pollfd fd{out, POLLIN, 0};
            if (left <= 0 || poll(&fd, 1, static_cast<int>(left)) <= 0) {
                return std::nullopt;
            }
            char chunk[512];
            const ssize_t got = read(out, chunk, sizeof chunk);
            if (got <= 0) {
                return std::nullopt;
            }
            buffered.append(chunk, static_cast<std::size_t>(got));
        }
    }
    // Reads lines until one contains `text`.
    bool waitForLine(const std::string& text) {
        while (auto next = line()) {
            if (next->find(text) != std::string::npos) {
                return true;
            }
        }
        return false;
    }
    int wait() {
        int status = 0;
        waitpid(pid, &status, 0);
        pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
};

// Starts argv in a process group of its own (so a test can end it with what it started).
std::unique_ptr<Child> spawn(const std::vector<std::string>& argv, const std::string& errFile) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        return nullptr;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errFile.c_str(),
                                     O_WRONLY | O_CREAT | O_APPEND, 0600);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    std::vector<char*> args;
    for (const auto& a : argv) {
        args.push_back(const_cast<char*>(a.c_str()));
    }
    args.push_back(nullptr);
    auto child = std::make_unique<Child>();
    const int rc = posix_spawn(&child->pid, args[0], &actions, &attributes, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    close(fds[1]);
    child->out = fds[0];
    if (rc != 0) {
        child->pid = -1;
    }
    return child;
}

struct Result {
    int status = -1;
    std::string out;
};

class ControlBusTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (access(kDaemon, X_OK) != 0) {
            GTEST_SKIP() << "dbus-daemon is not installed";
        }
        // Other users may connect (the caller check is the service's, not the bus's).
        chmod(temp.path().c_str(), 0755);
        const auto config = temp.path() / "session.conf";
        std::ofstream(config) << "<busconfig><type>session</type><listen>unix:dir="
                              << temp.path().string()
                              << "</listen><auth>EXTERNAL</auth><policy context=\"default\">"
                                 "<allow user=\"*\"/><allow send_destination=\"*\" "
                                 "eavesdrop=\"true\"/><allow eavesdrop=\"true\"/>"
                                 "<allow own=\"*\"/></policy></busconfig>\n";
        daemon = spawn({kDaemon, "--config-file=" + config.string(), "--nofork", "--nopidfile",
                        "--print-address=1"},
                       errors());
        const auto address = daemon->line(10);
        ASSERT_TRUE(address && !address->empty()) << "dbus-daemon did not start";
        setenv("DBUS_SESSION_BUS_ADDRESS", address->c_str(), 1);
        std::string error;
        client = control::ControlClient::connect(&error);
        ASSERT_TRUE(client) << error;
    }
    void TearDown() override {
        client.reset();
        unsetenv("DBUS_SESSION_BUS_ADDRESS");
    }

    std::string errors() const { return (temp.path() / "stderr.log").string(); }

    // The application on the virtual laptop, offscreen; returns once it owns its name.
    void launch(const std::string& sim = "") {
        setenv("NOCTAVE_PLATFORM", "sim", 1);
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
        setenv("NOCTAVE_SIM_HOME", (temp.path() / "home").c_str(), 1);
        setenv("NOCTAVE_SIM", sim.c_str(), 1);
        app = spawn({NOCTAVE_BINARY}, (temp.path() / "noctave.log").string());
        ASSERT_TRUE(waitForName(true)) << "noctave never took " << control::kBusName;
    }

    bool waitForName(bool present) {
        sd_bus* bus = client->bus();
        sd_bus_slot* slot = nullptr;
        const std::string rule = std::string(
                                     "type='signal',sender='org.freedesktop.DBus',member='"
                                     "NameOwnerChanged',arg0='") +
                                 control::kBusName + "'";
        sd_bus_add_match(bus, &slot, rule.c_str(), nullptr, nullptr);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        bool reached = false;
        while (!reached && std::chrono::steady_clock::now() < deadline) {
            sd_bus_error error = SD_BUS_ERROR_NULL;
            sd_bus_message* reply = nullptr;
            int has = 0;
            if (sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                   "org.freedesktop.DBus", "NameHasOwner", &error, &reply, "s",
                                   control::kBusName) >= 0 &&
                sd_bus_message_read(reply, "b", &has) >= 0) {
                reached = (has != 0) == present;
            }
            sd_bus_message_unref(reply);
            sd_bus_error_free(&error);
            // Wait for the next NameOwnerChanged rather than asking again at once.
            while (!reached && sd_bus_process(bus, nullptr) > 0) {
            }
            if (!reached) {
                sd_bus_wait(bus, 1'000'000);
            }
        }
        sd_bus_slot_unref(slot);
        return reached;
    }

    Result ctl(std::vector<std::string> args) {
        args.insert(args.begin(), {NOCTAVE_BINARY, "ctl"});
        auto child = spawn(args, errors());
        Result result;
        while (auto next = child->line(60)) {
            result.out += *next + "\n";
        }
        result.status = child->wait();
        return result;
    }
    Json statusJson() {
        const Result result = ctl({"status", "--json"});
        EXPECT_EQ(result.status, 0) << result.out;
        return Json::parse(result.out, nullptr, false);
    }
    std::string lastErrors() {
        std::ifstream file(errors());
        return std::string(std::istreambuf_iterator<char>(file), {});
    }

    TempDir temp;
    std::unique_ptr<Child> daemon;
    std::unique_ptr<Child> app;
    std::unique_ptr<control::ControlClient> client;
};

TEST_F(ControlBusTest, WithoutARunningNoctaveCtlSaysSoAndExits69) {
    const Result result = ctl({"status"});
    EXPECT_EQ(result.status, 69);
    EXPECT_THAT(lastErrors(), HasSubstr("noctave ctl: Noctave is not running.\n"));
    // Disarming never starts one, and neither does a bus that is not there.
    EXPECT_EQ(ctl({"disarm"}).status, 69);
    setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + (temp.path() / "none").string()).c_str(), 1);
    EXPECT_EQ(ctl({"watch"}).status, 69);
    EXPECT_THAT(lastErrors(), HasSubstr("noctave ctl: no session bus ("));
    EXPECT_EQ(ctl({"bogus"}).status, 64);
}

TEST_F(ControlBusTest, ArmDisarmAndKeepAwakeRoundTripThroughStatus) {
    launch();
    Json status = statusJson();
    EXPECT_EQ(status["state"], "disarmed");
    EXPECT_EQ(status["holds"], Json::array());
    EXPECT_TRUE(status["lastDisarm"].is_null());
    EXPECT_FALSE(status["lidClosed"].get<bool>());

    Result armed = ctl({"arm"});
    EXPECT_EQ(armed.status, 0);
    EXPECT_EQ(armed.out, "armed\n");
    EXPECT_EQ(statusJson()["state"], "armed");

    EXPECT_EQ(ctl({"disarm"}).out, "disarmed\n");
    status = statusJson();
    EXPECT_EQ(status["state"], "disarmed");
    EXPECT_EQ(status["lastDisarm"]["reason"], "dbus");

    const Result keepAwake = ctl({"keep-awake", "on"});
    EXPECT_EQ(keepAwake.status, 0);
    EXPECT_EQ(keepAwake.out, "KeepAwake=on\n");
    const Result text = ctl({"status"});
    EXPECT_THAT(text.out, HasSubstr("State: disarmed\nKeep awake: on\nLid: open\n"));
    EXPECT_THAT(text.out, HasSubstr("Last disarm: dbus at "));
    EXPECT_EQ(ctl({"keep-awake", "maybe"}).status, 64);
}

TEST_F(ControlBusTest, HoldArmsWhileItsCommandRunsAndExitsWithItsStatus) {
    launch();
    const auto inside = temp.path() / "inside.json";
    const Result result =
        ctl({"hold", "--", "sh", "-c",
             std::string(NOCTAVE_BINARY) + " ctl status --json > " + inside.string() + "; exit 3"});
    EXPECT_EQ(result.status, 3);

    std::ifstream file(inside);
    const Json during = Json::parse(file, nullptr, false);
    EXPECT_EQ(during["state"], "armed");
    ASSERT_EQ(during["holds"].size(), 1u);
    EXPECT_THAT(during["holds"][0]["reason"].get<std::string>(), HasSubstr("sh -c "));

    const Json after = statusJson();
    EXPECT_EQ(after["state"], "disarmed");
    EXPECT_EQ(after["holds"], Json::array());
    EXPECT_EQ(after["lastDisarm"]["reason"], "dbus: last hold ended");
}

TEST_F(ControlBusTest, HoldsEndWithTheirClientOrTheirProcessAndWatchSeesEachChange) {
    launch();
    auto watch = spawn({NOCTAVE_BINARY, "ctl", "watch"}, errors());
    ASSERT_TRUE(watch->waitForLine("State=disarmed"));

    // A holder killed outright: its connection goes, and its hold with it.
    auto holder =
        spawn({NOCTAVE_BINARY, "ctl", "hold", "--reason", "agent", "--", "sleep", "300"}, errors());
    ASSERT_TRUE(watch->waitForLine("Holds=1"));
    kill(-holder->pid, SIGKILL);
    ASSERT_TRUE(watch->waitForLine("State=disarmed"));
    EXPECT_EQ(statusJson()["holds"], Json::array());

    // Holding on a process: until it exits.
    auto job = spawn({"/bin/sleep", "300"}, errors());
    auto pidHolder =
        spawn({NOCTAVE_BINARY, "ctl", "hold", "--pid", std::to_string(job->pid)}, errors());
    ASSERT_TRUE(watch->waitForLine("Holds=1"));
    EXPECT_THAT(statusJson()["holds"][0]["reason"].get<std::string>(), HasSubstr("sleep"));
    kill(job->pid, SIGKILL);
    EXPECT_EQ(pidHolder->wait(), 0);
    ASSERT_TRUE(watch->waitForLine("State=disarmed"));
}

TEST_F(ControlBusTest, ASignalSentToHoldReachesItsCommand) {
    launch();
    auto holder = spawn({NOCTAVE_BINARY, "ctl", "hold", "--", "sh", "-c",
                         "trap 'exit 7' TERM; echo ready; while :; do sleep 0.05; done"},
                        errors());
    ASSERT_TRUE(holder->waitForLine("ready"));
    kill(holder->pid, SIGTERM);
    EXPECT_EQ(holder->wait(), 7);
    EXPECT_EQ(statusJson()["state"], "disarmed");
}

TEST_F(ControlBusTest, ARefusedArmIsAnsweredWhileItsAlertStillWaitsForTheUser) {
    // Offscreen, nobody dismisses the alert the refusal raises: the answer must not wait for it.
    launch("flag=refuse");
    const Result result = ctl({"arm"});
    EXPECT_EQ(result.status, 1);
    EXPECT_THAT(lastErrors(),
                HasSubstr("noctave ctl: Could not change the Mac's sleep setting. Try again.\n"));
    control::Status status;
    EXPECT_FALSE(client->status(status));
    EXPECT_EQ(status.state, "disarmed");
}

TEST_F(ControlBusTest, MalformedCallsAreAnsweredWithErrorsAndTheServiceGoesOn) {
    launch();
    auto error = client->call("Hold", false,
                              [](sd_bus_message* m) { return sd_bus_message_append(m, "u", 5u); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->name, "org.freedesktop.DBus.Error.InvalidArgs");
    error = client->call("Hold", false, [](sd_bus_message* m) {
        return sd_bus_message_append(m, "s", "two\nlines");
    });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->name, "org.freedesktop.DBus.Error.InvalidArgs");
    EXPECT_EQ(error->message, "reason must be printable text (no control characters)");
    error = client->call("Release", false,
                         [](sd_bus_message* m) { return sd_bus_message_append(m, "u", 99u); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->name, "com.quillor.noctave.Error.NoSuchHold");
    error = client->call("Explode", false);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->name, "org.freedesktop.DBus.Error.UnknownMethod");

    control::Status status;
    EXPECT_FALSE(client->status(status));
    EXPECT_EQ(status.state, "disarmed");
}

TEST_F(ControlBusTest, ACallerWithAnotherUidIsRefused) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to connect as another user";
    }
    launch();
    const pid_t pid = fork();
    if (pid == 0) {
        const int err = open(errors().c_str(), O_WRONLY | O_APPEND);
        dup2(err, STDERR_FILENO);
        if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) {
            _exit(100);
        }
        const char* args[] = {NOCTAVE_BINARY, "ctl", "arm", nullptr};
        execve(args[0], const_cast<char**>(args), environ);
        _exit(101);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 77);
    EXPECT_THAT(lastErrors(), HasSubstr("noctave ctl: Noctave answers only its own user\n"));
    EXPECT_EQ(statusJson()["state"], "disarmed");
}

}  // namespace
}  // namespace noctave::test
