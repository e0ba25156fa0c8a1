#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace noctave {

// The process's arguments, asked the way every mode asks them: an option counts only as a
// whole, exact, case-sensitive argument, anywhere on the line (argument 0 included).
class CommandLine {
  public:
    CommandLine() = default;
    CommandLine(int argc, char** argv);
    explicit CommandLine(std::vector<std::string> arguments) : arguments_(std::move(arguments)) {}

    // The index of the first argument equal to `option`, or no value.
    std::optional<std::size_t> find(std::string_view option) const;
    bool has(std::string_view option) const { return find(option).has_value(); }
    // The `n`th argument after the first `option` (n = 1: the one right after it); no value
    // when the option is absent or the line ends before it.
    std::optional<std::string> after(std::string_view option, std::size_t n = 1) const;

    const std::vector<std::string>& arguments() const { return arguments_; }

  private:
    std::vector<std::string> arguments_;
};

}  // namespace noctave
