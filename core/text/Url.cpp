#include "core/text/Url.hpp"

#include <algorithm>

namespace noctave {

namespace {

bool isAlpha(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
bool isDigit(char c) {
    return c >= '0' && c <= '9';
}
bool isHex(char c) {
    return isDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}
bool isUnreserved(char c) {
    return isAlpha(c) || isDigit(c) || c == '-' || c == '.' || c == '_' || c == '~';
}
bool isSubDelim(char c) {
    return c == '!' || c == '$' || c == '&' || c == '\'' || c == '(' || c == ')' || c == '*' ||
           c == '+' || c == ',' || c == ';' || c == '=';
}

// True when every character of `part` is unreserved, a sub-delimiter, one of `extra`, or a
// complete percent escape.
bool isMadeOf(std::string_view part, std::string_view extra) {
    for (std::size_t i = 0; i < part.size(); ++i) {
        const char c = part[i];
        if (c == '%') {
            if (i + 2 >= part.size() || !isHex(part[i + 1]) || !isHex(part[i + 2])) {
                return false;
            }
            i += 2;
            continue;
        }
        if (!isUnreserved(c) && !isSubDelim(c) && extra.find(c) == std::string_view::npos) {
            return false;
        }
    }
    return true;
}

bool isValidScheme(std::string_view scheme) {
    if (scheme.empty() || !isAlpha(scheme.front())) {
        return false;
    }
    return std::all_of(scheme.begin(), scheme.end(), [](char c) {
        return isAlpha(c) || isDigit(c) || c == '+' || c == '-' || c == '.';
    });
}

// "[" IPv6address or IPvFuture "]", checked for its character set and shape.
bool isValidIpLiteral(std::string_view literal) {
    if (literal.size() < 3 || literal.front() != '[' || literal.back() != ']') {
        return false;
    }
    const std::string_view inside = literal.substr(1, literal.size() - 2);
    if (inside.front() == 'v' || inside.front() == 'V') {
        const auto dot = inside.find('.');
        if (dot == std::string_view::npos || dot < 2 || dot + 1 >= inside.size()) {
            return false;
        }
        const std::string_view version = inside.substr(1, dot - 1);
        return std::all_of(version.begin(), version.end(), isHex) &&
               isMadeOf(inside.substr(dot + 1), ":") &&
               inside.substr(dot + 1).find('%') == std::string_view::npos;
    }
    if (inside.find(':') == std::string_view::npos) {
        return false;
    }
    return std::all_of(inside.begin(), inside.end(),
                       [](char c) { return isHex(c) || c == ':' || c == '.'; });
}

}  // namespace

std::optional<Url> Url::parse(std::string_view text) {
    if (text.empty()) {
        return std::nullopt;
    }
    Url url;
    url.text = std::string(text);
    std::string_view rest = text;

    // Fragment and query first: '#' and '?' end everything before them.
    if (const auto hash = rest.find('#'); hash != std::string_view::npos) {
        const std::string_view fragment = rest.substr(hash + 1);
        if (!isMadeOf(fragment, ":@/?")) {
            return std::nullopt;
        }
        url.fragment = std::string(fragment);
        rest = rest.substr(0, hash);
    }
    if (const auto question = rest.find('?'); question != std::string_view::npos) {
        const std::string_view query = rest.substr(question + 1);
        if (!isMadeOf(query, ":@/?")) {
            return std::nullopt;
        }
        url.query = std::string(query);
        rest = rest.substr(0, question);
    }

    // A scheme is everything before a ':' that comes before any '/'.
    const auto colon = rest.find(':');
    if (colon != std::string_view::npos && colon < rest.find('/')) {
        const std::string_view scheme = rest.substr(0, colon);
        if (!isValidScheme(scheme)) {
            return std::nullopt;  // also a relative path whose first segment holds a ':'
        }
        url.scheme = std::string(scheme);
        rest = rest.substr(colon + 1);
    }

    if (rest.starts_with("//")) {
        url.hasAuthority = true;
        rest = rest.substr(2);
        const auto slash = rest.find('/');
        std::string_view authority = rest.substr(0, slash);
        rest = slash == std::string_view::npos ? std::string_view{} : rest.substr(slash);

        if (const auto at = authority.find('@'); at != std::string_view::npos) {
            const std::string_view userinfo = authority.substr(0, at);
            if (!isMadeOf(userinfo, ":")) {
                return std::nullopt;
            }
            url.hasUserinfo = true;
            url.userinfo = std::string(userinfo);
            authority = authority.substr(at + 1);
        }

        std::string_view host = authority;
        std::optional<std::string_view> port;
        if (authority.starts_with("[")) {
            const auto close = authority.find(']');
            if (close == std::string_view::npos) {
                return std::nullopt;
            }
            host = authority.substr(0, close + 1);
            const std::string_view after = authority.substr(close + 1);
            if (!after.empty()) {
                if (after.front() != ':') {
                    return std::nullopt;
                }
                port = after.substr(1);
            }
            if (!isValidIpLiteral(host)) {
                return std::nullopt;
            }
        } else {
            if (const auto portColon = authority.find(':'); portColon != std::string_view::npos) {
                host = authority.substr(0, portColon);
                port = authority.substr(portColon + 1);
            }
            if (!isMadeOf(host, "")) {
                return std::nullopt;
            }
        }
        if (port && !port->empty()) {
            if (port->size() > 5 || !std::all_of(port->begin(), port->end(), isDigit)) {
                return std::nullopt;
            }
            const unsigned value = static_cast<unsigned>(std::stoul(std::string(*port)));
            if (value > 65535) {
                return std::nullopt;
            }
            url.port = value;
        }
        url.host = std::string(host);
    }

    if (!isMadeOf(rest, ":@/")) {
        return std::nullopt;
    }
    url.path = std::string(rest);
    return url;
}

std::string Url::lowercaseHost() const {
    std::string lower = host;
    std::transform(lower.begin(), lower.end(), lower.begin(), [](char c) {
        return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    });
    return lower;
}

}  // namespace noctave
