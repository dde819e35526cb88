// A program run as a child process for the tests that start real programs (vornserv,
// install): its standard output captured on a pipe, signals, waiting for its end, and the
// port it reports in vornserv's start-up line. The child is killed when its owner goes.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace vorn::test {

using Clock = std::chrono::steady_clock;

// Milliseconds left until `deadline`, 0 once it has passed.
int remainingms(Clock::time_point deadline);

// A program run in a chosen directory, its standard output on a pipe.
class ChildProcess {
  public:
    ChildProcess() = default;
    ChildProcess(const ChildProcess &) = delete;
    ChildProcess &operator=(const ChildProcess &) = delete;
    ~ChildProcess();

    // Starts `path` with `args` in `dir`; `env` entries (NAME=VALUE) are added to this
    // process's environment. False when the pipe or the fork failed.
    bool start(const std::string &path, const std::vector<std::string> &args,
               const std::string &dir = ".", const std::vector<std::string> &env = {});

    // Reads standard output until a whole line starting with `prefix` is there (at most ms);
    // that line without its end, or "" on timeout or end of output.
    std::string waitline(const std::string &prefix, int ms);

    // Everything the child printed, reading until it closes its output (at most ms).
    std::string output(int ms = 5000);

    // Sends `sig` to the child; nothing when no child is running.
    void signal(int sig) const;

    // True while the child has been started and not yet waited for.
    bool running() const;

    // Waits for the child's exit: its exit status, -2 when a signal ended it, -1 when it is
    // still running after ms (it is then killed) or was never started.
    int wait(int ms);

  private:
    // Appends what arrives within ms; false at end of output or on timeout.
    bool readsome(int ms);
    void kill();

    pid_t pid_ = -1;
    int out_ = -1;
    std::string output_;
};

// Reads vornserv's start-up line "vornserv listening on ADDR:PORT" from `child` (at most ms):
// the port, or 0 when the line did not come.
std::uint16_t listeningport(ChildProcess &child, int ms);

// Runs a program to its end: exit status (-1 when it didn't end in time) and its output.
struct RunResult {
    int status;
    std::string out;
};

RunResult runprogram(const std::string &path, const std::vector<std::string> &args,
                     const std::vector<std::string> &env = {});

}  // namespace vorn::test
