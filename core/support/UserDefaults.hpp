#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
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
// are seen at the next read. Writes re-read the file, change one key and replace the file
// atomically. Registered defaults answer for keys the file lacks and are never written.
// A file that cannot be parsed is renamed aside with a ".bad" suffix and reads fall back to
// the defaults; one warning says so.
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

  private:
    struct Stamp {
        bool exists = false;
        std::filesystem::file_time_type mtime{};
        std::uintmax_t size = 0;
        bool operator==(const Stamp&) const = default;
    };
    void reloadIfChangedLocked();
    std::optional<Value> lookupLocked(std::string_view key);
    bool writeLocked(const std::map<std::string, Value, std::less<>>& values);

    std::filesystem::path file_;
    std::mutex mutex_;
    std::map<std::string, Value, std::less<>> defaults_;
    std::map<std::string, Value, std::less<>> values_;
    std::optional<Stamp> loaded_;
};

}  // namespace noctave
