#include "tests/support/PrivateBus.hpp"

#include <signal.h>
#include <unistd.h>

#include <chrono>

#include "tests/support/NameWait.hpp"

namespace noctave::test {

namespace {
constexpr const char* kPython = "/usr/bin/python3";
constexpr const char* kDaemon = "/usr/bin/dbus-daemon";
constexpr const char* kLoginPath = "/org/freedesktop/login1";

// The mocks log every call on standard error; the test output stays readable without it.
const ProgramOptions kQuiet{.standardOutput = "/dev/null", .standardError = "/dev/null"};

void stop(ChildProcess& child, int signal) {
    child.signal(signal);
    child.wait();
}
}  // namespace

PrivateBus::PrivateBus() {
    if (access(kDaemon, X_OK) != 0 || access(kPython, X_OK) != 0 ||
        access("/usr/lib/python3/dist-packages/dbusmock/__init__.py", R_OK) != 0) {
        unavailable_ = "dbus-daemon or python3-dbusmock is not installed";
        return;
    }
    daemon_.emplace("system");
    const std::string& address = daemon_->address();
    if (address.empty()) {
        unavailable_ = "dbus-daemon did not start";
        return;
    }
    setenv("DBUS_SYSTEM_BUS_ADDRESS", address.c_str(), 1);
    control_ = std::make_unique<linuxos::DBusConnection>(linuxos::BusKind::system);
}

PrivateBus::~PrivateBus() {
    control_.reset();
    for (auto& [name, service] : services_) {
        stop(*service, SIGTERM);
    }
    unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
}

bool PrivateBus::startTemplate(const std::string& name, const std::string& busName) {
    auto service = std::make_unique<ChildProcess>(
        kPython, std::vector<std::string>{"-m", "dbusmock", "--system", "--template", name},
        kQuiet);
    if (!service->failure().empty()) {
        return false;
    }
    services_[busName] = std::move(service);
    return waitForOwner(*control_, busName, true, 15);
}

bool PrivateBus::stopTemplate(const std::string& busName) {
    auto it = services_.find(busName);
    if (it == services_.end()) {
        return false;
    }
    stop(*it->second, SIGKILL);
    services_.erase(it);
    return waitForOwner(*control_, busName, false, 15);
}

std::vector<std::string> PrivateBus::logindCalls(const std::string& method) {
    std::vector<std::string> calls;
    control_->call(
        {kLogin, kLoginPath, "org.freedesktop.DBus.Mock", "GetMethodCalls"},
        [&](sd_bus_message* m) { return sd_bus_message_append(m, "s", method.c_str()); },
        [&](sd_bus_message* m) {
            int r = sd_bus_message_enter_container(m, 'a', "(tav)");
            while (r >= 0 && (r = sd_bus_message_enter_container(m, 'r', "tav")) > 0) {
                const char* argument = "";
                if ((r = sd_bus_message_skip(m, "t")) < 0 ||
                    (r = sd_bus_message_read(m, "av", 1, "s", &argument)) < 0 ||
                    (r = sd_bus_message_exit_container(m)) < 0) {
                    break;
                }
                calls.emplace_back(argument);
            }
            return r < 0 ? r : sd_bus_message_exit_container(m);
        },
        5.0);
    return calls;
}

std::vector<std::string> PrivateBus::inhibitors() {
    std::vector<std::string> list;
    control_->call(
        {kLogin, kLoginPath, "org.freedesktop.login1.Manager", "ListInhibitors"}, {},
        [&](sd_bus_message* m) {
            int r = sd_bus_message_enter_container(m, 'a', "(ssssuu)");
            const char *what = nullptr, *who = nullptr, *why = nullptr, *mode = nullptr;
            uint32_t uid = 0, pid = 0;
            while (r >= 0 && (r = sd_bus_message_read(m, "(ssssuu)", &what, &who, &why, &mode, &uid,
                                                      &pid)) > 0) {
                list.push_back(std::string(what) + ":" + mode + ":" + who);
            }
            return r < 0 ? r : sd_bus_message_exit_container(m);
        },
        5.0);
    return list;
}

bool PrivateBus::waitForInhibitors(
    const std::function<bool(const std::vector<std::string>&)>& pred) {
    // The mock drops an inhibitor when it sees the fd's hang-up, shortly after the close; ask
    // again until it agrees or the deadline passes. A round trip is the pause between questions.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    do {
        if (pred(inhibitors())) {
            return true;
        }
        control_->nameHasOwner(kLogin, 1.0);
    } while (std::chrono::steady_clock::now() < deadline);
    return false;
}

}  // namespace noctave::test
