#include "platform/linux/lid/KConfigFile.hpp"

#include <string_view>

namespace noctave::linuxos::lid {

namespace fs = std::filesystem;

namespace {

constexpr const char* kSpace = " \t\r\n";

std::string trim(std::string_view text) {
    const auto begin = text.find_first_not_of(kSpace);
    if (begin == std::string_view::npos) {
        return {};
    }
    const auto end = text.find_last_not_of(kSpace);
    return std::string(text.substr(begin, end - begin + 1));
}

bool isBlank(const std::string& line) {
    return line.find_first_not_of(kSpace) == std::string::npos;
}

}  // namespace

KConfigLines::KConfigLines(const std::string& text) {
    std::size_t start = 0;
    while (start < text.size()) {
        const auto end = text.find('\n', start);
        const auto stop = end == std::string::npos ? text.size() : end + 1;
        lines_.push_back(text.substr(start, stop - start));
        start = stop;
    }
    parse();
}

void KConfigLines::parse() {
    parsed_.assign(lines_.size(), Line{});
    isFileImmutable_ = false;
    bool seenGroup = false;
    std::string group;
    bool sectionImmutable = false;
    for (std::size_t i = 0; i < lines_.size(); ++i) {
        const std::string& raw = lines_[i];
        const std::string text = trim(raw);
        Line& line = parsed_[i];
        if (text.empty() || text.front() == '#') {
            continue;
        }
        if (text.front() == '[') {
            if (!seenGroup && text == "[$i]") {
                isFileImmutable_ = true;
                continue;
            }
            if (text.back() != ']') {
                line.kind = Line::Kind::broken;
                continue;
            }
            seenGroup = true;
            std::string name = text;
            bool immutable = isFileImmutable_;
            constexpr std::string_view kMark = "[$i]";
            if (name.size() > kMark.size() && name.ends_with(kMark)) {
                name.erase(name.size() - kMark.size());
                immutable = true;
            }
            line.kind = Line::Kind::header;
            line.group = group = name;
            line.isImmutable = sectionImmutable = immutable;
            continue;
        }
        const auto equals = raw.find('=');
        if (equals == std::string::npos) {
            continue;  // KConfig skips it too
        }
        const std::string keyPart = trim(std::string_view(raw).substr(0, equals));
        const auto bracket = keyPart.find('[');
        line.kind = Line::Kind::entry;
        line.group = group;
        line.isImmutable = sectionImmutable;
        line.key = trim(std::string_view(keyPart).substr(0, bracket));
        for (auto open = bracket; open != std::string::npos; open = keyPart.find('[', open + 1)) {
            const auto close = keyPart.find(']', open);
            if (close == std::string::npos) {
                line.kind = Line::Kind::broken;
                break;
            }
            const std::string_view part =
                std::string_view(keyPart).substr(open + 1, close - open - 1);
            if (!part.empty() && part.front() == '$') {
                for (const char option : part.substr(1)) {
                    if (option == 'i') {
                        line.isImmutable = true;
                    } else {
                        line.hasOtherOptions = true;
                        line.isDeleted = line.isDeleted || option == 'd';
                    }
                }
            } else {
                line.isLocalized = true;
            }
        }
        const auto valueStart = raw.find_first_not_of(" \t", equals + 1);
        const auto valueLast = raw.find_last_not_of(kSpace);
        line.valueStart = valueStart == std::string::npos ? raw.size() : valueStart;
        line.valueEnd = valueLast == std::string::npos || valueLast < line.valueStart
                            ? line.valueStart
                            : valueLast + 1;
    }
}

std::string KConfigLines::text() const {
    std::string out;
    for (const auto& line : lines_) {
        out += line;
    }
    return out;
}

long KConfigLines::entryLine(const std::string& group, const std::string& key) const {
    long found = -1;
    for (std::size_t i = 0; i < parsed_.size(); ++i) {
        const Line& line = parsed_[i];
        if (line.kind == Line::Kind::entry && !line.isLocalized && line.group == group &&
            line.key == key) {
            found = static_cast<long>(i);
        }
    }
    return found;
}

long KConfigLines::lastHeader(const std::string& group) const {
    long found = -1;
    for (std::size_t i = 0; i < parsed_.size(); ++i) {
        if (parsed_[i].kind == Line::Kind::header && parsed_[i].group == group) {
            found = static_cast<long>(i);
        }
    }
    return found;
}

std::optional<KConfigLines::Entry> KConfigLines::entry(const std::string& group,
                                                       const std::string& key) const {
    const long index = entryLine(group, key);
    if (index < 0) {
        return std::nullopt;
    }
    const Line& line = parsed_[static_cast<std::size_t>(index)];
    const std::string& raw = lines_[static_cast<std::size_t>(index)];
    return Entry{raw.substr(line.valueStart, line.valueEnd - line.valueStart), line.isImmutable,
                 line.hasOtherOptions};
}

bool KConfigLines::hasGroupStartingWith(const std::string& prefix) const {
    for (const Line& line : parsed_) {
        if (line.kind == Line::Kind::header && line.group.starts_with(prefix)) {
            return true;
        }
    }
    return false;
}

bool KConfigLines::isImmutable(const std::string& group) const {
    for (const Line& line : parsed_) {
        if (line.kind == Line::Kind::header && line.group == group && line.isImmutable) {
            return true;
        }
    }
    return false;
}

std::string KConfigLines::refusal(const std::string& group, const std::string& key) const {
    for (std::size_t i = 0; i < parsed_.size(); ++i) {
        if (parsed_[i].kind == Line::Kind::broken) {
            return "line " + std::to_string(i + 1) + " is not KConfig's";
        }
    }
    if (isImmutable(group) || (isFileImmutable_ && lastHeader(group) < 0)) {
        return group + " is immutable ([$i])";
    }
    for (const Line& line : parsed_) {
        if (line.kind == Line::Kind::entry && !line.isLocalized && line.group == group &&
            line.key == key && line.isImmutable) {
            return key + " in " + group + " is immutable ([$i])";
        }
    }
    if (const auto found = entry(group, key); found && found->hasOtherOptions) {
        return key + " in " + group + " is not a plain value (it has [$...] options)";
    }
    return {};
}

void KConfigLines::set(const std::string& group, const std::string& key,
                       const SettingValue& value) {
    const long index = entryLine(group, key);
    if (value) {
        if (index >= 0) {
            const Line& line = parsed_[static_cast<std::size_t>(index)];
            lines_[static_cast<std::size_t>(index)].replace(
                line.valueStart, line.valueEnd - line.valueStart, *value);
        } else if (const long header = lastHeader(group); header >= 0) {
            lines_.insert(lines_.begin() + header + 1, key + "=" + *value + "\n");
        } else {
            if (!lines_.empty()) {
                if (lines_.back().back() != '\n') {
                    lines_.back() += '\n';
                }
                lines_.emplace_back("\n");
            }
            lines_.push_back(group + "\n");
            lines_.push_back(key + "=" + *value + "\n");
        }
        parse();
        return;
    }
    if (index < 0) {
        return;
    }
    lines_.erase(lines_.begin() + index);
    parse();
    // The section the entry was in, and whether anything is left in it.
    long header = index - 1;
    while (header >= 0 && parsed_[static_cast<std::size_t>(header)].kind != Line::Kind::header) {
        --header;
    }
    if (header < 0) {
        return;
    }
    long end = header + 1;
    for (; end < static_cast<long>(lines_.size()); ++end) {
        const auto& line = parsed_[static_cast<std::size_t>(end)];
        if (line.kind == Line::Kind::header) {
            break;
        }
        if (!isBlank(lines_[static_cast<std::size_t>(end)])) {
            return;
        }
    }
    // The section held only this key: it was the stand-down's; remove it and the blank line
    // that separated it from the one before.
    long first = header;
    if (first > 0 && isBlank(lines_[static_cast<std::size_t>(first - 1)])) {
        --first;
    }
    lines_.erase(lines_.begin() + first, lines_.begin() + end);
    parse();
}

KConfigValue cascade(const std::vector<std::pair<fs::path, KConfigLines>>& files,
                     const std::string& group, const std::string& key) {
    KConfigValue result;
    bool groupLocked = false;
    bool keyLocked = false;
    for (const auto& [path, file] : files) {
        bool skip = false;
        std::string current;
        for (std::size_t i = 0; i < file.parsed_.size(); ++i) {
            const auto& line = file.parsed_[i];
            if (line.kind == KConfigLines::Line::Kind::header) {
                current = line.group;
                if (current == group) {
                    skip = groupLocked;
                    if (line.isImmutable && !groupLocked) {
                        groupLocked = true;
                        result.immutableIn = path;
                    }
                }
                continue;
            }
            if (line.kind != KConfigLines::Line::Kind::entry || line.isLocalized ||
                line.group != group || line.key != key || skip || keyLocked) {
                continue;
            }
            const std::string& raw = file.lines_[i];
            result.value =
                line.isDeleted
                    ? SettingValue()
                    : SettingValue(raw.substr(line.valueStart, line.valueEnd - line.valueStart));
            result.from = path;
            if (line.isImmutable) {
                keyLocked = true;
                result.immutableIn = path;
            }
        }
    }
    return result;
}

}  // namespace noctave::linuxos::lid
