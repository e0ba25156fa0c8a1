#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "core/os/System.hpp"
#include "core/runtime/ManualRuntime.hpp"
#include "platform/sim/VirtualLaptop.hpp"
#include "tests/support/LogCapture.hpp"
#include "tests/support/TempDir.hpp"

namespace noctave::test {

// The base of core tests: a virtual laptop in virtual time, its files in a temporary folder,
// the log captured, the preference defaults registered. Member order matters: the runtime and
// the laptop are installed before anything a test builds and removed after it.
class SimTest : public ::testing::Test {
  protected:
    SimTest();
    ~SimTest() override;

    // Runs everything due now / within `seconds` of virtual time.
    void runUntilIdle() { runtime.runUntilIdle(); }
    void advance(double seconds) { runtime.advance(seconds); }

    TempDir temp;
    runtime::ManualRuntime runtime;
    runtime::RuntimeInstaller runtimeInstaller{runtime};
    sim::VirtualLaptop laptop{temp.path()};
    os::SystemInstaller systemInstaller{laptop.system()};
    LogCapture log;
};

}  // namespace noctave::test
