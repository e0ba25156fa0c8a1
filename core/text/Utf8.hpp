#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace noctave::utf8 {

inline constexpr char32_t kReplacement = 0xFFFD;

struct Decoded {
    char32_t cp;
    std::size_t length;  // bytes taken, at least 1
    bool isValid;
};

// Decodes one code point at `i` (< text.size()). An ill-formed sequence yields U+FFFD covering
// its maximal subpart: the lead byte and the continuation bytes that could still have belonged
// to it. Overlongs, surrogates and code points past U+10FFFF are ill-formed.
Decoded decode(std::string_view text, std::size_t i);

// True when `text` is well-formed UTF-8.
bool isValid(std::string_view text);

// Appends the encoding of `cp` (a scalar value) to `out`.
void append(std::string& out, char32_t cp);

}  // namespace noctave::utf8
