// One request as a handler sees it. The dispatcher has validated every field the handler
// reads; for the handlers that work on an open file it also holds the file's slot mutex and
// has applied the exclusive-lock rule before the handler runs.
#pragma once

#include <cstdint>

#include "filetable.h"
#include "locks.h"

namespace vorn::server {

// Data room of a request: the packet data plus slack, so that a terminator can follow the
// longest name and a found key value always fits.
inline constexpr std::size_t kDataRoom = kServerReceiveBuffer - kRequestHeader;

struct Request {
    FileTable *files = nullptr;            // the server's file table
    LockManager *locks = nullptr;          // and its lock manager
    const SlotMutexes *mutexes = nullptr;  // the connection's handles
    UserId user = 0;
    FS *fs = nullptr;
    std::uint8_t *data = nullptr;  // request data in, reply data out (kDataRoom bytes)
    std::int16_t datalen = 0;      // the request's len: the reply's len starts at 0
    int slot = -1;                 // the slot held, for handlers of an open file
    SRVFSDATA *file = nullptr;     // its record
};

// Says that a handler runs with the request's slot mutex held (the dispatcher takes it).
#define REQUIRES_SLOT(request) REQUIRES((*(request).mutexes)[(request).slot])

// A handler's result; the dispatch table says whether it goes to the reply's rid or len.
using Handler = std::uint32_t (*)(Request &request);

// Writes the header and then every changed block of the file (write-through). On failure
// `name` names the handler in the message, the error is set (473) and false returned.
bool writethrough(Request &request, const char *name);
// Writes the header alone. Failure as writethrough.
bool writeheader(Request &request, const char *name);

}  // namespace vorn::server
