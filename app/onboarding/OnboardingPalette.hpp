#pragma once

#include <QColor>

namespace noctave::app::OnboardingPalette {

// The onboarding's fixed colours (sRGB), the same whatever the desktop's theme.
const QColor& ink();
const QColor& smoke();
const QColor& panel();
const QColor& ember();
const QColor& emberSoft();
const QColor& primaryText();
const QColor& secondaryText();
const QColor& hairline();

// sRGB components in 0...1.
QColor srgb(double red, double green, double blue, double alpha = 1.0);

}  // namespace noctave::app::OnboardingPalette
