// Feeds arbitrary bytes to the remote configuration decoder and to the text and address
// helpers behind notices, checking the promises they make rather than just "no crash".
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "core/remote/RemoteConfig.hpp"
#include "core/remote/RemoteConfigLoader.hpp"
#include "core/text/Graphemes.hpp"
#include "core/text/Url.hpp"
#include "core/text/Utf8.hpp"

namespace {

void check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

void checkClamp(std::string_view text, std::size_t limit) {
    const std::string clamped = noctave::graphemes::prefix(text, limit);
    check(noctave::utf8::isValid(clamped));
    check(noctave::graphemes::count(clamped) <= limit);
    // A prefix of the cleaned text, cut at a character boundary.
    const std::string clean = noctave::graphemes::sanitized(text);
    check(clean.compare(0, clamped.size(), clamped) == 0);
    check(noctave::graphemes::prefix(clamped, limit) == clamped);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);

    if (const auto config = noctave::RemoteConfig::decode(input)) {
        // What decodes must survive a round trip unchanged.
        check(noctave::RemoteConfig::decode(config->encode()) == config);
        if (config->notice) {
            const auto& notice = *config->notice;
            check(noctave::utf8::isValid(notice.clampedTitle()));
            check(noctave::utf8::isValid(notice.clampedBody()));
            if (const auto link = notice.safeURL({"noctave.app", "www.noctave.app"})) {
                check(link->starts_with("https://"));
            }
        }
        if (config->minimumVersion) {
            const auto order = noctave::RemoteConfigLoader::compare(*config->minimumVersion, "1.0");
            const auto reverse =
                noctave::RemoteConfigLoader::compare("1.0", *config->minimumVersion);
            check((order == reverse) == (order == noctave::RemoteConfigLoader::Order::same));
        }
    }

    // Raw bytes, not just decoded JSON strings, through the text and address helpers.
    checkClamp(input, size % 7);
    checkClamp(input, 120);
    if (const auto url = noctave::Url::parse(input)) {
        check(url->text == input);
    }
    return 0;
}
