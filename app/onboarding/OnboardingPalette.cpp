#include "app/onboarding/OnboardingPalette.hpp"

namespace noctave::app::OnboardingPalette {

QColor srgb(double red, double green, double blue, double alpha) {
    return QColor::fromRgbF(static_cast<float>(red), static_cast<float>(green),
                            static_cast<float>(blue), static_cast<float>(alpha));
}

const QColor& ink() {
    static const QColor color = srgb(0.025, 0.022, 0.032);
    return color;
}

const QColor& smoke() {
    static const QColor color = srgb(0.078, 0.071, 0.094);
    return color;
}

const QColor& panel() {
    static const QColor color = srgb(0.105, 0.094, 0.122, 0.9);
    return color;
}

const QColor& ember() {
    static const QColor color = srgb(1.0, 0.31, 0.075);
    return color;
}

const QColor& emberSoft() {
    static const QColor color = srgb(1.0, 0.58, 0.3);
    return color;
}

const QColor& primaryText() {
    static const QColor color = srgb(0.97, 0.955, 0.94);
    return color;
}

const QColor& secondaryText() {
    static const QColor color = srgb(0.68, 0.65, 0.7);
    return color;
}

const QColor& hairline() {
    static const QColor color = srgb(1, 1, 1, 0.09);
    return color;
}

}  // namespace noctave::app::OnboardingPalette
