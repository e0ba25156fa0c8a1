#include "app/control/Ctl.hpp"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/control/ControlClient.hpp"
#include "app/control/ControlInterface.hpp"
#include "app/control/ControlNames.hpp"
#include "app/control/ProcessSupervisor.hpp"
#include "app/control/ProgramFollower.hpp"
#include "app/control/StatusText.hpp"
#include "core/session/Deadlines.hpp"
#include "core/session/ProgramWatch.hpp"
#include "core/session/SessionJournal.hpp"
#include "platform/linux/LinuxProcesses.hpp"

namespace noctave::control {

namespace {

using Error = ControlClient::Error;

constexpr std::size_t kDefaultReasonLength = 120;
constexpr double kProbeSeconds = 5.0;

void say(const std::string& text) {
    std::fprintf(stderr, "noctave ctl: %s\n", text.c_str());
}

int fail(const Error& error) {
    if (error.isUnavailable()) {
        say(error.isNotRunning() ? std::string("Noctave is not running.")
                                 : "cannot reach Noctave: " + error.message);
        return kExitUnavailable;
    }
    say(error.message.empty() ? error.name : error.message);
    return error.name == "org.freedesktop.DBus.Error.AccessDenied" ? kExitNoPermission
                                                                   : kExitRefused;
}

int usageError(const std::string& text) {
    say(text);
    std::fputs(usage().c_str(), stderr);
    return kExitUsage;
}

std::unique_ptr<ControlClient> connectOrSay(int* status) {
    std::string error;
    auto client = ControlClient::connect(&error);
    if (!client) {
        say("cannot reach Noctave: " + error);
        *status = kExitUnavailable;
    }
    return client;
}

// A default reason: the command line, cut to a length a status line can show, with anything
// unprintable replaced so that the service accepts it.
std::string reasonFrom(const std::vector<std::string>& words) {
    std::string text;
    for (const auto& word : words) {
        text += (text.empty() ? "" : " ") + word;
    }
    std::string clean;
    for (unsigned char c : text) {
        clean.push_back(c < 0x20 || c == 0x7F || c >= 0x80 ? '?' : static_cast<char>(c));
    }
    if (clean.size() > kDefaultReasonLength) {
        clean = clean.substr(0, kDefaultReasonLength - 3) + "...";
    }
    return clean;
}

std::string stateOf(const Status& status) {
    return status.state;
}

int runStatus(bool json) {
    int exit = 0;
    auto client = connectOrSay(&exit);
    if (!client) {
        return exit;
    }
    Status status;
    if (auto error = client->status(status)) {
        return fail(*error);
    }
    if (json) {
        std::printf("%s\n", toJson(status).c_str());
    } else {
        std::fputs(describe(status).c_str(), stdout);
    }
    return 0;
}

// Arm, Disarm, SetKeepAwake: prints what the request changed, as it stands after it.
int runSimple(const char* member, bool autoStart, const ControlClient::Writer& write,
              const std::function<std::string(const Status&)>& outcome) {
    int exit = 0;
    auto client = connectOrSay(&exit);
    if (!client) {
        return exit;
    }
    if (auto error = client->call(member, autoStart, write)) {
        return fail(*error);
    }
    Status status;
    if (!client->status(status)) {
        std::printf("%s\n", outcome(status).c_str());
    }
    return 0;
}

int placeHold(ControlClient& client, const std::string& reason, uint32_t* id) {
    auto error = client.hold(reason, id);
    return error ? fail(*error) : 0;
}

void releaseHold(ControlClient& client, uint32_t id) {
    if (auto error = client.release(id)) {
        if (error->name != "com.quillor.noctave.Error.NoSuchHold" && !error->isUnavailable()) {
            say("could not release the hold: " + error->message);
        }
    }
}

using WallTime = std::chrono::system_clock::time_point;

// Places a hold, runs `body` while it stands, and releases it unless Noctave ended it first,
// which it says once. With `until`, the hold is released then, whatever the body waits for
// (`goesOn`: a command that runs on after its hold). `check`, when given, runs once Noctave is
// reached and before the hold is placed: 0, or the status to exit with, nothing held.
template <typename Body>
int holding(const std::string& reason, ProcessSupervisor& supervisor, std::optional<WallTime> until,
            bool goesOn, Body body, const std::function<int()>& check = {}) {
    int exit = 0;
    auto client = connectOrSay(&exit);
    if (!client) {
        return exit;
    }
    if (check) {
        // A bus that refuses us is found before the check, which would otherwise speak first.
        if (!client->connection().nameHasOwner(kBusName, kProbeSeconds)) {
            say("cannot reach Noctave: the session bus does not answer");
            return kExitUnavailable;
        }
        if ((exit = check()) != 0) {
            return exit;
        }
    }
    uint32_t id = 0;
    if ((exit = placeHold(*client, reason, &id)) != 0) {
        return exit;
    }
    auto isOver = std::make_shared<std::atomic<bool>>(false);
    client->watchHold(id, [isOver](const ControlClient::HoldEnd& end) {
        // A release of our own (at the deadline) is no news.
        if (isOver->exchange(true)) {
            return;
        }
        say(end.isNoctaveGone ? std::string("Noctave quit; the hold ended and the command goes on.")
            : end.reason.empty()
                ? std::string("Noctave ended the hold; the command goes on.")
                : "Noctave ended the hold (" + end.reason + "); the command goes on.");
    });
    if (until) {
        supervisor.setDeadline(*until, [&client, id, isOver, goesOn] {
            if (!isOver->exchange(true)) {
                say(goesOn ? "time is up; the hold ended and the command goes on."
                           : "time is up; the hold ended.");
                releaseHold(*client, id);
            }
        });
    }
    exit = body();
    if (!isOver->exchange(true)) {
        releaseHold(*client, id);
    }
    return exit;
}

int runHoldCommand(const std::vector<std::string>& command, const std::string& reason,
                   std::optional<WallTime> until) {
    // Before the client's thread starts, so that it inherits the blocked signals.
    ProcessSupervisor supervisor;
    const auto cannotRun = [&command](int error) {
        say("cannot run " + command[0] + ": " + std::strerror(error));
        return error == ENOENT ? 127 : 126;
    };
    // Looked up before the hold is placed, so that a command that cannot start never arms the
    // session; started once the hold stands, so that it runs armed from its first step. What
    // only the exec finds (a bad interpreter) ends the hold at once.
    const auto check = [&] {
        const int error = ProcessSupervisor::findProgram(command[0]);
        return error == 0 ? 0 : cannotRun(error);
    };
    return holding(
        reason, supervisor, until, true,
        [&] {
            if (const int spawned = supervisor.spawn(command); spawned != 0) {
                return cannotRun(spawned);
            }
            return supervisor.waitForCommand();
        },
        check);
}

std::string processName(pid_t pid) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    std::getline(file, name);
    return name;
}

int runHoldPid(pid_t pid, std::string reason, std::optional<WallTime> until) {
    ProcessSupervisor supervisor;
    if (!supervisor.follow(pid)) {
        say("no process " + std::to_string(pid) + " (" + std::strerror(errno) + ")");
        return kExitRefused;
    }
    if (reason.empty()) {
        reason = reasonFrom({"pid", std::to_string(pid), processName(pid)});
    }
    return holding(reason, supervisor, until, false, [&] { return supervisor.waitForProcess(); });
}

int runHoldPrograms(const ProgramWatch::Pattern& pattern, std::string reason,
                    std::optional<WallTime> until) {
    ProcessSupervisor supervisor;
    const linuxos::LinuxProcesses processes;
    ProgramFollower programs({pattern}, processes);
    if (programs.rescan() == 0) {
        say("no running program of yours matches " + pattern.text);
        return kExitRefused;
    }
    if (reason.empty()) {
        reason = reasonFrom({"while", programs.describe(), "runs"});
    }
    return holding(reason, supervisor, until, false,
                   [&] { return supervisor.waitForPrograms(programs); });
}

// When a duration from now, or a time of day, ends; no value for text that is neither.
std::optional<WallTime> deadlineFrom(const std::string& option, const std::string& text) {
    const auto now = std::chrono::system_clock::now();
    if (option == "--until") {
        return deadlines::parseClockTime(text, now);
    }
    if (const auto seconds = deadlines::parseDuration(text)) {
        return now + std::chrono::duration_cast<WallTime::duration>(
                         std::chrono::duration<double>(*seconds));
    }
    return std::nullopt;
}

// The state, with the deadline when one stands: a plain arm leaves a standing one as it is, and
// says so.
std::string stateUntil(const Status& status) {
    return status.deadlineUsec == 0
               ? status.state
               : status.state + " until " +
                     deadlines::localText(WallTime(std::chrono::microseconds(status.deadlineUsec)),
                                          "%H:%M");
}

// arm [--for DURATION | --until HH:MM]
int runArm(const std::vector<std::string>& rest) {
    if (rest.empty()) {
        return runSimple(kArm.name, true, {}, stateUntil);
    }
    if (rest.size() != 2 || (rest[0] != "--for" && rest[0] != "--until")) {
        return usageError("arm takes --for DURATION or --until HH:MM");
    }
    const auto deadline = deadlineFrom(rest[0], rest[1]);
    if (!deadline) {
        return usageError("not a " + std::string(rest[0] == "--for" ? "duration" : "time of day") +
                          ": " + rest[1]);
    }
    const uint64_t usec = usecOf(*deadline);
    return runSimple(
        kArmUntil.name, true,
        [usec](sd_bus_message* m) { return sd_bus_message_append(m, "t", usec); }, stateUntil);
}

// keep-awake on [--for DURATION] | off
int runKeepAwake(const std::vector<std::string>& rest) {
    const auto report = [](const Status& status) {
        return std::string("keep-awake: ") + (status.keepAwake ? "on" : "off") +
               (status.keepAwakeUntilUsec != 0
                    ? " until " + deadlines::localText(WallTime(std::chrono::microseconds(
                                                           status.keepAwakeUntilUsec)),
                                                       "%H:%M")
                    : "");
    };
    if (rest.size() == 1 && (rest[0] == "on" || rest[0] == "off")) {
        const int on = rest[0] == "on" ? 1 : 0;
        return runSimple(
            kSetKeepAwake.name, true,
            [on](sd_bus_message* m) { return sd_bus_message_append(m, "b", on); }, report);
    }
    if (rest.size() != 3 || rest[0] != "on" || rest[1] != "--for") {
        return usageError("keep-awake takes on [--for DURATION] or off");
    }
    const auto deadline = deadlineFrom(rest[1], rest[2]);
    if (!deadline) {
        return usageError("not a duration: " + rest[2]);
    }
    const uint64_t usec = usecOf(*deadline);
    return runSimple(
        kSetKeepAwakeUntil.name, true,
        [usec](sd_bus_message* m) { return sd_bus_message_append(m, "t", usec); }, report);
}

int runHistory(bool json) {
    int exit = 0;
    auto client = connectOrSay(&exit);
    if (!client) {
        return exit;
    }
    std::string text;
    if (auto error = client->call(kHistory.name, false, {}, [&text](sd_bus_message* m) {
            return linuxos::readString(m, text);
        })) {
        return fail(*error);
    }
    if (json) {
        std::printf("%s\n", text.c_str());
        return 0;
    }
    std::string problem;
    const auto sessions = SessionJournal::parse(text, &problem);
    if (!sessions) {
        say("the history could not be read: " + problem);
        return kExitRefused;
    }
    std::fputs(SessionJournal::describe(*sessions).c_str(), stdout);
    return 0;
}

// Prints the state, then a line for each change, until Noctave goes. Changes reported before
// the first line is out wait for it.
int runWatch(bool json) {
    int exit = 0;
    auto client = connectOrSay(&exit);
    if (!client) {
        return exit;
    }
    struct Lines {
        std::mutex mutex;
        std::condition_variable goneChanged;
        bool isStarted = false;
        bool isGone = false;
        std::vector<std::string> waiting;
    };
    auto lines = std::make_shared<Lines>();
    auto print = [](const std::string& line) {
        std::printf("%s\n", line.c_str());
        std::fflush(stdout);
    };
    // Subscribed before the first status is read, so that no change falls between the two.
    const bool watching = client->watchChanges([lines, json, print](const Status& status,
                                                                    unsigned found) {
        if (found == 0) {
            return;
        }
        std::string line = json ? toJson(status, found) : describeChanges(status, found);
        std::lock_guard lock(lines->mutex);
        if (lines->isStarted) {
            print(line);
        } else {
            lines->waiting.push_back(std::move(line));
        }
    }) && client->watchGone([lines] {
        std::lock_guard lock(lines->mutex);
        lines->isGone = true;
        lines->goneChanged.notify_all();
    });
    Status status;
    auto error =
        !watching ? std::optional<Error>(Error{"", std::strerror(EIO)}) : client->status(status);
    if (error) {
        return fail(*error);
    }
    {
        std::unique_lock lock(lines->mutex);
        print(json ? toJson(status) : describeChanges(status, ~0u));
        for (const auto& line : lines->waiting) {
            print(line);
        }
        lines->waiting.clear();
        lines->isStarted = true;
        lines->goneChanged.wait(lock, [&] { return lines->isGone; });
    }
    say("Noctave stopped.");
    return kExitUnavailable;
}

int runHold(const std::vector<std::string>& args) {
    std::string reason;
    bool hasReason = false;
    std::optional<pid_t> pid;
    std::optional<WallTime> until;
    std::optional<ProgramWatch::Pattern> program;
    std::size_t i = 0;
    for (; i < args.size(); ++i) {
        if (args[i] == "--") {
            ++i;
            break;
        }
        if (args[i] == "--reason" && i + 1 < args.size()) {
            reason = args[++i];
            hasReason = true;
        } else if (args[i] == "--for" && i + 1 < args.size()) {
            until = deadlineFrom(args[i], args[i + 1]);
            if (!until) {
                return usageError("not a duration: " + args[i + 1]);
            }
            ++i;
        } else if ((args[i] == "--name" || args[i] == "--cmdline") && i + 1 < args.size() &&
                   !args[i + 1].empty()) {
            program = ProgramWatch::Pattern{args[i + 1], args[i] == "--cmdline"};
            ++i;
        } else if (args[i] == "--pid" && i + 1 < args.size()) {
            char* end = nullptr;
            errno = 0;
            const long value = std::strtol(args[i + 1].c_str(), &end, 10);
            if (errno != 0 || end == args[i + 1].c_str() || *end != '\0' || value <= 0 ||
                value > INT_MAX) {
                return usageError("not a process id: " + args[i + 1]);
            }
            pid = static_cast<pid_t>(value);
            ++i;
        } else {
            break;
        }
    }
    const std::vector<std::string> command(args.begin() + static_cast<std::ptrdiff_t>(i),
                                           args.end());
    if ((pid ? 1 : 0) + (program ? 1 : 0) + (command.empty() ? 0 : 1) > 1) {
        return usageError("hold takes one of a command, --pid, --name or --cmdline");
    }
    if (pid) {
        return runHoldPid(*pid, reason, until);
    }
    if (program) {
        return runHoldPrograms(*program, reason, until);
    }
    if (command.empty()) {
        return usageError("hold needs a command (after --), --pid PID, --name or --cmdline");
    }
    return runHoldCommand(command, hasReason ? reason : reasonFrom(command), until);
}

}  // namespace

