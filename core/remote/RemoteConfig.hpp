#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace noctave {

// The remote configuration document: the oldest supported version, a replacement update feed
// and a one-time notice. Every field is optional.
struct RemoteConfig {
    struct Notice {
        std::string id;  // shows the notice once per id
        std::string title;
        std::string body;
        std::optional<std::string> url;  // the "Read More" link

        // The first 120 / 600 user-perceived characters; always well-formed UTF-8.
        std::string clampedTitle() const;
        std::string clampedBody() const;

        // `url` when it is an https address on one of allowedHosts() (compared lower-cased,
        // exactly; no credentials in it), else no value.
        std::optional<std::string> safeURL() const;
        std::optional<std::string> safeURL(const std::vector<std::string>& allowedHosts) const;

        bool operator==(const Notice&) const = default;
    };

    std::optional<std::string> minimumVersion;
    std::optional<std::string> feedURL;
    std::optional<Notice> notice;

    bool operator==(const RemoteConfig&) const = default;

    static constexpr std::size_t kTitleLimit = 120;
    static constexpr std::size_t kBodyLimit = 600;

    // Decodes a JSON document. The top level must be an object; "minimumVersion", "feedURL" and
    // "notice" are optional (null reads as absent); a notice needs the strings "id", "title"
    // and "body" and may have a string "url"; other keys are ignored. A value of the wrong type
    // or a notice missing a required key makes the whole document invalid (no value).
    static std::optional<RemoteConfig> decode(std::string_view json);

    // The JSON form with the same keys; absent fields are left out.
    std::string encode() const;

    // Where notice links may point: the maker's web domain, the same with "www.", and the host
    // that serves this document (when the build has one), all lower-cased.
    static std::vector<std::string> allowedHosts();
};

}  // namespace noctave
