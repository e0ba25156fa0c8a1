#include "platform/linux/lid/LidStandDown.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "core/support/Log.hpp"
#include "core/support/PrivateFiles.hpp"
#include "platform/linux/lid/LidRecord.hpp"

namespace noctave::linuxos::lid {

namespace fs = std::filesystem;

namespace {

// A real record is a few short lines; anything longer is not one.
constexpr std::size_t kRecordLimit = 64 * 1024;

std::string describe(const SettingValue& value) {
    return value ? *value : std::string("(unset)");
}

// Puts back the entries of `record` whose value is still the one written, on an owner
// already made. False when a write or its read-back failed.
bool putBack(LidOwner& owner, const LidRecord& record) {
    bool ok = true;
    bool wrote = false;
    for (const auto& entry : record.entries) {
        SettingValue current;
        if (!owner.hasKey(entry.key)) {
            // A record from another version of the desktop: nothing to put back there.
            Log::warn("lid owner: " + record.program + " has no setting " + entry.key +
                      "; skipped");
            continue;
        }
        if (!owner.read(entry.key, current)) {
            Log::error("lid owner: cannot read " + entry.key + " of " + record.program);
            ok = false;
            continue;
        }
        if (current != entry.set) {
            Log::info("lid owner: " + entry.key + " of " + record.program + " changed to " +
                      describe(current) + " since the stand-down; keeping it");
            continue;
        }
        if (!owner.write(entry.key, entry.original)) {
            Log::error("lid owner: cannot restore " + entry.key + " of " + record.program);
            ok = false;
            continue;
        }
        wrote = true;
    }
    if (wrote && !owner.reload()) {
        Log::warn("lid owner: " + record.program + " did not reload its settings");
    }
    for (const auto& entry : record.entries) {
        SettingValue current;
        if (owner.hasKey(entry.key) && owner.read(entry.key, current) && current == entry.set) {
            Log::error("lid owner: " + entry.key + " of " + record.program +
                       " still reads the stand-down value");
            ok = false;
        }
    }
    return ok;
}

// Moves an unusable record out of the way, so that it cannot stop every start and the guardian
// again; what it held, if anything, is lost, and the log says so once.
Restore setAside(const fs::path& record, const std::string& why) {
    const fs::path aside = files::freeAsideName(record);
    if (::rename(record.c_str(), aside.c_str()) != 0) {
        if (errno == ENOENT) {
            return Restore::nothing;  // another restorer moved it first
        }
        Log::error("lid owner: record " + record.string() + " unusable (" + why +
                   ") and cannot be moved aside (" + std::strerror(errno) + ")");
        return Restore::failed;
    }
    Log::warn("lid owner: record " + record.string() + " unusable (" + why + "); moved aside to " +
              aside.string() + ". The desktop's lid action may still be \"do nothing\": " +
              "check it in the desktop's power settings");
    return Restore::movedAside;
}

// Whether the owner itself now says a lid close does nothing; `why` quotes it when not.
bool confirmed(LidOwner& owner, std::string* why) {
    const LidAnswer answer = owner.answer();
    if (answer.doesNothing()) {
        return true;
    }
    *why = owner.program() + " answers " + answer.describe();
    return false;
}

}  // namespace

bool standDown(LidOwner& owner, const fs::path& record, std::string* why,
               const std::function<void()>& beforeChange) {
    LidRecord changes = LidRecord::forThisProcess();
    changes.program = owner.program();
    changes.location = owner.location();
    for (const auto& key : owner.keys()) {
        SettingValue current;
        if (!owner.read(key.name, current)) {
            const std::string refused = owner.refusal(key.name);
            *why = refused.empty() ? "cannot read " + key.name + " of " + changes.program : refused;
            return false;
        }
        if (current != key.standDownValue) {
            if (auto refused = owner.refusal(key.name); !refused.empty()) {
                *why = refused;
                return false;
            }
            changes.entries.push_back({key.name, current, key.standDownValue});
        }
    }
    if (changes.entries.empty()) {
        // Nothing to change in the user's store; the daemon may still act (a system-wide or
        // locked value), and only its answer tells.
        return confirmed(owner, why);
    }
    // Record first: a death between here and the change leaves a record whose restore finds
    // the user's values still in place and changes nothing.
    if (!files::makePrivateFolder(record.parent_path()) ||
        !writeDurably(record, changes.toText())) {
        *why = "cannot write " + record.string() + " (" + std::strerror(errno) + ")";
        return false;
    }
    if (beforeChange) {
        beforeChange();
    }
    bool ok = true;
    for (const auto& entry : changes.entries) {
        if (!owner.write(entry.key, entry.set)) {
            *why = "cannot write " + entry.key + " of " + changes.program;
            ok = false;
            break;
        }
    }
    if (ok && !owner.reload()) {
        *why = changes.program + " did not reload its settings";
        ok = false;
    }
    for (const auto& entry : changes.entries) {
        SettingValue current;
        if (ok && (!owner.read(entry.key, current) || current != entry.set)) {
            *why = entry.key + " of " + changes.program + " reads " + describe(current) +
                   " after the change";
            ok = false;
        }
    }
    if (ok) {
        ok = confirmed(owner, why);
    }
    if (!ok && putBack(owner, changes)) {
        removeDurably(record);
    }
    return ok;
}

Restore restoreRecord(const fs::path& record, Writer writer, const OwnerFactory& makeOwner) {
    // Non-blocking: a FIFO planted at the path must not hold a start or the guardian.
    const int fd = files::openPrivateFile(record, O_RDONLY | O_NONBLOCK);
    if (fd < 0) {
        if (errno == ENOENT) {
            return Restore::nothing;
        }
        if (errno == ELOOP || errno == EACCES || errno == EPERM) {
            return setAside(record, std::strerror(errno));  // a link, a file we may not read
        }
        // Only regular files are opened: a FIFO, a device or a folder is no record of ours.
        if (errno == ENXIO || errno == EISDIR) {
            return setAside(record, errno == EISDIR ? "a folder" : "not a regular file");
        }
        Log::error("lid owner: cannot open " + record.string() + " (" + std::strerror(errno) + ")");
        return Restore::failed;
    }
    // The lock goes with the descriptor: closing it on every path below releases it.
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    struct stat info {};
    if (::fstat(fd, &info) != 0) {
        return Restore::failed;
    }
    if (!S_ISREG(info.st_mode)) {
        return setAside(record, S_ISDIR(info.st_mode) ? "a folder" : "not a regular file");
    }
    while (::flock(fd, LOCK_EX) != 0) {
        if (errno != EINTR) {
            return Restore::failed;
        }
    }
    if (::fstat(fd, &info) != 0 || info.st_nlink == 0) {
        return Restore::nothing;  // restored and removed while we waited for the lock
    }
    std::string whyNot;
    const auto text =
        files::readBoundedFile(record, kRecordLimit, "64 KiB", files::Links::refuse, &whyNot);
    const auto changes = text ? LidRecord::fromText(*text) : std::nullopt;
    if (!changes) {
        return setAside(record, whyNot.empty() ? std::string("not a record") : whyNot);
    }
    const bool ours = changes->writtenByThisProcess();
    if ((writer == Writer::thisProcess && !ours) ||
        (writer == Writer::gone && (ours || changes->writerAlive()))) {
        return Restore::nothing;
    }
    auto owner = makeOwner(changes->program, changes->location);
    if (!owner) {
        Log::error("lid owner: cannot reach " + changes->program + " to restore its settings");
        return Restore::failed;
    }
    if (!putBack(*owner, *changes)) {
        return Restore::failed;
    }
    if (!removeDurably(record)) {
        return Restore::failed;
    }
    Log::info("lid owner: " + changes->program + "'s lid settings restored");
    return Restore::restored;
}

}  // namespace noctave::linuxos::lid
