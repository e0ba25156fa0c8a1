#include "app/control/ControlModel.hpp"

#include <algorithm>
#include <chrono>
#include <utility>

#include "core/power/PowerSourceMonitor.hpp"
#include "core/runtime/Runtime.hpp"
#include "core/support/Log.hpp"
#include "core/support/Prefs.hpp"
#include "core/text/Utf8.hpp"

namespace noctave::control {

namespace {

constexpr const char* kSource = "dbus";
constexpr const char* kLastHoldSource = "dbus: last hold ended";

uint64_t nowUsec() {
    return usecOf(runtime::clock().wall());
}

runtime::WallTime wallOf(uint64_t usec) {
    return runtime::WallTime(std::chrono::duration_cast<runtime::WallTime::duration>(
        std::chrono::microseconds(static_cast<int64_t>(usec))));
}

// Longer than anyone means: a deadline further away is a mistake (or a clock in another era).
constexpr uint64_t kLongestDeadlineUsec = uint64_t{7} * 24 * 3600 * 1'000'000;

const char* stateName(SessionController::State state) {
    switch (state) {
        case SessionController::State::disarmed:
            return "disarmed";
        case SessionController::State::pending:
            return "pending";
        case SessionController::State::armed:
            return "armed";
        case SessionController::State::restoreFailed:
            return "restoreFailed";
    }
    return "disarmed";
}

// Code points a reason must not carry: they would rewrite the terminal or the line that shows
// it (controls, line separators, bidirectional overrides).
bool isUnprintable(char32_t c) {
    return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x2028 || c == 0x2029 ||
           (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}

Outcome failure(const char* name, std::string message) {
    return Outcome{name, std::move(message), 0};
}

}  // namespace

std::optional<std::string> checkReason(std::string_view reason) {
    // Checked whole first: a reason both ill-formed and unprintable is reported as ill-formed.
    if (!utf8::isValid(reason)) {
        return "reason is not valid UTF-8";
    }
    std::size_t count = 0;
    for (std::size_t i = 0; i < reason.size(); ++count) {
        const utf8::Decoded decoded = utf8::decode(reason, i);
        if (isUnprintable(decoded.cp)) {
            return "reason must be printable text (no control characters)";
        }
        i += decoded.length;
    }
    if (count > kMaxReasonCharacters) {
        return "reason is longer than " + std::to_string(kMaxReasonCharacters) + " characters";
    }
    return std::nullopt;
}

ControlModel::ControlModel(SessionController& session) : session_(session) {
    const auto weak = weakFactory_.weak();
    session_.onDisarm = runtime::bindWeak(
        weak, [](ControlModel& self, const std::string& source) { self.handleDisarm(source); });
    session_.onStatusChange = runtime::bindWeak(weak, [](ControlModel& self) { self.refresh(); });
    if (!session_.powerReading()) {
        firstReading_ = PowerSourceMonitor::snapshot();
    }
    refresh();
}

ControlModel::~ControlModel() {
    session_.onDisarm = nullptr;
    session_.onStatusChange = nullptr;
    session_.setHeld(false);
}

bool ControlModel::runGuarded(const std::function<bool()>& operation, const Reply& reply,
                              const std::string& refusal) {
    inFlight_.push_back(reply);
    const bool succeeded = operation();
    // Empty when a notice has answered it in the meantime.
    Reply pending = std::move(inFlight_.back());
    inFlight_.pop_back();
    if (pending && !succeeded) {
        pending(failure(kErrorRefused, refusal));
    }
    return succeeded && pending != nullptr;
}

void ControlModel::arm(Reply reply) {
    if (runGuarded([this] { return session_.arm(kSource); }, reply,
                   "the session could not be armed")) {
        reply(Outcome{});
    }
}

void ControlModel::disarm(Reply reply) {
    if (runGuarded([this] { return session_.disarm(kSource); }, reply,
                   "lid sleep could not be restored")) {
        reply(Outcome{});
    }
}

void ControlModel::setKeepAwake(bool on, Reply reply) {
    Prefs::setKeepAwake(on);
    // A plain on or off replaces a timed spell.
    if (session_.keepAwakeDeadline()) {
        session_.keepAwakeUntil(std::nullopt);
    }
    session_.applyKeepAwakePreference();
    if (session_.isKeepAwakeActive() != on) {
        reply(
            failure(kErrorRefused, "keep-awake could not be turned on: the assertion was refused"));
        return;
    }
    reply(Outcome{});
}

std::optional<std::string> ControlModel::checkDeadline(uint64_t deadlineUsec) {
    const uint64_t now = nowUsec();
    if (deadlineUsec <= now) {
        return "the deadline has already passed";
    }
    if (deadlineUsec - now > kLongestDeadlineUsec) {
        return "the deadline is more than a week away";
    }
    return std::nullopt;
}

void ControlModel::armUntil(uint64_t deadlineUsec, Reply reply) {
    if (const auto problem = checkDeadline(deadlineUsec)) {
        reply(failure(kErrorInvalidArgs, *problem));
        return;
    }
    if (runGuarded(
            [this, deadlineUsec] { return session_.armUntil(kSource, wallOf(deadlineUsec)); },
            reply, "the session could not be armed")) {
        reply(Outcome{});
    }
}

void ControlModel::keepAwakeUntil(uint64_t deadlineUsec, Reply reply) {
    if (const auto problem = checkDeadline(deadlineUsec)) {
        reply(failure(kErrorInvalidArgs, *problem));
        return;
    }
    if (!session_.keepAwakeUntil(wallOf(deadlineUsec))) {
        reply(
            failure(kErrorRefused, "keep-awake could not be turned on: the assertion was refused"));
        return;
    }
    reply(Outcome{});
}

std::string ControlModel::historyJson() const {
    return SessionJournal::toJson(session_.journal().sessions());
}

void ControlModel::hold(const std::string& reason, const std::string& owner, Reply reply) {
    if (const auto problem = checkReason(reason)) {
        reply(failure(kErrorInvalidArgs, *problem));
        return;
    }
    if (status_.holds.size() >= kMaxHolds) {
        reply(failure(kErrorLimitsExceeded,
                      "too many holds (at most " + std::to_string(kMaxHolds) + ")"));
        return;
    }
    const auto state = session_.state();
    const bool wasStanding = state == SessionController::State::armed;
    if (!runGuarded([this] { return session_.arm(kSource); }, reply,
                    "the session could not be armed")) {
        return;
    }
    if (status_.holds.empty()) {
        holdsArmedSession_ = !wasStanding;
    }
    const uint32_t id = nextId_++;
    status_.holds.push_back(Hold{id, reason, owner, nowUsec()});
    session_.setHeld(true);
    Log::info("hold " + std::to_string(id) + " placed (" + reason + ")");
    refresh();
    if (onChange) {
        onChange(status_, kHolds);
    }
    reply(Outcome{{}, {}, id});
}

void ControlModel::release(uint32_t id, const std::string& owner, Reply reply) {
    auto it = std::find_if(status_.holds.begin(), status_.holds.end(),
                           [id](const Hold& hold) { return hold.id == id; });
    if (it == status_.holds.end()) {
        reply(failure(kErrorNoSuchHold, "no hold with id " + std::to_string(id)));
        return;
    }
    if (it->owner != owner) {
        reply(failure(kErrorAccessDenied,
                      "hold " + std::to_string(id) + " belongs to another connection"));
        return;
    }
    Log::info("hold " + std::to_string(id) + " released");
    endHolds(it, std::next(it));
    reply(Outcome{});
}

void ControlModel::ownerVanished(const std::string& owner) {
    auto first = std::stable_partition(status_.holds.begin(), status_.holds.end(),
                                       [&owner](const Hold& hold) { return hold.owner != owner; });
    if (first == status_.holds.end()) {
        return;
    }
    for (auto it = first; it != status_.holds.end(); ++it) {
        Log::info("hold " + std::to_string(it->id) + " dropped (its client went away)");
    }
    endHolds(first, status_.holds.end());
}

void ControlModel::endHolds(std::vector<Hold>::iterator first, std::vector<Hold>::iterator last) {
    status_.holds.erase(first, last);
    if (onChange) {
        onChange(status_, kHolds);
    }
    afterHoldsChanged();
}

void ControlModel::afterHoldsChanged() {
    if (!status_.holds.empty()) {
        return;
    }
    const bool ownsSession = holdsArmedSession_;
    holdsArmedSession_ = false;
    if (ownsSession) {
        session_.disarm(kLastHoldSource);
    }
    // After the disarm: a held-back lid opening must not end the session a second time.
    session_.setHeld(false);
    refresh();
}

void ControlModel::handleDisarm(const std::string& source) {
    status_.lastDisarm = LastDisarm{source, {}, nowUsec()};
    // The notice of a safety disarm follows in the same turn; a later one is about something else.
    isAwaitingNotice_ = true;
    runtime::mainQueue().async(runtime::bindWeak(
        weakFactory_.weak(), [](ControlModel& self) { self.isAwaitingNotice_ = false; }));
    unsigned changed = kLastDisarm;
    if (!status_.holds.empty()) {
        // The session ends under its holds: every one of them ends with it.
        for (const auto& hold : status_.holds) {
            Log::info("hold " + std::to_string(hold.id) + " ended with the session (" + source +
                      ")");
        }
        status_.holds.clear();
        holdsArmedSession_ = false;
        session_.setHeld(false);
        changed |= kHolds;
    }
    if (onChange) {
        onChange(status_, changed);
    }
}

void ControlModel::sessionStateChanged() {
    refresh();
}

void ControlModel::noteNotice(const std::string& title, const std::string& body) {
    if (!inFlight_.empty() && inFlight_.back()) {
        Reply reply = std::move(inFlight_.back());
        inFlight_.back() = nullptr;
        reply(failure(kErrorRefused, title + ". " + body));
    }
    if (isAwaitingNotice_) {
        isAwaitingNotice_ = false;
        status_.lastDisarm.notice = title + ": " + body;
        if (onChange) {
            onChange(status_, kLastDisarm);
        }
    }
}

void ControlModel::refresh() {
    unsigned changed = 0;
    auto update = [&changed](auto& field, auto value, Property bit) {
        if (field != value) {
            field = std::move(value);
            changed |= bit;
        }
    };
    update(status_.state, std::string(stateName(session_.state())), kState);
    update(status_.keepAwake, session_.isKeepAwakeActive(), kKeepAwake);
    update(status_.lidClosed, session_.lidState() == LidStateObserver::LidState::closed,
           kLidClosed);
    const auto reading = session_.powerReading().value_or(firstReading_);
    update(status_.onBattery, reading.onBattery, kOnBattery);
    update(status_.batteryPercent, reading.percent ? int32_t{*reading.percent} : int32_t{-1},
           kBatteryPercent);
    update(status_.deadlineUsec, session_.deadline() ? usecOf(*session_.deadline()) : 0, kDeadline);
    update(status_.keepAwakeUntilUsec,
           session_.keepAwakeDeadline() ? usecOf(*session_.keepAwakeDeadline()) : 0,
           kKeepAwakeUntil);
    if (changed != 0 && onChange) {
        onChange(status_, changed);
    }
}

}  // namespace noctave::control
