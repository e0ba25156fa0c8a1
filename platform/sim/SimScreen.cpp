#include "platform/sim/SimScreen.hpp"

#include <string>

#include "core/os/System.hpp"
#include "platform/sim/SimChangeNotifier.hpp"
#include "platform/sim/SimPower.hpp"

namespace noctave::sim {

// ---------------------------------------------------------------------------------------------
// The ports. Each holds the screen strongly: core objects may keep a port a little longer than
// the laptop that made it. The functions they hand out hold it weakly.

class SimScreen::DisplayIdlePort final : public os::DisplayIdle {
  public:
    explicit DisplayIdlePort(std::shared_ptr<SimScreen> screen) : s_(std::move(screen)) {}

    LibraryHandle openLibrary(const std::string&, int) override {
        std::lock_guard lock(s_->mutex_);
        return s_->idleLibrary_ == Library::missing ? 0 : s_->nextLibrary_++;
    }

    IdleFunction lookup(LibraryHandle library, const std::string& symbol) override {
        std::lock_guard lock(s_->mutex_);
        if (library == 0 || s_->idleLibrary_ != Library::present ||
            symbol != os::kDisplaysIdleSymbol) {
            return {};
        }
        return [weak = std::weak_ptr<SimScreen>(s_)]() -> int32_t {
            auto screen = weak.lock();
            if (!screen) {
                return -1;
            }
            std::lock_guard lock(screen->mutex_);
            ++screen->instantIdleCalls_;
            if (screen->idleStatus_ == 0) {
                screen->panelBlank_ = true;
                screen->changes_->note();
            }
            return screen->idleStatus_;
        };
    }

    Command fallbackCommand() const override { return {os::kPmsetPath, {os::kDisplaySleepNow}}; }

  private:
    std::shared_ptr<SimScreen> s_;
};

class SimScreen::SessionLockPort final : public os::SessionLockFacility {
  public:
    explicit SessionLockPort(std::shared_ptr<SimScreen> screen) : s_(std::move(screen)) {}

    LibraryHandle openLibrary(const std::string&, int) override {
        std::lock_guard lock(s_->mutex_);
        if (s_->lockLibrary_ == Library::missing) {
            return 0;
        }
        const LibraryHandle library = s_->nextLibrary_++;
        s_->openLockLibraries_[library] = true;
        return library;
    }

    LockFunction lookup(LibraryHandle library, const std::string& symbol) override {
        std::lock_guard lock(s_->mutex_);
        if (s_->openLockLibraries_.count(library) == 0 || s_->lockLibrary_ != Library::present ||
            symbol != os::kLockScreenSymbol) {
            return {};
        }
        return [weak = std::weak_ptr<SimScreen>(s_)] {
            if (auto screen = weak.lock()) {
                std::lock_guard lock(screen->mutex_);
                ++screen->sessionLocks_;
                screen->sessionLocked_ = true;
                screen->changes_->note();
            }
            return std::string();
        };
    }

    void closeLibrary(LibraryHandle library) override {
        std::lock_guard lock(s_->mutex_);
        s_->openLockLibraries_.erase(library);
    }

  private:
    std::shared_ptr<SimScreen> s_;
};

// ---------------------------------------------------------------------------------------------
// The screen.

std::shared_ptr<SimScreen> SimScreen::make(std::shared_ptr<SimChangeNotifier> changes) {
    return std::shared_ptr<SimScreen>(new SimScreen(std::move(changes)));
}

SimScreen::SimScreen(std::shared_ptr<SimChangeNotifier> changes) : changes_(std::move(changes)) {}

SimScreen::~SimScreen() = default;

void SimScreen::install(os::System& system, SimPower& power) {
    auto self = shared_from_this();
    system.displayIdle = std::make_shared<DisplayIdlePort>(self);
    system.sessionLock = std::make_shared<SessionLockPort>(self);
    power.setOnPanelLit([weak = weak_from_this()] {
        if (auto screen = weak.lock()) {
            screen->lightPanel();
        }
    });
}

void SimScreen::lightPanel() {
    std::lock_guard lock(mutex_);
    // The lid or the wake has noted a change already, so this joins that call; it makes one of
    // its own only when the observer ran in between, on the main thread, before the panel lit.
    if (panelBlank_) {
        panelBlank_ = false;
        changes_->note();
    }
}

// ---- knobs: instant display sleep ----

void SimScreen::setDisplayIdleLibrary(Library library) {
    std::lock_guard lock(mutex_);
    idleLibrary_ = library;
}

void SimScreen::setDisplayIdleStatus(int32_t status) {
    std::lock_guard lock(mutex_);
    idleStatus_ = status;
}

int SimScreen::instantIdleCalls() const {
    std::lock_guard lock(mutex_);
    return instantIdleCalls_;
}

bool SimScreen::isPanelBlank() const {
    std::lock_guard lock(mutex_);
    return panelBlank_;
}

// ---- knobs: session lock ----

void SimScreen::setSessionLockLibrary(Library library) {
    std::lock_guard lock(mutex_);
    lockLibrary_ = library;
}

int SimScreen::sessionLocks() const {
    std::lock_guard lock(mutex_);
    return sessionLocks_;
}

bool SimScreen::isSessionLocked() const {
    std::lock_guard lock(mutex_);
    return sessionLocked_;
}

void SimScreen::unlockSession() {
    std::lock_guard lock(mutex_);
    if (sessionLocked_) {
        sessionLocked_ = false;
        changes_->note();
    }
}

int SimScreen::openLockLibraries() const {
    std::lock_guard lock(mutex_);
    return static_cast<int>(openLockLibraries_.size());
}

}  // namespace noctave::sim
