#include "core/remote/RemoteConfig.hpp"

#include <algorithm>
#include <nlohmann/json.hpp>

#include "core/support/AppInfo.hpp"
#include "core/text/Graphemes.hpp"
#include "core/text/Url.hpp"

namespace noctave {

namespace {

using nlohmann::json;

std::string asciiLower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](char c) {
        return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    });
    return text;
}

// Reads an optional string member: absent or null is no value; any other non-string type
// fails the document.
bool readOptionalString(const json& object, const char* key, std::optional<std::string>& out) {
    const auto it = object.find(key);
    if (it == object.end() || it->is_null()) {
        out.reset();
        return true;
    }
    if (!it->is_string()) {
        return false;
    }
    out = it->get<std::string>();
    return true;
}

bool readRequiredString(const json& object, const char* key, std::string& out) {
    const auto it = object.find(key);
    if (it == object.end() || !it->is_string()) {
        return false;
    }
    out = it->get<std::string>();
    return true;
}

}  // namespace

std::string RemoteConfig::Notice::clampedTitle() const {
    return graphemes::prefix(title, kTitleLimit);
}

std::string RemoteConfig::Notice::clampedBody() const {
    return graphemes::prefix(body, kBodyLimit);
}

std::optional<std::string> RemoteConfig::Notice::safeURL() const {
    return safeURL(allowedHosts());
}

std::optional<std::string> RemoteConfig::Notice::safeURL(
    const std::vector<std::string>& allowed) const {
    if (!url) {
        return std::nullopt;
    }
    const auto parsed = Url::parse(*url);
    // Credentials in a link only serve to disguise where it goes.
    if (!parsed || parsed->scheme != "https" || !parsed->hasAuthority || parsed->host.empty() ||
        parsed->hasUserinfo) {
        return std::nullopt;
    }
    const std::string host = parsed->lowercaseHost();
    if (std::find(allowed.begin(), allowed.end(), host) == allowed.end()) {
        return std::nullopt;
    }
    return parsed->text;
}

std::vector<std::string> RemoteConfig::allowedHosts() {
    std::vector<std::string> hosts;
    const std::string domain = asciiLower(AppInfo::webDomain());
    if (!domain.empty()) {
        hosts.push_back(domain);
        hosts.push_back("www." + domain);
    }
    if (const auto endpoint = AppInfo::configURL()) {
        if (const auto parsed = Url::parse(*endpoint); parsed && !parsed->host.empty()) {
            hosts.push_back(parsed->lowercaseHost());
        }
    }
    return hosts;
}

std::optional<RemoteConfig> RemoteConfig::decode(std::string_view text) {
    // No exceptions: a parse error yields a discarded value.
    const json document = json::parse(text.begin(), text.end(), nullptr, false);
    if (document.is_discarded() || !document.is_object()) {
        return std::nullopt;
    }
    RemoteConfig config;
    if (!readOptionalString(document, "minimumVersion", config.minimumVersion) ||
        !readOptionalString(document, "feedURL", config.feedURL)) {
        return std::nullopt;
    }
    if (const auto it = document.find("notice"); it != document.end() && !it->is_null()) {
        if (!it->is_object()) {
            return std::nullopt;
        }
        Notice notice;
        if (!readRequiredString(*it, "id", notice.id) ||
            !readRequiredString(*it, "title", notice.title) ||
            !readRequiredString(*it, "body", notice.body) ||
            !readOptionalString(*it, "url", notice.url)) {
            return std::nullopt;
        }
        config.notice = std::move(notice);
    }
    return config;
}

std::string RemoteConfig::encode() const {
    nlohmann::ordered_json document = nlohmann::ordered_json::object();
    if (minimumVersion) {
        document["minimumVersion"] = *minimumVersion;
    }
    if (feedURL) {
        document["feedURL"] = *feedURL;
    }
    if (notice) {
        nlohmann::ordered_json object = {
            {"id", notice->id}, {"title", notice->title}, {"body", notice->body}};
        if (notice->url) {
            object["url"] = *notice->url;
        }
        document["notice"] = std::move(object);
    }
    // Strings built in code may hold bytes that are not UTF-8; replace them rather than throw.
    return document.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

}  // namespace noctave
