#include "platform/linux/MachineRoots.hpp"

#include <charconv>
#include <fstream>

namespace noctave::linuxos {

std::optional<std::string> readFirstLine(const std::filesystem::path& file) {
    std::ifstream in(file);
    if (!in) {
        return std::nullopt;
    }
    std::string line;
    if (!std::getline(in, line) && line.empty()) {
        // An empty attribute reads as an empty string, a failed read as nothing.
        if (in.bad()) {
            return std::nullopt;
        }
    }
    while (!line.empty() && (line.back() == '\n' || line.back() == ' ' || line.back() == '\t' ||
                             line.back() == '\r')) {
        line.pop_back();
    }
    return line;
}

std::optional<long long> readInteger(const std::filesystem::path& file) {
    auto line = readFirstLine(file);
    if (!line) {
        return std::nullopt;
    }
    const std::string& text = *line;
    const char* begin = text.data();
    const char* end = begin + text.size();
    while (begin < end && *begin == ' ') {
        ++begin;
    }
    long long value = 0;
    auto [ptr, ec] = std::from_chars(begin, end, value);
    if (ec != std::errc{} || ptr == begin) {
        return std::nullopt;
    }
    return value;
}

}  // namespace noctave::linuxos
