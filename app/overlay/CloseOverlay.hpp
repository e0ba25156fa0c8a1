#pragma once

#include <QSize>
#include <QString>
#include <memory>
#include <optional>
#include <ostream>
#include <vector>

#include "core/runtime/Timer.hpp"
#include "core/runtime/WeakPtr.hpp"

namespace noctave::app {

class CurtainAnimation;
class CurtainLayerShell;
class CurtainView;

// The curtain on every screen: one window per screen (in the order the desktop lists them),
// made on the first progress value and gone after a seal, a retraction or a hide. It decides
// nothing about the session; it only animates. Main thread only, on the installed runtime's
// main queue.
//
// One frame clock steps every view. It runs only while some curtain still moves, so a curtain
// standing still and a hidden overlay cost no wake-ups.
//
// The delegate drives it with the five calls below, which a test may replace; an overlay that
// never gets a progress value makes no window.
class CloseOverlay {
  public:
    CloseOverlay();
    virtual ~CloseOverlay();
    CloseOverlay(const CloseOverlay&) = delete;
    CloseOverlay& operator=(const CloseOverlay&) = delete;

    // The gesture's progress; no value: nothing to show.
    virtual void setProgress(std::optional<double> progress);
    // Runs the curtain to full coverage (the lid shut on a session).
    virtual void seal();
    // Slides the curtain back up (the session ended).
    virtual void retract();
    virtual void hide();
    // While a live gesture owns the curtain, a disarm must not take it away.
    virtual bool isTrackingGesture() const { return isTrackingGesture_; }

    const std::vector<std::unique_ptr<CurtainView>>& views() const { return views_; }
    bool isFrameClockRunning() const { return frameClock_ != nullptr; }
    // Seconds between frames: the fastest screen's refresh, at most 120 per second.
    double frameInterval() const { return frameInterval_; }

    // Writes "curtain-30.png" ... "curtain-100.png" (coverages 0.3, 0.45, 0.62, 0.8, 1.0) of
    // `size` pixels into `directory`, each on a mid-grey background, and prints "wrote <path>"
    // for each to `out`. A file that cannot be written is named on `err` and the others are
    // still tried. Returns whether all five were written.
    static bool renderPreviews(const QString& directory, QSize size, std::ostream& out,
                               std::ostream& err);

  private:
    void ensureWindows();
    // Runs every view's curtain to its end (a seal or a retraction), then the windows go.
    void runToEnd(bool (CurtainAnimation::*end)(bool reduceMotion), double teardownAfter);
    void scheduleTeardown(double seconds);
    void teardown();
    bool isSealing() const;
    void startFrameClock();
    void frame();
    static bool isReduceMotionOn();
    // Connected on the first curtain, and kept: null where windows stand in.
    CurtainLayerShell* layerShell();

    // Declared before the views, which hold its surfaces: it goes after them.
    std::unique_ptr<CurtainLayerShell> layerShell_;
    bool isLayerShellResolved_ = false;
    std::vector<std::unique_ptr<CurtainView>> views_;
    std::unique_ptr<runtime::Timer> teardownWorkItem_;
    std::unique_ptr<runtime::Timer> frameClock_;
    double frameInterval_ = 1.0 / 120.0;
    bool isTrackingGesture_ = false;
    runtime::WeakFactory<CloseOverlay> weakFactory_{this};
};

}  // namespace noctave::app
