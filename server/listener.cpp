// The listener: accepts connections and serves each on its own thread; pause, continue and
// stop for the service host.
#include "listener.h"

#include <chrono>
#include <cstring>
#include <string>
#include <system_error>

#include "connection.h"
#include "vorn/eventlog.h"
#include "vorn/socket.h"

namespace vorn::server {
namespace {

constexpr auto kRetryPause = std::chrono::milliseconds(100);

void reportinfo(const char *text) {
    platform::reportevent(platform::EventType::Error, 0, platform::kEventInformation, text);
}

// Binds and listens. The socket, or kNoSocket after a reported failure.
platform::Socket openlistener(const ListenConfig &config) {
    const platform::Socket s = platform::tcpsocket();
    if (s == platform::kNoSocket) {
        reporttcp("socket unsuccessful.");
        if (!platform::socketcleanup()) reporttcp("WSACleanup unsuccessful.");
        return platform::kNoSocket;
    }
    // An unbound socket that listens gets some random port: a bind or listen failure ends
    // the listener instead.
    if (!platform::tcpbind(s, config.addr, config.port)) {
        reporttcp("bind unsuccessful.");
        platform::closesocket(s);
        return platform::kNoSocket;
    }
    if (!platform::tcplisten(s, 5)) {
        reporttcp("listen unsuccessful.");
        platform::closesocket(s);
        return platform::kNoSocket;
    }
    return s;
}

// "a.b.c.d" of an address in network byte order.
std::string dotted(std::uint32_t addr) {
    unsigned char b[4];
    std::memcpy(b, &addr, sizeof b);
    return std::to_string(b[0]) + "." + std::to_string(b[1]) + "." + std::to_string(b[2]) + "." +
           std::to_string(b[3]);
}

// False (the connection closed, nothing sent, the refusal reported) when the peer is not
// admitted. A peer whose address can't be had is refused too when rules are given.
bool letin(const std::vector<AddressRange> &allow, platform::Socket c) {
    if (allow.empty()) return true;
    std::uint32_t peer = 0;
    const bool known = platform::peeraddress(c, &peer);
    if (known && admitted(allow, peer)) return true;
    platform::closesocket(c);
    const std::string text = "Connection from " + (known ? dotted(peer) : std::string("?")) +
                             " refused: not an allowed address.";
    reporttcp(text.c_str());
    return false;
}

}  // namespace

// Ends the listener's start with a failure that waitlistening reports as port 0.
int Listener::failstart(platform::Socket socket) {
    if (socket != platform::kNoSocket) platform::closesocket(socket);
    MutexLock lock(mutex_);
    failed_ = true;
    changed_.notify_all();
    return 1;
}

// Joins the threads of connections that have ended. Called with the mutex held.
void Listener::reapfinished() {
    for (auto it = connections_.begin(); it != connections_.end();) {
        if (it->finished) {
            it->thread.join();
            it = connections_.erase(it);
        } else {
            ++it;
        }
    }
}

void Listener::serve(Connection *connection) {
    serve_(connection->socket);
    MutexLock lock(mutex_);
    connection->finished = true;
    changed_.notify_all();
}

// Starts a thread for an accepted connection. False when no thread could be started (the
// socket is closed then). Called with the mutex held.
bool Listener::startconnection(platform::Socket socket) {
    Connection &c = connections_.emplace_back();
    c.socket = socket;
    try {
        c.thread = std::thread(&Listener::serve, this, &c);
    } catch (const std::system_error &) {
        connections_.pop_back();
        platform::closesocket(socket);
        reporttcp("Unable to create thread.");
        return false;
    }
    return true;
}

// Waits while paused, then serves the connections held meanwhile. False when the listener
// is to stop. Called with the lock held.
bool Listener::waitwhilepaused(MutexLock &lock) {
    while (paused_ && !stopping_) lock.wait(changed_);
    if (stopping_) return false;
    for (platform::Socket held : held_) startconnection(held);
    held_.clear();
    return true;
}

// Takes connections until a stop. A failed accept (too many open files, say) or a thread
// that can't be started is reported and the connection is dropped, but the listener goes on
// after a short pause: a passing shortage must not leave a running service that takes no
// connection for ever. Returns 1 (after a stop).
int Listener::acceptloop(platform::Socket s, const std::vector<AddressRange> &allow) {
    for (;;) {
        {
            MutexLock lock(mutex_);
            reapfinished();
            if (!waitwhilepaused(lock)) return 1;
        }
        const platform::Socket c = platform::tcpaccept(s);
        if (c != platform::kNoSocket && !letin(allow, c)) continue;
        MutexLock lock(mutex_);
        if (stopping_) {
            if (c != platform::kNoSocket) platform::closesocket(c);
            return 1;
        }
        bool pause = false;
        if (c == platform::kNoSocket) {
            reporttcp("Unable to accept connection.");
            pause = true;
        } else if (paused_) {
            held_.push_back(c);  // its first request waits for the continue
        } else {
            pause = !startconnection(c);
        }
        if (pause) {
            const auto deadline = std::chrono::steady_clock::now() + kRetryPause;
            while (!stopping_ && lock.waituntil(changed_, deadline)) {
            }
        }
    }
}

bool admitted(const std::vector<AddressRange> &allow, std::uint32_t peer) {
    if (allow.empty()) return true;
    for (const AddressRange &range : allow) {
        if ((peer & range.mask) == (range.addr & range.mask)) return true;
    }
    return false;
}

bool Listener::forgetconnection(platform::Socket socket) {
    MutexLock lock(mutex_);
    // A stop has shut down every connection it found, and none starts after it.
    if (stopping_) return true;
    for (Connection &c : connections_) {
        if (c.socket == socket && c.open) {
            c.open = false;
            return c.shut;
        }
    }
    return false;
}

int Listener::doRequests(const ListenConfig &config) {
    if (!platform::socketstartup()) {
        reportinfo("WSAStartup unsuccessful");
        return failstart(platform::kNoSocket);
    }
    const platform::Socket s = openlistener(config);
    if (s == platform::kNoSocket) return failstart(s);
    bool stopped = false;
    {
        MutexLock lock(mutex_);
        stopped = stopping_;  // a stop that came before the listener was up
        if (!stopped) {
            failed_ = false;
            socket_ = s;
            port_ = platform::boundport(s);
            listening_ = true;
            changed_.notify_all();
        }
    }
    if (stopped) return failstart(s);
    const int result = acceptloop(s, config.allow);
    MutexLock lock(mutex_);
    socket_ = platform::kNoSocket;
    listening_ = false;
    platform::closesocket(s);
    for (platform::Socket held : held_) platform::closesocket(held);
    held_.clear();
    return result;
}

std::uint16_t Listener::waitlistening() {
    MutexLock lock(mutex_);
    while (!listening_ && !failed_ && !stopping_) lock.wait(changed_);
    return listening_ ? port_ : 0;
}

void Listener::pauserequests() {
    MutexLock lock(mutex_);
    paused_ = true;
    changed_.notify_all();
}

void Listener::resumerequests() {
    MutexLock lock(mutex_);
    paused_ = false;
    changed_.notify_all();
}

void Listener::stoprequests() {
    std::list<Connection> ending;
    {
        MutexLock lock(mutex_);
        stopping_ = true;
        changed_.notify_all();
        // Wakes the accept (on Linux a listening socket that is shut down fails its accept).
        if (socket_ != platform::kNoSocket) platform::shutdownboth(socket_);
        // Ends every connection as if its client had gone: its thread closes its files.
        for (Connection &c : connections_) {
            if (c.open && !c.shut) {
                platform::shutdownboth(c.socket);
                c.shut = true;
            }
        }
        ending.splice(ending.end(), connections_);
    }
    for (Connection &c : ending) c.thread.join();
}

}  // namespace vorn::server
