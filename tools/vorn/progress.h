// A progress line on standard error for long runs: shown only when standard error is a
// terminal and the run has taken more than a second, redrawn at most a few times a second,
// and wiped when the run ends.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace vorn::tool {

class Progress {
  public:
    // `what` names the work ("dump", "salvage"); `unit` what is counted ("blocks").
    Progress(std::string what, std::string unit);
    ~Progress();
    Progress(const Progress &) = delete;
    Progress &operator=(const Progress &) = delete;

    // Reports `done` of `total` units (total 0 when unknown).
    void update(std::uint64_t done, std::uint64_t total = 0);

  private:
    using Clock = std::chrono::steady_clock;
    std::string what_, unit_;
    bool terminal_;
    bool shown_ = false;
    Clock::time_point start_, lastdraw_;
};

}  // namespace vorn::tool
