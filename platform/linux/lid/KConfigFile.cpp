#include "platform/linux/lid/KConfigFile.hpp"

#include <string_view>

namespace noctave::linuxos::lid {

namespace {

std::string trim(std::string_view text) {
    const auto begin = text.find_first_not_of(" \t\r\n");
    if (begin == std::string_view::npos) {
        return {};
    }
    const auto end = text.find_last_not_of(" \t\r\n");
    return std::string(text.substr(begin, end - begin + 1));
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
}

std::string KConfigLines::text() const {
    std::string out;
    for (const auto& line : lines_) {
        out += line;
    }
    return out;
}

SettingValue KConfigLines::get(const std::string& group, const std::string& key) const {
    const auto [header, end] = groupRange(group);
    if (header < 0) {
        return std::nullopt;
    }
    const auto line = keyLine(header, end, key);
    if (line < 0) {
        return std::nullopt;
    }
    const auto& text = lines_[static_cast<std::size_t>(line)];
    return trim(std::string_view(text).substr(text.find('=') + 1));
}

void KConfigLines::set(const std::string& group, const std::string& key,
                       const SettingValue& value) {
    auto [header, end] = groupRange(group);
    const auto line = header < 0 ? -1 : keyLine(header, end, key);
    if (value) {
        const std::string entry = key + "=" + *value + "\n";
        if (line >= 0) {
            lines_[static_cast<std::size_t>(line)] = entry;
        } else if (header >= 0) {
            lines_.insert(lines_.begin() + header + 1, entry);
        } else {
            if (!lines_.empty()) {
                if (lines_.back().back() != '\n') {
                    lines_.back() += '\n';
                }
                lines_.emplace_back("\n");
            }
            lines_.push_back(group + "\n");
            lines_.push_back(entry);
        }
        return;
    }
    if (line < 0) {
        return;
    }
    lines_.erase(lines_.begin() + line);
    std::tie(header, end) = groupRange(group);
    for (auto i = header + 1; i < end; ++i) {
        if (!trim(lines_[static_cast<std::size_t>(i)]).empty()) {
            return;
        }
    }
    // The group held only this key: it was the stand-down's; remove it and the blank line
    // that separated it from the group before.
    auto first = header;
    if (first > 0 && trim(lines_[static_cast<std::size_t>(first - 1)]).empty()) {
        --first;
    }
    lines_.erase(lines_.begin() + first, lines_.begin() + end);
}

std::pair<long, long> KConfigLines::groupRange(const std::string& group) const {
    long header = -1;
    for (std::size_t i = 0; i < lines_.size(); ++i) {
        const std::string line = trim(lines_[i]);
        if (header < 0) {
            if (line == group) {
                header = static_cast<long>(i);
            }
        } else if (!line.empty() && line.front() == '[') {
            return {header, static_cast<long>(i)};
        }
    }
    return {header, static_cast<long>(lines_.size())};
}

long KConfigLines::keyLine(long header, long end, const std::string& key) const {
    for (auto i = header + 1; i < end; ++i) {
        const auto& line = lines_[static_cast<std::size_t>(i)];
        const auto equals = line.find('=');
        if (equals != std::string::npos && trim(line.substr(0, equals)) == key) {
            return i;
        }
    }
    return -1;
}

}  // namespace noctave::linuxos::lid
