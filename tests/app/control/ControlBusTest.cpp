// The real `noctave` on the virtual laptop, serving a private session bus, driven by
// `noctave ctl` run as a script would run it. Waits are for bus names and output lines, each
// with a deadline; nothing sleeps.
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/control/ControlClient.hpp"
#include "app/control/ControlNames.hpp"
#include "tests/support/BusDaemon.hpp"
#include "tests/support/ChildProcess.hpp"
#include "tests/support/NameWait.hpp"
#include "tests/support/TempDir.hpp"

namespace noctave::test {
namespace {

using ::testing::HasSubstr;
using Json = nlohmann::json;

// Starts argv in a process group of its own (so a test can end it with what it started), its
// standard error appended to `errFile`.
std::unique_ptr<ChildProcess> spawn(const std::vector<std::string>& argv,
                                    const std::string& errFile) {
    return std::make_unique<ChildProcess>(
        argv.front(), std::vector<std::string>(argv.begin() + 1, argv.end()),
        ProgramOptions{.standardError = errFile, .ownProcessGroup = true});
}

class ControlBusTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!hasProgram("dbus-daemon")) {
            GTEST_SKIP() << "dbus-daemon is not installed";
        }
        // Other users may connect (the caller check is the service's, not the bus's).
        bus.emplace("session", true);
        ASSERT_FALSE(bus->address().empty()) << "dbus-daemon did not start";
        setenv("DBUS_SESSION_BUS_ADDRESS", bus->address().c_str(), 1);
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

    bool waitForName(bool present, const std::string& name = control::kBusName) {
        return waitForOwner(client->connection(), name, present);
    }

    ProgramRun ctl(std::vector<std::string> args) {
        args.insert(args.begin(), {NOCTAVE_BINARY, "ctl"});
        return spawn(args, errors())->wait();
    }
    Json statusJson() {
        const ProgramRun result = ctl({"status", "--json"});
        EXPECT_EQ(result.status, 0) << result.out;
        return Json::parse(result.out, nullptr, false);
    }
    std::string lastErrors() { return readFile(errors()); }

    TempDir temp;
    std::optional<BusDaemon> bus;
    std::unique_ptr<ChildProcess> app;
    std::unique_ptr<control::ControlClient> client;
};

TEST_F(ControlBusTest, WithoutARunningNoctaveCtlSaysSoAndExits69) {
    const ProgramRun result = ctl({"status"});
    EXPECT_EQ(result.status, 69);
    EXPECT_THAT(lastErrors(), HasSubstr("noctave ctl: Noctave is not running.\n"));
    // Disarming never starts one, and neither does a bus that is not there.
    EXPECT_EQ(ctl({"disarm"}).status, 69);
    setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + (temp.path() / "none").string()).c_str(), 1);
    EXPECT_EQ(ctl({"watch"}).status, 69);
    EXPECT_THAT(lastErrors(), HasSubstr("noctave ctl: cannot reach Noctave: no session bus ("));
    EXPECT_EQ(ctl({"bogus"}).status, 64);
}

// A bus that takes the connection and drops it, as another user's session bus does: every
// verb is "cannot reach Noctave" with 69, and a hold runs nothing.
TEST_F(ControlBusTest, ABusThatRefusesUsIsUnreachableForEveryVerb) {
    const auto socketPath = temp.path() / "refusing";
    const int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(listener, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socketPath.c_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listener, 16), 0);
    std::thread refuser([listener] {
        for (int client; (client = accept(listener, nullptr, nullptr)) >= 0;) {
            close(client);
        }
    });
    setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + socketPath.string()).c_str(), 1);

    const auto marker = temp.path() / "ran";
    const std::vector<std::vector<std::string>> verbs{{"status"},
                                                      {"status", "--json"},
                                                      {"arm"},
                                                      {"arm", "--for", "1h"},
                                                      {"disarm"},
                                                      {"keep-awake", "on"},
                                                      {"history"},
                                                      {"watch"},
                                                      {"hold", "--pid", std::to_string(getpid())},
                                                      {"hold", "--", "touch", marker.string()}};
    for (const auto& verb : verbs) {
        const ProgramRun result = ctl(verb);
        EXPECT_EQ(result.status, 69) << verb[0] << ": " << lastErrors();
        EXPECT_THAT(lastErrors(), HasSubstr("noctave ctl: cannot reach Noctave")) << verb[0];
    }
    EXPECT_FALSE(std::filesystem::exists(marker));
    shutdown(listener, SHUT_RDWR);
    close(listener);
    refuser.join();
}

