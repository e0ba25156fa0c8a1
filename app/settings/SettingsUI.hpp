#pragma once

#include <functional>
#include <vector>

#include <QColor>
#include <QFont>
#include <QLabel>
#include <QString>
#include <QWidget>

class QVBoxLayout;

namespace noctave::app {

class CallbackSwitch;

// A rounded panel in the control background colour holding one vertical stack of rows.
class GroupBox final : public QWidget {
    Q_OBJECT

  public:
    explicit GroupBox(QWidget* parent = nullptr);
    QVBoxLayout* stack() const { return stack_; }

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    QVBoxLayout* stack_;
};

// A vertical stack whose children span its width (or sit centred). `spacing` is the stack's
// spacing; a child may ask for a different gap after itself.
class Column final : public QWidget {
    Q_OBJECT

  public:
    explicit Column(int spacing, bool isCentred = false, QWidget* parent = nullptr);
    void add(QWidget* child, int spacingAfter = -1);

    int spacing() const { return spacing_; }
    const std::vector<QWidget*>& arrangedSubviews() const { return children_; }

  private:
    QVBoxLayout* layout_;
    int spacing_;
    bool isCentred_;
    int pendingSpacing_ = -1;
    std::vector<QWidget*> children_;
};

// Text in one of the label tones; follows the desktop's palette when it changes.
class TextLabel final : public QLabel {
    Q_OBJECT

  public:
    enum class Tone { primary, secondary, tertiary };
    TextLabel(const QString& text, Tone tone, QWidget* parent = nullptr);
    void setTone(Tone tone);

  protected:
    void changeEvent(QEvent* event) override;

  private:
    void applyTone();
    Tone tone_;
};

// The pieces the settings panes are made of. Sizes are in the layout's logical pixels.
namespace UI {

// The desktop's UI font at `pixels` logical pixels.
QFont font(double pixels, QFont::Weight weight = QFont::Normal);
// `colour` at `alpha` (the secondary and tertiary label tones, separators).
QColor tinted(const QColor& colour, double alpha);

struct SwitchRow {
    QWidget* row;
    TextLabel* title;
    CallbackSwitch* toggle;
};
// A 38-pixel row: title, optional hint, a gap, the switch (named after the title for assistive
// technology). `onChange` gets the new state; answering false puts the switch back.
SwitchRow switchRow(const QString& title, bool value, bool isEnabled, const QString& trailingHint,
                    std::function<bool(bool)> onChange);

TextLabel* caption(const QString& text);
TextLabel* header(const QString& text);
QWidget* separator();
QWidget* spacer();

}  // namespace UI
}  // namespace noctave::app
