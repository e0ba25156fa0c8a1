#pragma once

#include <filesystem>
#include <memory>

#include "platform/linux/bus/DBusConnection.hpp"
#include "platform/linux/lid/LidOwner.hpp"

namespace noctave::linuxos::lid {

// PowerDevil (KDE Plasma) keeps its lid action per power profile in a KConfig file: Plasma 5
// in powermanagementprofilesrc ([AC][HandleButtonEvents] lidAction=), Plasma 6 in powerdevilrc
// ([AC][SuspendAndShutdown] LidAction=), 0 meaning no action. It reads the file only when
// told to (reparseConfiguration, then loadProfile to apply it), so every change is followed by
// both calls. The file is edited line by line: every other byte of it stays as the user had it.
// A key the user never set reads as none; a restore removes it again (and a group or file
// that only the stand-down created).

// The user's profile file for the running Plasma: Plasma 6's when KDE_SESSION_VERSION says 6
// or only powerdevilrc holds profiles, else Plasma 5's.
std::filesystem::path powerDevilProfilesFile();

// `file` decides the layout (a file named powerdevilrc has Plasma 6's). `sessionBus` may be
// null: then nothing is told to reload.
std::unique_ptr<LidOwner> makePowerDevilLidOwner(std::filesystem::path file,
                                                 std::shared_ptr<DBusConnection> sessionBus);

}  // namespace noctave::linuxos::lid
