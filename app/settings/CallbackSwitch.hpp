#pragma once

#include <functional>

#include <QAbstractButton>

namespace noctave::app {

// A painted on/off switch (Qt has none). Space or a click flips it and calls onChange with the
// new state; when onChange answers false the switch goes back to where it was. Reachable with
// Tab; assistive technology sees a check box named after the row (set its accessible name).
class CallbackSwitch final : public QAbstractButton {
    Q_OBJECT

  public:
    explicit CallbackSwitch(QWidget* parent = nullptr);

    std::function<bool(bool isOn)> onChange;

    QSize sizeHint() const override;

  protected:
    void paintEvent(QPaintEvent* event) override;
    void nextCheckState() override;
    bool hitButton(const QPoint& position) const override;
};

}  // namespace noctave::app
