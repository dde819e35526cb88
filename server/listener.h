// The TCP face of the server: the listener and its connection threads. The service host
// starts doRequests on its request thread and uses the controls below to pause, continue and
// stop it.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <thread>
#include <vector>

#include "mutex.h"
#include "vorn/socket.h"

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

// The body of a connection thread: serves the accepted connection `socket` until it ends, and
// closes it (calling forgetconnection first).
using ConnectionBody = std::function<void(platform::Socket socket)>;

class Listener {
  public:
    explicit Listener(ConnectionBody serve) : serve_(std::move(serve)) {}
    // Stops the listener and waits for its connection threads.
    ~Listener() { stoprequests(); }
    Listener(const Listener &) = delete;
    Listener &operator=(const Listener &) = delete;

    // Accepts connections and serves each on its own thread until stoprequests(). A connection
    // from a peer that config.allow does not admit is closed at once, before any byte is
    // sent, and reported. A failed accept or a connection thread that can't be started is
    // reported and that connection dropped; the listener goes on. Returns 1 when the socket
    // layer, the socket, the bind or the listen failed, and after a stop.
    int doRequests(const ListenConfig &config);
    // Blocks until the listener is bound and listening (or has failed); the port it listens
    // on, 0 on failure.
    std::uint16_t waitlistening();
    // Pause: no new connection is taken (they wait in the backlog); connected clients are
    // served.
    void pauserequests();
    void resumerequests();
    // Stops the listener, ends every connection (its files are closed for it, as when a client
    // disconnects) and waits until every connection thread has finished. Safe to call twice.
    void stoprequests();
    // The connection is about to close its socket, so a stop must no longer touch it. True
    // when a stop has already shut the socket down.
    bool forgetconnection(platform::Socket socket);

  private:
    struct Connection {
        platform::Socket socket = platform::kNoSocket;
        bool open = true;       // the thread has not begun to close the socket
        bool shut = false;      // a stop has shut the socket down
        bool finished = false;  // the thread has returned and may be joined
        std::thread thread;
    };

    int failstart(platform::Socket socket);
    void reapfinished() REQUIRES(mutex_);
    void serve(Connection *connection);
    bool startconnection(platform::Socket socket) REQUIRES(mutex_);
    bool waitwhilepaused(MutexLock &lock) REQUIRES(mutex_);
    int acceptloop(platform::Socket s, const std::vector<AddressRange> &allow);

    const ConnectionBody serve_;
    Mutex mutex_;
    std::condition_variable changed_;
    platform::Socket socket_ GUARDED_BY(mutex_) = platform::kNoSocket;
    bool listening_ GUARDED_BY(mutex_) = false;
    bool failed_ GUARDED_BY(mutex_) = false;
    bool paused_ GUARDED_BY(mutex_) = false;
    bool stopping_ GUARDED_BY(mutex_) = false;
    std::uint16_t port_ GUARDED_BY(mutex_) = 0;
    // The connections' fields are guarded by `mutex_` too.
    std::list<Connection> connections_ GUARDED_BY(mutex_);
    // Accepted while paused, served after continue.
    std::vector<platform::Socket> held_ GUARDED_BY(mutex_);
};

}  // namespace vorn::server
