#include "servicestatustext.h"

namespace vorn::platform {
namespace {

const char *statename(std::uint32_t state) {
    switch (state) {
        case kServiceStopped:
            return "Stopped";
        case kServiceStartPending:
            return "Start pending";
        case kServiceStopPending:
            return "Stop pending";
        case kServiceRunning:
            return "Running";
        case kServiceContinuePending:
            return "Continue pending";
        case kServicePausePending:
            return "Pause pending";
        case kServicePaused:
            return "Paused";
        default:
            return "Unknown";
    }
}

std::uint32_t exitcodeof(const ServiceStatus &status) {
    return status.win32exitcode == kErrorServiceSpecific ? status.servicespecificexitcode
                                                         : status.win32exitcode;
}

}  // namespace

std::string describe(const ServiceStatus &status) {
    std::string text = statename(status.currentstate);
    if (status.checkpoint != 0) text += ", check point " + std::to_string(status.checkpoint);
    if (status.currentstate == kServiceStopped && exitcodeof(status) != 0)
        text += ", exit code " + std::to_string(exitcodeof(status));
    return text;
}

}  // namespace vorn::platform
