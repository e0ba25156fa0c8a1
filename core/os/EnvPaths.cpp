#include <cstdlib>
#include <string>

#include "core/os/Paths.hpp"

namespace noctave::os {

namespace {
std::filesystem::path xdg(const char* variable, const char* fallbackUnderHome) {
    const char* value = std::getenv(variable);
    if (value != nullptr && value[0] == '/') {
        return value;
    }
    const char* home = std::getenv("HOME");
    std::filesystem::path base = (home != nullptr && home[0] != '\0') ? home : "/tmp";
    return base / fallbackUnderHome;
}
}  // namespace

std::filesystem::path EnvPaths::applicationSupport() const {
    return xdg("XDG_STATE_HOME", ".local/state");
}

std::filesystem::path EnvPaths::userDefaultsFile() const {
    return xdg("XDG_CONFIG_HOME", ".config") / "com.quillor.noctave.conf";
}

}  // namespace noctave::os
