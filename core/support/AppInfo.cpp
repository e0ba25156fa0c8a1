#include "core/support/AppInfo.hpp"

#include <atomic>

#include "noctave/BuildInfo.hpp"

namespace noctave::AppInfo {

namespace {
const Values& built() {
    static const Values values{buildinfo::kVersion, buildinfo::kBeta,        buildinfo::kConfigURL,
                               buildinfo::kFeedURL, buildinfo::kPublicEDKey, buildinfo::kWebDomain};
    return values;
}
std::atomic<const Values*> gOverride{nullptr};

std::optional<std::string> configured(const std::string& value) {
    if (!isConfigured(value)) {
        return std::nullopt;
    }
    return value;
}
}  // namespace

bool isConfigured(std::string_view value) {
    return !value.empty() && !value.starts_with("REPLACE_ME");
}

const Values& values() {
    const Values* override = gOverride.load(std::memory_order_acquire);
    return override != nullptr ? *override : built();
}

std::string version() {
    const std::string& version = values().shortVersion;
    return (version.empty() ? std::string("1.0.0") : version) + (isBeta() ? " Beta" : "");
}

std::string shortVersion() {
    const std::string& version = values().shortVersion;
    return version.empty() ? "0.0.0" : version;
}

bool isBeta() {
    return values().beta;
}

std::optional<std::string> configURL() {
    return configured(values().configURL);
}
std::optional<std::string> feedURL() {
    return configured(values().feedURL);
}
std::optional<std::string> publicEDKey() {
    return configured(values().publicEDKey);
}
std::string webDomain() {
    return values().webDomain;
}

Override::Override(Values values) : previous_(nullptr), values_(std::move(values)) {
    previous_ = gOverride.exchange(&values_, std::memory_order_acq_rel);
}

Override::~Override() {
    gOverride.store(previous_, std::memory_order_release);
}

}  // namespace noctave::AppInfo
