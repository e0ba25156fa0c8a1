#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/linux/lid/LidOwner.hpp"

namespace noctave::linuxos::lid {

// A key's value as KConfig gives it from a cascade of files, least important first (the
// system-wide ones, then the user's): a later file's entry wins, except over an entry or a
// group an earlier file made immutable.
struct KConfigValue {
    SettingValue value;
    std::filesystem::path from;         // the file whose entry decided, if any
    std::filesystem::path immutableIn;  // the file that made the entry or its group immutable
};

// A KConfig file as its lines, each with its line feed, so that what is not edited is
// written back byte for byte. Read as KConfig reads it: a group may appear more than once
// and a key more than once in it, the last entry winning; "[$i]" after a group's header (or
// alone before the first group, for the whole file) and after a key makes them immutable;
// "key[de]=" is another key (a translation) and "key[$e]=" one whose value the shell expands.
// Groups are named as written ("[AC][HandleButtonEvents]").
class KConfigLines {
  public:
    explicit KConfigLines(const std::string& text);

    std::string text() const;

    // The entry that decides a key in this file: the last of its lines in any of the group's
    // sections.
    struct Entry {
        std::string value;
        bool isImmutable = false;      // the key's own [$i]
        bool hasOtherOptions = false;  // [$e], [$d]: not a plain value
    };
    std::optional<Entry> entry(const std::string& group, const std::string& key) const;
    // Whether the group is immutable in this file (a header of it, or the file, says [$i]).
    bool isImmutable(const std::string& group) const;
    // Whether a group whose name starts with `prefix` is in the file.
    bool hasGroupStartingWith(const std::string& prefix) const;

    // Why the key cannot be set or removed exactly in this file; empty when it can.
    std::string refusal(const std::string& group, const std::string& key) const;
    // Sets the key's deciding entry to `value` (only its value's bytes change), or adds it to
    // the group's last section or a new group at the end; or, for none, removes the deciding
    // entry and a section it leaves empty. Only where refusal() is empty.
    void set(const std::string& group, const std::string& key, const SettingValue& value);

  private:
    struct Line {
        enum class Kind { other, header, entry, broken };
        Kind kind = Kind::other;
        std::string group;  // a header's group, or the group an entry is in
        bool isImmutable = false;
        std::string key;  // an entry's name, without its locale or options
        bool isLocalized = false;
        bool hasOtherOptions = false;
        bool isDeleted = false;
        std::size_t valueStart = 0;
        std::size_t valueEnd = 0;
    };
    void parse();
    // The index of the key's deciding line, or -1.
    long entryLine(const std::string& group, const std::string& key) const;
    // The index of the group's last header, or -1.
    long lastHeader(const std::string& group) const;

    friend KConfigValue cascade(
        const std::vector<std::pair<std::filesystem::path, KConfigLines>>& files,
        const std::string& group, const std::string& key);

    std::vector<std::string> lines_;
    std::vector<Line> parsed_;
    bool isFileImmutable_ = false;
};

KConfigValue cascade(const std::vector<std::pair<std::filesystem::path, KConfigLines>>& files,
                     const std::string& group, const std::string& key);

}  // namespace noctave::linuxos::lid
