#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace noctave::app::LoginItem {

// Starting the program at login, through the desktop's autostart folders (the installed
// system's Paths): our entry "com.quillor.noctave.desktop" in the user's folder
// (${XDG_CONFIG_HOME:-~/.config}/autostart), which overrides an entry of the same name in the
// system-wide ones (${XDG_CONFIG_DIRS:-/etc/xdg}/autostart). The virtual laptop has a folder of
// its own, so the switch works there without touching the user's desktop. Main thread only.

inline constexpr const char* kEntryName = "com.quillor.noctave.desktop";

// Registers (writes our entry, pointing at the running executable) or removes the login item.
// The outcome is only logged.
void setEnabled(bool enabled);

// Whether the desktop will start the program at login: the user's entry when there is one,
// else a system-wide one, and neither hidden nor switched off.
bool isEnabled();

// The Exec value that starts `program` with no arguments, quoted and escaped for a desktop
// entry; nothing for a path no desktop entry can express (a line break).
std::optional<std::string> execValue(const std::filesystem::path& program);

}  // namespace noctave::app::LoginItem
