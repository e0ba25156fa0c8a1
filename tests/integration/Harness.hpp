#pragma once

#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace noctave::test {

// A program run beside the test (an X server, a bus, a mock service) until the object goes.
// Servers print their display or address on their output once ready: see line().
class Server {
  public:
    explicit Server(const std::string& command)
        : output_(::popen(("echo $$; exec " + command).c_str(), "re")),
          pid_(std::atoi(line().c_str())) {}
    ~Server() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
        }
        ::pclose(output_);
    }
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // The next line of the output; empty once the program is gone.
    std::string line() {
        char text[512];
        return std::fgets(text, sizeof text, output_) != nullptr
                   ? std::string(text, std::strcspn(text, "\n"))
                   : std::string();
    }

  private:
    FILE* output_;
    int pid_;
};

inline bool hasProgram(const std::string& name) {
    return std::system(("command -v " + name + " >/dev/null").c_str()) == 0;
}

}  // namespace noctave::test
