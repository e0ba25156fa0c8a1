#include "app/settings/SettingsAccessibility.hpp"

#include <cmath>
#include <utility>

#include <QAccessible>
#include <QAccessibleWidget>
#include <QPainter>

namespace noctave::app {

PercentSlider::PercentSlider(QWidget* parent) : QSlider(Qt::Horizontal, parent) {
    // Arrow keys move by a whole percent, Page Up/Down by five; a drag lands anywhere.
    setSingleStep(10);
    setPageStep(50);
}

void PercentSlider::setPercentRange(int minimum, int maximum) {
    setRange(minimum * 10, maximum * 10);
}

void PercentSlider::setPercent(double percent) {
    setValue(static_cast<int>(std::lround(percent * 10)));
}

void PercentSlider::setValueDescription(const QString& text) {
    valueDescription_ = text;
}

DecorativeImage::DecorativeImage(QImage image, int edge, QWidget* parent)
    : QWidget(parent), image_(std::move(image)) {
    setFixedSize(edge, edge);
}

void DecorativeImage::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.drawImage(rect(), image_);
}

namespace {

class PercentSliderAccessible final : public QAccessibleWidget, public QAccessibleValueInterface {
  public:
    explicit PercentSliderAccessible(PercentSlider* slider)
        : QAccessibleWidget(slider, QAccessible::Slider) {}

    void* interface_cast(QAccessible::InterfaceType type) override {
        if (type == QAccessible::ValueInterface) {
            return static_cast<QAccessibleValueInterface*>(this);
        }
        return QAccessibleWidget::interface_cast(type);
    }
    QString text(QAccessible::Text type) const override {
        return type == QAccessible::Value ? slider()->valueDescription()
                                          : QAccessibleWidget::text(type);
    }
    QVariant currentValue() const override { return slider()->percent(); }
    void setCurrentValue(const QVariant& value) override { slider()->setPercent(value.toDouble()); }
    QVariant maximumValue() const override { return slider()->maximum() / 10.0; }
    QVariant minimumValue() const override { return slider()->minimum() / 10.0; }
    QVariant minimumStepSize() const override { return 1.0; }

  private:
    PercentSlider* slider() const { return static_cast<PercentSlider*>(widget()); }
};

class DecorativeAccessible final : public QAccessibleWidget {
  public:
    explicit DecorativeAccessible(QWidget* widget)
        : QAccessibleWidget(widget, QAccessible::Graphic) {}
    QAccessible::State state() const override {
        QAccessible::State state = QAccessibleWidget::state();
        state.invisible = true;
        return state;
    }
};

QAccessibleInterface* factory(const QString& key, QObject* object) {
    if (key == QLatin1String(PercentSlider::staticMetaObject.className())) {
        return new PercentSliderAccessible(static_cast<PercentSlider*>(object));
    }
    if (key == QLatin1String(DecorativeImage::staticMetaObject.className())) {
        return new DecorativeAccessible(static_cast<QWidget*>(object));
    }
    return nullptr;
}

std::function<void(const QString&)>& observer() {
    static std::function<void(const QString&)> installed;
    return installed;
}

}  // namespace

namespace SettingsAccessibility {

void install() {
    static const bool installed = [] {
        QAccessible::installFactory(&factory);
        return true;
    }();
    (void)installed;
}

void announce(QWidget* source, const QString& text) {
    if (observer()) {
        observer()(text);
    }
#if QT_VERSION >= QT_VERSION_CHECK(6, 8, 0)
    QAccessibleAnnouncementEvent event(source, text);
    event.setPoliteness(QAccessible::AnnouncementPoliteness::Polite);
    QAccessible::updateAccessibility(&event);
#else
    // Older Qt has no announcement event; the caller's visible change (a button's new title)
    // reaches screen readers as a name change of the focused control.
    (void)source;
#endif
}

void setObserver(std::function<void(const QString&)> fn) {
    observer() = std::move(fn);
}

}  // namespace SettingsAccessibility
}  // namespace noctave::app