TEST_F(ControlBusTest, ACommandThatCannotStartNeverArms) {
    launch();
    const ProgramRun missing = ctl({"hold", "--", "/nonexistent"});
    EXPECT_EQ(missing.status, 127);
    EXPECT_THAT(lastErrors(), HasSubstr("cannot run /nonexistent: No such file or directory"));
    const ProgramRun denied = ctl({"hold", "--", temp.path().string()});
    EXPECT_EQ(denied.status, 126);
    EXPECT_EQ(ctl({"hold", "--", "no-such-program-anywhere"}).status, 127);
    // Nothing was ever held: no session ended, none is recorded.
    const Json status = statusJson();
    EXPECT_EQ(status["state"], "disarmed");
    EXPECT_TRUE(status["lastDisarm"].is_null());
    EXPECT_EQ(Json::parse(ctl({"history", "--json"}).out, nullptr, false)["sessions"],
              Json::array());
}

// One Noctave per user: a second launch asks the running one to come forward and ends; the
// exports and snapshots still run beside it.
TEST_F(ControlBusTest, ASecondLaunchBringsTheRunningOneForwardAndEnds) {
    launch();
    const auto firstLog = temp.path() / "noctave.log";
    const auto logged = [&firstLog](const std::string& line) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (std::chrono::steady_clock::now() < deadline) {
            if (readFile(firstLog).find(line) != std::string::npos) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    };

    const ProgramRun second = runProgram(NOCTAVE_BINARY, {}, {}, 20);
    EXPECT_EQ(second.status, 0) << second.err;
    EXPECT_EQ(second.out, "Noctave is already running; it was brought forward.\n");
    EXPECT_TRUE(logged("INF activated\n")) << readFile(firstLog);
    EXPECT_EQ(runProgram(NOCTAVE_BINARY, {"--show-onboarding"}, {}, 20).status, 0);
    EXPECT_TRUE(logged("INF activated (onboarding)\n")) << readFile(firstLog);

    // The launcher's actions by name; one it does not offer is refused.
    EXPECT_FALSE(client->activate("settings", 5.0));
    EXPECT_TRUE(logged("INF activated (settings)\n")) << readFile(firstLog);
    const auto unknown = client->activate("bogus", 5.0);
    ASSERT_TRUE(unknown);
    EXPECT_EQ(unknown->name, "org.freedesktop.DBus.Error.InvalidArgs");

    const auto picture = temp.path() / "settings.png";
    const ProgramRun snapshot =
        runProgram(NOCTAVE_BINARY, {"--snapshot-settings", picture.string()}, {}, 60);
    EXPECT_EQ(snapshot.status, 0) << snapshot.err;
    EXPECT_EQ(snapshot.out, "wrote " + picture.string() + "\n");
    // And the first one is still the one serving.
    EXPECT_EQ(statusJson()["state"], "disarmed");
    EXPECT_TRUE(client->connection().nameHasOwner(control::kBusName, 5.0).value_or(false));
}

