#include "fserror.h"

#include <cstdarg>
#include <cstdio>

#include "vorn/eventlog.h"

namespace vorn::server {
namespace {

thread_local char threadmsg[kMsgSize];

class ServerReporter final : public Reporter {
  public:
    void failure(std::int16_t, const char *, const char *servertext) override {
        if (servertext == nullptr) return;
        std::snprintf(threadmsg, sizeof threadmsg, "%s", servertext);
        logfserror(kServerOrigin, 0);
    }
};

ServerReporter reporter;

}  // namespace

char *msg() {
    return threadmsg;
}

void setmsg(const char *fmt, ...) {
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(threadmsg, sizeof threadmsg, fmt, args);
    va_end(args);
}

void clearfserror(FS *fs) {
    fs->error = 0;
    fs->errororigin = kNoOrigin;
}

void setfserror(FS *fs, char origin, std::int32_t code) {
    if (fs->error == 0) {
        fs->error = code;
        fs->errororigin = origin;
    }
    if (code != 0) logfserror(origin, code);
}

void logfserror(char origin, std::int32_t code) {
    char text[kMsgSize + 32];
    std::snprintf(text, sizeof text, "%c - %ld\r\n%s", origin, static_cast<long>(code), threadmsg);
    platform::reportevent(platform::EventType::Error, 0, platform::kEventError, text);
}

void refuse(FS *fs, std::int32_t code) {
    if (fs->error != 0) return;
    fs->error = code;
    fs->errororigin = kServerOrigin;
}

Reporter *serverreporter() {
    return &reporter;
}

}  // namespace vorn::server
