#include "app/control/Ctl.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/signalfd.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "app/control/ControlClient.hpp"
#include "app/control/ControlNames.hpp"

extern char** environ;

namespace noctave::control {

namespace {

using Error = ControlClient::Error;

constexpr std::size_t kDefaultReasonLength = 120;

// Signals `hold` passes on to its command; they are blocked here and read from a signalfd.
constexpr int kForwarded[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2, SIGWINCH};

void say(const std::string& text) {
    std::fprintf(stderr, "noctave ctl: %s\n", text.c_str());
}

int fail(const Error& error) {
    if (error.isUnavailable()) {
        say(error.name.empty() ? "cannot reach the session bus (" + error.message + ")"
                               : std::string("Noctave is not running."));
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
        say(error);
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

int pidfdOpen(pid_t pid) {
    return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
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

class SignalFd {
  public:
    SignalFd() {
        sigemptyset(&set_);
        for (int signal : kForwarded) {
            sigaddset(&set_, signal);
        }
        sigprocmask(SIG_BLOCK, &set_, &previous_);
        fd_ = signalfd(-1, &set_, SFD_CLOEXEC | SFD_NONBLOCK);
    }
    ~SignalFd() {
        if (fd_ >= 0) {
            close(fd_);
        }
        sigprocmask(SIG_SETMASK, &previous_, nullptr);
    }
    SignalFd(const SignalFd&) = delete;
    SignalFd& operator=(const SignalFd&) = delete;
    int fd() const { return fd_; }
    const sigset_t& set() const { return set_; }

  private:
    sigset_t set_{};
    sigset_t previous_{};
    int fd_ = -1;
};

// Watches the hold while it stands, to say once if Noctave ends it before the command does.
struct HoldWatch {
    uint32_t id = 0;
    bool isOver = false;
    sd_bus_slot* changes = nullptr;
    sd_bus_slot* owner = nullptr;

    ~HoldWatch() {
        sd_bus_slot_unref(changes);
        sd_bus_slot_unref(owner);
    }

    static int onChanged(sd_bus_message* m, void* userdata, sd_bus_error*) {
        auto* watch = static_cast<HoldWatch*>(userdata);
        Status status;
        unsigned found = 0;
        if (watch->isOver || sd_bus_message_skip(m, "s") < 0 ||
            readProperties(m, status, &found) < 0 || (found & kHolds) == 0) {
            return 0;
        }
        for (const auto& hold : status.holds) {
            if (hold.id == watch->id) {
                return 0;
            }
        }
        watch->isOver = true;
        say((found & kLastDisarm) != 0 && !status.lastDisarm.reason.empty()
                ? "Noctave ended the hold (" + status.lastDisarm.reason + "); the command goes on."
                : "Noctave ended the hold; the command goes on.");
        return 0;
    }
    static int onOwnerChanged(sd_bus_message*, void* userdata, sd_bus_error*) {
        auto* watch = static_cast<HoldWatch*>(userdata);
        if (!watch->isOver) {
            watch->isOver = true;
            say("Noctave quit; the hold ended and the command goes on.");
        }
        return 0;
    }
    void install(sd_bus* bus) {
        const std::string changed = std::string("type='signal',sender='") + kBusName + "',path='" +
                                    kObjectPath +
                                    "',interface='org.freedesktop.DBus.Properties',"
                                    "member='PropertiesChanged'";
        sd_bus_add_match(bus, &changes, changed.c_str(), &HoldWatch::onChanged, this);
        const std::string gone = std::string(
                                     "type='signal',sender='org.freedesktop.DBus',"
                                     "member='NameOwnerChanged',arg0='") +
                                 kBusName + "',arg2=''";
        sd_bus_add_match(bus, &owner, gone.c_str(), &HoldWatch::onOwnerChanged, this);
    }
};

// Polls the bus, the signals and one process until the process ends. `onSignal` gets each
// signal with whether a process sent it (a terminal's signal reaches the whole group by
// itself); returning false stops the wait.
bool waitFor(ControlClient& client, SignalFd& signals, int pidfd,
             const std::function<bool(int signal, bool fromProcess)>& onSignal) {
    sd_bus* bus = client.bus();
    for (;;) {
        while (sd_bus_process(bus, nullptr) > 0) {
        }
        pollfd fds[3] = {{pidfd, POLLIN, 0},
                         {signals.fd(), POLLIN, 0},
                         {sd_bus_get_fd(bus), static_cast<short>(sd_bus_get_events(bus)), 0}};
        // A lost bus leaves the process and the signals to wait for.
        const nfds_t count = fds[2].fd >= 0 && fds[2].events >= 0 ? 3 : 2;
        if (poll(fds, count, -1) < 0 && errno != EINTR) {
            return true;
        }
        if ((fds[0].revents & POLLIN) != 0) {
            return true;
        }
        signalfd_siginfo info{};
        while (read(signals.fd(), &info, sizeof info) == sizeof info) {
            const bool fromProcess = info.ssi_code != SI_KERNEL;
            if (!onSignal(static_cast<int>(info.ssi_signo), fromProcess)) {
                return false;
            }
        }
        if (count == 3 && (fds[2].revents & (POLLHUP | POLLERR)) != 0) {
            fds[2].fd = -1;
        }
    }
}

int placeHold(ControlClient& client, const std::string& reason, uint32_t* id) {
    auto error = client.call(
        "Hold", true,
        [&reason](sd_bus_message* m) { return sd_bus_message_append(m, "s", reason.c_str()); },
        [id](sd_bus_message* m) { return sd_bus_message_read(m, "u", id); });
    return error ? fail(*error) : 0;
}

void releaseHold(ControlClient& client, const HoldWatch& watch) {
    if (watch.isOver) {
        return;
    }
    const uint32_t id = watch.id;
    if (auto error = client.call("Release", false, [id](sd_bus_message* m) {
            return sd_bus_message_append(m, "u", id);
        })) {
        if (error->name != "com.quillor.noctave.Error.NoSuchHold" && !error->isUnavailable()) {
            say("could not release the hold: " + error->message);
        }
    }
}

int runHoldCommand(const std::vector<std::string>& command, const std::string& reason) {
    int exit = 0;
    auto client = connectOrSay(&exit);
    if (!client) {
        return exit;
    }
    SignalFd signals;
    HoldWatch watch;
    if ((exit = placeHold(*client, reason, &watch.id)) != 0) {
        return exit;
    }
    watch.install(client->bus());

    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &signals.set());
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    std::vector<char*> argv;
    for (const auto& word : command) {
        argv.push_back(const_cast<char*>(word.c_str()));
    }
    argv.push_back(nullptr);
    pid_t child = -1;
    const int spawned = posix_spawnp(&child, argv[0], nullptr, &attributes, argv.data(), environ);
    posix_spawnattr_destroy(&attributes);
    if (spawned != 0) {
        releaseHold(*client, watch);
        say("cannot run " + command[0] + ": " + std::strerror(spawned));
        return spawned == ENOENT ? 127 : 126;
    }

    // Without pidfds (a kernel before 5.3) the wait below still ends the hold, but signals
    // wait in the queue until the command has ended.
    const int pidfd = pidfdOpen(child);
    if (pidfd >= 0) {
        waitFor(*client, signals, pidfd, [child](int signal, bool fromProcess) {
            if (fromProcess) {
                kill(child, signal);
            }
            return true;
        });
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (pidfd >= 0) {
        close(pidfd);
    }
    releaseHold(*client, watch);
    // The shell's convention for a command killed by a signal.
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::string processName(pid_t pid) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    std::getline(file, name);
    return name;
}

int runHoldPid(pid_t pid, std::string reason) {
    const int pidfd = pidfdOpen(pid);
    if (pidfd < 0) {
        say("no process " + std::to_string(pid) + " (" + std::strerror(errno) + ")");
        return kExitRefused;
    }
    if (reason.empty()) {
        reason = reasonFrom({"pid", std::to_string(pid), processName(pid)});
    }
    int exit = 0;
    auto client = connectOrSay(&exit);
    if (!client) {
        close(pidfd);
        return exit;
    }
    SignalFd signals;
    HoldWatch watch;
    if ((exit = placeHold(*client, reason, &watch.id)) != 0) {
        close(pidfd);
        return exit;
    }
    watch.install(client->bus());
    int stoppedBy = 0;
    waitFor(*client, signals, pidfd, [&stoppedBy](int signal, bool) {
        stoppedBy = signal;
        return false;
    });
    close(pidfd);
    releaseHold(*client, watch);
    return stoppedBy == 0 ? 0 : 128 + stoppedBy;
}

int onChangedLine(sd_bus_message* m, void* userdata, sd_bus_error*) {
    const bool json = *static_cast<bool*>(userdata);
    Status status;
    unsigned found = 0;
    if (sd_bus_message_skip(m, "s") < 0 || readProperties(m, status, &found) < 0 || found == 0) {
        return 0;
    }
    std::printf("%s\n",
                json ? toJson(status, found).c_str() : describeChanges(status, found).c_str());
    std::fflush(stdout);
    return 0;
}

int onNoctaveGone(sd_bus_message*, void* userdata, sd_bus_error*) {
    *static_cast<bool*>(userdata) = true;
    return 0;
}

int runWatch(bool json) {
    int exit = 0;
    auto client = connectOrSay(&exit);
    if (!client) {
        return exit;
    }
    sd_bus* bus = client->bus();
    bool gone = false;
    sd_bus_slot* changes = nullptr;
    sd_bus_slot* owner = nullptr;
    const std::string changed = std::string("type='signal',sender='") + kBusName + "',path='" +
                                kObjectPath +
                                "',interface='org.freedesktop.DBus.Properties',member='"
                                "PropertiesChanged',arg0='" +
                                kInterface + "'";
    const std::string lost = std::string(
                                 "type='signal',sender='org.freedesktop.DBus',member='"
                                 "NameOwnerChanged',arg0='") +
                             kBusName + "',arg2=''";
    // Subscribed before the first status is read, so that no change falls between the two.
    int r = sd_bus_add_match(bus, &changes, changed.c_str(), &onChangedLine, &json);
    if (r >= 0) {
        r = sd_bus_add_match(bus, &owner, lost.c_str(), &onNoctaveGone, &gone);
    }
    Status status;
    auto error =
        r < 0 ? std::optional<Error>(Error{"", std::strerror(-r)}) : client->status(status);
    if (error) {
        sd_bus_slot_unref(changes);
        sd_bus_slot_unref(owner);
        return fail(*error);
    }
    std::printf("%s\n", json ? toJson(status).c_str() : describeChanges(status, ~0u).c_str());
    std::fflush(stdout);
    while (!gone) {
        r = sd_bus_process(bus, nullptr);
        if (r < 0) {
            break;
        }
        if (r == 0 && sd_bus_wait(bus, UINT64_MAX) < 0) {
            break;
        }
    }
    sd_bus_slot_unref(changes);
    sd_bus_slot_unref(owner);
    say("Noctave stopped.");
    return kExitUnavailable;
}

int runHold(const std::vector<std::string>& args) {
    std::string reason;
    bool hasReason = false;
    std::optional<pid_t> pid;
    std::size_t i = 0;
    for (; i < args.size(); ++i) {
        if (args[i] == "--") {
            ++i;
            break;
        }
        if (args[i] == "--reason" && i + 1 < args.size()) {
            reason = args[++i];
            hasReason = true;
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
    if (pid && !command.empty()) {
        return usageError("hold takes either --pid or a command, not both");
    }
    if (pid) {
        return runHoldPid(*pid, reason);
    }
    if (command.empty()) {
        return usageError("hold needs a command (after --) or --pid PID");
    }
    return runHoldCommand(command, hasReason ? reason : reasonFrom(command));
}

}  // namespace

std::string usage() {
    return "usage: noctave ctl COMMAND   (control the running Noctave from scripts and agents)\n"
           "  status [--json]            the session, keep-awake, lid, power, holds, last disarm\n"
           "  arm                        arm the session, as from the menu\n"
           "  disarm                     end the session and every hold\n"
           "  keep-awake on|off          block idle sleep while the lid is open, or stop\n"
           "  hold [--reason TEXT] -- COMMAND [ARGS...]\n"
           "                             keep the session armed while COMMAND runs; passes\n"
           "                             signals on and exits with its status\n"
           "  hold [--reason TEXT] --pid PID\n"
           "                             keep the session armed until process PID exits\n"
           "  watch [--json]             print the state, then each change as a line\n"
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
    if (verb == "arm" && rest.empty()) {
        return runSimple("Arm", true, {}, stateOf);
    }
    if (verb == "disarm" && rest.empty()) {
        // Nothing to end where nothing runs: never start Noctave for it.
        return runSimple("Disarm", false, {}, stateOf);
    }
    if (verb == "keep-awake" && rest.size() == 1 && (rest[0] == "on" || rest[0] == "off")) {
        const int on = rest[0] == "on" ? 1 : 0;
        return runSimple(
            "SetKeepAwake", true,
            [on](sd_bus_message* m) { return sd_bus_message_append(m, "b", on); },
            [](const Status& status) { return describeChanges(status, kKeepAwake); });
    }
    if (verb == "hold") {
        return runHold(rest);
    }
    return usageError("unknown command or arguments: " + verb);
}

}  // namespace noctave::control
