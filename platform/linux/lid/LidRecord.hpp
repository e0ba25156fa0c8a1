#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/linux/lid/LidOwner.hpp"

namespace noctave::linuxos::lid {

// What a stand-down changed, kept on disk before the first change so that whoever restores
// (the disarm, a quit, the guardian, the next start) finds the user's values even after the
// writer died.
struct LidRecord {
    // The writer, told apart from a later process that reuses its number by its start time
    // and the boot it ran in.
    int pid = 0;
    unsigned long long startTime = 0;
    std::string bootId;

    std::string program;
    std::string location;
    struct Entry {
        std::string key;
        SettingValue original;  // the user's value before the stand-down
        std::string set;        // what the stand-down wrote
    };
    std::vector<Entry> entries;

    std::string toText() const;
    static std::optional<LidRecord> fromText(std::string_view text);

    // The record of this process, without entries.
    static LidRecord forThisProcess();
    // Whether the writer still runs: the same boot, and its number names a process started
    // when the writer was.
    bool writerAlive() const;
    bool writtenByThisProcess() const;
};

// The record's place: <private state folder>/lid-owner.record.
std::filesystem::path lidRecordPath();

// Replaces `file` with `text` whole or not at all, and on the disk before returning (file
// and folder synced), so a power loss right after never finds the change without the record.
// The folder must exist; a new file is made 0600.
bool writeDurably(const std::filesystem::path& file, const std::string& text);

// Removes `file` and syncs its folder. True when it is gone.
bool removeDurably(const std::filesystem::path& file);

}  // namespace noctave::linuxos::lid
