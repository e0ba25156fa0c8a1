#pragma once

#include <chrono>
#include <functional>

#include <QApplication>
#include <QImage>

namespace noctave::test {

// The one QApplication of the test process, offscreen; it lives until the process ends.
inline void ensureApplication() {
    if (QCoreApplication::instance() == nullptr) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        static int argc = 1;
        static char name[] = "noctave_app_tests";
        static char* argv[] = {name, nullptr};
        new QApplication(argc, argv);
    }
}

// Spins the event loop until `done`, or gives up after ten seconds.
inline bool spinUntil(const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!done() && std::chrono::steady_clock::now() < deadline) {
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 20);
    }
    return done();
}

// One pixel as 8-bit straight (not premultiplied) RGBA.
struct Rgba {
    int r, g, b, a;
};
inline Rgba pixelAt(const QImage& image, int x, int y) {
    const QColor c = image.convertToFormat(QImage::Format_ARGB32).pixelColor(x, y);
    return Rgba{c.red(), c.green(), c.blue(), c.alpha()};
}

}  // namespace noctave::test
