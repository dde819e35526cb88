#include "fault.h"

#include <cassert>
#include <cstdarg>
#include <cstdio>

namespace vorn {

std::int16_t setfault(Fault *fault, std::int16_t code, std::int32_t servercode, const char *fmt,
                      ...) {
    // Every failure names its library code and its server code; 0 would read as success.
    assert(code != 0 && servercode != 0);
    if (fault == nullptr) return 0;
    fault->code = code;
    fault->servercode = servercode;
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(fault->text, sizeof fault->text, fmt, args);
    va_end(args);
    return 0;
}

}  // namespace vorn
