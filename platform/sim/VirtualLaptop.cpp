#include "platform/sim/VirtualLaptop.hpp"

#include <stdlib.h>

#include <string>
#include <system_error>

#include "platform/sim/SimChangeNotifier.hpp"
#include "platform/sim/SimHinge.hpp"
#include "platform/sim/SimHotKeys.hpp"
#include "platform/sim/SimHttpClient.hpp"
#include "platform/sim/SimKeyboard.hpp"
#include "platform/sim/SimLidUser.hpp"
#include "platform/sim/SimPower.hpp"
#include "platform/sim/SimProcesses.hpp"
#include "platform/sim/SimReduceMotion.hpp"
#include "platform/sim/SimScreen.hpp"

namespace noctave::sim {

namespace fs = std::filesystem;

namespace {
fs::path makeTemporaryRoot() {
    std::string pattern = (fs::temp_directory_path() / "noctave-sim-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        return fs::temp_directory_path() / "noctave-sim";
    }
    return pattern;
}
}  // namespace

VirtualLaptop::VirtualLaptop(fs::path root) : root_(std::move(root)) {
    if (root_.empty()) {
        root_ = makeTemporaryRoot();
        ownsRoot_ = true;
    }
    std::error_code ignored;
    fs::create_directories(root_, ignored);
    system_.paths = std::make_shared<SimPaths>(root_);
    processes_ = std::make_shared<SimProcesses>();
    system_.processes = processes_;
    processes_->registerKeys(keys_);
    http_ = std::make_shared<SimHttpClient>();
    system_.httpClient = http_;
    hotKeys_ = std::make_shared<SimHotKeys>();
    system_.hotKeys = hotKeys_;
    hotKeys_->registerKeys(keys_);
    hinge_ = std::make_shared<SimHinge>();
    system_.hidManager = hinge_;
    hinge_->registerKeys(keys_);
    keyboard_ = std::make_shared<SimKeyboard>();
    system_.keyboardState = keyboard_;
    keyboard_->registerKeys(keys_);
    reduceMotion_ = std::make_shared<SimReduceMotion>();
    system_.reduceMotion = reduceMotion_;
    reduceMotion_->registerKeys(keys_);
    changes_ = SimChangeNotifier::make();
    power_ = SimPower::make(changes_);
    power_->install(*this);
    screen_ = SimScreen::make(changes_);
    screen_->install(*this);     // after the power hardware that lights its panel
    SimLidUser::install(*this);  // after the lid and hinge it drives
}

VirtualLaptop::~VirtualLaptop() {
    if (ownsRoot_) {
        std::error_code ignored;
        fs::remove_all(root_, ignored);
    }
}

void VirtualLaptop::setOnChange(std::function<void()> observer) {
    changes_->setObserver(std::move(observer));
}

bool VirtualLaptop::configure(std::string_view spec, std::string* error) {
    return keys_.configure(spec, error);
}

}  // namespace noctave::sim
