#include "platform/sim/VirtualLaptop.hpp"

#include <stdlib.h>

#include <string>
#include <system_error>

#include "core/os/Vocabulary.hpp"
#include "platform/sim/SimChangeNotifier.hpp"
#include "platform/sim/SimHinge.hpp"
#include "platform/sim/SimHotKeys.hpp"
#include "platform/sim/SimHttpClient.hpp"
#include "platform/sim/SimKeyboard.hpp"
#include "platform/sim/SimLidUser.hpp"
#include "platform/sim/SimNotifications.hpp"
#include "platform/sim/SimPower.hpp"
#include "platform/sim/SimProcesses.hpp"
#include "platform/sim/SimReduceMotion.hpp"
#include "platform/sim/SimScreen.hpp"
#include "platform/sim/SimThermal.hpp"

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

// One piece of hardware that fills one port: made, put in its place, its keys added.
template <class Piece, class Port>
std::shared_ptr<Piece> attach(std::shared_ptr<Port>& port, SimKeys& keys) {
    auto piece = std::make_shared<Piece>();
    port = piece;
    if constexpr (requires { piece->registerKeys(keys); }) {
        piece->registerKeys(keys);
    }
    return piece;
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
    system_.vocabulary = std::make_shared<os::MacVocabulary>();
    processes_ = attach<SimProcesses>(system_.processes, keys_);
    http_ = attach<SimHttpClient>(system_.httpClient, keys_);
    hotKeys_ = attach<SimHotKeys>(system_.hotKeys, keys_);
    hinge_ = attach<SimHinge>(system_.hidManager, keys_);
    keyboard_ = attach<SimKeyboard>(system_.keyboardState, keys_);
    reduceMotion_ = attach<SimReduceMotion>(system_.reduceMotion, keys_);
    thermal_ = attach<SimThermal>(system_.thermal, keys_);
    notifications_ = attach<SimNotifications>(system_.notifications, keys_);
    changes_ = SimChangeNotifier::make();
    power_ = SimPower::make(changes_);
    power_->install(system_, keys_);
    screen_ = SimScreen::make(changes_);
    screen_->install(system_, *power_);            // after the power hardware that lights its panel
    SimLidUser::install(*power_, *hinge_, keys_);  // after the lid and hinge it drives
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
