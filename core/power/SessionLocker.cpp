#include "core/power/SessionLocker.hpp"

#include "core/os/SessionLockFacility.hpp"
#include "core/os/System.hpp"
#include "core/os/Vocabulary.hpp"
#include "core/support/Log.hpp"

namespace noctave::SessionLocker {

namespace {
constexpr int kLazyLocal = 5;

std::string unavailable() {
    return os::vocabulary().lockAction() + " action is unavailable";
}
}  // namespace

Outcome lockNow() {
    // Loaded afresh on every call: the lock is rare and the library may come and go.
    auto facility = os::system().sessionLock;
    const os::SessionLockFacility::LibraryHandle library =
        facility ? facility->openLibrary(os::kLoginFrameworkPath, kLazyLocal) : 0;
    if (library == 0) {
        Log::warn("could not load " + os::vocabulary().sessionLocker());
        return Outcome::failed(unavailable());
    }
    auto lock = facility->lookup(library, os::kLockScreenSymbol);
    if (!lock) {
        Log::warn(os::vocabulary().lockAction() + " symbol is unavailable");
        facility->closeLibrary(library);
        return Outcome::failed(unavailable());
    }
    const std::string refused = lock();
    facility->closeLibrary(library);
    if (!refused.empty()) {
        // A refusal is a failure like a missing library: the caller's failure path must run.
        Log::warn("session lock refused: " + refused);
        return Outcome::failed(unavailable() + " (" + refused + ")");
    }
    Log::info("session locked via " + os::vocabulary().sessionLocker());
    return Outcome::locked();
}

}  // namespace noctave::SessionLocker
