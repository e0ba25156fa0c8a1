#include "app/tray/TraylessWindow.hpp"

#include <utility>

#include <QCheckBox>
#include <QFrame>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

namespace noctave::app {

namespace {

// Wide enough for the state's longest sentence on two lines at most.
constexpr int kMinimumWidth = 280;

}  // namespace

TraylessWindow::TraylessWindow(std::function<std::vector<MenuEntry>()> entries,
                               std::function<QString()> stateText, QWidget* parent)
    : QWidget(parent), entries_(std::move(entries)), stateText_(std::move(stateText)) {
    setWindowTitle(QStringLiteral("Noctave"));
    setObjectName(QStringLiteral("traylessWindow"));
    setMinimumWidth(kMinimumWidth);
    auto* column = new QVBoxLayout(this);
    state_ = new QLabel;
    state_->setObjectName(QStringLiteral("state"));
    state_->setWordWrap(true);
    column->addWidget(state_);
    refresh();
}

void TraylessWindow::refresh() {
    state_->setText(stateText_ ? stateText_() : QString());
    if (content_ != nullptr) {
        // Deleted later: refresh may run from a click on one of its buttons.
        content_->hide();
        content_->deleteLater();
    }
    content_ = new QWidget;
    auto* column = new QVBoxLayout(content_);
    column->setContentsMargins(0, 0, 0, 0);
    // After the entry's action, the window shows what it changed; queued so that the button
    // that was clicked is not deleted under its own signal.
    auto then = [this](const std::function<void()>& action) {
        return [this, action] {
            if (action) {
                action();
            }
            QTimer::singleShot(0, this, [this] { refresh(); });
        };
    };
    for (const MenuEntry& entry : entries_ ? entries_() : std::vector<MenuEntry>{}) {
        if (entry.kind == MenuEntry::Kind::separator) {
            auto* line = new QFrame;
            line->setFrameShape(QFrame::HLine);
            column->addWidget(line);
            continue;
        }
        QAbstractButton* button = nullptr;
        if (entry.isCheckable || entry.isChecked) {
            auto* box = new QCheckBox(entry.title);
            box->setChecked(entry.isChecked);
            connect(box, &QCheckBox::clicked, this, then(entry.action));
            button = box;
        } else {
            auto* push = new QPushButton(entry.title);
            if (!entry.submenu.empty()) {
                auto* menu = new QMenu(push);
                addMenuEntries(*menu, entry.submenu);
                connect(menu, &QMenu::triggered, this,
                        [this] { QTimer::singleShot(0, this, [this] { refresh(); }); });
                push->setMenu(menu);
            } else {
                connect(push, &QPushButton::clicked, this, then(entry.action));
            }
            button = push;
        }
        button->setEnabled(entry.isEnabled);
        button->setShortcut(entry.keyEquivalent);
        column->addWidget(button);
    }
    layout()->addWidget(content_);
    adjustSize();
}

}  // namespace noctave::app
