#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "core/os/Paths.hpp"

namespace noctave::os {

namespace {

// Anyone may plant files in a world-writable folder (the shared /tmp, a HOME pointing there),
// so such a folder is never where our settings and log live.
bool usableBase(const char* path) {
    if (path == nullptr || path[0] != '/') {
        return false;
    }
    struct stat info {};
    if (::stat(path, &info) != 0) {
        return true;  // not there yet: created private when first needed
    }
    return S_ISDIR(info.st_mode) && (info.st_mode & S_IWOTH) == 0;
}

// The user's home: $HOME when usable, else the password database's entry for this user.
std::filesystem::path home() {
    const char* variable = std::getenv("HOME");
    if (usableBase(variable)) {
        return variable;
    }
    std::vector<char> buffer(16384);
    struct passwd entry {};
    struct passwd* found = nullptr;
    if (::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &found) == 0 &&
        found != nullptr && usableBase(found->pw_dir)) {
        return found->pw_dir;
    }
    // No home at all: a path that cannot be created, so nothing is written anywhere shared.
    return "/nonexistent";
}

std::filesystem::path xdg(const char* variable, const char* fallbackUnderHome) {
    const char* value = std::getenv(variable);
    if (usableBase(value)) {
        return value;
    }
    return home() / fallbackUnderHome;
}

}  // namespace

std::filesystem::path EnvPaths::applicationSupport() const {
    return xdg("XDG_STATE_HOME", ".local/state");
}

std::filesystem::path EnvPaths::userDefaultsFile() const {
    return xdg("XDG_CONFIG_HOME", ".config") / "com.quillor.noctave.conf";
}

std::vector<std::filesystem::path> EnvPaths::autostartFolders() const {
    std::vector<std::filesystem::path> folders{xdg("XDG_CONFIG_HOME", ".config") / "autostart"};
    const char* dirs = std::getenv("XDG_CONFIG_DIRS");
    std::stringstream list(dirs != nullptr && dirs[0] != '\0' ? dirs : "/etc/xdg");
    for (std::string folder; std::getline(list, folder, ':');) {
        // Relative entries are invalid and ignored.
        if (!folder.empty() && folder[0] == '/') {
            folders.push_back(std::filesystem::path(folder) / "autostart");
        }
    }
    return folders;
}

}  // namespace noctave::os
