#include "core/support/Prefs.hpp"

#include <string>
#include <vector>

#include "core/support/Log.hpp"
#include "core/support/UserDefaults.hpp"

namespace noctave::Prefs {

namespace {
UserDefaults& store() {
    return UserDefaults::standard();
}

bool readBool(const char* key) {
    return store().boolForKey(key);
}
void writeBool(const char* key, bool value) {
    store().set(key, value);
}
}  // namespace

void registerDefaults() {
    // Registered in this order, as one table; never written to disk.
    store().registerDefaults({
        {"armWithGesture", true},
        {"armWithRightClick", true},
        {"armWithShortcut", true},
        {"stayOnAfterOpeningLid", false},
        {"disarmOnLowBattery", true},
        {"lowBatteryDisarmPercent", int64_t{20}},
        {"keepAwakeWithLidOpen", false},
        {"openAtLogin", false},
        {"verboseLogging", false},
        {"automaticUpdates", true},
        {"hasSeenOnboarding", false},
        {"thermalCutoffC", int64_t{0}},
        {"holdWhileRunning", std::string()},
    });
}

bool armWithGesture() {
    return readBool("armWithGesture");
}
void setArmWithGesture(bool value) {
    writeBool("armWithGesture", value);
}

bool armWithRightClick() {
    return readBool("armWithRightClick");
}
void setArmWithRightClick(bool value) {
    writeBool("armWithRightClick", value);
}

bool armWithShortcut() {
    return readBool("armWithShortcut");
}
void setArmWithShortcut(bool value) {
    writeBool("armWithShortcut", value);
}

bool stayOnAfterOpeningLid() {
    return readBool("stayOnAfterOpeningLid");
}
void setStayOnAfterOpeningLid(bool value) {
    writeBool("stayOnAfterOpeningLid", value);
}

bool disarmOnLowBattery() {
    return readBool("disarmOnLowBattery");
}
void setDisarmOnLowBattery(bool value) {
    writeBool("disarmOnLowBattery", value);
}

int64_t lowBatteryPercent() {
    return store().integerForKey("lowBatteryDisarmPercent");
}
void setLowBatteryPercent(int64_t value) {
    store().set("lowBatteryDisarmPercent", value);
}

bool keepAwake() {
    return readBool("keepAwakeWithLidOpen");
}
void setKeepAwake(bool value) {
    writeBool("keepAwakeWithLidOpen", value);
}

bool openAtLogin() {
    return readBool("openAtLogin");
}
void setOpenAtLogin(bool value) {
    writeBool("openAtLogin", value);
}

bool verboseLogging() {
    return readBool("verboseLogging");
}
void setVerboseLogging(bool value) {
    writeBool("verboseLogging", value);
    Log::setVerbose(value);
}

bool automaticUpdates() {
    return readBool("automaticUpdates");
}
void setAutomaticUpdates(bool value) {
    writeBool("automaticUpdates", value);
}

bool hasSeenOnboarding() {
    return readBool("hasSeenOnboarding");
}
void setHasSeenOnboarding(bool value) {
    writeBool("hasSeenOnboarding", value);
}

int64_t thermalCutoffCelsius() {
    return store().integerForKey("thermalCutoffC");
}
void setThermalCutoffCelsius(int64_t value) {
    store().set("thermalCutoffC", value);
}

std::vector<std::string> holdWhileRunning() {
    std::vector<std::string> patterns;
    const std::string text = store().stringForKey("holdWhileRunning").value_or(std::string());
    std::size_t start = 0;
    while (start <= text.size()) {
        auto end = text.find('\n', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        auto line = text.substr(start, end - start);
        const auto first = line.find_first_not_of(" \t\r");
        if (first != std::string::npos) {
            const auto last = line.find_last_not_of(" \t\r");
            patterns.push_back(line.substr(first, last - first + 1));
        }
        start = end + 1;
    }
    return patterns;
}
void setHoldWhileRunning(const std::vector<std::string>& patterns) {
    std::string text;
    for (const auto& pattern : patterns) {
        text += (text.empty() ? "" : "\n") + pattern;
    }
    store().set("holdWhileRunning", text);
}

}  // namespace noctave::Prefs
