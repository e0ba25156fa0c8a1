#pragma once

#include <functional>
#include <vector>

#include <QString>
#include <QWidget>

#include "app/tray/StatusItem.hpp"

class QLabel;

namespace noctave::app {

// The small window that stands in for the tray where no tray shows the item: the state the
// tooltip says, then the status menu's entries as buttons (a check box for a switch, a button
// with a drop-down for a submenu, a line for a separator), in the menu's order, with its
// titles and states. Rebuilt by refresh(), and after every entry it runs.
class TraylessWindow final : public QWidget {
  public:
    TraylessWindow(std::function<std::vector<MenuEntry>()> entries,
                   std::function<QString()> stateText, QWidget* parent = nullptr);

    void refresh();

  private:
    std::function<std::vector<MenuEntry>()> entries_;
    std::function<QString()> stateText_;
    QLabel* state_ = nullptr;
    QWidget* content_ = nullptr;
};

}  // namespace noctave::app
