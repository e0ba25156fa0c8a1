#include "platform/linux/LinuxWorkspace.hpp"

#include <systemd/sd-login.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "core/runtime/Queue.hpp"
#include "core/runtime/Runtime.hpp"
#include "platform/linux/LinuxDisplays.hpp"
#include "platform/linux/bus/BusNames.hpp"

namespace noctave::linuxos {

namespace {

// Reads PropertiesChanged's changed dictionary for one Boolean.
std::optional<bool> changedBool(sd_bus_message* m, const char* name) {
    const char* interface = nullptr;
    if (sd_bus_message_read(m, "s", &interface) < 0) {
        return std::nullopt;
    }
    std::optional<bool> found;
    int r = readPropertyDictionary(m, [&](const std::string& key, sd_bus_message* msg) {
        if (key == name) {
            bool value = false;
            int rr = sd_bus_message_enter_container(msg, 'v', "b");
            if (rr < 0) {
                return sd_bus_message_skip(msg, "v");
            }
            rr = readBool(msg, value);
            if (rr >= 0) {
                found = value;
            }
            return rr < 0 ? rr : sd_bus_message_exit_container(msg);
        }
        return sd_bus_message_skip(msg, "v");
    });
    return r < 0 ? std::nullopt : found;
}

std::optional<int> changedInt(sd_bus_message* m, const char* name) {
    const char* interface = nullptr;
    if (sd_bus_message_read(m, "s", &interface) < 0) {
        return std::nullopt;
    }
    std::optional<int> found;
    readPropertyDictionary(m, [&](const std::string& key, sd_bus_message* msg) {
        if (key == name) {
            int32_t value = 0;
            int rr = sd_bus_message_enter_container(msg, 'v', "i");
            if (rr < 0) {
                return sd_bus_message_skip(msg, "v");
            }
            rr = sd_bus_message_read(msg, "i", &value);
            if (rr >= 0) {
                found = value;
            }
            return rr < 0 ? rr : sd_bus_message_exit_container(msg);
        }
        return sd_bus_message_skip(msg, "v");
    });
    return found;
}

}  // namespace

struct LinuxWorkspace::Observer {
    std::shared_ptr<std::atomic<bool>> live = std::make_shared<std::atomic<bool>>(true);
    std::vector<std::pair<std::shared_ptr<DBusConnection>, uint64_t>> subscriptions;
    os::Displays::Registration displayRegistration = 0;
};

LinuxWorkspace::LinuxWorkspace(std::shared_ptr<DBusConnection> systemBus,
                               std::shared_ptr<DBusConnection> sessionBus,
                               std::shared_ptr<LinuxDisplays> displays)
    : system_(std::move(systemBus)),
      session_(std::move(sessionBus)),
      displays_(std::move(displays)) {}

LinuxWorkspace::~LinuxWorkspace() {
    std::vector<Token> tokens;
    {
        std::lock_guard lock(mutex_);
        for (const auto& [token, observer] : observers_) {
            tokens.push_back(token);
        }
    }
    for (Token token : tokens) {
        removeObserver(token);
    }
}

std::string LinuxWorkspace::ownSessionPath() {
    char* id = nullptr;
    std::string sessionId;
    if (sd_pid_get_session(0, &id) >= 0 && id != nullptr) {
        sessionId = id;
    } else if (const char* env = std::getenv("XDG_SESSION_ID"); env != nullptr && *env != '\0') {
        sessionId = env;
    }
    std::free(id);
    if (sessionId.empty()) {
        return {};
    }
    char* path = nullptr;
    if (sd_bus_path_encode("/org/freedesktop/login1/session", sessionId.c_str(), &path) < 0) {
        return {};
    }
    std::string result = path;
    std::free(path);
    return result;
}

os::Workspace::Token LinuxWorkspace::addObserver(Notification notification,
                                                 std::function<void()> handler) {
    auto observer = std::make_shared<Observer>();
    runtime::Queue* main = &runtime::mainQueue();
    auto post = [main, live = observer->live, handler = std::move(handler)] {
        main->async([live, handler] {
            if (*live) {
                handler();
            }
        });
    };
    auto subscribe = [&](const std::shared_ptr<DBusConnection>& bus, const std::string& rule,
                         DBusConnection::SignalHandler fn) {
        if (bus) {
            observer->subscriptions.emplace_back(bus, bus->subscribe(rule, std::move(fn)));
        }
    };
    const std::string prepareForSleep =
        std::string("type='signal',sender='") + kLogin +
        "',path='/org/freedesktop/login1',interface='org.freedesktop.login1.Manager',member='"
        "PrepareForSleep'";
    auto onResume = [post](sd_bus_message* m) {
        bool sleeping = true;
        if (readBool(m, sleeping) >= 0 && !sleeping) {
            post();
        }
    };

    switch (notification) {
        case Notification::didWake:
            subscribe(system_, prepareForSleep, onResume);
            break;
        case Notification::screensDidWake:
            subscribe(system_, prepareForSleep, onResume);
            for (const char* saver : {"org.gnome.ScreenSaver", "org.freedesktop.ScreenSaver"}) {
                subscribe(
                    session_,
                    std::string("type='signal',interface='") + saver + "',member='ActiveChanged'",
                    [post](sd_bus_message* m) {
                        bool active = true;
                        if (readBool(m, active) >= 0 && !active) {
                            post();
                        }
                    });
            }
            subscribe(session_,
                      "type='signal',sender='org.gnome.Mutter.DisplayConfig',path='/org/gnome/"
                      "Mutter/DisplayConfig',interface='org.freedesktop.DBus.Properties',member='"
                      "PropertiesChanged'",
                      [post](sd_bus_message* m) {
                          if (changedInt(m, "PowerSaveMode") == 0) {
                              post();
                          }
                      });
            break;
        case Notification::sessionDidBecomeActive: {
            std::string own = ownSessionPath();
            std::string rule =
                std::string("type='signal',sender='") + kLogin +
                "',interface='org.freedesktop.DBus.Properties',member='PropertiesChanged',"
                "arg0='org.freedesktop.login1.Session'";
            rule += own.empty() ? ",path_namespace='/org/freedesktop/login1/session'"
                                : ",path='" + own + "'";
            subscribe(system_, rule, [post](sd_bus_message* m) {
                if (changedBool(m, "Active") == true) {
                    post();
                }
            });
            break;
        }
        case Notification::screenParametersDidChange:
            if (displays_) {
                displays_->registerReconfigurationCallback(
                    [post](os::Displays::DisplayId, uint32_t flags) {
                        if ((flags & os::Displays::kBeginConfigurationFlag) == 0) {
                            post();
                        }
                    },
                    &observer->displayRegistration);
            }
            break;
    }
    std::lock_guard lock(mutex_);
    Token token = next_++;
    observers_[token] = observer;
    return token;
}

void LinuxWorkspace::removeObserver(Token token) {
    std::shared_ptr<Observer> observer;
    {
        std::lock_guard lock(mutex_);
        auto it = observers_.find(token);
        if (it == observers_.end()) {
            return;
        }
        observer = it->second;
        observers_.erase(it);
    }
    *observer->live = false;
    for (auto& [bus, id] : observer->subscriptions) {
        bus->unsubscribe(id);
    }
    if (observer->displayRegistration != 0 && displays_) {
        displays_->removeReconfigurationCallback(observer->displayRegistration);
    }
}

}  // namespace noctave::linuxos
