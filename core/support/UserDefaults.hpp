#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <variant>

#include "core/runtime/Clock.hpp"

namespace noctave {

// A typed key-value store kept in one human-editable text file, the user-defaults domain.
//
// File format, one setting per line:
//     armWithGesture = false
//     lowBatteryDisarmPercent = 30
//     remoteFeedURL = "https://example.org/feed.xml"
//     remoteConfigFetchedAt = 2026-12-05T14:50:39.123Z
// true/false are Booleans, decimal numbers integers, double-quoted text strings (escapes \" \\ and
// \n \t \r), ISO 8601 times dates. Blank lines and lines starting with # are ignored.
//
// Every read looks at the file again when it changed on disk, so values written from outside
// are seen at the next read. A write happens only when a value really changes: it edits that
// key's line in the text last read (comments, order and unreadable lines stay), and replaces the
// file atomically, through a symbolic link to its target. Registered defaults answer for keys
// the file lacks and are never written.
//
// What the user wrote is never lost: a line that cannot be read costs only its own key (the
// default answers; one warning per line); a file that cannot be read at all (permissions, a
// folder in its place) is left alone and the store runs on defaults in memory, refusing
// writes, until it can be read; a file that is not text is moved aside to "<file>.bad" (or the
// first free "<file>.bad.N") and reads fall back to the defaults.
//
// Thread-safe.
class UserDefaults {
  public:
    using Value = std::variant<bool, int64_t, std::string, runtime::WallTime>;

    explicit UserDefaults(std::filesystem::path file);

    // The store of the installed system (os::system().paths->userDefaultsFile()).
    static UserDefaults& standard();

    void registerDefaults(const std::map<std::string, Value, std::less<>>& defaults);

    std::optional<Value> object(std::string_view key);
    bool boolForKey(std::string_view key);        // absent or unconvertible: false
    int64_t integerForKey(std::string_view key);  // absent or unconvertible: 0
    std::optional<std::string> stringForKey(std::string_view key);
    std::optional<runtime::WallTime> dateForKey(std::string_view key);

    // Return false when the file could not be written (the value is then not stored).
    bool set(std::string_view key, Value value);
    bool remove(std::string_view key);

    const std::filesystem::path& file() const { return file_; }

    // Parsing and printing the file format; exposed for tests and tools.
    static std::optional<std::map<std::string, Value, std::less<>>> parse(std::string_view text,
                                                                          std::string* error);
    static std::string serialize(const std::map<std::string, Value, std::less<>>& values);

    // What tells one version of the file from another.
    struct Stamp {
        bool exists = false;
        uint64_t device = 0;
        uint64_t inode = 0;
        std::uintmax_t size = 0;
        int64_t mtimeNs = 0;
        int64_t ctimeNs = 0;
        bool operator==(const Stamp&) const = default;
    };

  private:
    void reloadIfChangedLocked();
    std::optional<Value> lookupLocked(std::string_view key);
    std::string editedText(std::string_view key, const std::optional<Value>& value) const;
    bool writeLocked(const std::string& text);

    std::filesystem::path file_;
    std::mutex mutex_;
    std::map<std::string, Value, std::less<>> defaults_;
    std::map<std::string, Value, std::less<>> values_;
    std::string text_;         // the file as last read
    bool unreadable_ = false;  // the file exists but cannot be read: never written over
    std::set<std::string> warnedLines_;
    std::optional<Stamp> loaded_;
};

}  // namespace noctave
