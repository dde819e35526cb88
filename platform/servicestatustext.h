// The human form of a service status report, the same on every platform: "Start pending,
// check point 1", "Running", "Stopped, exit code 5".
#pragma once

#include <string>

#include "vorn/service.h"

namespace vorn::platform {

std::string describe(const ServiceStatus &status);

}  // namespace vorn::platform
