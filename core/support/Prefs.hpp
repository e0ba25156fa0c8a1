#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace noctave::Prefs {

// The user's settings. Every accessor reads the user-defaults store afresh; every setter writes
// at once. registerDefaults() must run before the first read.
void registerDefaults();

bool armWithGesture();
void setArmWithGesture(bool value);

bool armWithRightClick();
void setArmWithRightClick(bool value);

bool armWithShortcut();
void setArmWithShortcut(bool value);

bool stayOnAfterOpeningLid();
void setStayOnAfterOpeningLid(bool value);

bool disarmOnLowBattery();
void setDisarmOnLowBattery(bool value);

// Stored as "lowBatteryDisarmPercent". Not range-checked: a value written from outside is used
// as it stands.
int64_t lowBatteryPercent();
void setLowBatteryPercent(int64_t value);

// Stored as "keepAwakeWithLidOpen".
bool keepAwake();
void setKeepAwake(bool value);

bool openAtLogin();
void setOpenAtLogin(bool value);

// Setting it also sets Log's verbose switch.
bool verboseLogging();
void setVerboseLogging(bool value);

bool automaticUpdates();
void setAutomaticUpdates(bool value);

bool hasSeenOnboarding();
void setHasSeenOnboarding(bool value);

// Stored as "thermalCutoffC": the temperature that ends a lid-shut session, in degrees
// Celsius; 0 (the default) lets the sensor's own critical trip point decide.
int64_t thermalCutoffCelsius();
void setThermalCutoffCelsius(int64_t value);

// Stored as "holdWhileRunning", one pattern a line: while a process of the user whose name
// matches one of them runs, the session is held. Blank lines are skipped.
std::vector<std::string> holdWhileRunning();
void setHoldWhileRunning(const std::vector<std::string>& patterns);

}  // namespace noctave::Prefs
