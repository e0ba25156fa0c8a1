#pragma once

#include <sys/types.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/linux/bus/DBusConnection.hpp"
#include "platform/linux/lid/LidOwner.hpp"

namespace noctave::linuxos::lid {

// PowerDevil (KDE Plasma) keeps its lid action per power profile in a KConfig file: Plasma 5
// in powermanagementprofilesrc ([AC][HandleButtonEvents] lidAction=), Plasma 6 in powerdevilrc
// ([AC][SuspendAndShutdown] LidAction=), 0 meaning no action, each under the system-wide
// files of XDG_CONFIG_DIRS. It reads the file only when told to (reparseConfiguration, then
// loadProfile to apply it), so every change is followed by both calls, and then asked what
// it will do (HandleButtonEvents.lidAction()). The user's file is edited line by line: every
// other byte of it stays as the user had it. A key the user never set reads as none; a
// restore removes it again (and a group or file that only the stand-down created).
//
// Plasma 6 migrates Plasma 5's file at every start, leaving a [Migration] group in it, so
// which file counts is told by the PowerDevil that runs or is installed, then by the files.

enum class Plasma { five, six };

struct PowerDevilFiles {
    std::filesystem::path configHome;               // the user's files
    std::vector<std::filesystem::path> systemDirs;  // the system-wide ones, most important first
    std::vector<Plasma> versions;                   // the layouts stood down: one, or both
    // The file of keys that name none: older records knew one file only.
    std::string unnamedFile = "powermanagementprofilesrc";

    // This session's: XDG_CONFIG_HOME (or ~/.config) and XDG_CONFIG_DIRS (or /etc/xdg).
    static PowerDevilFiles ofSession();
    // A record's location: the user's folder (or, from older records, a file in it).
    static PowerDevilFiles ofLocation(const std::string& location);
};

// Which Plasma a PowerDevil belongs to, by the Qt it runs on: a running process's mapped
// libraries, an installed program's linked ones.
std::optional<Plasma> plasmaOfProcess(pid_t pid);
std::optional<Plasma> plasmaOfProgram(const std::filesystem::path& program);
// By the user's files: Plasma 6's profiles in powerdevilrc or its migration mark in
// powermanagementprofilesrc, else Plasma 5's profiles there.
std::optional<Plasma> plasmaOfFiles(const std::filesystem::path& configHome);
// The layouts to stand down: the running PowerDevil's (asked for its pid on `sessionBus`,
// which may be null), else the installed one's, else the files'; both when none tells.
std::vector<Plasma> plasmaVersions(const std::filesystem::path& configHome,
                                   const std::shared_ptr<DBusConnection>& sessionBus);

// `sessionBus` may be null: then nothing is told to reload and only the files answer.
std::unique_ptr<LidOwner> makePowerDevilLidOwner(PowerDevilFiles files,
                                                 std::shared_ptr<DBusConnection> sessionBus);

}  // namespace noctave::linuxos::lid
