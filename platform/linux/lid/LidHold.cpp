#include "platform/linux/lid/LidHold.hpp"

#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <filesystem>
#include <set>

#include "core/support/Log.hpp"
#include "platform/linux/bus/BusNames.hpp"
#include "platform/linux/lid/LidRecord.hpp"
#include "platform/linux/lid/Logind.hpp"
#include "platform/linux/lid/LogindLidSettings.hpp"

namespace noctave::linuxos::lid {

namespace {

constexpr const char* kLidWhy = "Keeping the laptop awake with its lid closed";

// The inhibitor's fd, or -1. Process-wide like the kernel bit it stands for, and read by the
// signal-safe clear, which may only exchange and close.
std::atomic<int> gInhibitorFd{-1};

void dropInhibitor() noexcept {
    const int fd = gInhibitorFd.exchange(-1);
    if (fd >= 0) {
        ::close(fd);
    }
}

// Whether logind still holds the far end of an inhibitor's pipe. A logind that died closed it
// at once, before the bus gets round to telling us its name is gone.
bool inhibitorAlive(int fd) {
    pollfd probe{fd, 0, 0};
    return ::poll(&probe, 1, 0) == 0 || (probe.revents & (POLLERR | POLLHUP | POLLNVAL)) == 0;
}

}  // namespace

LidHold::LidHold(std::shared_ptr<DBusConnection> systemBus,
                 std::shared_ptr<DBusConnection> sessionBus, std::function<void()> onLoss,
                 std::function<void(const std::string&)> logOnce)
    : system_(std::move(systemBus)),
      session_(std::move(sessionBus)),
      onLoss_(std::move(onLoss)),
      logOnce_(std::move(logOnce)),
      makeOwner_([session = session_](const std::string& program, const std::string& location) {
          return makeLidOwner(program, location, session);
      }) {
    // A logind that leaves or restarts forgets our inhibitor; dropping our end makes the next
    // set take a fresh one, or fail when there is no logind to take it from.
    ownerWatch_ = system_->subscribe(
        std::string("type='signal',sender='org.freedesktop.DBus',interface='org.freedesktop."
                    "DBus',member='NameOwnerChanged',arg0='") +
            kLogin + "'",
        [this](sd_bus_message*) {
            dropInhibitor();
            onLoss_();
        });
    // The bus greets every new connection with our name; a connection made anew may follow a
    // logind that came and went unseen.
    reconnectWatch_ = system_->subscribe(
        "type='signal',sender='org.freedesktop.DBus',interface='org.freedesktop.DBus',"
        "member='NameAcquired'",
        [this](sd_bus_message*) { onLoss_(); });
    // A desktop setting left changed by a process that died must not wait for an arm: the
    // record is looked at only when one exists, so a clean start costs one stat.
    std::error_code error;
    if (std::filesystem::exists(std::filesystem::symlink_status(lidRecordPath(), error))) {
        std::lock_guard lock(mutex_);
        restoreRecord(lidRecordPath(), Writer::gone, makeOwner_);
    }
}

LidHold::~LidHold() {
    system_->unsubscribe(ownerWatch_);
    system_->unsubscribe(reconnectWatch_);
}

bool LidHold::isInhibitorHeld() {
    return gInhibitorFd.load() >= 0;
}

void LidHold::clearFromSignal() noexcept {
    dropInhibitor();
}

int LidHold::set(bool on) {
    std::lock_guard lock(mutex_);
    if (!on) {
        // The desktop's settings first: a clear reported as done must leave nothing changed.
        const bool restored = restoreOwner();
        dropInhibitor();
        return restored ? 0 : EIO;
    }
    if (const int held = gInhibitorFd.load(); held >= 0) {
        if (generation_ == system_->generation() && inhibitorAlive(held)) {
            return isOwnerStoodDown_ || standDownOwner() ? 0 : EBUSY;
        }
        // The bus connection was lost since, or logind went: the inhibitor went with it.
        dropInhibitor();
    }
    CallStatus status;
    const int fd = takeInhibitor(*system_, "handle-lid-switch", kLidWhy, status);
    if (fd < 0) {
        // The flag heartbeat retries ten times a second; one line per cause is enough.
        std::string line = "logind refused the lid-switch inhibitor (" + status.describe() + ")";
        if (line != lastInhibitFailure_) {
            Log::error(line);
            lastInhibitFailure_ = std::move(line);
        }
        return errnoOf(status);
    }
    lastInhibitFailure_.clear();
    generation_ = system_->generation();
    const int previous = gInhibitorFd.exchange(fd);
    if (previous >= 0) {
        ::close(previous);
    }
    if (!isOwnerStoodDown_ && !standDownOwner()) {
        // Holding logind's lid alone would show armed while the desktop suspends on lid close.
        dropInhibitor();
        return EBUSY;
    }
    return 0;
}

std::string LidHold::failure() const {
    std::lock_guard lock(failureMutex_);
    return failure_;
}

LidOwnership LidHold::ownership() {
    return findLidOwner(*system_, session_);
}

bool LidHold::standDownOwner() {
    const auto record = lidRecordPath();
    // A dead process's record first: its values are the user's, ours would be its changes.
    restoreRecord(record, Writer::gone, makeOwner_);
    auto found = ownership();
    std::string failure;
    using Kind = LidOwnership::Kind;
    if (found.kind == Kind::unknown) {
        failure = found.program + " handles the lid, and Noctave cannot hold it.";
    } else if (found.kind == Kind::desktop && !found.owner) {
        failure = found.program + " handles the lid, and its settings cannot be reached.";
    } else if (found.kind == Kind::desktop) {
        std::string why;
        // The guardian stands before the first change, so that no death leaves one unguarded.
        const auto guard = [this, &record] {
            if (!guardian_) {
                guardian_ = LidGuardian::start(LidGuardian::guardianProgram(), record);
            }
        };
        if (!standDown(*found.owner, record, &why, guard)) {
            logOnce_("could not stand " + found.program + " down: " + why);
            failure = found.program + " handles the lid, and would not leave it (" + why + ").";
            std::error_code error;
            if (!std::filesystem::exists(std::filesystem::symlink_status(record, error))) {
                guardian_.reset();  // everything was put back: nothing left to guard
            }
        } else {
            Log::info("lid owner: " + found.program + " stood down (" + found.owner->mechanism() +
                      ")");
        }
    }
    if (!failure.empty()) {
        logOnce_("lid: " + failure);
    }
    isOwnerStoodDown_ = failure.empty();
    std::lock_guard lock(failureMutex_);
    failure_ = failure;
    return failure.empty();
}

bool LidHold::restoreOwner() {
    const auto record = lidRecordPath();
    std::error_code error;
    if (!isOwnerStoodDown_ && !std::filesystem::exists(record, error)) {
        return true;
    }
    const bool ours = restoreRecord(record, Writer::thisProcess, makeOwner_) != Restore::failed;
    const bool theirs = restoreRecord(record, Writer::gone, makeOwner_) != Restore::failed;
    if (!ours || !theirs) {
        return false;  // the record and the guardian stay; the next clear tries again
    }
    isOwnerStoodDown_ = false;
    guardian_.reset();
    return true;
}

void LidHold::describe(std::map<std::string, std::string>& properties) {
    auto found = ownership();
    using Kind = LidOwnership::Kind;
    std::string owner;
    std::string mechanism;
    auto logindWords = [&] {
        // What logind runs with, from logind; LidSwitchIgnoreInhibited only from its files.
        std::string text;
        for (const char* name :
             {"HandleLidSwitch", "HandleLidSwitchExternalPower", "HandleLidSwitchDocked"}) {
            text += std::string(text.empty() ? "" : ", ") + name + "=" +
                    logindString(*system_, name).value_or("?");
        }
        const auto files = readLogindLidSettings();
        const auto ignore = files.find("LidSwitchIgnoreInhibited");
        text += ", LidSwitchIgnoreInhibited=" +
                (ignore == files.end() ? std::string("yes (default)") : ignore->second);
        // That setting covers only sleep and shutdown locks; a handle-lid-switch lock is
        // always obeyed.
        return text + "; Noctave's handle-lid-switch inhibitor is enough";
    };
    switch (found.kind) {
        case Kind::unreadable:
            owner = "unknown (logind did not list its inhibitors)";
            break;
        case Kind::unknown:
            owner = found.program;
            mechanism = "holds handle-lid-switch itself; Noctave cannot hold the lid";
            break;
        case Kind::logind:
            owner = "systemd-logind";
            mechanism = logindWords();
            break;
        case Kind::leavesToLogind:
            owner = found.program + ", which leaves the lid to systemd-logind";
            mechanism = logindWords();
            break;
        case Kind::desktop:
            owner = found.program;
            if (!found.owner) {
                mechanism = "acts on the lid itself; its settings cannot be reached";
                break;
            }
            {
                std::lock_guard lock(mutex_);
                mechanism = (isOwnerStoodDown_ ? "stood down to no lid action through "
                                               : "acts on the lid itself; stood down while armed "
                                                 "through ") +
                            found.owner->mechanism();
            }
            if (found.owner->handsLidToLogind()) {
                mechanism += ", handing the lid to logind";
            }
            properties["lid-close owner answer"] = found.owner->answer().describe();
            break;
    }
    properties["lid-close owner"] = owner;
    if (!mechanism.empty()) {
        properties["lid-close mechanism"] = mechanism;
    }
}

std::optional<bool> LidHold::lidActionStopsMachine(
    const std::function<std::optional<bool>()>& onBattery) {
    // Another process's lid inhibitor is no promise: a desktop's power manager holds one
    // precisely so that it can suspend by itself. What counts is who acts on a lid close.
    const auto found = ownership();
    using Kind = LidOwnership::Kind;
    if (found.kind == Kind::unreadable) {
        return std::nullopt;
    }
    if (found.kind == Kind::unknown || (found.kind == Kind::desktop && !found.owner)) {
        return true;
    }
    if (found.kind == Kind::desktop) {
        for (const auto& key : found.owner->keys()) {
            SettingValue value;
            if (!found.owner->read(key.name, value) || value != key.standDownValue) {
                return true;  // it acts on the lid as the user set it up
            }
        }
        if (!found.owner->handsLidToLogind()) {
            return false;
        }
    }
    if (found.isHeldByNoctave || isInhibitorHeld()) {
        return false;
    }
    const bool docked = logindBool(*system_, "Docked").value_or(false);
    std::optional<std::string> action;
    if (docked) {
        action = logindString(*system_, "HandleLidSwitchDocked");
    } else if (onBattery() == false) {
        action = logindString(*system_, "HandleLidSwitchExternalPower");
    }
    // An empty external-power action means "same as on battery".
    if (!action || action->empty()) {
        action = logindString(*system_, "HandleLidSwitch");
    }
    if (!action) {
        return std::nullopt;
    }
    static const std::set<std::string> kStopping = {
        "suspend", "hibernate", "hybrid-sleep", "suspend-then-hibernate", "sleep", "poweroff",
        "halt",    "reboot",    "kexec",        "factory-reset"};
    return kStopping.count(*action) > 0;
}

}  // namespace noctave::linuxos::lid
