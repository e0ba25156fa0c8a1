#pragma once

#include <memory>
#include <string>

#include "tests/support/ChildProcess.hpp"
#include "tests/support/TempDir.hpp"

namespace noctave::test {

// A dbus-daemon of the test's own ("system" or "session" in type only), listening in a
// temporary folder, where anyone may own a name, send anything and eavesdrop. Nothing real can
// start on it: it has no service folders.
class BusDaemon {
  public:
    // `openToEveryUser`: the folder is opened to other users too, so that a client running as
    // another user can reach the policy's decision.
    explicit BusDaemon(const std::string& type, bool openToEveryUser = false);

    // The address to connect to; empty when the daemon did not start.
    const std::string& address() const { return address_; }
    const TempDir& folder() const { return dir_; }

  private:
    TempDir dir_;
    std::unique_ptr<ChildProcess> daemon_;
    std::string address_;
};

}  // namespace noctave::test
