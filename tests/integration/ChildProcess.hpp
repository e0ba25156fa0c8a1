#pragma once

#include <sys/types.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace noctave::test {

// A helper program a test runs beside itself (an X server, a bus, a mock service). It is
// terminated and reaped when the object goes.
class ChildProcess {
  public:
    // Starts `argv` with `environment` added to this process's. When `reportFd` is given,
    // the child's descriptor of that number is the write end of a pipe the test reads with
    // readLine (for servers that print their address or display number when ready).
    ChildProcess(std::vector<std::string> argv, std::map<std::string, std::string> environment,
                 std::optional<int> reportFd = std::nullopt);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    ChildProcess(ChildProcess&& other) noexcept;
    ChildProcess& operator=(ChildProcess&&) = delete;

    bool isRunning() const { return pid_ > 0; }
    // The next line from the report pipe, or nothing when none came within `seconds`.
    std::optional<std::string> readLine(double seconds);
    // Waits for the child to exit; its exit status, or -1.
    int wait();

    // Runs `argv` to its end; its exit status, or -1 when it could not run.
    static int run(std::vector<std::string> argv, std::map<std::string, std::string> environment);

  private:
    pid_t pid_ = -1;
    int reportRead_ = -1;
    std::string buffered_;
};

// True when `program` is an executable in PATH (or an absolute path to one).
bool hasProgram(const std::string& program);

}  // namespace noctave::test
