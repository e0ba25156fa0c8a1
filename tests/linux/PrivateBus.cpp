#include "tests/linux/PrivateBus.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <fstream>
#include <mutex>

extern char** environ;

namespace noctave::test {

using linuxos::CallStatus;
using linuxos::MethodRef;

namespace {

constexpr const char* kPython = "/usr/bin/python3";
constexpr const char* kDaemon = "/usr/bin/dbus-daemon";
constexpr const char* kMockInterface = "org.freedesktop.DBus.Mock";

int appendBasic(sd_bus_message* m, char type, const std::string& value) {
    switch (type) {
        case 'b': {
            int b = value == "true" ? 1 : 0;
            return sd_bus_message_append_basic(m, 'b', &b);
        }
        case 's':
            return sd_bus_message_append_basic(m, 's', value.c_str());
        case 'o':
            return sd_bus_message_append_basic(m, 'o', value.c_str());
        case 'u': {
            uint32_t u = static_cast<uint32_t>(std::stoul(value));
            return sd_bus_message_append_basic(m, 'u', &u);
        }
        case 'i': {
            int32_t i = std::stoi(value);
            return sd_bus_message_append_basic(m, 'i', &i);
        }
        case 'd': {
            double d = std::stod(value);
            return sd_bus_message_append_basic(m, 'd', &d);
        }
        default:
            return -EINVAL;
    }
}

int appendVariant(sd_bus_message* m, char type, const std::string& value) {
    const char contents[2] = {type, '\0'};
    int r = sd_bus_message_open_container(m, 'v', contents);
    if (r < 0) {
        return r;
    }
    r = appendBasic(m, type, value);
    return r < 0 ? r : sd_bus_message_close_container(m);
}

}  // namespace

pid_t spawnProcess(const std::vector<std::string>& argv, int stdoutFd, int stderrFd) {
    std::vector<char*> args;
    for (const auto& a : argv) {
        args.push_back(const_cast<char*>(a.c_str()));
    }
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (stdoutFd >= 0) {
        posix_spawn_file_actions_adddup2(&actions, stdoutFd, STDOUT_FILENO);
    } else {
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    }
    // The mocks log every call on standard error; the test output stays readable without it.
    if (stderrFd >= 0) {
        posix_spawn_file_actions_adddup2(&actions, stderrFd, STDERR_FILENO);
    } else {
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    }
    pid_t pid = -1;
    int rc = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return rc == 0 ? pid : -1;
}

namespace {
const char* addressVariable(linuxos::BusKind kind) {
    return kind == linuxos::BusKind::system ? "DBUS_SYSTEM_BUS_ADDRESS"
                                            : "DBUS_SESSION_BUS_ADDRESS";
}
const char* busFlag(linuxos::BusKind kind) {
    return kind == linuxos::BusKind::system ? "--system" : "--session";
}
}  // namespace

PrivateBus::PrivateBus(linuxos::BusKind kind) : kind_(kind) {
    if (access(kDaemon, X_OK) != 0) {
        unavailable_ = "dbus-daemon is not installed (Debian package dbus)";
        return;
    }
    if (access(kPython, X_OK) != 0 ||
        access("/usr/lib/python3/dist-packages/dbusmock/__init__.py", R_OK) != 0) {
        unavailable_ = "python3-dbusmock is not installed for /usr/bin/python3";
        return;
    }
    auto config = dir_.path() / "bus.conf";
    std::ofstream(config)
        << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-BUS Bus Configuration 1.0//EN\"\n"
           " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
           "<busconfig>\n"
           "  <type>"
        << (kind == linuxos::BusKind::system ? "system" : "session")
        << "</type>\n"
           "  <listen>unix:dir="
        << dir_.path().string()
        << "</listen>\n"
           "  <auth>EXTERNAL</auth>\n"
           "  <policy context=\"default\">\n"
           "    <allow user=\"*\"/>\n"
           "    <allow own=\"*\"/>\n"
           "    <allow send_type=\"method_call\"/>\n"
           "    <allow send_type=\"signal\"/>\n"
           "    <allow send_requested_reply=\"true\" send_type=\"method_return\"/>\n"
           "    <allow send_requested_reply=\"true\" send_type=\"error\"/>\n"
           "    <allow receive_type=\"method_call\"/>\n"
           "    <allow receive_type=\"method_return\"/>\n"
           "    <allow receive_type=\"error\"/>\n"
           "    <allow receive_type=\"signal\"/>\n"
           "  </policy>\n"
           "</busconfig>\n";
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) {
        unavailable_ = "no pipe";
        return;
    }
    daemon_ = spawnProcess({kDaemon, "--config-file=" + config.string(), "--nofork", "--nopidfile",
                            "--print-address=1"},
                           pipeFds[1]);
    close(pipeFds[1]);
    std::string address;
    char c = 0;
    pollfd fd{pipeFds[0], POLLIN, 0};
    // The daemon prints its address once it listens.
    while (daemon_ > 0 && poll(&fd, 1, 10000) > 0 && read(pipeFds[0], &c, 1) == 1 && c != '\n') {
        address.push_back(c);
    }
    close(pipeFds[0]);
    if (address.empty()) {
        unavailable_ = "dbus-daemon did not start";
        return;
    }
    if (const char* previous = std::getenv(addressVariable(kind_))) {
        previousAddress_ = previous;
    }
    setenv(addressVariable(kind_), address.c_str(), 1);
    control_ = std::make_unique<linuxos::DBusConnection>(kind_);
}

