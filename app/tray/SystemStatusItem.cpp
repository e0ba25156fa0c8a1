#include <utility>

#include <QAction>
#include <QGuiApplication>
#include <QMenu>

#include "app/tray/StatusItem.hpp"
#include "app/tray/StatusNotifierItem.hpp"

namespace noctave::app {

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
    StatusNotifierItem::Options options;
    options.bus = linuxos::sessionBus();
    options.hostShowsMenu = QGuiApplication::platformName().startsWith(QLatin1String("wayland"));
    return std::make_unique<StatusNotifierItem>(std::move(options));
}

}  // namespace noctave::app
