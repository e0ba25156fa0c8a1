#include "platform/sim/VirtualLaptop.hpp"

#include <stdlib.h>

#include <string>
#include <system_error>

#include "platform/sim/SimHinge.hpp"
#include "platform/sim/SimHotKeys.hpp"
#include "platform/sim/SimHttpClient.hpp"
#include "platform/sim/SimKeyboard.hpp"
#include "platform/sim/SimLidUser.hpp"
#include "platform/sim/SimPower.hpp"
#include "platform/sim/SimProcesses.hpp"
#include "platform/sim/SimReduceMotion.hpp"

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

std::string_view trim(std::string_view text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
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
    processes_->registerKeys(*this);
    http_ = std::make_shared<SimHttpClient>();
    system_.httpClient = http_;
    hotKeys_ = std::make_shared<SimHotKeys>();
    system_.hotKeys = hotKeys_;
    hotKeys_->registerKeys(*this);
    hinge_ = std::make_shared<SimHinge>();
    system_.hidManager = hinge_;
    hinge_->registerKeys(*this);
    keyboard_ = std::make_shared<SimKeyboard>();
    system_.keyboardState = keyboard_;
    keyboard_->registerKeys(*this);
    reduceMotion_ = std::make_shared<SimReduceMotion>();
    system_.reduceMotion = reduceMotion_;
    reduceMotion_->registerKeys(*this);
    power_ = SimPower::make();
    power_->install(*this);
    SimLidUser::install(*this);  // after the lid and hinge it drives
}

VirtualLaptop::~VirtualLaptop() {
    if (ownsRoot_) {
        std::error_code ignored;
        fs::remove_all(root_, ignored);
    }
}

void VirtualLaptop::registerKey(std::string key, KeyHandler handler) {
    keys_.insert_or_assign(std::move(key), std::move(handler));
}

bool VirtualLaptop::configure(std::string_view spec, std::string* error) {
    while (!spec.empty()) {
        const auto comma = spec.find(',');
        const std::string_view piece = trim(spec.substr(0, comma));
        spec = comma == std::string_view::npos ? std::string_view{} : spec.substr(comma + 1);
        if (piece.empty()) {
            continue;
        }
        const auto equals = piece.find('=');
        const std::string_view key = trim(piece.substr(0, equals));
        const std::string_view value =
            equals == std::string_view::npos ? std::string_view{} : trim(piece.substr(equals + 1));
        auto handler = keys_.find(key);
        if (handler == keys_.end()) {
            if (error != nullptr) {
                *error = "unknown NOCTAVE_SIM key: " + std::string(key);
            }
            return false;
        }
        if (equals == std::string_view::npos || !handler->second(value)) {
            if (error != nullptr) {
                *error =
                    "bad NOCTAVE_SIM value for " + std::string(key) + ": " + std::string(value);
            }
            return false;
        }
    }
    return true;
}

}  // namespace noctave::sim
