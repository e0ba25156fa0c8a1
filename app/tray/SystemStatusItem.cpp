#include <QAction>
#include <QCursor>
#include <QGuiApplication>
#include <QMenu>
#include <QPainter>
#include <QPalette>
#include <QPointer>
#include <QSystemTrayIcon>

#include "app/tray/StatusItem.hpp"
#include "core/support/Log.hpp"

namespace noctave::app {

namespace {

// Trays here do not recolour mask images as a menu bar does, so the shell does it: white on
// GNOME's always-dark top bar, elsewhere the theme's text colour (what the panel's own labels
// use).
QColor maskColour() {
    const QByteArray desktop = qgetenv("XDG_CURRENT_DESKTOP").toLower();
    if (desktop.contains("gnome") || desktop.contains("unity")) {
        return Qt::white;
    }
    return QGuiApplication::palette().color(QPalette::WindowText);
}

QIcon tinted(const QIcon& mask, const QColor& colour) {
    QIcon result;
    for (const int edge : {16, 22, 24, 32, 44, 48, 64}) {
        QImage image =
            mask.pixmap(edge, edge).toImage().convertToFormat(QImage::Format_ARGB32_Premultiplied);
        QPainter painter(&image);
        painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
        painter.fillRect(image.rect(), colour);
        painter.end();
        result.addPixmap(QPixmap::fromImage(std::move(image)));
    }
    return result;
}

class SystemStatusItem final : public StatusItem {
  public:
    SystemStatusItem() {
        QObject::connect(&tray_, &QSystemTrayIcon::activated, &tray_,
                         [this](QSystemTrayIcon::ActivationReason reason) { activated(reason); });
        if (!QSystemTrayIcon::isSystemTrayAvailable()) {
            Log::warn("no system tray found; the status item may not be visible");
        }
        tray_.setToolTip(QStringLiteral("Noctave"));
    }

    // Shown with its first image: an item without one would be an empty slot in the tray.
    void setImage(const MenuBarIcon::Image& image) override {
        tray_.setIcon(image.isTemplate ? tinted(image.icon, maskColour()) : image.icon);
        if (!tray_.isVisible()) {
            tray_.show();
        }
    }
    void setToolTip(const QString& text) override { tray_.setToolTip(text); }
    // A tray item's accessible name is the application's name and its description is the
    // tooltip, which already carries the state text.
    void setAccessibilityLabel(const QString&) override {}
    void setAccessibilityValue(const QString&) override {}

    void popUpMenu(const std::vector<MenuEntry>& entries) override {
        QMenu menu;
        addMenuEntries(menu, entries);
        // Open under the item when the tray tells where it is, else at the pointer.
        const QRect where = tray_.geometry();
        const QPoint at = where.isValid() ? where.bottomLeft() : QCursor::pos();
        menu.exec(at);
    }

  private:
    void activated(QSystemTrayIcon::ActivationReason reason) {
        if (!onClick) {
            return;
        }
        switch (reason) {
            case QSystemTrayIcon::Context:
                onClick(Click::right);
                break;
            case QSystemTrayIcon::Trigger:
            case QSystemTrayIcon::MiddleClick: {
                const bool control =
                    QGuiApplication::queryKeyboardModifiers().testFlag(Qt::ControlModifier);
                onClick(control ? Click::right : Click::left);
                break;
            }
            case QSystemTrayIcon::DoubleClick:  // its first click was already a Trigger
            case QSystemTrayIcon::Unknown:
                break;
        }
    }

    QSystemTrayIcon tray_;
};

}  // namespace

void addMenuEntries(QMenu& menu, const std::vector<MenuEntry>& entries) {
    for (const MenuEntry& entry : entries) {
        if (entry.kind == MenuEntry::Kind::separator) {
            menu.addSeparator();
            continue;
        }
        if (!entry.submenu.empty()) {
            addMenuEntries(*menu.addMenu(entry.title), entry.submenu);
            continue;
        }
        QAction* action = menu.addAction(entry.title);
        action->setShortcut(entry.keyEquivalent);
        action->setCheckable(entry.isCheckable || entry.isChecked);
        action->setChecked(entry.isChecked);
        action->setEnabled(entry.isEnabled);
        QObject::connect(action, &QAction::triggered, &menu, [fn = entry.action] {
            if (fn) {
                fn();
            }
        });
    }
}

std::unique_ptr<StatusItem> makeSystemStatusItem() {
    return std::make_unique<SystemStatusItem>();
}

}  // namespace noctave::app