std::string usage() {
    return "usage: noctave ctl COMMAND   (control the running Noctave from scripts and agents)\n"
           "  status [--json]            the session, keep-awake, lid, power, holds, last disarm\n"
           "  arm [--for DURATION | --until HH:MM]\n"
           "                             arm the session, as from the menu; with a deadline it\n"
           "                             ends by itself then (\"time is up\")\n"
           "  disarm                     end the session and every hold\n"
           "  keep-awake on [--for DURATION] | off\n"
           "                             block idle sleep while the lid is open, or stop\n"
           "  hold [--reason TEXT] [--for DURATION] -- COMMAND [ARGS...]\n"
           "                             keep the session armed while COMMAND runs; passes\n"
           "                             signals on and exits with its status\n"
           "  hold [--reason TEXT] [--for DURATION] --pid PID\n"
           "                             keep the session armed until process PID exits\n"
           "  hold [--reason TEXT] [--for DURATION] --name PATTERN | --cmdline PATTERN\n"
           "                             keep the session armed while a program of yours whose\n"
           "                             name (or command line) matches PATTERN runs: a shell\n"
           "                             wildcard; on a command line, plain text matches\n"
           "                             anywhere. Each exit is followed as it happens (a pidfd);\n"
           "                             programs started later are found by a scan every 5 s\n"
           "  history [--json]           the last sessions: how each was armed, the lid, sleeps\n"
           "                             (a sleep while armed is flagged), why it ended\n"
           "  watch [--json]             print the state, then each change as a line\n"
           "DURATION: 90m, 2h, 1h30m, 45s (a bare number is minutes), at most a week; with\n"
           "--for, a hold ends at that time or when what it waits for ends, whichever is first.\n"
           "Deadlines live in the running Noctave only: they survive neither a quit nor a\n"
           "restart.\n"
           "Exit status: 0 done, 1 refused by Noctave, 64 usage, 69 Noctave not running,\n"
           "77 not allowed; hold -- COMMAND: the command's own (128+N when killed by signal N).\n";
}

