#pragma once

#include <filesystem>
#include <vector>

namespace noctave::os {

// Where the program keeps its files.
class Paths {
  public:
    virtual ~Paths() = default;

    // The user's application-support folder. The program's own folder "Noctave" (log files,
    // the recovery marker) lives inside it; callers create it when they need it.
    virtual std::filesystem::path applicationSupport() const = 0;

    // The file behind the user-defaults store.
    virtual std::filesystem::path userDefaultsFile() const = 0;

    // The folders the desktop reads autostart entries from, the user's own first (the login
    // item writes there); an entry in it overrides one of the same name in the others.
    virtual std::vector<std::filesystem::path> autostartFolders() const = 0;
};

// The XDG base-directory rules: application support is ${XDG_STATE_HOME:-$HOME/.local/state},
// the defaults file ${XDG_CONFIG_HOME:-$HOME/.config}/com.quillor.noctave.conf, the autostart
// folders "autostart" under that config home and under each of ${XDG_CONFIG_DIRS:-/etc/xdg}.
// Relative XDG values are ignored, as the XDG rules require, and so are world-writable folders.
// Without a usable HOME the home comes from the password database; without that either, from
// "/nonexistent", where nothing can be written.
class EnvPaths final : public Paths {
  public:
    std::filesystem::path applicationSupport() const override;
    std::filesystem::path userDefaultsFile() const override;
    std::vector<std::filesystem::path> autostartFolders() const override;
};

}  // namespace noctave::os
