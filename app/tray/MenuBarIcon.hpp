#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include <QColor>
#include <QIcon>
#include <QImage>
#include <QRectF>
#include <QString>

class QPainter;

namespace noctave::app::MenuBarIcon {

// Every picture of the program's mark, the ember: a closed seven-point polygon, an outline when
// the program is not armed and filled when it is. Everything is drawn on demand, in a y-up
// coordinate system (origin bottom left), so it stays sharp at any size.

enum class State { ready, armed, warning };

// The orange of the warning state (sRGB 0.95, 0.61, 0.16).
const QColor& warning();

// The 19 x 19 menu-bar image of a state.
struct Image {
    QIcon icon;       // paints itself at whatever size the tray asks for
    bool isTemplate;  // ready and armed are masks the tray may recolour; warning keeps its orange
    QString accessibilityDescription;
};
Image image(State state);

// The 19 x 19 image rendered at `pixels` x `pixels` (for trays that take bitmaps, and tests).
QImage render(State state, int pixels);

// The application icon of edge `size`: the supplied image on the tile, else the bundled
// "NoctaveAppIcon.png", else the drawn ember tile; with the highlight, glow and rim accents.
QIcon appIcon(double size, const std::optional<std::filesystem::path>& sourceURL);
// The same, rendered at `pixels` x `pixels`.
QImage renderAppIcon(int pixels, const std::optional<std::filesystem::path>& sourceURL);
QString appIconAccessibilityDescription();

// Draws the mark scaled into `rect` of a painter that is already y-up. Filled for every state
// but ready; warning draws the filled ember without its exclamation mark.
void drawPreviewMark(QPainter& painter, const QRectF& rect, State state, const QColor& color);

// Writes the 480 x 176 preview of the two menu-bar states as PNG. On failure returns false
// and sets `error` to the reason.
bool writeMenuBarPreview(const std::filesystem::path& file, std::string* error);

// Creates `directory` (and its parents) and writes the ten icon files into it. Stops at the
// first failure (files written before it stay), returning false with the reason in `error`.
bool writeAppIconSet(const std::filesystem::path& directory,
                     const std::optional<std::filesystem::path>& sourceURL, std::string* error);

// The icon set, in export order.
struct IconSetEntry {
    const char* fileName;
    int pixels;
};
inline constexpr IconSetEntry kIconSet[] = {
    {"icon_16x16.png", 16},        {"icon_16x16@2x.png", 32},    {"icon_32x32.png", 32},
    {"icon_32x32@2x.png", 64},     {"icon_128x128.png", 128},    {"icon_128x128@2x.png", 256},
    {"icon_256x256.png", 256},     {"icon_256x256@2x.png", 512}, {"icon_512x512.png", 512},
    {"icon_512x512@2x.png", 1024},
};

// Where the bundled "NoctaveAppIcon.png" is looked for: the Qt resource ":/NoctaveAppIcon.png",
// then this folder (default: <executable folder>/../share/noctave). Tests point it elsewhere.
void setResourceDirectory(std::optional<std::filesystem::path> directory);

// The rim accents' line width for a tile of edge `size`: 0.8 % of the edge, at least 0.65.
double rimLineWidth(double size);

}  // namespace noctave::app::MenuBarIcon
