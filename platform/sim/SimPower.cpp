#include "platform/sim/SimPower.hpp"

#include <algorithm>
#include <charconv>
#include <mutex>
#include <optional>
#include <string_view>
#include <type_traits>

#include "core/os/System.hpp"
#include "core/runtime/Queue.hpp"
#include "core/runtime/Runtime.hpp"
#include "platform/sim/SimChangeNotifier.hpp"
#include "platform/sim/SimKeys.hpp"

namespace noctave::sim {

using os::kClamshellCausesSleep;
using os::kClamshellState;
using os::kGeneralInterest;
using os::kPreventSystemSleep;
using os::kRootDomainClass;

namespace {

constexpr os::Displays::DisplayId kBuiltinDisplay = 1;
// The kernel's clamshell-state-change message; its argument carries the closed bit (0) and the
// causes-sleep bit (1).
constexpr uint32_t kClamshellStateChange = 0xE0034100;
constexpr uint32_t kDisplayAddFlag = 0x10;
constexpr uint32_t kDisplayRemoveFlag = 0x20;

double now() {
    return runtime::isInstalled() ? runtime::clock().monotonic() : 0.0;
}

os::PropertyValue boolean(bool value) {
    return {value ? 1 : 0, value ? "Yes" : "No"};
}

bool parseInt(std::string_view text, int& value, int base = 10) {
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    return !text.empty() && error == std::errc{} && end == text.data() + text.size();
}

// What a registration in `table` holds, copied under the lock so that the caller can call it
// outside the lock (a handler may register or release in turn); no value once it is released.
template <class Table, class Key, class Pick>
auto copyRegistration(std::mutex& mutex, const Table& table, const Key& key, Pick pick)
    -> std::optional<std::invoke_result_t<Pick, const typename Table::mapped_type&>> {
    std::lock_guard lock(mutex);
    const auto it = table.find(key);
    if (it == table.end()) {
        return std::nullopt;
    }
    return pick(it->second);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// The ports. Each holds the machine strongly: core objects may keep a port a little longer than
// the laptop that made it.

class SimPower::PowerManagementPort final : public os::PowerManagement {
  public:
    explicit PowerManagementPort(std::shared_ptr<SimPower> machine) : m_(std::move(machine)) {}

    os::IoObject matchingService(const std::string& className) override {
        std::lock_guard lock(m_->mutex_);
        if (!m_->rootDomainPresent_ || className != kRootDomainClass) {
            return 0;
        }
        const os::IoObject service = m_->nextObject_++;
        m_->objects_[service] = false;
        return service;
    }

    os::IoReturn openService(os::IoObject service, uint32_t type,
                             os::IoConnection* connection) override {
        *connection = 0;
        std::lock_guard lock(m_->mutex_);
        auto object = m_->objects_.find(service);
        if (object == m_->objects_.end() || object->second) {
            return SimKernel::kBadArgument;
        }
        if (m_->openFailure_) {
            return *m_->openFailure_;
        }
        if (type != 0) {
            return SimKernel::kUnsupported;
        }
        *connection = m_->kernel_.open();
        return *connection != 0 ? os::kIoReturnSuccess : SimKernel::kNoResources;
    }

    std::string rootDomainFailure() const override {
        std::lock_guard lock(m_->mutex_);
        return !m_->rootDomainPresent_ || m_->openFailure_ ? m_->rootDomainFailure_ : std::string();
    }

    std::string lidFlagFailure() const override {
        std::lock_guard lock(m_->mutex_);
        return m_->lidFlagFailure_;
    }

    os::IoReturn callScalarMethod(os::IoConnection connection, uint32_t selector,
                                  uint64_t input) override {
        std::function<void()> hook;
        {
            std::lock_guard lock(m_->mutex_);
            hook = m_->onScalarCall_;
        }
        if (hook) {
            hook();
        }
        std::lock_guard lock(m_->mutex_);
        const bool wasSet = m_->kernel_.flag();
        const os::IoReturn result = SimKernel::scalarMethod(connection, selector, input);
        if (result == os::kIoReturnSuccess && wasSet && !m_->kernel_.flag() &&
            m_->lid_ == Lid::closed) {
            m_->requestSleepLocked("lid-close flag cleared with the lid shut");
        }
        if (wasSet != m_->kernel_.flag()) {
            m_->changes_->note();
        }
        return result;
    }

    os::IoReturn closeService(os::IoConnection connection) override {
        return m_->kernel_.close(connection) ? os::kIoReturnSuccess : SimKernel::kNotOpen;
    }

    os::IoReturn releaseObject(os::IoObject object) override {
        std::lock_guard lock(m_->mutex_);
        if (m_->objects_.erase(object) == 0) {
            return SimKernel::kBadArgument;
        }
        m_->interest_.erase(object);
        return os::kIoReturnSuccess;
    }

    std::optional<os::PropertyValue> registryProperty(os::IoObject service,
                                                      const std::string& name) override {
        std::lock_guard lock(m_->mutex_);
        auto object = m_->objects_.find(service);
        if (object == m_->objects_.end() || object->second) {
            return std::nullopt;
        }
        return m_->propertyLocked(name);
    }

    std::optional<std::map<std::string, std::string>> registryProperties(
        os::IoObject service) override {
        std::lock_guard lock(m_->mutex_);
        auto object = m_->objects_.find(service);
        if (object == m_->objects_.end() || object->second) {
            return std::nullopt;
        }
        return m_->propertiesLocked();
    }

    SignalSafeScalarMethod signalSafeScalarMethod() const override {
        return &SimKernel::scalarMethod;
    }

    os::IoNotificationPort createNotificationPort() override {
        std::lock_guard lock(m_->mutex_);
        if (m_->failNotificationPort_) {
            return 0;
        }
        const os::IoNotificationPort port = m_->nextPort_++;
        m_->ports_[port] = nullptr;
        return port;
    }

    void setNotificationPortQueue(os::IoNotificationPort port,
                                  std::shared_ptr<runtime::Queue> queue) override {
        std::lock_guard lock(m_->mutex_);
        if (auto entry = m_->ports_.find(port); entry != m_->ports_.end()) {
            entry->second = std::move(queue);
        }
    }

    os::IoReturn addInterestNotification(os::IoNotificationPort port, os::IoObject service,
                                         const std::string& interestType, InterestHandler handler,
                                         os::IoObject* registration) override {
        *registration = 0;
        std::lock_guard lock(m_->mutex_);
        if (m_->failInterest_) {
            return *m_->failInterest_;
        }
        auto object = m_->objects_.find(service);
        if (m_->ports_.count(port) == 0 || object == m_->objects_.end() || object->second) {
            return SimKernel::kBadArgument;
        }
        if (interestType != kGeneralInterest) {
            return SimKernel::kUnsupported;
        }
        const os::IoObject id = m_->nextObject_++;
        m_->objects_[id] = true;
        m_->interest_[id] = InterestRegistration{port, service, std::move(handler)};
        *registration = id;
        return os::kIoReturnSuccess;
    }

    void destroyNotificationPort(os::IoNotificationPort port) override {
        std::lock_guard lock(m_->mutex_);
        m_->ports_.erase(port);
        for (auto it = m_->interest_.begin(); it != m_->interest_.end();) {
            it = it->second.port == port ? m_->interest_.erase(it) : std::next(it);
        }
    }

    os::IoReturn createAssertion(const std::string& type, uint32_t level, const std::string& name,
                                 os::AssertionId* id) override {
        *id = 0;
        std::lock_guard lock(m_->mutex_);
        if (m_->assertionPolicy_ == AssertionPolicy::refuseAll ||
            (m_->assertionPolicy_ == AssertionPolicy::refuseSystemSleep &&
             type == kPreventSystemSleep)) {
            return SimKernel::kNotPrivileged;
        }
        *id = m_->nextAssertion_++;
        m_->assertions_.push_back(Assertion{*id, type, name, level});
        ++m_->assertionsCreated_;
        m_->changes_->note();
        return os::kIoReturnSuccess;
    }

    os::IoReturn releaseAssertion(os::AssertionId id) override {
        std::lock_guard lock(m_->mutex_);
        auto it = std::find_if(m_->assertions_.begin(), m_->assertions_.end(),
                               [id](const Assertion& a) { return a.id == id; });
        if (it == m_->assertions_.end()) {
            return SimKernel::kBadArgument;
        }
        const bool wasGuard = it->type == kPreventSystemSleep;
        m_->assertions_.erase(it);
        m_->changes_->note();
        if (wasGuard && m_->lid_ == Lid::closed) {
            m_->requestSleepLocked("sleep guard released with the lid shut");
        }
        return m_->failAssertionRelease_ ? SimKernel::kNotPrivileged : os::kIoReturnSuccess;
    }

  private:
    std::shared_ptr<SimPower> m_;
};

class SimPower::PowerSourcesPort final : public os::PowerSources {
  public:
    explicit PowerSourcesPort(std::shared_ptr<SimPower> machine) : m_(std::move(machine)) {}

    std::optional<std::string> providingPowerSourceType() override {
        std::lock_guard lock(m_->mutex_);
        if (m_->providingTypeOverridden_) {
            return m_->providingTypeOverride_;
        }
        if (!m_->powerInfoAvailable_) {
            return std::nullopt;
        }
        return m_->onBattery_ ? "Battery Power" : "AC Power";
    }

    std::optional<std::vector<std::optional<SourceDescription>>> powerSources() override {
        std::lock_guard lock(m_->mutex_);
        if (!m_->powerInfoAvailable_) {
            return std::nullopt;
        }
        return m_->sources_;
    }

    Handle createNotificationSource(std::function<void()> callback) override {
        std::lock_guard lock(m_->mutex_);
        if (m_->failPowerNotifications_) {
            return 0;
        }
        const Handle source = m_->nextPowerSource_++;
        m_->powerRegistrations_[source] = PowerSourceRegistration{std::move(callback), false};
        return source;
    }

    void addToMainQueue(Handle source) override {
        std::lock_guard lock(m_->mutex_);
        if (auto it = m_->powerRegistrations_.find(source); it != m_->powerRegistrations_.end()) {
            it->second.onMainQueue = true;
        }
    }

    void removeNotificationSource(Handle source) override {
        std::lock_guard lock(m_->mutex_);
        m_->powerRegistrations_.erase(source);
    }

  private:
    std::shared_ptr<SimPower> m_;
};

class SimPower::DisplaysPort final : public os::Displays {
  public:
    explicit DisplaysPort(std::shared_ptr<SimPower> machine) : m_(std::move(machine)) {}

    Error registerReconfigurationCallback(ReconfigurationCallback callback,
                                          Registration* registration) override {
        *registration = 0;
        std::lock_guard lock(m_->mutex_);
        if (m_->registrationError_ != 0) {
            return m_->registrationError_;
        }
        *registration = m_->nextRegistration_++;
        m_->reconfiguration_[*registration] = std::move(callback);
        return 0;
    }

    void removeReconfigurationCallback(Registration registration) override {
        std::shared_ptr<runtime::Queue> queue;
        {
            std::lock_guard lock(m_->mutex_);
            m_->reconfiguration_.erase(registration);
            queue = m_->reconfigurationQueue_;
        }
        // Deliveries run on that queue: waiting for it lets a running call finish.
        if (queue) {
            queue->sync([] {});
        }
    }

    Error activeDisplayList(std::span<DisplayId> buffer, uint32_t* count) override {
        *count = 0;
        std::lock_guard lock(m_->mutex_);
        if (m_->activeListError_ != 0) {
            return m_->activeListError_;
        }
        const auto active = m_->activeDisplaysLocked();
        if (buffer.empty()) {
            *count = static_cast<uint32_t>(active.size());
            return 0;
        }
        if (m_->activeListFillError_ != 0) {
            return m_->activeListFillError_;
        }
        const std::size_t filled = std::min(buffer.size(), active.size());
        std::copy_n(active.begin(), filled, buffer.begin());
        *count = static_cast<uint32_t>(filled);
        return 0;
    }

    bool isBuiltin(DisplayId display) override { return display == kBuiltinDisplay; }

  private:
    std::shared_ptr<SimPower> m_;
};

class SimPower::WorkspacePort final : public os::Workspace {
  public:
    explicit WorkspacePort(std::shared_ptr<SimPower> machine) : m_(std::move(machine)) {}

    Token addObserver(Notification notification, std::function<void()> handler) override {
        std::lock_guard lock(m_->mutex_);
        const Token token = m_->nextToken_++;
        m_->workspace_[token] = {notification, std::move(handler)};
        return token;
    }

    void removeObserver(Token token) override {
        std::lock_guard lock(m_->mutex_);
        m_->workspace_.erase(token);
    }

  private:
    std::shared_ptr<SimPower> m_;
};

// ---------------------------------------------------------------------------------------------
// The machine.

std::shared_ptr<SimPower> SimPower::make(std::shared_ptr<SimChangeNotifier> changes) {
    return std::shared_ptr<SimPower>(new SimPower(std::move(changes)));
}

SimPower::SimPower(std::shared_ptr<SimChangeNotifier> changes) : changes_(std::move(changes)) {
    sources_.push_back(os::PowerSources::SourceDescription{100, 100});
}

SimPower::~SimPower() = default;

void SimPower::install(os::System& system, SimKeys& keys) {
    auto self = shared_from_this();
    system.powerManagement = std::make_shared<PowerManagementPort>(self);
    system.powerSources = std::make_shared<PowerSourcesPort>(self);
    system.displays = std::make_shared<DisplaysPort>(self);
    system.workspace = std::make_shared<WorkspacePort>(self);
    registerKeys(keys);
}

// ---- deliveries ----

void SimPower::postInterestLocked(uint32_t messageType, uint64_t argument) {
    for (const auto& [id, registration] : interest_) {
        auto port = ports_.find(registration.port);
        if (port == ports_.end() || !port->second) {
            continue;
        }
        port->second->async([weak = weak_from_this(), id = id, messageType, argument] {
            auto self = weak.lock();
            if (!self) {
                return;
            }
            const auto registration = copyRegistration(self->mutex_, self->interest_, id,
                                                       [](const auto& r) { return r; });
            if (registration) {
                registration->handler(registration->service, messageType, argument);
            }
        });
    }
}

void SimPower::postPowerChangeLocked() {
    changes_->note();
    if (!runtime::isInstalled()) {
        return;
    }
    for (const auto& [source, registration] : powerRegistrations_) {
        if (!registration.onMainQueue) {
            continue;
        }
        runtime::mainQueue().async([weak = weak_from_this(), source = source] {
            auto self = weak.lock();
            if (!self) {
                return;
            }
            const auto callback = copyRegistration(self->mutex_, self->powerRegistrations_, source,
                                                   [](const auto& r) { return r.callback; });
            if (callback) {
                (*callback)();
            }
        });
    }
}

std::shared_ptr<runtime::Queue> SimPower::reconfigurationQueueLocked() {
    if (!reconfigurationQueue_) {
        reconfigurationQueue_ = runtime::current().makeSerialQueue("sim.display-reconfiguration");
    }
    return reconfigurationQueue_;
}

void SimPower::postReconfigurationLocked(std::vector<os::Displays::DisplayId> affected,
                                         uint32_t flags) {
    changes_->note();
    if (!runtime::isInstalled()) {
        return;
    }
    // The application hears of the new arrangement too, on the main queue.
    postWorkspaceLocked(os::Workspace::Notification::screenParametersDidChange);
    if (reconfiguration_.empty()) {
        return;
    }
    reconfigurationQueueLocked()->async(
        [weak = weak_from_this(), affected = std::move(affected), flags] {
            auto self = weak.lock();
            if (!self) {
                return;
            }
            // As the window server does: every affected display announces the change, then every
            // one reports it done.
            for (const uint32_t phase : {os::Displays::kBeginConfigurationFlag, flags}) {
                for (const auto display : affected) {
                    std::vector<uint64_t> ids;
                    {
                        std::lock_guard lock(self->mutex_);
                        for (const auto& entry : self->reconfiguration_) {
                            ids.push_back(entry.first);
                        }
                    }
                    for (const auto id : ids) {
                        const auto callback = copyRegistration(self->mutex_, self->reconfiguration_,
                                                               id, [](const auto& r) { return r; });
                        if (callback) {
                            (*callback)(display, phase);
                        }
                    }
                }
            }
        });
}

void SimPower::postWorkspaceLocked(os::Workspace::Notification notification) {
    if (!runtime::isInstalled()) {
        return;
    }
    for (const auto& [token, entry] : workspace_) {
        if (entry.first != notification) {
            continue;
        }
        runtime::mainQueue().async([weak = weak_from_this(), token = token] {
            auto self = weak.lock();
            if (!self) {
                return;
            }
            const auto handler = copyRegistration(self->mutex_, self->workspace_, token,
                                                  [](const auto& r) { return r.second; });
            if (handler) {
                (*handler)();
            }
        });
    }
}

// ---- sleep ----

bool SimPower::isAssertedLocked(const std::string& type) const {
    return std::any_of(assertions_.begin(), assertions_.end(),
                       [&](const Assertion& a) { return a.type == type; });
}

bool SimPower::keepsAwakeLocked() const {
    if (kernel_.flag()) {
        return true;
    }
    // The guard assertion and clamshell mode both need mains power.
    return !onBattery_ && (!externals_.empty() || isAssertedLocked(kPreventSystemSleep));
}

void SimPower::sleepLocked(const std::string& reason) {
    asleep_ = true;
    sleepEvents_.push_back(SleepEvent{now(), reason});
    changes_->note();
}

void SimPower::requestSleepLocked(const std::string& reason) {
    if (asleep_ || !runtime::isInstalled()) {
        return;
    }
    const uint64_t serial = ++sleepRequestSerial_;
    runtime::mainQueue().asyncAfter(sleepRequestDelay_, [weak = weak_from_this(), serial, reason] {
        auto self = weak.lock();
        if (!self) {
            return;
        }
        std::lock_guard lock(self->mutex_);
        // A later request supersedes this one.
        if (serial != self->sleepRequestSerial_ || self->asleep_ || self->lid_ != Lid::closed ||
            self->keepsAwakeLocked()) {
            return;
        }
        self->sleepLocked(reason);
    });
}

std::vector<os::Displays::DisplayId> SimPower::activeDisplaysLocked() const {
    std::vector<os::Displays::DisplayId> active;
    // With the lid shut and a monitor attached the panel goes dark and leaves the list.
    if (!(lid_ == Lid::closed && !externals_.empty())) {
        active.push_back(kBuiltinDisplay);
    }
    active.insert(active.end(), externals_.begin(), externals_.end());
    return active;
}

std::optional<os::PropertyValue> SimPower::propertyLocked(const std::string& name) const {
    if (name == kClamshellState) {
        switch (lid_) {
            case Lid::open:
                return boolean(false);
            case Lid::closed:
                return boolean(true);
            case Lid::unknown:
                return os::PropertyValue{std::nullopt, "<00>"};
            case Lid::absent:
                return std::nullopt;
        }
    }
    if (name == kClamshellCausesSleep) {
        return causesSleep_;
    }
    const auto all = propertiesLocked();
    if (auto it = all.find(name); it != all.end()) {
        return os::PropertyValue{std::nullopt, it->second};
    }
    return std::nullopt;
}

std::map<std::string, std::string> SimPower::propertiesLocked() const {
    std::map<std::string, std::string> all{
        {"IOClass", os::kRootDomainClass},
        {"SleepDisabled", "No"},
        {"System Boot Complete", "Yes"},
        {"IOSleepSupported", "Yes"},
    };
    if (auto state = propertyLocked(kClamshellState)) {
        all[kClamshellState] = state->description;
    }
    if (causesSleep_) {
        all[kClamshellCausesSleep] = causesSleep_->description;
    }
    return all;
}

void SimPower::setLidLocked(Lid lid, bool withEvents) {
    const Lid previous = lid_;
    lid_ = lid;
    if (!withEvents || previous == lid) {
        return;
    }
    changes_->note();
    const bool closed = lid == Lid::closed;
    const bool causesSleep = causesSleep_ && causesSleep_->number && *causesSleep_->number != 0;
    postInterestLocked(kClamshellStateChange, (closed ? 1u : 0u) | (causesSleep ? 2u : 0u));
    if (!externals_.empty() && (closed || previous == Lid::closed)) {
        postReconfigurationLocked({kBuiltinDisplay}, closed ? kDisplayRemoveFlag : kDisplayAddFlag);
    }
    if (closed) {
        if (!asleep_ && !keepsAwakeLocked()) {
            sleepLocked("lid closed");
        }
    } else if (asleep_) {
        asleep_ = false;
        postWorkspaceLocked(os::Workspace::Notification::didWake);
        postWorkspaceLocked(os::Workspace::Notification::screensDidWake);
    }
}

// ---- knobs: root power domain ----

void SimPower::setRootDomainPresent(bool present) {
    std::lock_guard lock(mutex_);
    rootDomainPresent_ = present;
}

void SimPower::setOpenFailure(std::optional<os::IoReturn> code) {
    std::lock_guard lock(mutex_);
    openFailure_ = code;
}

void SimPower::setRootDomainFailure(std::string cause) {
    std::lock_guard lock(mutex_);
    rootDomainFailure_ = std::move(cause);
}

void SimPower::setLidFlagFailure(std::string cause) {
    std::lock_guard lock(mutex_);
    lidFlagFailure_ = std::move(cause);
}

void SimPower::setRefuseFlag(bool refuse) {
    kernel_.setRefusing(refuse);
}

bool SimPower::kernelFlag() const {
    return kernel_.flag();
}

void SimPower::setOnScalarCall(std::function<void()> hook) {
    std::lock_guard lock(mutex_);
    onScalarCall_ = std::move(hook);
}

uint32_t SimPower::scalarCalls() const {
    return kernel_.scalarCalls();
}

int SimPower::openConnections() const {
    return kernel_.openCount();
}

int SimPower::heldServices() const {
    std::lock_guard lock(mutex_);
    return static_cast<int>(objects_.size());
}

void SimPower::setClamshellCausesSleep(std::optional<os::PropertyValue> value) {
    std::lock_guard lock(mutex_);
    causesSleep_ = std::move(value);
}

void SimPower::postInterestMessage(uint32_t messageType, uint64_t argument) {
    std::lock_guard lock(mutex_);
    postInterestLocked(messageType, argument);
}

int SimPower::interestRegistrations() const {
    std::lock_guard lock(mutex_);
    return static_cast<int>(interest_.size());
}

void SimPower::setFailNotificationPort(bool fail) {
    std::lock_guard lock(mutex_);
    failNotificationPort_ = fail;
}

void SimPower::setFailInterestRegistration(std::optional<os::IoReturn> code) {
    std::lock_guard lock(mutex_);
    failInterest_ = code;
}

// ---- knobs: assertions ----

void SimPower::setAssertionPolicy(AssertionPolicy policy) {
    std::lock_guard lock(mutex_);
    assertionPolicy_ = policy;
}

std::vector<SimPower::Assertion> SimPower::assertions() const {
    std::lock_guard lock(mutex_);
    return assertions_;
}

bool SimPower::isAsserted(const std::string& type) const {
    std::lock_guard lock(mutex_);
    return isAssertedLocked(type);
}

int SimPower::assertionsCreated() const {
    std::lock_guard lock(mutex_);
    return assertionsCreated_;
}

void SimPower::setFailAssertionRelease(bool fail) {
    std::lock_guard lock(mutex_);
    failAssertionRelease_ = fail;
}

// ---- knobs: lid and sleep ----

void SimPower::setLid(Lid lid) {
    std::function<void()> panelLit;
    {
        std::lock_guard lock(mutex_);
        // Any way out of the closed state lights the panel, as an opening lid does.
        if (lid != lid_ && lid != Lid::closed) {
            panelLit = onPanelLit_;
        }
        setLidLocked(lid, true);
    }
    if (panelLit) {
        panelLit();
    }
}

SimPower::Lid SimPower::lid() const {
    std::lock_guard lock(mutex_);
    return lid_;
}

std::vector<SimPower::SleepEvent> SimPower::sleepEvents() const {
    std::lock_guard lock(mutex_);
    return sleepEvents_;
}

bool SimPower::isAsleep() const {
    std::lock_guard lock(mutex_);
    return asleep_;
}

void SimPower::wake() {
    std::function<void()> panelLit;
    {
        std::lock_guard lock(mutex_);
        if (!asleep_) {
            return;
        }
        asleep_ = false;
        changes_->note();
        postWorkspaceLocked(os::Workspace::Notification::didWake);
        postWorkspaceLocked(os::Workspace::Notification::screensDidWake);
        panelLit = onPanelLit_;
    }
    if (panelLit) {
        panelLit();
    }
}

void SimPower::setOnPanelLit(std::function<void()> hook) {
    std::lock_guard lock(mutex_);
    onPanelLit_ = std::move(hook);
}

void SimPower::setSleepRequestDelay(double seconds) {
    std::lock_guard lock(mutex_);
    sleepRequestDelay_ = seconds;
}

double SimPower::sleepRequestDelay() const {
    std::lock_guard lock(mutex_);
    return sleepRequestDelay_;
}

void SimPower::daemonClearsFlag() {
    std::lock_guard lock(mutex_);
    const bool wasSet = kernel_.flag();
    kernel_.setFlag(false);
    if (wasSet) {
        changes_->note();
    }
    if (wasSet && lid_ == Lid::closed) {
        requestSleepLocked("lid-close flag cleared with the lid shut");
    }
}

void SimPower::idleTimerExpires() {
    std::lock_guard lock(mutex_);
    const bool held = isAssertedLocked(os::kPreventUserIdleSystemSleep) ||
                      (!onBattery_ && isAssertedLocked(kPreventSystemSleep));
    if (!asleep_ && !held) {
        sleepLocked("idle");
    }
}

// ---- knobs: power sources ----

void SimPower::setOnBattery(bool onBattery) {
    std::lock_guard lock(mutex_);
    if (onBattery_ == onBattery) {
        return;
    }
    onBattery_ = onBattery;
    postPowerChangeLocked();
    if (lid_ == Lid::closed) {
        requestSleepLocked("power source changed with the lid shut");
    }
}

bool SimPower::isOnBattery() const {
    std::lock_guard lock(mutex_);
    return onBattery_;
}

void SimPower::setBatteryPercent(std::optional<int> percent) {
    std::lock_guard lock(mutex_);
    sources_.clear();
    sources_.push_back(os::PowerSources::SourceDescription{
        percent ? std::optional<int64_t>(*percent) : std::nullopt, 100});
    postPowerChangeLocked();
}

std::optional<int> SimPower::batteryPercent() const {
    std::lock_guard lock(mutex_);
    if (sources_.empty() || !sources_.front() || !sources_.front()->currentCapacity ||
        !sources_.front()->maxCapacity || *sources_.front()->maxCapacity <= 0) {
        return std::nullopt;
    }
    return static_cast<int>(*sources_.front()->currentCapacity * 100 /
                            *sources_.front()->maxCapacity);
}

void SimPower::setPowerSources(
    std::vector<std::optional<os::PowerSources::SourceDescription>> sources) {
    std::lock_guard lock(mutex_);
    sources_ = std::move(sources);
    postPowerChangeLocked();
}

void SimPower::setPowerInfoAvailable(bool available) {
    std::lock_guard lock(mutex_);
    powerInfoAvailable_ = available;
    postPowerChangeLocked();
}

void SimPower::setProvidingTypeOverride(std::optional<std::string> type) {
    std::lock_guard lock(mutex_);
    providingTypeOverridden_ = true;
    providingTypeOverride_ = std::move(type);
}

void SimPower::setFailPowerNotifications(bool fail) {
    std::lock_guard lock(mutex_);
    failPowerNotifications_ = fail;
}

void SimPower::notifyPowerSources() {
    std::lock_guard lock(mutex_);
    postPowerChangeLocked();
}

int SimPower::powerNotificationSources() const {
    std::lock_guard lock(mutex_);
    return static_cast<int>(powerRegistrations_.size());
}

// ---- knobs: displays ----

os::Displays::DisplayId SimPower::attachExternal() {
    std::lock_guard lock(mutex_);
    const os::Displays::DisplayId display = nextDisplay_++;
    std::vector<os::Displays::DisplayId> affected;
    if (lid_ == Lid::closed && externals_.empty()) {
        affected.push_back(kBuiltinDisplay);  // the panel was active until now
    }
    affected.push_back(display);
    externals_.push_back(display);
    postReconfigurationLocked(std::move(affected), kDisplayAddFlag);
    return display;
}

void SimPower::detachExternal() {
    std::lock_guard lock(mutex_);
    if (externals_.empty()) {
        return;
    }
    const os::Displays::DisplayId display = externals_.back();
    externals_.pop_back();
    postReconfigurationLocked({display}, kDisplayRemoveFlag);
    if (lid_ == Lid::closed) {
        // The power daemon's habit: a closed laptop that loses a monitor should sleep, so it
        // drops the lid-close bit and asks for sleep.
        kernel_.setFlag(false);
        requestSleepLocked("external display disconnected with the lid shut");
    }
}

void SimPower::setExternalCount(int count) {
    while (externalCount() < count) {
        attachExternal();
    }
    while (externalCount() > count) {
        detachExternal();
    }
}

int SimPower::externalCount() const {
    std::lock_guard lock(mutex_);
    return static_cast<int>(externals_.size());
}

void SimPower::setActiveListError(os::Displays::Error error) {
    std::lock_guard lock(mutex_);
    activeListError_ = error;
}

void SimPower::setActiveListFillError(os::Displays::Error error) {
    std::lock_guard lock(mutex_);
    activeListFillError_ = error;
}

void SimPower::setRegistrationError(os::Displays::Error error) {
    std::lock_guard lock(mutex_);
    registrationError_ = error;
}

int SimPower::reconfigurationRegistrations() const {
    std::lock_guard lock(mutex_);
    return static_cast<int>(reconfiguration_.size());
}

// ---- knobs: workspace ----

void SimPower::postWorkspace(os::Workspace::Notification notification) {
    std::lock_guard lock(mutex_);
    postWorkspaceLocked(notification);
}

int SimPower::workspaceObservers() const {
    std::lock_guard lock(mutex_);
    return static_cast<int>(workspace_.size());
}

// ---- NOCTAVE_SIM ----

void SimPower::registerKeys(SimKeys& keys) {
    // Starting state only: set without events, before anything watches.
    keys.add("rootdomain", [this](std::string_view value) {
        std::lock_guard lock(mutex_);
        if (value == "ok") {
            rootDomainPresent_ = true;
            openFailure_.reset();
        } else if (value == "missing") {
            rootDomainPresent_ = false;
        } else if (value.substr(0, 9) == "openfail:") {
            std::string_view hex = value.substr(9);
            if (hex.substr(0, 2) == "0x" || hex.substr(0, 2) == "0X") {
                hex.remove_prefix(2);
            }
            uint32_t code = 0;
            const auto [end, error] =
                std::from_chars(hex.data(), hex.data() + hex.size(), code, 16);
            if (hex.empty() || error != std::errc{} || end != hex.data() + hex.size() ||
                code == 0) {
                return false;
            }
            rootDomainPresent_ = true;
            openFailure_ = static_cast<os::IoReturn>(code);
        } else {
            return false;
        }
        return true;
    });
    keys.addWords<void (*)(SimKernel&)>(
        "flag",
        {{"ok", [](SimKernel& kernel) { kernel.setRefusing(false); }},
         {"refuse", [](SimKernel& kernel) { kernel.setRefusing(true); }},
         {"refuseclear", [](SimKernel& kernel) { kernel.setRefusingClears(true); }}},
        [this](void (*apply)(SimKernel&)) { apply(kernel_); });
    // The two assertion keys are independent: refusing all wins over refusing one type.
    auto applyAssertionKeys = [this] {
        assertionPolicy_ = keyRefusesAssertions_    ? AssertionPolicy::refuseAll
                           : keyRefusesSystemSleep_ ? AssertionPolicy::refuseSystemSleep
                                                    : AssertionPolicy::allow;
    };
    const std::vector<std::pair<std::string_view, bool>> refusing = {{"ok", false},
                                                                     {"refuse", true}};
    keys.addWords("assertions", refusing, [this, applyAssertionKeys](bool refuse) {
        std::lock_guard lock(mutex_);
        keyRefusesAssertions_ = refuse;
        applyAssertionKeys();
    });
    keys.addWords("systemsleep", refusing, [this, applyAssertionKeys](bool refuse) {
        std::lock_guard lock(mutex_);
        keyRefusesSystemSleep_ = refuse;
        applyAssertionKeys();
    });
    keys.addWords<Lid>("lid",
                       {{"open", Lid::open},
                        {"closed", Lid::closed},
                        {"unknown", Lid::unknown},
                        {"absent", Lid::absent}},
                       [this](Lid lid) {
                           std::lock_guard lock(mutex_);
                           setLidLocked(lid, false);
                       });
    keys.addWords<bool>("power", {{"ac", false}, {"battery", true}}, [this](bool onBattery) {
        std::lock_guard lock(mutex_);
        onBattery_ = onBattery;
    });
    keys.add("battery", [this](std::string_view value) {
        std::lock_guard lock(mutex_);
        int percent = 0;
        if (value == "none") {
            sources_.clear();
        } else if (parseInt(value, percent) && percent >= 0 && percent <= 100) {
            sources_ = {os::PowerSources::SourceDescription{percent, 100}};
        } else {
            return false;
        }
        return true;
    });
    keys.add("externals", [this](std::string_view value) {
        std::lock_guard lock(mutex_);
        int count = 0;
        if (!parseInt(value, count) || count < 0 || count > 8) {
            return false;
        }
        externals_.clear();
        for (int i = 0; i < count; ++i) {
            externals_.push_back(nextDisplay_++);
        }
        return true;
    });
}

}  // namespace noctave::sim
