#include "core/os/System.hpp"

#include <atomic>

#include "core/os/Paths.hpp"
#include "core/os/Vocabulary.hpp"

namespace noctave::os {

namespace {
std::atomic<System*> gSystem{nullptr};

System& fallbackSystem() {
    static System fallback = [] {
        System made;
        made.paths = std::make_shared<EnvPaths>();
        return made;
    }();
    return fallback;
}
}  // namespace

System& system() {
    System* installed = gSystem.load(std::memory_order_acquire);
    return installed != nullptr ? *installed : fallbackSystem();
}

bool isSystemInstalled() {
    return gSystem.load(std::memory_order_acquire) != nullptr;
}

const Vocabulary& vocabulary() {
    static const MacVocabulary mac;
    const auto& installed = system().vocabulary;
    if (installed) {
        return *installed;
    }
    return mac;
}

SystemInstaller::SystemInstaller(System& system)
    : previous_(gSystem.exchange(&system, std::memory_order_acq_rel)) {}

SystemInstaller::~SystemInstaller() {
    gSystem.store(previous_, std::memory_order_release);
}

}  // namespace noctave::os
