// The TCP face of the server: the listener and its connection threads. The service host
// starts doRequests on its request thread and uses the controls below to pause, continue and
// stop it.
#pragma once

#include <cstdint>
#include <vector>

namespace vorn::server {

// The peers a rule admits: every address whose masked bits equal `addr` (both in network
// byte order; mask 0 admits everyone).
struct AddressRange {
    std::uint32_t addr = 0;
    std::uint32_t mask = 0;
};

struct ListenConfig {
    std::uint32_t addr = 0;           // IPv4, network byte order; 0 = every address
    std::uint16_t port = 2000;        // 0 picks a free port (tests); see boundport()
    std::vector<AddressRange> allow;  // who may connect; empty: everyone
};

// True when `peer` (network byte order) may connect under `allow`.
bool admitted(const std::vector<AddressRange> &allow, std::uint32_t peer);

// Accepts connections and serves each on its own thread until stoprequests(). A connection
// from a peer that config.allow does not admit is closed at once, before any byte is sent,
// and reported. A failed accept or a connection thread that can't be started is reported and
// that connection dropped; the listener goes on. Returns 1 when the socket layer, the socket, the
// bind or the listen failed, and after a stop.
int doRequests(const ListenConfig &config);
// Blocks until the listener is bound and listening (or has failed); the port it listens on,
// 0 on failure.
std::uint16_t waitlistening();
// Pause: no new connection is taken (they wait in the backlog); connected clients are served.
void pauserequests();
void resumerequests();
// Stops the listener, ends every connection (its files are closed for it, as when a client
// disconnects) and waits until every connection thread has finished. Safe to call twice.
void stoprequests();

}  // namespace vorn::server
