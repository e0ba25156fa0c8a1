#include "core/gesture/GestureDriver.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <string>
#include <variant>

#include "core/gesture/LidAngleSensor.hpp"
#include "core/gesture/LidMovementGate.hpp"
#include "core/os/KeyboardState.hpp"
#include "core/os/System.hpp"
#include "core/runtime/Runtime.hpp"
#include "core/runtime/Timer.hpp"
#include "core/support/Log.hpp"

namespace noctave {

namespace {

struct Idle {};
struct Detecting {
    LidMovementGate gate;
};
struct Tracking {
    double start;
};
struct Handoff {
    double start;
    double lowest;
    double since;
};
struct Committed {
    double start;
    double since;
};
using Phase = std::variant<Idle, Detecting, Tracking, Handoff, Committed>;

std::string wholeDegrees(double degrees) {
    return std::to_string(static_cast<long long>(degrees)) + "°";
}

// Shorter polls get tighter slack, so the 120 Hz tick stays smooth and the idle one cheap.
double leewayFor(double interval) {
    if (interval > 0.1) {
        return 0.1;
    }
    if (interval >= 0.01) {
        return 0.004;
    }
    return 0.0005;
}

}  // namespace

// Everything the ticks touch. It lives as long as the driver or a job of the gesture queue
// holds it, so a tick that is already running when the driver goes never touches freed memory.
// Apart from the constants and `epoch`, its state is read and written only on `queue`.
class GestureDriver::Engine : public std::enable_shared_from_this<Engine> {
  public:
    Engine(std::shared_ptr<LidAngleSensor> sensorIn, const Config& configIn,
           runtime::WeakPtr<GestureDriver> ownerIn)
        : sensor(std::move(sensorIn)),
          config(configIn),
          keyboard(os::system().keyboardState),
          owner(std::move(ownerIn)),
          queue(runtime::current().makeSerialQueue("noctave.gesture", runtime::QoS::utility)) {}

    void tick();
    void functionChanged();
    void schedule(double interval);
    void cancel(const std::string& reason);
    void toIdle();  // noteLidClosed, abort
    void stopPolling();
    void beginPractice();
    void endPractice();

    void emitProgress(std::optional<double> value);
    void emitPracticeFunctionHeld(bool held);
    void deliverCommit();
    void deliverCancel();

    const std::shared_ptr<LidAngleSensor> sensor;
    const Config config;
    const std::shared_ptr<os::KeyboardState> keyboard;
    const runtime::WeakPtr<GestureDriver> owner;  // checked on the main queue only
    // Bumped by stop(): deliveries emitted before it are dropped on arrival.
    std::atomic<uint64_t> epoch{0};

    Phase phase;
    double currentInterval = 0;
    bool isPracticing = false;
    bool lastPracticeFunctionState = false;
    bool isEnabled = true;
    bool isStarted = false;

    // The queue outlives the timer on it.
    std::shared_ptr<runtime::Queue> queue;
    std::unique_ptr<runtime::Timer> timer;
    // While the idle poll sleeps: the keyboard's announcement of Fn going down.
    os::KeyboardState::ObserverToken functionObserver = 0;
    bool isFunctionUnannounced = false;  // the keyboard cannot announce Fn: poll it

