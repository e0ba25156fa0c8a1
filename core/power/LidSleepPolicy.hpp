#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "core/os/PowerManagement.hpp"

namespace noctave {

// The connection the signal handlers clear the lid-close flag through: the open policy's
// connection, 0 when none. A lone aligned 32-bit value so a handler reads it whole.
extern std::atomic<uint32_t> gRootDomainConnection;
static_assert(std::atomic<uint32_t>::is_always_lock_free);

// Owner of the lid-close kernel flag: a connection to the root power domain's user client,
// through whose scalar method 12 the flag is set (1) and cleared (0). While the flag is set,
// closing the lid does not sleep the machine.
//
// An instance exists only while open. Used from one thread at a time. Logs nothing.
class LidSleepPolicy {
  public:
    // Why the root power domain could not be opened; the one error thrown out of the core.
    class OpenError : public std::exception {
      public:
        enum class Kind { openFailed, serviceNotFound };

        static OpenError openFailed(os::IoReturn code, std::string cause = {}) {
            return OpenError(Kind::openFailed, code, std::move(cause));
        }
        static OpenError serviceNotFound(std::string cause = {}) {
            return OpenError(Kind::serviceNotFound, 0, std::move(cause));
        }

        Kind kind() const { return kind_; }
        os::IoReturn code() const { return code_; }  // the failed open's code (openFailed only)
        // What the platform said about the failure (no system bus, logind not answering);
        // empty when it said nothing more than the code.
        const std::string& cause() const { return cause_; }

        // "IOServiceOpen failed (0x<code>)" or "IOPMrootDomain service not found".
        std::string description() const;
        const char* what() const noexcept override { return description_.c_str(); }

      private:
        OpenError(Kind kind, os::IoReturn code, std::string cause);
        Kind kind_;
        os::IoReturn code_;
        std::string cause_;
        std::string description_;
    };

    // Finds the root power domain and opens its user client; throws OpenError.
    LidSleepPolicy();
    // Clears the flag (as far as the kernel accepts) and closes everything.
    ~LidSleepPolicy();
    LidSleepPolicy(const LidSleepPolicy&) = delete;
    LidSleepPolicy& operator=(const LidSleepPolicy&) = delete;

    // Writes the flag on this instance's connection; true when the kernel accepted the call.
    // Once the emergency clear has started, setting is refused on every thread.
    bool set(bool enabled);

    // The root domain's clamshell-causes-sleep property; no value when it cannot be read.
    std::optional<bool> kernelLidCausesSleep() const;

    // Why the latest set(true) failed, in words for the user, when the platform says more
    // than its code; else empty.
    std::string setFailure() const;

    // True only when the root domain reports that closing the lid does not cause sleep.
    bool kernelVisiblyConfirmsSuppression() const;

    // Clears the flag through gRootDomainConnection, ignoring the result. Allocates nothing and
    // takes no lock: made for signal handlers.
    // From the first call on, the process is taken to be dying: no set succeeds any more, and a
    // set that raced the clear is cleared again.
    static void emergencyClear() noexcept;

    // Clears the flag through a connection of its own; true when the kernel accepted the call.
    // Leaves gRootDomainConnection alone.
    static bool clearOnFreshConnection();

    os::IoObject service() const { return service_; }
    os::IoConnection connection() const { return connection_; }

  private:
    os::IoObject service_ = 0;
    os::IoConnection connection_ = 0;
    // The port this instance was opened on, so it closes there even if another is installed.
    std::shared_ptr<os::PowerManagement> power_;
};

}  // namespace noctave
