#include "app/tray/Alerts.hpp"

#include <utility>

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QPushButton>

namespace noctave::app::Alerts {

namespace {
Presenter& presenter() {
    static Presenter installed;
    return installed;
}

int runMessageBox(const Alert& alert) {
    QMessageBox box;
    box.setWindowTitle(QStringLiteral("Noctave"));
    box.setText(alert.message);
    box.setInformativeText(alert.informativeText);
    box.setWindowModality(Qt::ApplicationModal);
    switch (alert.style) {
        case Alert::Style::warning:
            box.setIcon(QMessageBox::Warning);
            break;
        case Alert::Style::informational:
            box.setIcon(QMessageBox::Information);
            break;
        case Alert::Style::critical:
            box.setIcon(QMessageBox::Critical);
            break;
    }
    if (alert.icon && !alert.icon->isNull()) {
        box.setIconPixmap(alert.icon->pixmap(64, 64));
    }
    const QStringList titles =
        alert.buttons.isEmpty() ? QStringList{QStringLiteral("OK")} : alert.buttons;
    QList<QAbstractButton*> buttons;
    for (qsizetype i = 0; i < titles.size(); ++i) {
        QPushButton* button =
            box.addButton(titles[i], i == 0 ? QMessageBox::AcceptRole : QMessageBox::ActionRole);
        buttons.push_back(button);
    }
    box.setDefaultButton(static_cast<QPushButton*>(buttons.front()));
    box.setEscapeButton(buttons.front());
    if (alert.activatesApplication) {
        box.setWindowFlag(Qt::WindowStaysOnTopHint, true);
        box.show();
        box.raise();
        box.activateWindow();
    }
    box.exec();
    const qsizetype pressed = buttons.indexOf(box.clickedButton());
    return pressed < 0 ? 0 : static_cast<int>(pressed);
}
}  // namespace

int run(const Alert& alert) {
    if (presenter()) {
        return presenter()(alert);
    }
    return runMessageBox(alert);
}

void setPresenter(Presenter replacement) {
    presenter() = std::move(replacement);
}

}  // namespace noctave::app::Alerts
