#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace noctave {

// An address split by the generic URI syntax of RFC 3986 (a URI or a relative reference).
//
// Parsing is strict on purpose: anything outside the URI character set (spaces, controls,
// backslashes, non-ASCII text, a '%' not followed by two hex digits), a second '@' in the
// authority, a malformed IP literal or a port that is not a number up to 65535 rejects the
// whole text. Lenient parsers disagree with each other about such input, and a link checked by
// one parser must open at the same host in another.
struct Url {
    std::string text;  // the whole address, as given

    std::string scheme;  // as written; empty for a relative reference
    bool hasAuthority = false;
    bool hasUserinfo = false;
    std::string userinfo;
    std::string host;  // as written; an IP literal keeps its brackets
    std::optional<unsigned> port;
    std::string path;
    std::optional<std::string> query;
    std::optional<std::string> fragment;

    static std::optional<Url> parse(std::string_view text);

    // The host in ASCII lower case.
    std::string lowercaseHost() const;
};

}  // namespace noctave
