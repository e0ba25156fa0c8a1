#include "app/diagnostics/Diagnose.hpp"

#include <algorithm>
#include <cctype>
#include <set>
#include <string_view>

#include "app/diagnostics/DiagnosticSupport.hpp"
#include "core/os/PowerManagement.hpp"
#include "core/os/System.hpp"
#include "core/os/Vocabulary.hpp"
#include "core/power/LidSleepPolicy.hpp"
#include "core/session/Recovery.hpp"

namespace noctave::app::Diagnose {

namespace {

using diagnostics::printLine;

constexpr std::size_t kShownLength = 160;
constexpr double kSettleSeconds = 0.35;
constexpr uint32_t kAssertionOn = 255;

// The first 160 characters, counted as code points so that a value is never cut inside a
// UTF-8 sequence (a cut one would print as garbage).
std::string shortened(const std::string& value) {
    std::size_t characters = 0;
    for (std::size_t i = 0; i < value.size(); ++i) {
        const bool startsCharacter = (static_cast<unsigned char>(value[i]) & 0xC0) != 0x80;
        if (startsCharacter && characters++ == kShownLength) {
            return value.substr(0, i);
        }
    }
    return value;
}

// Prints one three-line item per key whose value differs between the two snapshots, over the
// union of their keys in ascending order. Returns whether any item was printed.
bool printDifferences(const std::map<std::string, std::string>& before,
                      const std::map<std::string, std::string>& other,
                      std::string_view otherLabel) {
    std::set<std::string> keys;
    for (const auto& entry : before) {
        keys.insert(entry.first);
    }
    for (const auto& entry : other) {
        keys.insert(entry.first);
    }
    const auto valueOf = [](const std::map<std::string, std::string>& snapshot,
                            const std::string& key) -> std::string {
        const auto found = snapshot.find(key);
        return found == snapshot.end() ? "<absent>" : found->second;
    };
    bool any = false;
    for (const auto& key : keys) {
        const std::string first = valueOf(before, key);
        const std::string second = valueOf(other, key);
        if (first == second) {
            continue;
        }
        any = true;
        printLine("  " + key);
        printLine("      before: " + shortened(first));
        printLine(std::string("      ") + std::string(otherLabel) + shortened(second));
    }
    return any;
}

bool isLidCloseRelated(const std::string& key) {
    std::string lower = key;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return lower.find("lid-close") != std::string::npos ||
           lower.find("sleepdisabled") != std::string::npos;
}

// Takes keep-awake's assertion for a moment and says what it took, where the backend tells.
void printKeepAwakeInhibitions() {
    auto power = os::system().powerManagement;
    os::AssertionId id = 0;
    if (!power || power->createAssertion("PreventUserIdleSystemSleep", kAssertionOn,
                                         "Noctave diagnose", &id) != 0) {
        return;
    }
    const auto held = propertySnapshot();
    power->releaseAssertion(id);
    const auto found = held.find("keep-awake inhibitions");
    if (found != held.end()) {
        printLine("\n--- keep-awake inhibitions taken ---");
        printLine("  " + found->second);
    }
}

}  // namespace

std::map<std::string, std::string> propertySnapshot() {
    std::map<std::string, std::string> snapshot;
    auto power = os::system().powerManagement;
    if (!power) {
        return snapshot;
    }
    const os::IoObject service = power->matchingService(os::kRootDomainClass);
    if (service == 0) {
        return snapshot;
    }
    if (auto properties = power->registryProperties(service)) {
        for (auto& [key, description] : *properties) {
            std::replace(description.begin(), description.end(), '\n', ' ');
            snapshot.emplace(key, std::move(description));
        }
    }
    power->releaseObject(service);
    return snapshot;
}

int run() {
    auto policy = diagnostics::openLidSleepPolicy();
    if (!policy) {
        printLine("could not open " + os::vocabulary().powerService());
        return 1;
    }
    Recovery::installSignalHandlers();

    const auto baseline = propertySnapshot();
    printLine(os::vocabulary().powerService() + " properties: " + std::to_string(baseline.size()));

    if (!policy->set(true)) {
        const os::Vocabulary& words = os::vocabulary();
        printLine(words.lidFlagCall() + " (" + words.lidFlagArgument(true) + ") FAILED");
        return 1;
    }
    diagnostics::pause(kSettleSeconds);
    const auto during = propertySnapshot();

    Recovery::guardedClear(*policy);
    diagnostics::pause(kSettleSeconds);
    const auto after = propertySnapshot();

    printLine("\n--- changed while flag was SET ---");
    if (!printDifferences(baseline, during, "during: ")) {
        printLine("  (no observable property change)");
    }

    printLine("\n--- did everything return to baseline? ---");
    if (!printDifferences(baseline, after, "after:  ")) {
        printLine("  yes - clean restore");
    }

    printKeepAwakeInhibitions();

    printLine("\n--- lid-close-related properties now ---");
    for (const auto& [key, value] : after) {
        if (isLidCloseRelated(key)) {
            printLine("  " + key + " = " + value);
        }
    }
    return 0;
}

}  // namespace noctave::app::Diagnose
