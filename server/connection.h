// One client connection: its thread receives request packets, has them carried out and sends
// the replies, and closes the connection's files when it ends.
#pragma once

#include "vorn/socket.h"

namespace vorn::server {

class Server;

// The body of a connection thread of `server`. `socket` is the accepted connection; its value
// is the connection's user identity. Returns when the client closes the connection, a receive
// or send fails, or a request cannot be framed; its files and locks are gone by then.
void talkToClient(Server &server, platform::Socket socket);

// Reports a failure of the TCP side to the event log as an error event.
void reporttcp(const char *text);

}  // namespace vorn::server
