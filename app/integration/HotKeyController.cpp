#include "app/integration/HotKeyController.hpp"

#include <string>
#include <utility>

#include "core/os/System.hpp"
#include "core/os/Vocabulary.hpp"
#include "core/runtime/Runtime.hpp"
#include "core/support/Log.hpp"

namespace noctave::app {

namespace {

// Stands in when the platform offers no global shortcuts, so the failure reaches the log
// through the same path as any other.
class MissingHotKeys final : public os::HotKeys {
  public:
    Status installEventHandler(EventHandler /*handler*/, HandlerRef* /*ref*/) override {
        return kUnimplemented;
    }
    Status removeEventHandler(HandlerRef /*ref*/) override { return kInvalidRef; }
    Status registerHotKey(std::uint32_t /*keyCode*/, std::uint32_t /*modifiers*/,
                          HotKeyID /*hotKeyID*/, std::uint32_t /*options*/,
                          HotKeyRef* /*ref*/) override {
        return kUnimplemented;
    }
    Status unregisterHotKey(HotKeyRef /*ref*/) override { return kInvalidRef; }
};

}  // namespace

HotKeyController::HotKeyController(std::shared_ptr<os::HotKeys> hotKeys)
    : hotKeys_(std::move(hotKeys)) {
    if (!hotKeys_) {
        hotKeys_ = os::system().hotKeys;
    }
    if (!hotKeys_) {
        hotKeys_ = std::make_shared<MissingHotKeys>();
    }
}

HotKeyController::~HotKeyController() {
    unregister();
    onFire_ = nullptr;
}

void HotKeyController::unregister() {
    if (ref_) {
        hotKeys_->unregisterHotKey(*ref_);
    }
    ref_.reset();
    if (handler_) {
        hotKeys_->removeEventHandler(*handler_);
    }
    handler_.reset();
}

void HotKeyController::registerHotKey(std::function<void()> onFire) {
    unregister();
    onFire_ = std::move(onFire);

    // The handler may run on the platform's event thread: it only posts to the main queue,
    // where the weak pointer is checked and the callback current at that moment is called.
    auto weak = weakFactory_.weak();
    os::HotKeys::HandlerRef handler = 0;
    const os::HotKeys::Status installed = hotKeys_->installEventHandler(
        [weak](const os::HotKeys::Event& /*event*/) {
            // Every hot-key event that reaches this handler is our shortcut; the identifier
            // is not compared.
            runtime::mainQueue().async(runtime::bindWeak(weak, [](HotKeyController& self) {
                if (self.onFire_) {
                    self.onFire_();
                }
            }));
            return os::HotKeys::kNoError;
        },
        &handler);
    if (installed != os::HotKeys::kNoError) {
        Log::warn("hotkey handler install FAILED (status " + std::to_string(installed) + ")");
        return;
    }
    handler_ = handler;

    os::HotKeys::HotKeyRef ref = 0;
    const os::HotKeys::Status registered =
        hotKeys_->registerHotKey(kKeyCode, kModifiers, {kSignature, kHotKeyNumber}, 0, &ref);
    if (registered == os::HotKeys::kNoError) {
        ref_ = ref;
        Log::info("hotkey registered (" + os::vocabulary().chord() + ")");
    } else {
        Log::warn("hotkey registration FAILED (status " + std::to_string(registered) +
                  "); another app may be using " + os::vocabulary().chord());
    }
}

}  // namespace noctave::app
