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

    // Shows `entries` as a menu at the item and returns at once: the chosen entry's action runs
    // later, from the event loop. No menu stays attached to the item after it closed.
    virtual void popUpMenu(const std::vector<MenuEntry>& entries) = 0;

    // The menu's entries, or the state its entries show, may have changed: a menu the tray
    // keeps (exported to the panel, or shown in a window) is built again from `menuEntries`.
    virtual void menuChanged() {}

    // Where no tray shows the item, shows a window offering what the menu offers and returns
    // true; false when a tray shows the item.
    virtual bool showStandIn() { return false; }

    // Called on the main thread for every click on the item.
    std::function<void(Click)> onClick;
    // The status menu as it stands now; for trays that keep a menu between clicks.
    std::function<std::vector<MenuEntry>()> menuEntries;
};

// The desktop's tray item: a StatusNotifierItem with its menu exported over dbusmenu,
// registered with the panel's StatusNotifierWatcher whenever one runs; without one for a few
// seconds, a window stands in for it. Shown at once.
std::unique_ptr<StatusItem> makeSystemStatusItem();

}  // namespace noctave::app
