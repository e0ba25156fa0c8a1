#include "core/power/SessionLocker.hpp"

#include "core/os/SessionLockFacility.hpp"
#include "core/os/System.hpp"
#include "core/support/Log.hpp"

namespace noctave::SessionLocker {

namespace {
constexpr int kLazyLocal = 5;
constexpr const char* kUnavailable = "macOS Lock Screen action is unavailable";
}  // namespace

Outcome lockNow() {
    // Loaded afresh on every call: the lock is rare and the library may come and go.
    auto facility = os::system().sessionLock;
    const os::SessionLockFacility::LibraryHandle library =
        facility ? facility->openLibrary(os::kLoginFrameworkPath, kLazyLocal) : 0;
    if (library == 0) {
        Log::warn("could not load macOS login framework");
        return Outcome::failed(kUnavailable);
    }
    auto lock = facility->lookup(library, os::kLockScreenSymbol);
    if (!lock) {
        Log::warn("macOS Lock Screen symbol is unavailable");
        facility->closeLibrary(library);
        return Outcome::failed(kUnavailable);
    }
    const std::string refused = lock();
    facility->closeLibrary(library);
    if (!refused.empty()) {
        // A refusal is a failure like a missing library: the caller's failure path must run.
        Log::warn("session lock refused: " + refused);
        return Outcome::failed(std::string(kUnavailable) + " (" + refused + ")");
    }
    Log::info("session locked via macOS login framework");
    return Outcome::locked();
}

}  // namespace noctave::SessionLocker