TEST_F(ControlBusTest, ArmDisarmAndKeepAwakeRoundTripThroughStatus) {
    launch();
    Json status = statusJson();
    EXPECT_EQ(status["state"], "disarmed");
    EXPECT_EQ(status["holds"], Json::array());
    EXPECT_TRUE(status["lastDisarm"].is_null());
    EXPECT_FALSE(status["lidClosed"].get<bool>());

    ProgramRun armed = ctl({"arm"});
    EXPECT_EQ(armed.status, 0);
    EXPECT_EQ(armed.out, "armed\n");
    EXPECT_EQ(statusJson()["state"], "armed");

    EXPECT_EQ(ctl({"disarm"}).out, "disarmed\n");
    status = statusJson();
    EXPECT_EQ(status["state"], "disarmed");
    EXPECT_EQ(status["lastDisarm"]["reason"], "dbus");

    const ProgramRun keepAwake = ctl({"keep-awake", "on"});
    EXPECT_EQ(keepAwake.status, 0);
    EXPECT_EQ(keepAwake.out, "keep-awake: on\n");
    const ProgramRun text = ctl({"status"});
    EXPECT_THAT(text.out, HasSubstr("State: disarmed\nKeep awake: on\nLid: open\n"));
    EXPECT_THAT(text.out, HasSubstr("Last disarm: dbus at "));
    EXPECT_EQ(ctl({"keep-awake", "maybe"}).status, 64);
}

TEST_F(ControlBusTest, HoldArmsWhileItsCommandRunsAndExitsWithItsStatus) {
    launch();
    const auto inside = temp.path() / "inside.json";
    const ProgramRun result =
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
    ASSERT_TRUE(watch->waitForLine(Stream::output, "State=disarmed"));

    // A holder killed outright: its connection goes, and its hold with it.
    auto holder =
        spawn({NOCTAVE_BINARY, "ctl", "hold", "--reason", "agent", "--", "sleep", "300"}, errors());
    ASSERT_TRUE(watch->waitForLine(Stream::output, "Holds=1"));
    holder->signalGroup(SIGKILL);
    ASSERT_TRUE(watch->waitForLine(Stream::output, "State=disarmed"));
    EXPECT_EQ(statusJson()["holds"], Json::array());

    // Holding on a process: until it exits.
    auto job = spawn({"/bin/sleep", "300"}, errors());
    auto pidHolder =
        spawn({NOCTAVE_BINARY, "ctl", "hold", "--pid", std::to_string(job->pid())}, errors());
    ASSERT_TRUE(watch->waitForLine(Stream::output, "Holds=1"));
    EXPECT_THAT(statusJson()["holds"][0]["reason"].get<std::string>(), HasSubstr("sleep"));
    job->signal(SIGKILL);
    EXPECT_EQ(pidHolder->wait().status, 0);
    ASSERT_TRUE(watch->waitForLine(Stream::output, "State=disarmed"));
}

TEST_F(ControlBusTest, ASignalSentToHoldReachesItsCommand) {
    launch();
    auto holder = spawn({NOCTAVE_BINARY, "ctl", "hold", "--", "sh", "-c",
                         "trap 'exit 7' TERM; echo ready; while :; do sleep 0.05; done"},
                        errors());
    ASSERT_TRUE(holder->waitForLine(Stream::output, "ready"));
    holder->signal(SIGTERM);
    EXPECT_EQ(holder->wait().status, 7);
    EXPECT_EQ(statusJson()["state"], "disarmed");
}

