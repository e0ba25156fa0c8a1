#pragma once

#include <string_view>

namespace noctave::utf8 {

// True when `text` is well-formed UTF-8 (no overlongs, surrogates or code points past U+10FFFF).
bool isValid(std::string_view text);

}  // namespace noctave::utf8
