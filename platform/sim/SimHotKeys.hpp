#pragma once

#include <cstdint>
#include <map>
#include <vector>

#include "core/os/HotKeys.hpp"

namespace noctave::sim {

class SimKeys;

// The virtual keyboard's global shortcuts. A test presses a chord with `press`; the handlers
// installed then see it at once, on the caller's thread, newest first, as a real event
// dispatcher would. A combination can be made to look taken by another application.
class SimHotKeys final : public os::HotKeys {
  public:
    Status installEventHandler(EventHandler handler, HandlerRef* ref) override;
    Status removeEventHandler(HandlerRef ref) override;
    Status registerHotKey(std::uint32_t keyCode, std::uint32_t modifiers, HotKeyID hotKeyID,
                          std::uint32_t options, HotKeyRef* ref) override;
    Status unregisterHotKey(HotKeyRef ref) override;
    bool isServed() override { return isServed_; }

    // Presses keyCode with modifiers. True when a registration matched and a handler took it.
    bool press(std::uint32_t keyCode, std::uint32_t modifiers);

    // Knobs: the status every later registration / handler installation fails with
    // (kNoError: they succeed). "hotkey=taken" in NOCTAVE_SIM refuses registrations.
    void setRegistrationRefusal(Status status) { registrationRefusal_ = status; }
    void setInstallFailure(Status status) { installFailure_ = status; }
    // A desktop that offers no global shortcuts at all.
    void setServed(bool isServed) { isServed_ = isServed; }

    std::size_t handlerCount() const { return handlers_.size(); }
    std::size_t registrationCount() const { return registrations_.size(); }
    // Every call of the four operations so far, for tests that must see none.
    int operationCount() const { return operations_; }

    void registerKeys(SimKeys& keys);

  private:
    struct Registration {
        std::uint32_t keyCode;
        std::uint32_t modifiers;
        HotKeyID hotKeyID;
    };

    std::uint64_t nextRef_ = 1;
    std::vector<std::pair<HandlerRef, EventHandler>> handlers_;  // oldest first
    std::map<HotKeyRef, Registration> registrations_;
    Status registrationRefusal_ = kNoError;
    Status installFailure_ = kNoError;
    bool isServed_ = true;
    int operations_ = 0;
};

}  // namespace noctave::sim
