#pragma once

#include <functional>

#include <QSlider>
#include <QString>
#include <QWidget>

namespace noctave::app {

// A slider over whole-and-fractional percentages (kept in tenths), whose value reads to
// assistive technology as its description ("28 percent") rather than the raw number.
class PercentSlider final : public QSlider {
    Q_OBJECT

  public:
    explicit PercentSlider(QWidget* parent = nullptr);

    void setPercentRange(int minimum, int maximum);
    double percent() const { return value() / 10.0; }
    void setPercent(double percent);

    QString valueDescription() const { return valueDescription_; }
    void setValueDescription(const QString& text);

  private:
    QString valueDescription_;
};

// A picture that assistive technology skips (it repeats what the text beside it says).
class DecorativeImage final : public QWidget {
    Q_OBJECT

  public:
    DecorativeImage(QImage image, int edge, QWidget* parent = nullptr);
    QSize sizeHint() const override { return minimumSize(); }

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    QImage image_;
};

namespace SettingsAccessibility {

// Installs the accessibility interfaces of the two widgets above (once per process).
void install();

// Tells assistive technology `text` at medium priority, on behalf of `source`.
void announce(QWidget* source, const QString& text);

// Test seam: sees every announcement. nullptr removes it.
void setObserver(std::function<void(const QString&)> observer);

}  // namespace SettingsAccessibility
}  // namespace noctave::app
