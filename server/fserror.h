// The server's error convention for the FS block of a request, and its diagnostics.
//
// `msg` holds the text of the latest diagnostic of the calling thread: each connection
// serves one request at a time on its own thread, so the text that logfserror reports is
// always the text of the same request, never one that another connection wrote meanwhile.
#pragma once

#include <cstdint>

#include "fsn/fsdata.h"
#include "vorn/wire.h"

namespace vorn::server {

// Room for every message with a file name of 255 characters in it.
inline constexpr std::size_t kMsgSize = 512;

// The calling thread's message buffer (kMsgSize bytes, always terminated).
char *msg();
// Formats the calling thread's message.
void setmsg(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// error = 0, errororigin = ' '. Every operation calls it first.
void clearfserror(FS *fs);
// Stores code and origin unless an earlier error of the request is already there (the first
// error wins); a nonzero code is reported with the current message either way.
void setfserror(FS *fs, char origin, std::int32_t code);
// Reports "%c - %ld\r\n%s" (origin, code, message) to the event log as an error event.
void logfserror(char origin, std::int32_t code);
// Stores a refusal directly, without message or report (481 while another user holds a lock).
void refuse(FS *fs, std::int32_t code);

// The reporter of the server's engine: each failure's server text becomes the message and is
// reported with origin 'L' and code 0. One instance serves every open file.
Reporter *serverreporter();

}  // namespace vorn::server
