#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "core/runtime/Clock.hpp"

namespace noctave::iso8601 {

// "2026-12-05T14:50:39.123Z": RFC 3339 in UTC with milliseconds (truncated, not rounded).
std::string format(runtime::WallTime time);

// Parses the form above, with or without fractional seconds, with "Z" or a "+hh:mm"/"-hh:mm"
// offset. Anything else gives no value.
std::optional<runtime::WallTime> parse(std::string_view text);

}  // namespace noctave::iso8601
