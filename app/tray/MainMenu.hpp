#pragma once

#include <functional>
#include <memory>
#include <vector>

#include <QString>

class QAction;
class QMenu;
class QWidget;

namespace noctave::app {

// The application's main menu: "Noctave" (Quit), "File" (Close Window) and "Edit" (Undo, Redo,
// Cut, Copy, Paste, Select All), with their standard shortcuts. A desktop without a global menu
// bar gets the shortcuts on every window the program attaches the menu to.
class MainMenu {
  public:
    // `quit` asks the application to terminate.
    explicit MainMenu(std::function<void()> quit);
    ~MainMenu();
    MainMenu(const MainMenu&) = delete;
    MainMenu& operator=(const MainMenu&) = delete;

    // Gives `window` the menu's shortcuts (and the menus, for a window that shows a menu bar).
    void attach(QWidget& window) const;

    // "Noctave", "File", "Edit".
    const std::vector<QMenu*>& menus() const { return menus_; }
    // Every action, in menu order (separators excluded).
    std::vector<QAction*> actions() const;

  private:
    std::function<void()> quit_;
    std::vector<QMenu*> menus_;
    std::unique_ptr<QMenu> root_;  // owns the three menus
};

}  // namespace noctave::app
