#pragma once

#include <QIcon>

namespace noctave::app::SettingsSymbols {

// A symbol of the settings window by its system name ("laptopcomputer", "gearshape",
// "info.circle", "arrow.triangle.2.circlepath", "rectangle.stack"), used as a mask: painted in
// the palette's text colour, the accent colour when selected (an "on" toolbar item), faded when
// disabled. The shape comes from the desktop's icon theme when it has a matching freedesktop
// icon, otherwise it is drawn here. An unknown name gives a null icon.
QIcon symbol(const char* name);

// Always the drawn shape, whatever the theme holds (snapshots that must not depend on it).
QIcon drawnSymbol(const char* name);

}  // namespace noctave::app::SettingsSymbols
