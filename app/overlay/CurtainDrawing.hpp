#pragma once

class QPainter;
class QRectF;

namespace noctave::app {

// The curtain's picture, with no state of its own: the close overlay and the onboarding's
// gesture practice both draw through it.
namespace CurtainDrawing {

// Draws the curtain into `bounds` on an active painter (an inactive one draws nothing):
// a near-black band from the top edge down to `coverage` (0...1, clamped) of the height, with
// a small downward chevron near its lower edge, the whole at `fadeAlpha` opacity. The
// painter's state is left as it was.
void draw(QPainter& painter, const QRectF& bounds, double coverage, double fadeAlpha);

// The chevron's size factor for a curtain `width` wide: 1 at 600 and wider, never below 0.45.
double chevronScale(double width);

}  // namespace CurtainDrawing

}  // namespace noctave::app
