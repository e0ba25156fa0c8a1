#pragma once

#include <QFont>
#include <QRectF>
#include <QString>

class QColor;
class QPainter;

namespace noctave::app::OnboardingDrawing {

// Fonts by their size in points (one point = one pixel at device pixel ratio 1).
QFont systemFont(double points, QFont::Weight weight);
QFont monospacedFont(double points, QFont::Weight weight);

// Turns the painter's coordinates y-up, origin at the bottom left of a view `height` tall.
void flipToYUp(QPainter& painter, double height);

// Draws `text` upright into `rect`, given in the y-up coordinates of a flipped painter.
void drawText(QPainter& painter, const QRectF& rect, const QString& text, const QFont& font,
              const QColor& color, int flags = 0x0084 /* Qt::AlignCenter */);

// The pictures' card: the bounds inset by 1, radius 18, `panel` with a `hairline` edge.
void drawCard(QPainter& painter, const QRectF& bounds);

// A straight arrow from `from` to `to` with an open head at `to`.
void drawArrow(QPainter& painter, QPointF from, QPointF to, const QColor& color, double width);

}  // namespace noctave::app::OnboardingDrawing
