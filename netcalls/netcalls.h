// The client transport: one TCP connection per library instance to the server, carrying one
// request packet and its reply at a time (docs/PROTOCOL.md).
#pragma once

#include <cstddef>
#include <cstdint>

#include "vorn/socket.h"
#include "vorn/wire.h"

namespace vorn::link {

inline constexpr int kInstances = 12;

// Connection state of one instance, owned by vars[instance] from netinit to netclose.
struct VARS {
    char DEST_IP_ADDR[32];        // the address text given to fsinit ("a.b.c.d[:port]")
    bool started;                 // the socket layer was started for this instance
    platform::Socket destSocket;  // the connected socket; kNoSocket when local-only or broken
    std::uint32_t destAddr;       // IPv4 address, network byte order
    std::uint16_t destPort;       // TCP port, host byte order
};

extern VARS *vars[kInstances];

// Connects `instance` to the server named by `name` (dotted IPv4, optionally ":port"). A null
// or empty name makes a local-only instance whose exchanges fail as on a broken connection.
// Returns 0 connected, -2 no memory, -3 no socket, -4 not an address or connect failed.
std::int8_t netinit(char instance, const char *name);

// Sends the request `call` with the block and fsinfo->len bytes of `data`, and receives the
// reply. On 1 the reply header has replaced *fsinfo and its data (at most `room` bytes) is
// at `data`. On 0 nothing of the caller's was changed: the connection failed (it is then
// closed for good), the request was malformed, or the reply's data exceeded `room` (that
// reply is consumed and the connection stays usable).
std::int16_t callnet(char instance, std::uint8_t call, FS *fsinfo, void *data, std::size_t room);

// Closes the instance's connection and frees its state. Always 1.
std::int16_t netclose(char instance);

// The login name of the connection: none, always null.
char *getloginname(char instance);

// Appends one line (the text and "\r\n") to the client log: the system's log file when
// there is one and it can be written (platform::systemclientlog), otherwise kClientLog.
void logerror(const char *strptr);

// The client log in the application's current working directory.
inline constexpr char kClientLog[] = "checkerr.log";

}  // namespace vorn::link
