#pragma once

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>

#include "core/os/Paths.hpp"
#include "core/os/System.hpp"
#include "platform/sim/SimKeys.hpp"

namespace noctave::sim {

class SimProcesses;
class SimHttpClient;
class SimHotKeys;
class SimHinge;
class SimKeyboard;
class SimReduceMotion;
class SimPower;
class SimScreen;
class SimChangeNotifier;
class SimThermal;
class SimNotifications;

// Files of the virtual laptop live under one folder (a test's temporary folder).
class SimPaths final : public os::Paths {
  public:
    explicit SimPaths(std::filesystem::path root) : root_(std::move(root)) {}
    std::filesystem::path applicationSupport() const override { return root_ / "state"; }
    std::filesystem::path userDefaultsFile() const override {
        return root_ / "config" / "com.quillor.noctave.conf";
    }
    // Its own, and no system-wide one: the virtual laptop never touches the user's desktop.
    std::vector<std::filesystem::path> autostartFolders() const override {
        return {root_ / "config" / "autostart"};
    }
    const std::filesystem::path& root() const { return root_; }

  private:
    std::filesystem::path root_;
};

// The simulated machine that plays the Mac: every port of os::System over in-memory hardware,
// with knobs for tests and recorded outputs. Hardware reports are delivered on the queues the
// ports promise, through the installed runtime.
//
// Its starting state can be given as "key=value,key=value" (NOCTAVE_SIM); each piece of
// hardware registers the keys it understands.
class VirtualLaptop {
  public:
    // `root`: where its files live. Empty: a fresh temporary folder, removed on destruction.
    explicit VirtualLaptop(std::filesystem::path root = {});
    ~VirtualLaptop();
    VirtualLaptop(const VirtualLaptop&) = delete;
    VirtualLaptop& operator=(const VirtualLaptop&) = delete;

    os::System& system() { return system_; }
    const std::filesystem::path& root() const { return root_; }
    SimProcesses& processes() { return *processes_; }
    SimHttpClient& http() { return *http_; }
    SimHotKeys& hotKeys() { return *hotKeys_; }
    SimHinge& hinge() { return *hinge_; }
    SimKeyboard& keyboard() { return *keyboard_; }
    SimReduceMotion& reduceMotion() { return *reduceMotion_; }
    SimThermal& thermal() { return *thermal_; }
    SimNotifications& notifications() { return *notifications_; }
    // Root power domain, assertions, lid, power sources, displays.
    SimPower& power() { return *power_; }
    // Instant display sleep, the panel, the session lock.
    SimScreen& screen() { return *screen_; }

    // Called on the main queue after something a person could see changed on the power
    // hardware or the screen: the bit, the assertions, the lid, sleep, power, displays, the lock
    // or the panel. Changes in a row make one call. One observer; an empty function removes it.
    // Never called while none is set.
    void setOnChange(std::function<void()> observer);

    // Applies "key=value,key=value" through the keys every piece of hardware added (SimKeys).
    bool configure(std::string_view spec, std::string* error);
    SimKeys& keys() { return keys_; }

  private:
    std::filesystem::path root_;
    bool ownsRoot_ = false;
    os::System system_;
    std::shared_ptr<SimProcesses> processes_;
    std::shared_ptr<SimHttpClient> http_;
    std::shared_ptr<SimHotKeys> hotKeys_;
    std::shared_ptr<SimHinge> hinge_;
    std::shared_ptr<SimKeyboard> keyboard_;
    std::shared_ptr<SimReduceMotion> reduceMotion_;
    std::shared_ptr<SimThermal> thermal_;
    std::shared_ptr<SimNotifications> notifications_;
    std::shared_ptr<SimChangeNotifier> changes_;
    std::shared_ptr<SimPower> power_;
    std::shared_ptr<SimScreen> screen_;
    SimKeys keys_;
};

}  // namespace noctave::sim
