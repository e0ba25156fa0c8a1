#pragma once

#include <sys/types.h>

#include <filesystem>
#include <memory>

#include "platform/linux/lid/LidStandDown.hpp"

namespace noctave::linuxos::lid {

// A small process that outlives a SIGKILL or a crash of ours to put the lid owner's settings
// back. It watches this process through a pidfd and holds the far end of a pipe (the leash):
//  - we die with the record still there: it restores the record;
//  - we remove the record and drop the leash: it exits, and we reap it.
// A separate program rather than a mode of ours: it runs for the whole session, and without
// the Qt libraries it costs a fraction of the memory.
class LidGuardian {
  public:
    // Starts `program` (see guardianProgram) guarding `record`; null when it cannot start.
    static std::unique_ptr<LidGuardian> start(const std::filesystem::path& program,
                                              const std::filesystem::path& record);

    // Drops the leash. When the record is gone the guardian exits and is reaped here; when
    // the record is still there (its restore failed) the guardian is left to restore it after
    // this process ends.
    ~LidGuardian();
    LidGuardian(const LidGuardian&) = delete;
    LidGuardian& operator=(const LidGuardian&) = delete;

    pid_t pid() const { return pid_; }

    // noctave-lid-guardian beside the running program.
    static std::filesystem::path guardianProgram();

  private:
    LidGuardian(pid_t pid, int leash, std::filesystem::path record)
        : pid_(pid), leash_(leash), record_(std::move(record)) {}

    pid_t pid_;
    int leash_;
    std::filesystem::path record_;
};

// The guardian's own side: waits on `parent` (a pidfd) and `leash` as above, then restores
// `record` with `makeOwner`, trying again for a few seconds while the owner's store is not
// reachable. Returns the exit status: 0 when nothing is left changed.
int guardLidRecord(int parent, int leash, const std::filesystem::path& record,
                   const OwnerFactory& makeOwner);

}  // namespace noctave::linuxos::lid