PrivateBus::~PrivateBus() {
    control_.reset();
    for (auto& [name, pid] : services_) {
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
    }
    if (daemon_ > 0) {
        kill(daemon_, SIGTERM);
        waitpid(daemon_, nullptr, 0);
    }
    if (previousAddress_) {
        setenv(addressVariable(kind_), previousAddress_->c_str(), 1);
    } else {
        unsetenv(addressVariable(kind_));
    }
}

void PrivateBus::killDaemon() {
    if (daemon_ > 0) {
        kill(daemon_, SIGKILL);
        waitpid(daemon_, nullptr, 0);
        daemon_ = -1;
    }
}

bool PrivateBus::waitForName(const std::string& name, bool present, double seconds) {
    std::mutex mutex;
    std::condition_variable changed;
    bool dirty = false;
    uint64_t id = control_->subscribe(
        "type='signal',sender='org.freedesktop.DBus',interface='org.freedesktop.DBus',member='"
        "NameOwnerChanged',arg0='" +
            name + "'",
        [&](sd_bus_message*) {
            std::lock_guard lock(mutex);
            dirty = true;
            changed.notify_all();
        });
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    bool reached = false;
    for (;;) {
        {
            std::lock_guard lock(mutex);
            dirty = false;
        }
        if (control_->nameHasOwner(name, 2.0) == present) {
            reached = true;
            break;
        }
        std::unique_lock lock(mutex);
        if (!changed.wait_until(lock, deadline, [&] { return dirty; })) {
            break;
        }
    }
    control_->unsubscribe(id);
    return reached;
}

bool PrivateBus::startTemplate(const std::string& name, const std::string& busName,
                               const std::string& parameters) {
    std::vector<std::string> argv = {kPython, "-m", "dbusmock", busFlag(kind_), "--template", name};
    if (!parameters.empty()) {
        argv.push_back("--parameters");
        argv.push_back(parameters);
    }
    pid_t pid = spawnProcess(argv);
    if (pid <= 0) {
        return false;
    }
    services_[busName] = pid;
    return waitForName(busName, true);
}

bool PrivateBus::startObject(const std::string& busName, const std::string& path,
                             const std::string& interface) {
    pid_t pid = spawnProcess({kPython, "-m", "dbusmock", busFlag(kind_), busName, path, interface});
    if (pid <= 0) {
        return false;
    }
    services_[busName] = pid;
    return waitForName(busName, true);
}

bool PrivateBus::stopTemplate(const std::string& busName) {
    auto it = services_.find(busName);
    if (it == services_.end()) {
        return false;
    }
    kill(it->second, SIGKILL);
    waitpid(it->second, nullptr, 0);
    services_.erase(it);
    return waitForName(busName, false);
}

bool PrivateBus::addProperty(const std::string& busName, const std::string& path,
                             const std::string& interface, const std::string& name, char type,
                             const std::string& value) {
    MethodRef method{busName, path, kMockInterface, "AddProperty"};
    return control_
        ->call(
            method,
            [&](sd_bus_message* m) {
                int r = sd_bus_message_append(m, "ss", interface.c_str(), name.c_str());
                return r < 0 ? r : appendVariant(m, type, value);
            },
            {}, 5.0)
        .ok();
}

bool PrivateBus::setProperty(const std::string& busName, const std::string& path,
                             const std::string& interface, const std::string& name, char type,
                             const std::string& value) {
    MethodRef method{busName, path, "org.freedesktop.DBus.Properties", "Set"};
    return control_
        ->call(
            method,
            [&](sd_bus_message* m) {
                int r = sd_bus_message_append(m, "ss", interface.c_str(), name.c_str());
                return r < 0 ? r : appendVariant(m, type, value);
            },
            {}, 5.0)
        .ok();
}

