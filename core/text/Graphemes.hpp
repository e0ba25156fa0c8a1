#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace noctave::graphemes {

// Characters as the user sees them: extended grapheme clusters, found with the default
// cluster boundary rules of Unicode 14 (CR LF, controls, Hangul syllables, combining marks,
// spacing marks, prepended marks, emoji ZWJ sequences, regional-indicator flag pairs) over a
// compiled table of the grapheme-break and pictographic properties.
//
// Bytes that are not well-formed UTF-8 count as one U+FFFD each (per maximal invalid
// subsequence) and come out as U+FFFD, so every result is well-formed UTF-8.

// The number of user-perceived characters in `text`.
std::size_t count(std::string_view text);

// The first `maxCharacters` user-perceived characters of `text`; all of it when shorter.
// Never splits a UTF-8 sequence, a combining sequence or an emoji sequence.
std::string prefix(std::string_view text, std::size_t maxCharacters);

// `text` with every ill-formed UTF-8 subsequence replaced by U+FFFD.
std::string sanitized(std::string_view text);

}  // namespace noctave::graphemes
