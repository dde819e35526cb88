#include "fault.h"

#include <cstdarg>
#include <cstdio>

namespace vorn {

int setfault(Fault *fault, std::int16_t code, std::int32_t servercode, const char *fmt, ...) {
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