bool PrivateBus::callMock(const std::string& busName, const std::string& path,
                          const std::string& method, const std::string& signature,
                          const std::vector<std::string>& values) {
    MethodRef ref{busName, path, kMockInterface, method};
    return control_
        ->call(
            ref,
            [&](sd_bus_message* m) {
                for (std::size_t i = 0; i < signature.size() && i < values.size(); ++i) {
                    int r = appendBasic(m, signature[i], values[i]);
                    if (r < 0) {
                        return r;
                    }
                }
                return 0;
            },
            {}, 5.0)
        .ok();
}

bool PrivateBus::emitSignal(const std::string& busName, const std::string& path,
                            const std::string& interface, const std::string& member, char type,
                            const std::string& value) {
    MethodRef ref{busName, path, kMockInterface, "EmitSignal"};
    const std::string signature(1, type);
    return control_
        ->call(
            ref,
            [&](sd_bus_message* m) {
                int r = sd_bus_message_append(m, "sss", interface.c_str(), member.c_str(),
                                              signature.c_str());
                if (r < 0) {
                    return r;
                }
                r = sd_bus_message_open_container(m, 'a', "v");
                if (r < 0) {
                    return r;
                }
                r = appendVariant(m, type, value);
                return r < 0 ? r : sd_bus_message_close_container(m);
            },
            {}, 5.0)
        .ok();
}

std::vector<std::string> PrivateBus::methodCalls(const std::string& busName,
                                                 const std::string& path,
                                                 const std::string& method) {
    std::vector<std::string> calls;
    MethodRef ref{busName, path, kMockInterface, "GetMethodCalls"};
    control_->call(
        ref, [&](sd_bus_message* m) { return sd_bus_message_append(m, "s", method.c_str()); },
        [&](sd_bus_message* m) {
            int r = sd_bus_message_enter_container(m, 'a', "(tav)");
            if (r < 0) {
                return r;
            }
            while ((r = sd_bus_message_enter_container(m, 'r', "tav")) > 0) {
                uint64_t stamp = 0;
                sd_bus_message_read(m, "t", &stamp);
                std::string first;
                r = sd_bus_message_enter_container(m, 'a', "v");
                if (r < 0) {
                    return r;
                }
                bool firstSeen = false;
                while (sd_bus_message_at_end(m, false) == 0) {
                    char type = 0;
                    const char* contents = nullptr;
                    sd_bus_message_peek_type(m, &type, &contents);
                    if (!firstSeen && contents != nullptr && std::string(contents) == "s") {
                        const char* s = nullptr;
                        sd_bus_message_read(m, "v", "s", &s);
                        first = s;
                    } else {
                        sd_bus_message_skip(m, "v");
                    }
                    firstSeen = true;
                }
                sd_bus_message_exit_container(m);
                sd_bus_message_exit_container(m);
                calls.push_back(first);
            }
            return r < 0 ? r : sd_bus_message_exit_container(m);
        },
        5.0);
    return calls;
}

std::vector<std::string> PrivateBus::inhibitors() {
    std::vector<std::string> list;
    MethodRef ref{"org.freedesktop.login1", "/org/freedesktop/login1",
                  "org.freedesktop.login1.Manager", "ListInhibitors"};
    control_->call(
        ref, {},
        [&](sd_bus_message* m) {
            int r = sd_bus_message_enter_container(m, 'a', "(ssssuu)");
            if (r < 0) {
                return r;
            }
            const char* what = nullptr;
            const char* who = nullptr;
            const char* why = nullptr;
            const char* mode = nullptr;
            uint32_t uid = 0;
            uint32_t pid = 0;
            while ((r = sd_bus_message_read(m, "(ssssuu)", &what, &who, &why, &mode, &uid, &pid)) >
                   0) {
                list.push_back(std::string(what) + ":" + mode + ":" + who);
            }
            return r < 0 ? r : sd_bus_message_exit_container(m);
        },
        5.0);
    return list;
}

bool PrivateBus::waitForInhibitors(const std::function<bool(const std::vector<std::string>&)>& pred,
                                   double seconds) {
    // The mock drops an inhibitor when it sees the fd's hang-up, shortly after the close;
    // ask again until it agrees or the deadline passes.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    do {
        if (pred(inhibitors())) {
            return true;
        }
        // A round trip to the mock is the pause between questions.
        control_->nameHasOwner("org.freedesktop.login1", 1.0);
    } while (std::chrono::steady_clock::now() < deadline);
    return false;
}

}  // namespace noctave::test
