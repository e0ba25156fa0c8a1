#pragma once

#include <sys/types.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace noctave::test {

// How a program is started beside the test.
struct ProgramOptions {
    // Added to the test's own environment, replacing a variable of the same name.
    std::vector<std::pair<std::string, std::string>> set{};
    // Removed from it first; a name ending in '*' removes every variable with that prefix.
    std::vector<std::string> unset{};
    std::filesystem::path workingDirectory{};  // empty: the test's
    // Empty: captured. Else the stream is appended to that file ("/dev/null", "/dev/full").
    std::filesystem::path standardOutput{};
    std::filesystem::path standardError{};
    // The program leads a process group of its own, so that signals and the final kill reach
    // whatever it started too.
    bool ownProcessGroup = false;
};

// How a program ended and what it printed on the captured streams.
struct ProgramRun {
    int status = -1;        // the exit status; -1 when it did not exit by itself
    int signal = 0;         // the signal that ended it; 0 when it exited
    bool timedOut = false;  // still running at the deadline, and killed
    std::string out;
    std::string err;
};

enum class Stream { output, error };

// A program started by the test (found on PATH when the name has no slash), with standard
// input on /dev/null. Reads wait with a deadline and never sleep. Whatever the test does, the
// program is reaped exactly once: by wait(), or by the destructor, which ends it first
// (SIGTERM, then SIGKILL after five seconds).
class ChildProcess {
  public:
    ChildProcess(const std::string& program, const std::vector<std::string>& arguments,
                 const ProgramOptions& options = {});
    // A fork of the test itself that runs `body` and exits with what it returns; nothing is
    // captured. For what only a separate process can show: a death by signal, another user,
    // state that latches for the rest of a process.
    explicit ChildProcess(const std::function<int()>& body);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Why the program could not be started; empty when it runs.
    const std::string& failure() const { return failure_; }
    pid_t pid() const { return pid_; }

    // Sends `signalNumber` to the program alone, or to its whole group (when it leads one).
    // False once it is reaped.
    bool signal(int signalNumber);
    bool signalGroup(int signalNumber);

    // The next line of a captured stream, without its newline; nothing once the deadline
    // passes or the stream ends.
    std::optional<std::string> line(Stream stream, double seconds = 20);
    // Reads lines until one contains `text`.
    bool waitForLine(Stream stream, const std::string& text, double seconds = 30);
    // Waits until the program stops itself (SIGSTOP); false when it ended instead.
    bool waitUntilStopped();

    // Waits for the end, reading both captured streams; still running at the deadline, it is
    // killed. The streams hold everything printed since the start, lines read above included.
    ProgramRun wait(double seconds = 60);

  private:
    struct Capture {
        int fd = -1;
        std::string text;
        std::size_t read = 0;  // how much of `text` line() has handed out
    };
    Capture& capture(Stream stream) { return stream == Stream::output ? out_ : err_; }
    // Reads whatever arrives until the deadline, or until `done` holds or nothing more can come.
    void pump(double seconds, const std::function<bool()>& done);
    // waitpid with `options`; true when the program stopped rather than ended.
    bool collect(int options);

    pid_t pid_ = -1;
    bool group_ = false;
    bool reaped_ = false;
    int pidfd_ = -1;
    std::optional<int> waitStatus_;  // as waitpid gave it
    Capture out_;
    Capture err_;
    std::string failure_;
};

// Starts a program, waits for its end (at most `seconds`) and returns what it left.
ProgramRun runProgram(const std::string& program, const std::vector<std::string>& arguments,
                      const ProgramOptions& options = {}, double seconds = 60);

// A command line written as one string, split at its spaces.
std::vector<std::string> words(const std::string& line);

// Whether `name` is an executable program on PATH.
bool hasProgram(const std::string& name);

}  // namespace noctave::test
