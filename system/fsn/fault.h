// The failure of one step of a record or key operation. The library records `code` in its
// error ring; the server replies with `servercode` and reports `text` to the event log.
#pragma once

#include <cstdint>

namespace vorn {

struct Fault {
    std::int16_t code = 0;        // library error-ring code, e.g. 1035
    std::int32_t servercode = 0;  // server result code, e.g. 472
    char text[320];               // server message, e.g. "fsadd - error reading block 7.\r\n"
    // Only the terminator is set up front: every operation makes one, and setfault writes
    // the message of the few that fail.
    Fault() { text[0] = '\0'; }
};

// Fills a fault (the text is a printf format). Returns 0, the engine's failure result, so that
// callers can `return setfault(...)`.
std::int16_t setfault(Fault *fault, std::int16_t code, std::int32_t servercode, const char *fmt,
                      ...) __attribute__((format(printf, 4, 5)));

}  // namespace vorn
