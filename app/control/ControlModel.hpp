#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/control/ControlStatus.hpp"
#include "core/runtime/WeakPtr.hpp"
#include "core/session/SessionController.hpp"

namespace noctave::control {

// A request's answer: success (with a hold's id) or a D-Bus error name and its message.
struct Outcome {
    std::string errorName;
    std::string message;
    uint32_t id = 0;
    bool ok() const { return errorName.empty(); }
};

inline constexpr const char* kErrorInvalidArgs = "org.freedesktop.DBus.Error.InvalidArgs";
inline constexpr const char* kErrorAccessDenied = "org.freedesktop.DBus.Error.AccessDenied";
inline constexpr const char* kErrorLimitsExceeded = "org.freedesktop.DBus.Error.LimitsExceeded";
inline constexpr const char* kErrorRefused = "com.quillor.noctave.Error.Refused";
inline constexpr const char* kErrorNoSuchHold = "com.quillor.noctave.Error.NoSuchHold";

inline constexpr std::size_t kMaxReasonCharacters = 200;
inline constexpr std::size_t kMaxHolds = 64;

// Why `reason` cannot name a hold (too long, not UTF-8, control characters); nothing when it can.
std::optional<std::string> checkReason(std::string_view reason);

// The control interface's logic, on the main queue: requests from the bus become the same
// `arm`/`disarm` calls the menu makes (source "dbus"), holds are counted, and every change of
// what the interface shows is reported once through `onChange`.
//
// Holds keep a session they armed until the last one ends, then disarm it; a session the user
// had armed before the first hold is left standing. While any hold stands the session survives
// opening the lid. Any end of the session (the menu, a safety disarm) ends every hold.
class ControlModel {
  public:
    using Reply = std::function<void(const Outcome&)>;

    // Hooks into the session's observer callbacks; the owner forwards state changes and
    // notices (sessionStateChanged, noteNotice), which the session hands to it alone.
    explicit ControlModel(SessionController& session);
    ~ControlModel();
    ControlModel(const ControlModel&) = delete;
    ControlModel& operator=(const ControlModel&) = delete;

    // Each answers through `reply` exactly once, maybe before it returns: when the session
    // refuses with a notice, the answer goes out as the notice arrives, not after the alert
    // that shows it has been dismissed.
    void arm(Reply reply);
    void disarm(Reply reply);
    void setKeepAwake(bool on, Reply reply);
    // Arms (source "dbus") until `deadlineUsec` (wall clock, microseconds since 1970), which
    // must lie ahead; keep-awake until then, beside its preference.
    void armUntil(uint64_t deadlineUsec, Reply reply);
    void keepAwakeUntil(uint64_t deadlineUsec, Reply reply);
    // The session history, as JSON (SessionJournal::toJson).
    std::string historyJson() const;
    void hold(const std::string& reason, const std::string& owner, Reply reply);
    void release(uint32_t id, const std::string& owner, Reply reply);
    // The owner's connection is gone: its holds end.
    void ownerVanished(const std::string& owner);

    void sessionStateChanged();
    void noteNotice(const std::string& title, const std::string& body);

    const Status& status() const { return status_; }
    // Called with the new status and the Property bits that changed.
    std::function<void(const Status&, unsigned changed)> onChange;

  private:
    // Why `deadlineUsec` cannot be a deadline now; nothing when it can.
    static std::optional<std::string> checkDeadline(uint64_t deadlineUsec);
    bool runGuarded(const std::function<bool()>& operation, const Reply& reply,
                    const std::string& refusal);
    void endHolds(std::vector<Hold>::iterator first, std::vector<Hold>::iterator last);
    void afterHoldsChanged();
    void handleDisarm(const std::string& source);
    void refresh();

    SessionController& session_;
    Status status_;
    uint32_t nextId_ = 1;
    bool holdsArmedSession_ = false;
    bool isAwaitingNotice_ = false;
    // Read once at start, until the session's first power-source report replaces it.
    PowerSourceMonitor::Snapshot firstReading_;
    // Requests running now, innermost last: a modal alert may nest one in another.
    std::vector<Reply> inFlight_;
    runtime::WeakFactory<ControlModel> weakFactory_{this};
};

}  // namespace noctave::control
