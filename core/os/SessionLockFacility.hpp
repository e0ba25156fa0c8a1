#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace noctave::os {

// Where the lock lives on the Mac (the virtual laptop plays one).
inline constexpr const char* kLoginFrameworkPath =
    "/System/Library/PrivateFrameworks/login.framework/login";
inline constexpr const char* kLockScreenSymbol = "SACLockScreenImmediate";

// Locking the login session at once, through a library loaded at run time that may be missing.
//
// Thread-safety: every member may be called from any thread. Nothing here logs.
class SessionLockFacility {
  public:
    virtual ~SessionLockFacility() = default;

    using LibraryHandle = uint64_t;  // 0: none

    // Loads the library at `path` with the loader `mode` (5: lazy and local). 0 when absent.
    virtual LibraryHandle openLibrary(const std::string& path, int mode) = 0;

    // The function named `symbol` (no arguments); empty when missing. Calling it asks for the
    // lock and returns why the system refused it, or an empty string when the system took it.
    using LockFunction = std::function<std::string()>;
    virtual LockFunction lookup(LibraryHandle library, const std::string& symbol) = 0;

    // Closes a handle from openLibrary. Functions looked up through it must not be called after.
    virtual void closeLibrary(LibraryHandle library) = 0;
};

}  // namespace noctave::os
