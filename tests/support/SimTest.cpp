#include "tests/support/SimTest.hpp"

#include "core/support/Log.hpp"
#include "core/support/Prefs.hpp"

namespace noctave::test {

SimTest::SimTest() {
    Log::setVerbose(false);
    Prefs::registerDefaults();
}

SimTest::~SimTest() {
    // Let queued file appends finish while the laptop's folder still exists.
    runtime.runUntilIdle();
    Log::setVerbose(false);
}

}  // namespace noctave::test
