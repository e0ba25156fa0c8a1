#pragma once

#include <functional>
#include <memory>
#include <vector>

#include <QKeySequence>
#include <QString>

class QMenu;

#include "app/tray/MenuBarIcon.hpp"

namespace noctave::app {

// One entry of a pop-up menu: a titled action (optionally checked, with a key equivalent), a
// titled submenu (its entries in `submenu`), or a separator.
struct MenuEntry {
    enum class Kind { action, separator };
    Kind kind = Kind::action;
    QString title;
    QKeySequence keyEquivalent;
    bool isChecked = false;
    std::function<void()> action;
    // A switch: announced as a toggle whether it is on or off.
    bool isCheckable = false;
    bool isEnabled = true;
    std::vector<MenuEntry> submenu = {};

    static MenuEntry separator() { return MenuEntry{Kind::separator, {}, {}, false, {}}; }
};

// Adds `entries` to `menu` as actions and separators; an action runs its entry's action when
// triggered.
void addMenuEntries(QMenu& menu, const std::vector<MenuEntry>& entries);

// The program's item in the desktop's tray (the menu bar): an image, a tooltip, accessibility
// texts, clicks, and a menu shown on request. An interface so the shell's logic runs without a
// tray (tests, offscreen).
class StatusItem {
  public:
    enum class Click { left, right };  // right: a right click or a Control-click

    virtual ~StatusItem() = default;

    virtual void setImage(const MenuBarIcon::Image& image) = 0;
    virtual void setToolTip(const QString& text) = 0;
    virtual void setAccessibilityLabel(const QString& text) = 0;
    virtual void setAccessibilityValue(const QString& text) = 0;

    // Shows `entries` as a menu under the item and returns once it has closed (the chosen
    // entry's action has run by then). No menu stays attached to the item afterwards.
    virtual void popUpMenu(const std::vector<MenuEntry>& entries) = 0;

    // Called on the main thread for every click on the item.
    std::function<void(Click)> onClick;
};

// The desktop's tray item (QSystemTrayIcon: StatusNotifierItem or the X11 tray), shown at once.
std::unique_ptr<StatusItem> makeSystemStatusItem();

}  // namespace noctave::app
