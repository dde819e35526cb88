#include "progress.h"

#include <unistd.h>

#include <cstdio>

namespace vorn::tool {

Progress::Progress(std::string what, std::string unit)
    : what_(std::move(what)),
      unit_(std::move(unit)),
      terminal_(::isatty(STDERR_FILENO) == 1),
      start_(Clock::now()),
      lastdraw_(start_) {}

Progress::~Progress() {
    if (shown_) std::fprintf(stderr, "\r\033[K");
}

void Progress::update(std::uint64_t done, std::uint64_t total) {
    if (!terminal_) return;
    const auto now = Clock::now();
    if (now - start_ < std::chrono::seconds(1)) return;
    if (shown_ && now - lastdraw_ < std::chrono::milliseconds(200)) return;
    lastdraw_ = now;
    shown_ = true;
    if (total > 0) {
        std::fprintf(stderr, "\rvorn %s: %llu of %llu %s (%llu%%)\033[K", what_.c_str(),
                     static_cast<unsigned long long>(done), static_cast<unsigned long long>(total),
                     unit_.c_str(), static_cast<unsigned long long>(done * 100 / total));
    } else {
        std::fprintf(stderr, "\rvorn %s: %llu %s\033[K", what_.c_str(),
                     static_cast<unsigned long long>(done), unit_.c_str());
    }
    std::fflush(stderr);
}

}  // namespace vorn::tool