  private:
    bool canSleepWhileIdle();
    bool isFunctionHeld() const { return keyboard && keyboard->isFunctionHeld(); }
    // Practice may run on a machine whose platform offers no sensor at all.
    std::optional<double> readAngle() const { return sensor ? sensor->angle() : std::nullopt; }
    double now() const { return runtime::clock().monotonic(); }
    void tickIdle();
    void tickDetecting(Detecting& detecting);
    void processTrackingSample(double start, double angle);
    void commit(double start, double angle);
    void tickHandoff(Handoff handoff);
    void tickCommitted(Committed committed);
};

void GestureDriver::Engine::schedule(double interval) {
    // Polling runs only while started or practising; a lid-close note after stop(), or on a
    // machine without the sensor, must not start it behind the owner's back.
    if (!isStarted && !isPracticing) {
        stopPolling();
        return;
    }
    if (interval == config.idleInterval && canSleepWhileIdle()) {
        timer.reset();
        currentInterval = interval;
        return;
    }
    if (interval == currentInterval && timer) {
        return;
    }
    currentInterval = interval;
    timer.reset();
    timer =
        runtime::Timer::repeating(*queue, interval, leewayFor(interval), [weak = weak_from_this()] {
            if (auto engine = weak.lock()) {
                engine->tick();
            }
        });
}

// An idle tick only looks whether Fn went down. Where the keyboard announces that, and while
// ticks would do nothing at all (disabled, not practising), the idle poll sleeps instead.
bool GestureDriver::Engine::canSleepWhileIdle() {
    if (!isEnabled && !isPracticing) {
        return true;
    }
    if (!keyboard) {
        return true;  // Fn is never held
    }
    if (functionObserver == 0 && !isFunctionUnannounced) {
        functionObserver = keyboard->addFunctionObserver([weak = weak_from_this(), queue = queue] {
            queue->async([weak] {
                if (auto engine = weak.lock()) {
                    engine->functionChanged();
                }
            });
        });
        isFunctionUnannounced = functionObserver == 0;
    }
    // Read after the observer is in place: Fn going down from here on is announced. Held
    // already (the lid closed under a held Fn, say), the idle poll watches for it as before.
    return functionObserver != 0 && !keyboard->isFunctionHeld();
}

void GestureDriver::Engine::functionChanged() {
    // A running poll sees Fn on its next tick; a sleeping idle poll takes this one at once.
    if (timer || currentInterval == 0) {
        return;
    }
    tick();
}

void GestureDriver::Engine::stopPolling() {
    timer.reset();
    currentInterval = 0;
    if (functionObserver != 0) {
        keyboard->removeFunctionObserver(functionObserver);
        functionObserver = 0;
    }
}

void GestureDriver::Engine::tick() {
    if (!isEnabled && !isPracticing) {
        return;
    }
    if (isPracticing) {
        emitPracticeFunctionHeld(isFunctionHeld());
    }
    if (std::holds_alternative<Idle>(phase)) {
        tickIdle();
    } else if (auto* detecting = std::get_if<Detecting>(&phase)) {
        tickDetecting(*detecting);
    } else if (auto* tracking = std::get_if<Tracking>(&phase)) {
        const double start = tracking->start;
        if (auto angle = readAngle()) {
            processTrackingSample(start, *angle);
        }
    } else if (auto* handoff = std::get_if<Handoff>(&phase)) {
        tickHandoff(*handoff);
    } else if (auto* committed = std::get_if<Committed>(&phase)) {
        tickCommitted(*committed);
    }
}

void GestureDriver::Engine::tickIdle() {
    if (!isFunctionHeld()) {
        schedule(config.idleInterval);
        return;
    }
    schedule(config.activeInterval);
    const auto angle = readAngle();
    if (!angle || *angle < config.minStartAngle) {
        return;
    }
    LidMovementGate gate{(config.baselineSamples | 1) < 3 ? 3 : (config.baselineSamples | 1),
                         std::max(config.engageDegrees, 1.0),
                         std::max(config.movementConfirmationSamples, 2),
                         {},
                         std::nullopt,
                         0};
    // Reserved once here so the 120 Hz detecting ticks never allocate.
    gate.samples.reserve(static_cast<std::size_t>(gate.baselineSampleCount));
    gate.observe(*angle);
    phase = Detecting{std::move(gate)};
}

void GestureDriver::Engine::tickDetecting(Detecting& detecting) {
    if (!isFunctionHeld()) {
        cancel("fn released while detecting");  // not logged from this phase
        return;
    }
    const auto angle = readAngle();
    if (!angle) {
        return;
    }
    // The gate is observed in place: copying it in and out would copy its sample list.
    const auto observation = detecting.gate.observe(*angle);
    if (observation.kind == LidMovementGate::Kind::engaged) {
        phase = Tracking{observation.baseline};
        processTrackingSample(observation.baseline, *angle);
    }
}

void GestureDriver::Engine::processTrackingSample(double start, double angle) {
    emitProgress(visualProgress(start, angle, config));
    if (angle <= config.commitAngle) {
        commit(start, angle);
        return;
    }
    if (isFunctionHeld()) {
        return;
    }
    if (angle >= config.handoffActivationAngle) {
        cancel("fn released at " + wholeDegrees(angle) + " before hand-off threshold");
        return;
    }
    phase = Handoff{start, angle, now()};
    Log::info("gesture: hand-off @" + wholeDegrees(angle) + " - close remains protected");
    deliverCommit();
}

void GestureDriver::Engine::commit(double start, double angle) {
    Log::info("gesture: committed @" + wholeDegrees(angle) + " (from " + wholeDegrees(start) +
              ") - fn may now be released");
    phase = Committed{start, now()};
    emitProgress(visualProgress(start, angle, config));
    deliverCommit();
}

void GestureDriver::Engine::tickHandoff(Handoff handoff) {
    if (now() - handoff.since >= config.handoffTimeout) {
        cancel("hand-off timed out before lid close");
        return;
    }
    const auto angle = readAngle();
    if (!angle) {
        emitProgress(visualProgress(handoff.start, handoff.lowest, config));
        return;
    }
    if (*angle >= handoff.lowest + config.handoffReverseDegrees) {
        cancel("reopened " + wholeDegrees(*angle - handoff.lowest) + " during hand-off");
        return;
    }
    emitProgress(visualProgress(handoff.start, *angle, config));
    if (*angle > config.commitAngle) {
        phase = Handoff{handoff.start, std::min(handoff.lowest, *angle), handoff.since};
        return;
    }
    // The commit timeout runs from the hand-off, not from here.
    phase = Committed{handoff.start, handoff.since};
    Log::info("gesture: hand-off reached " + wholeDegrees(*angle) + " - awaiting lid close");
}

void GestureDriver::Engine::tickCommitted(Committed committed) {
    if (now() - committed.since >= config.commitTimeout) {
        cancel("committed but lid never closed");
        return;
    }
    const auto angle = readAngle();
    if (!angle) {
        emitProgress(1.0);  // no reading: most likely the lid is already down
        return;
    }
    if (*angle >= config.reopenCancelAngle) {
        if (isFunctionHeld()) {
            phase = Tracking{committed.start};
            schedule(config.activeInterval);
            emitProgress(visualProgress(committed.start, *angle, config));
            Log::info("gesture: reopened after commit; returning to live tracking");
            deliverCancel();
        } else {
            cancel("reopened to " + wholeDegrees(*angle));
        }
        return;
    }
    emitProgress(visualProgress(committed.start, *angle, config));
}

void GestureDriver::Engine::cancel(const std::string& reason) {
    const bool wasActive = std::holds_alternative<Tracking>(phase) ||
                           std::holds_alternative<Handoff>(phase) ||
                           std::holds_alternative<Committed>(phase);
    const bool wasArmed =
        std::holds_alternative<Handoff>(phase) || std::holds_alternative<Committed>(phase);
    phase = Idle{};
    emitProgress(std::nullopt);
    schedule(config.idleInterval);
    // Fn pressed for other purposes must leave no trace in the log.
    if (wasActive) {
        Log::info("gesture: cancelled (" + reason + ")");
    }
    if (wasArmed) {
        deliverCancel();
    }
}

void GestureDriver::Engine::toIdle() {
    phase = Idle{};
    emitProgress(std::nullopt);
    schedule(config.idleInterval);
}

void GestureDriver::Engine::beginPractice() {
    const bool wasArmed =
        std::holds_alternative<Handoff>(phase) || std::holds_alternative<Committed>(phase);
    phase = Idle{};
    emitProgress(std::nullopt);
    if (wasArmed) {
        deliverCancel();
    }
    isPracticing = true;
    emitPracticeFunctionHeld(false);
    schedule(config.idleInterval);
}

void GestureDriver::Engine::endPractice() {
    if (!isPracticing) {
        return;
    }
    const bool wasArmed =
        std::holds_alternative<Handoff>(phase) || std::holds_alternative<Committed>(phase);
    phase = Idle{};
    emitProgress(std::nullopt);
    emitPracticeFunctionHeld(false);
    isPracticing = false;
    schedule(config.idleInterval);
    if (wasArmed) {
        deliverCancel();
    }
}

// Deliveries hop to the main queue and check there that the driver still exists. The callback
// properties are read there too, at delivery, since the main thread owns them; whether the
// practice callbacks apply is decided here, when the event happens.
void GestureDriver::Engine::emitProgress(std::optional<double> value) {
    runtime::mainQueue().async(
        [owner = owner, stamp = epoch.load(), value, practising = isPracticing] {
            GestureDriver* driver = owner.get();
            if (driver == nullptr || driver->engine_->epoch.load() != stamp) {
                return;
            }
            if (driver->onProgress) {
                driver->onProgress(value);
            }
            driver = owner.get();  // the subscriber may have destroyed the driver
            if (practising && driver != nullptr && driver->onPracticeProgress) {
                driver->onPracticeProgress(value);
            }
        });
}

void GestureDriver::Engine::emitPracticeFunctionHeld(bool held) {
    if (held == lastPracticeFunctionState) {
        return;
    }
    lastPracticeFunctionState = held;
    runtime::mainQueue().async([owner = owner, stamp = epoch.load(), held] {
        GestureDriver* driver = owner.get();
        if (driver != nullptr && driver->engine_->epoch.load() == stamp &&
            driver->onPracticeFunctionHeld) {
            driver->onPracticeFunctionHeld(held);
        }
    });
}

void GestureDriver::Engine::deliverCommit() {
    runtime::mainQueue().async([owner = owner, stamp = epoch.load()] {
        GestureDriver* driver = owner.get();
        if (driver != nullptr && driver->engine_->epoch.load() == stamp && driver->onCommit) {
            auto callback = driver->onCommit;
            callback();
        }
    });
}

void GestureDriver::Engine::deliverCancel() {
    runtime::mainQueue().async([owner = owner, stamp = epoch.load()] {
        GestureDriver* driver = owner.get();
        if (driver != nullptr && driver->engine_->epoch.load() == stamp && driver->onCancel) {
            auto callback = driver->onCancel;
            callback();
        }
    });
}

GestureDriver::GestureDriver(std::shared_ptr<LidAngleSensor> sensor)
    : GestureDriver(std::move(sensor), Config{}) {}

GestureDriver::GestureDriver(std::shared_ptr<LidAngleSensor> sensor, Config config) {
    // Made here, not in the initialiser list: the weak factory is the last member.
    engine_ = std::make_shared<Engine>(std::move(sensor), config, weakFactory_.weak());
}

GestureDriver::~GestureDriver() {
    stop();
    // A job already running on the gesture queue may still hold the engine; it finishes there
    // and its deliveries find the driver gone.
}

bool GestureDriver::start() {
    if (!engine_->sensor || !engine_->sensor->isAvailable()) {
        Log::info("gesture driver not started: no lid-angle sensor");
        return false;
    }
    engine_->queue->sync([&engine = *engine_] {
        engine.isStarted = true;
        engine.schedule(engine.config.idleInterval);
    });
    return true;
}

void GestureDriver::stop() {
    ++engine_->epoch;
    engine_->queue->sync([&engine = *engine_] {
        engine.isStarted = false;
        engine.stopPolling();
        engine.phase = Idle{};
        engine.emitProgress(std::nullopt);
    });
}

void GestureDriver::setEnabled(bool enabled) {
    isEnabled_ = enabled;
    engine_->queue->sync([&engine = *engine_, enabled] {
        const bool wasEnabled = engine.isEnabled;
        engine.isEnabled = enabled;
        if (!enabled) {
            engine.cancel("disabled");
        } else if (!wasEnabled && !engine.timer && engine.currentInterval != 0) {
            engine.schedule(engine.config.idleInterval);  // a disabled driver's poll slept
        }
    });
}

bool GestureDriver::isSupported() const {
    return engine_->sensor && engine_->sensor->isAvailable();
}

bool GestureDriver::isCommitted() const {
    bool committed = false;
    engine_->queue->sync([&engine = *engine_, &committed] {
        committed = std::holds_alternative<Handoff>(engine.phase) ||
                    std::holds_alternative<Committed>(engine.phase);
    });
    return committed;
}

void GestureDriver::noteLidClosed() {
    engine_->queue->sync([&engine = *engine_] { engine.toIdle(); });
}

void GestureDriver::abort() {
    engine_->queue->async([engine = engine_] { engine->toIdle(); });
}

void GestureDriver::beginPractice() {
    engine_->queue->async([engine = engine_] { engine->beginPractice(); });
}

void GestureDriver::endPractice() {
    engine_->queue->async([engine = engine_] { engine->endPractice(); });
}

const GestureDriver::Config& GestureDriver::config() const {
    return engine_->config;
}

double GestureDriver::currentInterval() const {
    double interval = 0;
    engine_->queue->sync([&engine = *engine_, &interval] { interval = engine.currentInterval; });
    return interval;
}

double GestureDriver::visualProgress(double start, double current, const Config& config) {
    const double span = std::max(start - config.closedReferenceAngle, 1.0);
    const double linear = (start - current) / span;
    if (linear < 0) {
        return std::max(linear, config.minimumVisualProgress);
    }
    if (linear >= 1) {
        return 1.0;
    }
    double a = (start - config.visualAlmostClosedAngle) / span;
    a = a <= 0.001 ? 0.001 : (a > 0.999 ? 0.999 : a);
    double p = config.visualProgressAtAlmostClosed;
    p = p <= 0.01 ? 0.01 : (p > 0.99 ? 0.99 : p);
    const double k = std::log(1 - p) / std::log(1 - a);
    return std::clamp(1 - std::pow(1 - linear, k), 0.0, 1.0);
}

}  // namespace noctave
