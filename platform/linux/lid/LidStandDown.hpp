#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "platform/linux/lid/LidOwner.hpp"

namespace noctave::linuxos::lid {

// Builds the owner a record names again (from its program and location); null when this
// build does not know it.
using OwnerFactory = std::function<std::unique_ptr<LidOwner>(const std::string& program,
                                                             const std::string& location)>;

// Sets the owner's lid action to nothing: records the values it is about to change in
// `record` (on the disk first), changes them, has the daemon reload, reads them back, and
// asks the owner what a lid close now does: anything but nothing is a failure. When any step
// fails, whatever was changed is put back and `why` says what failed. A key the owner
// refuses to change exactly fails before anything is written. Keys already at "nothing" are
// left alone and not recorded; with none to change no record is written.
// `beforeChange` runs once the record is on the disk and before the first change (the
// guardian starts there, so that no death leaves a change without one).
bool standDown(LidOwner& owner, const std::filesystem::path& record, std::string* why,
               const std::function<void()>& beforeChange = {});

enum class Restore {
    nothing,     // no record, a record another restorer finished, or a living writer's
    restored,    // the values are back (or kept where the user changed them) and the record gone
    failed,      // the record stays for the next attempt
    movedAside,  // a record that cannot be read (a FIFO, a link, garbage) is now <record>.bad
};

// Whose records a restore may act on.
enum class Writer {
    thisProcess,  // a disarm or quit: only our own record
    gone,         // the guardian or the next start: only a record whose writer no longer runs
};

// The one way back: puts the recorded values back where they are still the ones the
// stand-down wrote (a value the user changed since is theirs and stays), has the daemon
// reload, reads them back, and only then removes the record. Restorers running at once (the
// guardian and a new start) take turns on the record's lock; the second finds it gone.
Restore restoreRecord(const std::filesystem::path& record, Writer writer,
                      const OwnerFactory& makeOwner);

}  // namespace noctave::linuxos::lid
