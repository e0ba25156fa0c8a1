#pragma once

#include <QRectF>

class QPainter;

namespace noctave::app::LaptopPicture {

// The laptop of the gesture practice, drawn rather than shipped: a dark bezel with its camera,
// an aluminium rim and the base's front edge. Its screen is left open, so what is drawn there
// first shows through. Rectangles are y-up (origin at the bottom left), as the pictures use.

// The screen inside a laptop drawn in `rect`: from 10.3 % of the width and 15.4 % of the
// height, 79.4 % wide and 73.4 % high.
QRectF screenRect(const QRectF& rect);
constexpr double kScreenRadius = 9;

void draw(QPainter& painter, const QRectF& rect);

}  // namespace noctave::app::LaptopPicture
