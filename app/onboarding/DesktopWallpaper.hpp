#pragma once

#include <filesystem>
#include <optional>
#include <vector>

#include <QImage>

namespace noctave::app::DesktopWallpaper {

// The desktop's background picture as the user sees it, if one can be read: KDE Plasma's
// wallpaper, GNOME's (through gsettings), then Debian's default. At most 900 x 600 pixels.
// Blocks for the few milliseconds gsettings takes; call it once and keep the result.
std::optional<QImage> load();

// Where load() looks, in order (files, or folders of a wallpaper package). Exposed for tests.
std::vector<std::filesystem::path> candidates();

// Test seam: while set, candidates() returns `files` instead of asking the desktop.
void setCandidates(std::optional<std::vector<std::filesystem::path>> files);

// Reads the first candidate that decodes, scaled down to fit 900 x 600.
std::optional<QImage> loadFirst(const std::vector<std::filesystem::path>& files);

}  // namespace noctave::app::DesktopWallpaper
