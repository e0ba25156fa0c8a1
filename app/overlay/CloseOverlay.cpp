#include "app/overlay/CloseOverlay.hpp"

#include <QColor>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QScreen>
#include <QTemporaryFile>
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "app/overlay/CurtainDrawing.hpp"
#include "app/overlay/CurtainLayerShell.hpp"
#include "app/overlay/CurtainView.hpp"
#include "core/os/ReduceMotion.hpp"
#include "core/os/System.hpp"
#include "core/runtime/Runtime.hpp"

namespace noctave::app {

namespace {
constexpr double kTeardownAfterSeal = 0.6;
constexpr double kTeardownAfterRetract = 0.75;
constexpr double kFastestFrameRate = 120.0;
}  // namespace

CloseOverlay::CloseOverlay() = default;

CloseOverlay::~CloseOverlay() {
    hide();
}

bool CloseOverlay::isReduceMotionOn() {
    const auto& port = os::system().reduceMotion;
    return port && port->isEnabled();
}

void CloseOverlay::setProgress(std::optional<double> progress) {
    if (!progress) {
        isTrackingGesture_ = false;
        // The gesture ends right after the lid shut on an armed session: the seal stands, and
        // the curtain fades rather than sliding back up over the session it just started.
        if (views_.empty() || isSealing()) {
            return;
        }
        const bool reduceMotion = isReduceMotionOn();
        for (auto& view : views_) {
            if (view->animation().retract(reduceMotion)) {
                view->refresh();
            }
        }
        startFrameClock();
        scheduleTeardown(kTeardownAfterRetract);
        return;
    }
    const bool wasTracking = isTrackingGesture_;
    isTrackingGesture_ = true;
    teardownWorkItem_.reset();
    ensureWindows();
    const bool reduceMotion = isReduceMotionOn();
    const double coverage = CurtainAnimation::coverage(*progress);
    for (auto& view : views_) {
        if (view->animation().follow(coverage, !wasTracking, reduceMotion)) {
            view->refresh();
        }
    }
    if (!wasTracking) {
        for (auto& view : views_) {
            view->present();
        }
    }
    startFrameClock();
}

void CloseOverlay::seal() {
    if (views_.empty()) {
        return;
    }
    isTrackingGesture_ = false;
    runToEnd(&CurtainAnimation::seal, kTeardownAfterSeal);
}

void CloseOverlay::retract() {
    // A live gesture keeps its curtain, whoever asks.
    if (views_.empty() || isTrackingGesture_) {
        return;
    }
    runToEnd(&CurtainAnimation::retract, kTeardownAfterRetract);
}

void CloseOverlay::runToEnd(bool (CurtainAnimation::*end)(bool reduceMotion),
                            double teardownAfter) {
    const bool reduceMotion = isReduceMotionOn();
    for (auto& view : views_) {
        if ((view->animation().*end)(reduceMotion)) {
            view->refresh();
        }
    }
    startFrameClock();
    scheduleTeardown(teardownAfter);
}

void CloseOverlay::hide() {
    isTrackingGesture_ = false;
    teardownWorkItem_.reset();
    frameClock_.reset();
    for (auto& view : views_) {
        view->withdraw();
    }
    views_.clear();
}

CurtainLayerShell* CloseOverlay::layerShell() {
    if (!isLayerShellResolved_) {
        isLayerShellResolved_ = true;
        layerShell_ = CurtainLayerShell::connect();
    }
    return layerShell_.get();
}

void CloseOverlay::scheduleTeardown(double seconds) {
    teardownWorkItem_ = runtime::Timer::oneShot(
        runtime::mainQueue(), seconds, 0.0,
        runtime::bindWeak(weakFactory_.weak(), [](CloseOverlay& self) { self.teardown(); }));
}

bool CloseOverlay::isSealing() const {
    return std::all_of(views_.begin(), views_.end(),
                       [](const auto& view) { return view->animation().isSealing(); });
}

void CloseOverlay::teardown() {
    // A view neither sealing nor retracting belongs to a gesture that has taken over.
    const bool finished = std::all_of(views_.begin(), views_.end(), [](const auto& view) {
        return view->animation().isSealing() || view->animation().isRetracting();
    });
    if (finished) {
        hide();
    }
}

// The windows follow the screens: a screen that went away loses its window, a new one gets a
// window that joins the current gesture.
void CloseOverlay::ensureWindows() {
    const QList<QScreen*> screens = QGuiApplication::screens();
    const bool same = std::equal(
        views_.begin(), views_.end(), screens.begin(), screens.end(),
        [](const auto& view, QScreen* screen) { return view->targetScreen() == screen; });
    if (same) {
        return;
    }
    std::vector<std::unique_ptr<CurtainView>> kept;
    kept.reserve(static_cast<size_t>(screens.size()));
    for (QScreen* screen : screens) {
        auto found = std::find_if(views_.begin(), views_.end(), [screen](const auto& view) {
            return view && view->targetScreen() == screen;
        });
        if (found != views_.end()) {
            (*found)->fitScreen();
            kept.push_back(std::move(*found));
        } else {
            auto view = std::make_unique<CurtainView>(screen, layerShell());
            if (!views_.empty() && isTrackingGesture_) {
                view->present();
            }
            kept.push_back(std::move(view));
        }
    }
    for (auto& gone : views_) {
        if (gone) {
            gone->withdraw();
        }
    }
    views_ = std::move(kept);

    double fastest = 0.0;
    for (QScreen* screen : screens) {
        fastest = std::max(fastest, screen->refreshRate());
    }
    // A screen that reports no rate, or a silly one, gets the full rate.
    frameInterval_ =
        1.0 / (fastest >= 30.0 ? std::min(fastest, kFastestFrameRate) : kFastestFrameRate);
}

void CloseOverlay::startFrameClock() {
    if (frameClock_ || views_.empty()) {
        return;
    }
    for (auto& view : views_) {
        view->animation().forgetFrameTime();
    }
    frameClock_ = runtime::Timer::repeating(
        runtime::mainQueue(), frameInterval_, 0.0,
        runtime::bindWeak(weakFactory_.weak(), [](CloseOverlay& self) { self.frame(); }));
}

void CloseOverlay::frame() {
    const double now = runtime::clock().monotonic();
    bool moving = false;
    for (auto& view : views_) {
        moving = view->animation().step(now) || moving;
        view->refresh();
    }
    if (!moving) {
        frameClock_.reset();  // wakes again with the next progress, seal or retraction
    }
}

bool CloseOverlay::renderPreviews(const QString& directory, QSize size, std::ostream& out,
                                  std::ostream& err) {
    bool allWritten = true;
    for (const double coverage : {0.3, 0.45, 0.62, 0.8, 1.0}) {
        QImage image(size, QImage::Format_ARGB32_Premultiplied);
        if (image.isNull()) {
            err << "could not render the curtain preview at " << size.width() << " x "
                << size.height() << "\n";
            allWritten = false;
            continue;
        }
        image.setDevicePixelRatio(1.0);
        image.fill(QColor::fromRgbF(0.42F, 0.42F, 0.42F));
        {
            QPainter painter(&image);
            CurtainDrawing::draw(painter, QRectF(QPointF(0, 0), QSizeF(size)), coverage, 1.0);
        }
        const QString path = directory + QStringLiteral("/curtain-") +
                             QString::number(std::lround(coverage * 100)) + QStringLiteral(".png");
        // Written beside and renamed over: a link planted at the name in a shared folder such
        // as /tmp is replaced, never followed (QSaveFile would follow it).
        QTemporaryFile file(directory + QStringLiteral("/.curtain-XXXXXX.png"));
        bool written = file.open() && image.save(&file, "PNG") && file.flush();
        int renameError = 0;
        if (written) {
            file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                QFileDevice::ReadGroup | QFileDevice::ReadOther);
            written = ::rename(QFile::encodeName(file.fileName()).constData(),
                               QFile::encodeName(path).constData()) == 0;
            renameError = written ? 0 : errno;
            if (written) {
                file.setAutoRemove(false);
            }
        }
        if (!written) {
            const QString why = renameError != 0
                                    ? QString::fromLocal8Bit(std::strerror(renameError))
                                    : file.errorString();
            err << "could not write " << path.toStdString() << ": " << why.toStdString() << "\n";
            allWritten = false;
            continue;
        }
        out << "wrote " << path.toStdString() << "\n";
    }
    out.flush();
    return allWritten;
}

}  // namespace noctave::app
