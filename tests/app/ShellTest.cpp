#include "tests/app/ShellTest.hpp"

#include <QApplication>

namespace noctave::test {

void ensureApplication() {
    if (QCoreApplication::instance() != nullptr) {
        return;
    }
    qputenv("QT_QPA_PLATFORM", "offscreen");
    static int argc = 1;
    static char name[] = "noctave_app_tests";
    static char* argv[] = {name, nullptr};
    new QApplication(argc, argv);  // lives for the whole test process
}

void FakeStatusItem::setImage(const app::MenuBarIcon::Image& image) {
    using State = app::MenuBarIcon::State;
    record_->isTemplate = image.isTemplate;
    record_->iconDescription = image.accessibilityDescription;
    // Tell the states apart by what the icon really draws, not by its label: the ember's
    // centre is empty in the outline, black when filled, orange in the warning.
    const QImage drawn = image.icon.pixmap(38, 38).toImage();
    const Rgba centre = pixelAt(drawn, 16, 16);
    if (centre.a < 40) {
        record_->iconState = State::ready;
    } else if (centre.r > 150) {
        record_->iconState = State::warning;
    } else {
        record_->iconState = State::armed;
    }
}

AlertRecorder::AlertRecorder() {
    app::Alerts::setPresenter([this](const app::Alert& alert) {
        alerts_.push_back(alert);
        if (answers_.empty()) {
            return 0;
        }
        const int answer = answers_.front();
        answers_.pop_front();
        return answer;
    });
}

AlertRecorder::~AlertRecorder() {
    app::Alerts::setPresenter(nullptr);
}

Rgba pixelAt(const QImage& image, int x, int y) {
    const QColor c = image.convertToFormat(QImage::Format_ARGB32).pixelColor(x, y);
    return Rgba{c.red(), c.green(), c.blue(), c.alpha()};
}

}  // namespace noctave::test
