#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QTimer>

#include "app/Alerts.hpp"
#include "tests/app/ShellTest.hpp"

namespace noctave::test {
namespace {

// Presses the button titled `title` of the modal alert once it shows; gives up (closing the
// alert) after a few seconds so a missing alert fails the test instead of hanging it.
void pressWhenShown(const QString& title, QString* seenText, QMessageBox::Icon* seenIcon) {
    auto* poll = new QTimer;
    auto tries = std::make_shared<int>(0);
    QObject::connect(poll, &QTimer::timeout, [=] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (box == nullptr && ++*tries < 300) {
            return;
        }
        poll->stop();
        poll->deleteLater();
        if (box == nullptr) {
            return;
        }
        *seenText = box->text() + "|" + box->informativeText();
        *seenIcon = box->icon();
        for (QAbstractButton* button : box->buttons()) {
            if (button->text() == title) {
                button->click();
                return;
            }
        }
        box->reject();
    });
    poll->start(10);
}

TEST(AlertsTest, TheDialogShowsTheTextsAndReportsWhichButtonWasPressed) {
    ensureApplication();
    app::Alert alert;
    alert.message = "Hello";
    alert.informativeText = "Body";
    alert.style = app::Alert::Style::informational;
    alert.buttons = {"OK", "Read More"};
    QString seen;
    QMessageBox::Icon icon = QMessageBox::NoIcon;

    pressWhenShown("Read More", &seen, &icon);
    EXPECT_EQ(app::Alerts::run(alert), 1);
    EXPECT_EQ(seen, "Hello|Body");
    EXPECT_EQ(icon, QMessageBox::Information);

    // Without buttons there is one "OK"; closing the alert counts as the first button.
    alert.buttons = {};
    alert.style = app::Alert::Style::critical;
    alert.activatesApplication = false;
    pressWhenShown("OK", &seen, &icon);
    EXPECT_EQ(app::Alerts::run(alert), 0);
    EXPECT_EQ(icon, QMessageBox::Critical);
    pressWhenShown("no such button", &seen, &icon);
    EXPECT_EQ(app::Alerts::run(alert), 0);
}

}  // namespace
}  // namespace noctave::test
