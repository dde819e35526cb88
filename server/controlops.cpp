// The control-value handlers (counter pair, business date, status flag) and the server's
// clock. Every change of a control value is written to the header before the reply.
#include <cstring>

#include "fserror.h"
#include "fsn/blocks.h"
#include "operations.h"

namespace vorn::server {
namespace {

FSCB &headerof(const Request &request) {
    return request.file->fsdata->fscb;
}

std::uint32_t pairof(const FSCB &cb) {
    return static_cast<std::uint16_t>(cb.cannumber[0]) |
           static_cast<std::uint32_t>(static_cast<std::uint16_t>(cb.cannumber[1])) << 16;
}

// Marks the header changed and writes it. 1 or 0.
std::uint32_t storeheader(Request &request, const char *name) {
    changefscb(request.file->fsdata.get());
    return writeheader(request, name) ? 1 : 0;
}

}  // namespace

std::uint32_t fsgetcannumber(Request &request) {
    std::int16_t increment;
    std::memcpy(&increment, request.data, sizeof increment);
    FSCB &cb = headerof(request);
    if (increment != 0) {
        // The low half counts 1..30000; past that the high half advances and the low half
        // starts again at 0 (also when the high half wraps).
        cb.cannumber[0] = static_cast<std::int16_t>(cb.cannumber[0] + 1);
        if (cb.cannumber[0] > 30000) {
            cb.cannumber[1] = static_cast<std::int16_t>(cb.cannumber[1] + 1);
            cb.cannumber[0] = 0;
        }
        // Every increment is written through, also one without rollover.
        if (storeheader(request, "fsgetcannumber") == 0) return 0;
    }
    request.fs->rid = pairof(cb);
    return 1;
}

std::uint32_t fsstorecannumber(Request &request) {
    FSCB &cb = headerof(request);
    const std::uint32_t pair = request.fs->rid;
    cb.cannumber[0] = static_cast<std::int16_t>(pair & 0xFFFF);
    cb.cannumber[1] = static_cast<std::int16_t>(pair >> 16);
    return storeheader(request, "fsstorecannumber");
}

std::uint32_t fsgetbusinessdate(Request &request) {
    request.fs->rid = headerof(request).businessdate;
    return 1;
}

std::uint32_t fsstorebusinessdate(Request &request) {
    headerof(request).businessdate = request.fs->rid;
    return storeheader(request, "fsstorebusinessdate");
}

std::uint32_t fsgetappstat(Request &request) {
    request.fs->rid = headerof(request).appstat != 0 ? 0xFFFFFFFFu : 0;
    return 1;
}

std::uint32_t fssetappstat(Request &request) {
    headerof(request).appstat = request.fs->rid != 0 ? 1 : 0;
    // Written through like every other change.
    return storeheader(request, "fssetappstat");
}

std::uint32_t fsgetlocaltime(Request &request) {
    const std::tm now = platform::localnow();
    DOSTM t;
    t.tm_sec = static_cast<std::int16_t>(now.tm_sec);
    t.tm_min = static_cast<std::int16_t>(now.tm_min);
    t.tm_hour = static_cast<std::int16_t>(now.tm_hour);
    t.tm_mday = static_cast<std::int16_t>(now.tm_mday);
    t.tm_mon = static_cast<std::int16_t>(now.tm_mon);
    t.tm_year = static_cast<std::int16_t>(now.tm_year);
    t.tm_wday = static_cast<std::int16_t>(now.tm_wday);
    t.tm_yday = static_cast<std::int16_t>(now.tm_yday);
    t.tm_isdst = static_cast<std::int16_t>(now.tm_isdst);
    std::memcpy(request.data, &t, sizeof t);
    request.fs->len = static_cast<std::int16_t>(sizeof t);
    return 1;
}

}  // namespace vorn::server
