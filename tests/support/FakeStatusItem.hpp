#pragma once

#include <optional>
#include <string>
#include <vector>

#include <QColor>
#include <QImage>
#include <QString>

#include "app/tray/MenuBarIcon.hpp"
#include "app/tray/StatusItem.hpp"

namespace noctave::test {

// Stands in for the tray: keeps what the shell shows it (the icon's state, told apart by its
// pixels; every text, in order) and the menus it pops up.
class FakeStatusItem final : public app::StatusItem {
  public:
    using IconState = app::MenuBarIcon::State;

    void setImage(const app::MenuBarIcon::Image& image) override {
        isTemplate = image.isTemplate && image.icon.isMask();
        // The ember's centre is empty in the outline, black when filled, orange in the warning.
        const QColor centre = image.icon.pixmap(38, 38)
                                  .toImage()
                                  .convertToFormat(QImage::Format_ARGB32)
                                  .pixelColor(16, 16);
        icon = centre.alpha() < 40  ? IconState::ready
               : centre.red() > 150 ? IconState::warning
                                    : IconState::armed;
    }
    void setToolTip(const QString& text) override {
        toolTip = text;
        texts.push_back(text.toStdString());
    }
    void setAccessibilityLabel(const QString& text) override {
        texts.push_back(text.toStdString());
    }
    void setAccessibilityValue(const QString& text) override {
        value = text;
        texts.push_back(text.toStdString());
    }
    void popUpMenu(const std::vector<app::MenuEntry>& entries) override {
        menus.push_back(entries);
        keepTitles(entries);
    }
    void menuChanged() override { ++menuChanges; }
    bool showStandIn() override { return standsIn; }

    std::optional<IconState> icon;
    bool isTemplate = false;
    QString toolTip, value;
    std::vector<std::vector<app::MenuEntry>> menus;
    std::vector<std::string> texts;  // tool tips, accessible texts and menu titles shown
    int menuChanges = 0;
    bool standsIn = false;  // no tray shows the item: a window stands in

  private:
    void keepTitles(const std::vector<app::MenuEntry>& entries) {
        for (const app::MenuEntry& entry : entries) {
            texts.push_back(entry.title.toStdString());
            keepTitles(entry.submenu);
        }
    }
};

}  // namespace noctave::test
