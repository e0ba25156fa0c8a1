#include "app/tray/MainMenu.hpp"

#include <utility>

#include <QAction>
#include <QApplication>
#include <QKeySequence>
#include <QMenu>
#include <QMetaObject>
#include <QWidget>

namespace noctave::app {

namespace {

// The edit commands go to whatever has the keyboard focus, as a responder chain would send them;
// text widgets answer to these slot names.
void sendToFocus(const char* slot) {
    if (QWidget* focus = QApplication::focusWidget()) {
        QMetaObject::invokeMethod(focus, slot);
    }
}

QAction* addAction(QMenu* menu, const QString& title, const QKeySequence& shortcut,
                   std::function<void()> perform) {
    QAction* action = menu->addAction(title);
    action->setShortcut(shortcut);
    action->setShortcutContext(Qt::WindowShortcut);
    QObject::connect(action, &QAction::triggered, action,
                     [perform = std::move(perform)] { perform(); });
    return action;
}

}  // namespace

MainMenu::MainMenu(std::function<void()> quit)
    : quit_(std::move(quit)), root_(std::make_unique<QMenu>(QStringLiteral("Main Menu"))) {
    QMenu* app = root_->addMenu(QStringLiteral("Noctave"));
    addAction(app, QStringLiteral("Quit Noctave"), QKeySequence(Qt::CTRL | Qt::Key_Q), [this] {
        if (quit_) {
            quit_();
        }
    });

    QMenu* file = root_->addMenu(QStringLiteral("File"));
    addAction(file, QStringLiteral("Close Window"), QKeySequence(Qt::CTRL | Qt::Key_W), [] {
        if (QWidget* window = QApplication::activeWindow()) {
            window->close();
        }
    });

    QMenu* edit = root_->addMenu(QStringLiteral("Edit"));
    addAction(edit, QStringLiteral("Undo"), QKeySequence(Qt::CTRL | Qt::Key_Z),
              [] { sendToFocus("undo"); });
    addAction(edit, QStringLiteral("Redo"), QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Z),
              [] { sendToFocus("redo"); });
    edit->addSeparator();
    addAction(edit, QStringLiteral("Cut"), QKeySequence(Qt::CTRL | Qt::Key_X),
              [] { sendToFocus("cut"); });
    addAction(edit, QStringLiteral("Copy"), QKeySequence(Qt::CTRL | Qt::Key_C),
              [] { sendToFocus("copy"); });
    addAction(edit, QStringLiteral("Paste"), QKeySequence(Qt::CTRL | Qt::Key_V),
              [] { sendToFocus("paste"); });
    edit->addSeparator();
    addAction(edit, QStringLiteral("Select All"), QKeySequence(Qt::CTRL | Qt::Key_A),
              [] { sendToFocus("selectAll"); });

    menus_ = {app, file, edit};
}

MainMenu::~MainMenu() = default;

std::vector<QAction*> MainMenu::actions() const {
    std::vector<QAction*> all;
    for (QMenu* menu : menus_) {
        for (QAction* action : menu->actions()) {
            if (!action->isSeparator()) {
                all.push_back(action);
            }
        }
    }
    return all;
}

void MainMenu::attach(QWidget& window) const {
    for (QAction* action : actions()) {
        window.addAction(action);
    }
}

}  // namespace noctave::app
