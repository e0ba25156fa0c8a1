#pragma once

#include <vector>

#include "app/tray/StatusItem.hpp"

namespace noctave::test {

// Stands in for the tray where the tray is not under test.
class QuietStatusItem final : public app::StatusItem {
  public:
    void setImage(const app::MenuBarIcon::Image&) override {}
    void setToolTip(const QString&) override {}
    void setAccessibilityLabel(const QString&) override {}
    void setAccessibilityValue(const QString&) override {}
    void popUpMenu(const std::vector<app::MenuEntry>&) override {}
};

}  // namespace noctave::test
