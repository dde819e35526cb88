// The status-pipe part of the platform seam: a local, message-oriented channel on which
// monitoring tools send one short request and read one reply at a time. Any local user may
// connect. Message boundaries are kept: one write is one message, one read returns one
// message (cut to the reader's buffer).
//
// On Linux the pipe "NAME" is a Unix-domain SOCK_SEQPACKET socket in the abstract namespace
// under NAME ("vorn" by default), so no file is left behind and no directory rights apply.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vorn::platform {

using PipeHandle = std::int32_t;
inline constexpr PipeHandle kNoPipe = -1;

// Longest pipe name the seam accepts.
inline constexpr std::size_t kMaxPipeName = 100;

// Makes the server end of the pipe `name`; kNoPipe on failure (name empty or too long, or
// already served by another process). `backlog`: clients that may wait to be taken.
PipeHandle pipelisten(const char *name, int backlog);
// Waits for the next client and returns its connection; kNoPipe on failure or once the
// listener has been shut down with pipeshutdown.
PipeHandle pipeaccept(PipeHandle listener);
// Connects to the pipe `name` as a client; kNoPipe on failure.
PipeHandle pipeconnect(const char *name);

// Reads one message of at most n bytes (the rest of a longer one is dropped). Returns the
// bytes read, 0 when the peer has gone, -1 on error.
long piperead(PipeHandle pipe, void *buf, std::size_t n);
// Writes one message; the bytes written or -1.
long pipewrite(PipeHandle pipe, const void *buf, std::size_t n);
// Waits at most `ms` milliseconds for a message or the peer's end: true when one is there.
bool pipewait(PipeHandle pipe, int ms);

// Ends the conversation: the peer reads the end of the pipe. The handle stays open.
void pipedisconnect(PipeHandle pipe);
// Wakes every thread blocked on the handle (accept or read), which then fails. The handle
// stays open; any thread may call it.
void pipeshutdown(PipeHandle pipe);
void pipeclose(PipeHandle pipe);

}  // namespace vorn::platform
