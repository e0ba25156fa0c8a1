#pragma once

// Noctave's GNOME Shell extension (gnome-shell/ in the source tree) as the program knows it:
// its uuid, which `gnome-extensions enable` takes, and the session-bus name it owns while it is
// enabled, which tells the program that Quick Settings serves the user. The extension spells
// both again in gnome-shell/noctave.js.
namespace noctave::linuxos {

inline constexpr const char* kGnomeExtensionUuid = "noctave@quillor.com";
inline constexpr const char* kGnomeExtensionBusName = "com.quillor.noctave.GnomeShell";

}  // namespace noctave::linuxos
