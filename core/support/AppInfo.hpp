#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace noctave::AppInfo {

// Build-time settings (the information dictionary). A value counts only when it is non-empty
// and does not begin with "REPLACE_ME".
bool isConfigured(std::string_view value);

struct Values {
    std::string shortVersion;  // the short version string; may be empty
    bool beta = false;         // a beta build
    std::string configURL;     // remote configuration document
    std::string feedURL;       // update feed
    std::string publicEDKey;   // update signing key
    std::string webDomain;     // the maker's web domain
};

// The values compiled into this build, or the override installed by a test.
const Values& values();

// The version shown to the user: the short version string ("1.0.0" when the build set none),
// plus " Beta" in a beta build.
std::string version();
// The raw short version string, "0.0.0" when the build set none (user agent, version
// comparisons, the update alert).
std::string shortVersion();
bool isBeta();

// The configured value of a setting, or no value.
std::optional<std::string> configURL();
std::optional<std::string> feedURL();
std::optional<std::string> publicEDKey();
std::string webDomain();

// Test seam: replaces the build's values while it lives.
class Override {
  public:
    explicit Override(Values values);
    ~Override();
    Override(const Override&) = delete;
    Override& operator=(const Override&) = delete;

  private:
    const Values* previous_;
    Values values_;
};

}  // namespace noctave::AppInfo
