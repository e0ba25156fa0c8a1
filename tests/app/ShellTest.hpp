#pragma once

#include <gtest/gtest.h>

#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <QImage>

#include "app/Alerts.hpp"
#include "app/StatusItem.hpp"

namespace noctave::test {

// The one QApplication of the test process, offscreen.
void ensureApplication();

// Stands in for the tray: records what the shell shows, and the menus it pops up.
class FakeStatusItem final : public app::StatusItem {
  public:
    struct Record {
        std::optional<app::MenuBarIcon::State> iconState;
        bool isTemplate = false;
        QString iconDescription;
        QString toolTip;
        QString accessibilityLabel;
        QString accessibilityValue;
        std::vector<std::vector<app::MenuEntry>> menus;
    };

    explicit FakeStatusItem(std::shared_ptr<Record> record) : record_(std::move(record)) {}

    void setImage(const app::MenuBarIcon::Image& image) override;
    void setToolTip(const QString& text) override { record_->toolTip = text; }
    void setAccessibilityLabel(const QString& text) override { record_->accessibilityLabel = text; }
    void setAccessibilityValue(const QString& text) override { record_->accessibilityValue = text; }
    void popUpMenu(const std::vector<app::MenuEntry>& entries) override {
        record_->menus.push_back(entries);
    }

  private:
    std::shared_ptr<Record> record_;
};

// Answers every alert in place of the user: queued answers first, then the first button.
class AlertRecorder {
  public:
    AlertRecorder();
    ~AlertRecorder();
    AlertRecorder(const AlertRecorder&) = delete;
    AlertRecorder& operator=(const AlertRecorder&) = delete;

    void queueAnswer(int button) { answers_.push_back(button); }
    const std::vector<app::Alert>& alerts() const { return alerts_; }

  private:
    std::vector<app::Alert> alerts_;
    std::deque<int> answers_;
};

// The colour of one pixel, as 8-bit straight (not premultiplied) RGBA.
struct Rgba {
    int r, g, b, a;
};
Rgba pixelAt(const QImage& image, int x, int y);

}  // namespace noctave::test