TEST_F(ControlBusTest, ARefusedArmIsAnsweredWhileItsAlertStillWaitsForTheUser) {
    // Offscreen, nobody dismisses the alert the refusal raises: the answer must not wait for it.
    launch("flag=refuse");
    const ProgramRun result = ctl({"arm"});
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
    // The model's own refusals travel by name (their messages: the refused arm's test).
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

TEST_F(ControlBusTest, ACallerWithAnotherUidIsRefusedOnEveryExportedObject) {
    if (geteuid() != 0 || !hasProgram("setpriv") || !hasProgram("busctl")) {
        GTEST_SKIP() << "needs root, setpriv and busctl to call as another user";
    }
    launch();
    const std::vector<std::string> asNobody = {"--reuid=65534", "--regid=65534", "--clear-groups"};
    std::vector<std::string> ctlArm = asNobody;
    ctlArm.insert(ctlArm.end(), {NOCTAVE_BINARY, "ctl", "arm"});
    const ProgramRun arm = runProgram("setpriv", ctlArm, {.standardError = errors()});
    EXPECT_EQ(arm.status, 77);
    EXPECT_THAT(lastErrors(), HasSubstr("noctave ctl: Noctave answers only its own user\n"));

    // The tray item and its menu, and the single-instance interface: each call answers this
    // user (the item's right click arms) and nobody else.
    const std::string item = "org.kde.StatusNotifierItem-" + std::to_string(app->pid()) + "-1";
    ASSERT_TRUE(waitForName(true, item));
    struct Call {
        std::string destination;
        std::string path;
        std::string interface;
        std::vector<std::string> methodAndArguments;
    };
    const std::vector<Call> calls = {
        {control::kBusName,
         control::kObjectPath,
         control::kApplicationInterface,
         {"ActivateAction", "sava{sv}", "settings", "0", "0"}},
        {item, "/StatusNotifierItem", "org.kde.StatusNotifierItem", {"Activate", "ii", "0", "0"}},
        {item, "/MenuBar", "com.canonical.dbusmenu", {"GetLayout", "iias", "0", "1", "0"}},
        {item,
         "/MenuBar",
         "org.freedesktop.DBus.Properties",
         {"Get", "ss", "com.canonical.dbusmenu", "Version"}},
        {item,
         "/StatusNotifierItem",
         "org.kde.StatusNotifierItem",
         {"ContextMenu", "ii", "0", "0"}},
    };
    for (const bool other : {true, false}) {
        for (const Call& call : calls) {
            SCOPED_TRACE(call.interface + "." + call.methodAndArguments[0] +
                         (other ? " as nobody" : " as the user"));
            std::vector<std::string> argv = {"busctl",  "--address=" + bus->address(),
                                             "call",    call.destination,
                                             call.path, call.interface};
            argv.insert(argv.end(), call.methodAndArguments.begin(), call.methodAndArguments.end());
            if (other) {
                argv.insert(argv.begin(), asNobody.begin(), asNobody.end());
            }
            const ProgramRun run = other ? runProgram("setpriv", argv)
                                         : runProgram(argv.front(), {argv.begin() + 1, argv.end()});
            if (other) {
                EXPECT_NE(run.status, 0);
                EXPECT_THAT(run.err, HasSubstr("Access denied"));  // busctl shows the errno
            } else {
                EXPECT_EQ(run.status, 0) << run.err;
            }
        }
        if (other) {
            EXPECT_EQ(statusJson()["state"], "disarmed");
        }
    }
    EXPECT_EQ(statusJson()["state"], "armed") << "the user's right click arms";
}

TEST_F(ControlBusTest, ArmForShowsTheTimeLeftAndEndsWithTimeIsUp) {
    launch();
    EXPECT_EQ(ctl({"arm", "--for", "0m"}).status, 64);
    EXPECT_EQ(ctl({"arm", "--until", "25:00"}).status, 64);
    EXPECT_EQ(ctl({"arm", "--for", "2h", "--until", "18:00"}).status, 64);

    const ProgramRun armed = ctl({"arm", "--for", "2h"});
    EXPECT_EQ(armed.status, 0) << lastErrors();
    EXPECT_THAT(armed.out, ::testing::StartsWith("armed until "));
    Json status = statusJson();
    EXPECT_EQ(status["state"], "armed");
    EXPECT_TRUE(status["deadline"].is_string());
    EXPECT_THAT(ctl({"status"}).out, HasSubstr(", 1 h 59 min left)\nKeep awake: off\n"));

    // A shorter deadline replaces it; the session then ends by itself.
    auto watch = spawn({NOCTAVE_BINARY, "ctl", "watch"}, errors());
    ASSERT_TRUE(watch->waitForLine(Stream::output, "State=armed"));
    EXPECT_EQ(ctl({"arm", "--for", "1s"}).status, 0);
    ASSERT_TRUE(watch->waitForLine(Stream::output, "State=disarmed"));
    status = statusJson();
    EXPECT_EQ(status["lastDisarm"]["reason"], "time is up");
    EXPECT_TRUE(status["deadline"].is_null());

    EXPECT_EQ(ctl({"keep-awake", "on", "--for", "30m"}).status, 0);
    status = statusJson();
    EXPECT_TRUE(status["keepAwake"].get<bool>());
    EXPECT_TRUE(status["keepAwakeUntil"].is_string());
    EXPECT_EQ(ctl({"keep-awake", "off"}).out, "keep-awake: off\n");
    EXPECT_TRUE(statusJson()["keepAwakeUntil"].is_null());
}

TEST_F(ControlBusTest, HoldForATimeEndsThenWhileTheCommandGoesOn) {
    launch();
    auto watch = spawn({NOCTAVE_BINARY, "ctl", "watch"}, errors());
    ASSERT_TRUE(watch->waitForLine(Stream::output, "State=disarmed"));
    auto holder =
        spawn({NOCTAVE_BINARY, "ctl", "hold", "--for", "1s", "--", "/bin/sleep", "300"}, errors());
    ASSERT_TRUE(watch->waitForLine(Stream::output, "Holds=1"));
    ASSERT_TRUE(watch->waitForLine(Stream::output, "State=disarmed"));
    EXPECT_THAT(lastErrors(), HasSubstr("time is up; the hold ended and the command goes on."));
    EXPECT_TRUE(holder->signal(SIGTERM));  // still there, passing the signal on
    EXPECT_EQ(holder->wait().status, 128 + SIGTERM);
    EXPECT_EQ(ctl({"hold", "--for", "soon", "--", "true"}).status, 64);
    EXPECT_EQ(ctl({"hold", "--name", "x", "--", "true"}).status, 64);
}

TEST_F(ControlBusTest, HoldByNameReleasesWhenTheLastMatchingProgramExits) {
    launch();
    // A command line no other process of the machine has.
    const std::string token = "4242." + std::to_string(::getpid());
    EXPECT_EQ(ctl({"hold", "--cmdline", "sleep " + token}).status, 1);
    EXPECT_THAT(lastErrors(), HasSubstr("no running program of yours matches"));

    auto watch = spawn({NOCTAVE_BINARY, "ctl", "watch"}, errors());
    ASSERT_TRUE(watch->waitForLine(Stream::output, "State=disarmed"));
    auto job = spawn({"/bin/sleep", token}, errors());
    auto holder = spawn({NOCTAVE_BINARY, "ctl", "hold", "--cmdline", "sleep " + token}, errors());
    ASSERT_TRUE(watch->waitForLine(Stream::output, "Holds=1"));
    EXPECT_THAT(statusJson()["holds"][0]["reason"].get<std::string>(), HasSubstr("sleep (pid "));
    job->signal(SIGKILL);
    EXPECT_EQ(holder->wait().status, 0);
    ASSERT_TRUE(watch->waitForLine(Stream::output, "State=disarmed"));
    EXPECT_EQ(statusJson()["holds"], Json::array());
}

TEST_F(ControlBusTest, HistoryShowsTheLastSessionsAfterARestart) {
    launch();
    EXPECT_EQ(ctl({"arm"}).status, 0);
    EXPECT_EQ(ctl({"disarm"}).status, 0);
    EXPECT_EQ(ctl({"arm"}).status, 0);
    app->signal(SIGTERM);
    EXPECT_EQ(app->wait().status, 0);
    ASSERT_TRUE(waitForName(false));

    launch();
    const ProgramRun text = ctl({"history"});
    EXPECT_EQ(text.status, 0) << lastErrors();
    EXPECT_THAT(text.out, HasSubstr("armed (dbus)"));
    EXPECT_THAT(text.out, HasSubstr("ended (dbus)"));
    EXPECT_THAT(text.out, HasSubstr("ended (quit)"));
    const ProgramRun json = ctl({"history", "--json"});
    const Json history = Json::parse(json.out, nullptr, false);
    ASSERT_TRUE(history.is_object()) << json.out;
    ASSERT_EQ(history["sessions"].size(), 2u);
    EXPECT_EQ(history["sessions"][0]["reason"], "dbus");
    EXPECT_EQ(history["sessions"][1]["reason"], "quit");
}

}  // namespace
}  // namespace noctave::test