std::optional<int> runCtl(int argc, char** argv) {
    if (argc < 2 || std::strcmp(argv[1], "ctl") != 0) {
        return std::nullopt;
    }
    const std::vector<std::string> args(argv + 2, argv + argc);
    if (args.empty()) {
        return usageError("a command is needed");
    }
    const std::string& verb = args[0];
    const std::vector<std::string> rest(args.begin() + 1, args.end());
    const bool json = rest.size() == 1 && rest[0] == "--json";
    if (verb == "--help" || verb == "-h" || verb == "help") {
        std::fputs(usage().c_str(), stdout);
        return 0;
    }
    if (verb == "status" && (rest.empty() || json)) {
        return runStatus(json);
    }
    if (verb == "watch" && (rest.empty() || json)) {
        return runWatch(json);
    }
    if (verb == "arm") {
        return runArm(rest);
    }
    if (verb == "history" && (rest.empty() || json)) {
        return runHistory(json);
    }
    if (verb == "disarm" && rest.empty()) {
        // Nothing to end where nothing runs: never start Noctave for it.
        return runSimple(kDisarm.name, false, {}, stateOf);
    }
    if (verb == "keep-awake") {
        return runKeepAwake(rest);
    }
    if (verb == "hold") {
        return runHold(rest);
    }
    return usageError("unknown command or arguments: " + verb);
}

}  // namespace noctave::control
