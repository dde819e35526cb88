// The socket part of the platform seam: TCP over IPv4 for the client transport and the server.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vorn::platform {

using Socket = std::int32_t;  // 4-byte handle; the server uses its value as the user id
inline constexpr Socket kNoSocket = -1;
inline constexpr std::uint16_t kServerPort = 2000;

// Socket-layer start-up and clean-up, counted per process (a no-op count on Linux, kept so
// that callers pair them as they must on other systems). startup returns false on failure.
bool socketstartup();
bool socketcleanup();

// Converts dotted IPv4 text in any of the classic forms (a, a.b, a.b.c, a.b.c.d; parts in
// decimal, 0-octal or 0x-hex) to an address in network byte order. False when the text is
// not an address (no host names, no trailing characters).
bool parseipv4(const char *text, std::uint32_t *addr);
// Parses an address as parseipv4 does, optionally followed by ":port" (else port 2000).
bool parseaddress(const char *text, std::uint32_t *addr, std::uint16_t *port);

// A TCP stream socket; kNoSocket on failure.
Socket tcpsocket();
// Connects to addr (network byte order) and port. False on failure.
bool tcpconnect(Socket s, std::uint32_t addr, std::uint16_t port);
// Binds to addr (network byte order; 0 = every address) and port and listens.
bool tcpbind(Socket s, std::uint32_t addr, std::uint16_t port);
bool tcplisten(Socket s, int backlog);
// Accepts a connection; kNoSocket on failure. Retries interrupted calls.
Socket tcpaccept(Socket s);
// The IPv4 address (network byte order) of a connected socket's peer. False when it can't be
// had or is not IPv4.
bool peeraddress(Socket s, std::uint32_t *addr);
// The port a bound socket got (for tests that bind port 0).
std::uint16_t boundport(Socket s);
// One send call of the whole buffer (retrying partial sends of a stream socket); returns the
// bytes sent, or -1 on error.
long sendall(Socket s, const void *buf, std::size_t n);
// One receive call; returns the bytes received, 0 when the peer closed, -1 on error.
long recvsome(Socket s, void *buf, std::size_t n);
// Shuts both directions down; false on failure.
bool shutdownboth(Socket s);
// Closes the socket; false on failure.
bool closesocket(Socket s);

}  // namespace vorn::platform
