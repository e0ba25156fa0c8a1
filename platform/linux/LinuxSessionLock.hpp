#pragma once

#include <memory>

#include "core/os/SessionLockFacility.hpp"
#include "platform/linux/bus/DBusConnection.hpp"

namespace noctave::linuxos {

// Locking the session through systemd-logind: the "library" is logind on the system bus and
// its one function asks logind to lock the caller's session (LockSession("auto"), or the
// session object's Lock when that is refused). The desktop's locker does the locking; logind's
// refusal (no session of ours, no such session) is handed back as the function's answer.
class LinuxSessionLock final : public os::SessionLockFacility {
  public:
    explicit LinuxSessionLock(std::shared_ptr<DBusConnection> systemBus)
        : bus_(std::move(systemBus)) {}

    LibraryHandle openLibrary(const std::string& path, int mode) override;
    LockFunction lookup(LibraryHandle library, const std::string& symbol) override;
    void closeLibrary(LibraryHandle library) override;

    static constexpr LibraryHandle kLogind = 1;

  private:
    std::shared_ptr<DBusConnection> bus_;
};

}  // namespace noctave::linuxos
