#include "core/support/CommandLine.hpp"

namespace noctave {

CommandLine::CommandLine(int argc, char** argv) {
    for (int i = 0; i < argc; ++i) {
        arguments_.emplace_back(argv[i] != nullptr ? argv[i] : "");
    }
}

std::optional<std::size_t> CommandLine::find(std::string_view option) const {
    for (std::size_t i = 0; i < arguments_.size(); ++i) {
        if (arguments_[i] == option) {
            return i;
        }
    }
    return std::nullopt;
}

std::optional<std::string> CommandLine::after(std::string_view option, std::size_t n) const {
    const auto i = find(option);
    if (!i || *i + n >= arguments_.size()) {
        return std::nullopt;
    }
    return arguments_[*i + n];
}

}  // namespace noctave
