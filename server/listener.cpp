// The listener: accepts connections and serves each on its own thread; pause, continue and
// stop for the service host.
#include "listener.h"

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <list>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "connection.h"
#include "mutex.h"
#include "vorn/eventlog.h"
#include "vorn/socket.h"

namespace vorn::server {
namespace {

struct Connection {
    platform::Socket socket = platform::kNoSocket;
    bool open = true;       // the thread has not begun to close the socket
    bool shut = false;      // a stop has shut the socket down
    bool finished = false;  // the thread has returned and may be joined
    std::thread thread;
};

// The listener's shared state, guarded by `mutex`.
struct Listener {
    Mutex mutex;
    std::condition_variable changed;
    platform::Socket socket GUARDED_BY(mutex) = platform::kNoSocket;
    bool listening GUARDED_BY(mutex) = false;
    bool failed GUARDED_BY(mutex) = false;
    bool paused GUARDED_BY(mutex) = false;
    bool stopping GUARDED_BY(mutex) = false;
    std::uint16_t port GUARDED_BY(mutex) = 0;
    // The connections' fields are guarded by `mutex` too.
    std::list<Connection> connections GUARDED_BY(mutex);
    // Accepted while paused, served after continue.
    std::vector<platform::Socket> held GUARDED_BY(mutex);
};

constexpr auto kRetryPause = std::chrono::milliseconds(100);

// Never destroyed: connection threads may still use it while the process exits.
Listener &listener() {
    static Listener *state = new Listener;
    return *state;
}

void reportinfo(const char *text) {
    platform::reportevent(platform::EventType::Error, 0, platform::kEventInformation, text);
}

// Ends the listener's start with a failure that waitlistening reports as port 0.
int failstart(Listener &l, platform::Socket socket) {
    if (socket != platform::kNoSocket) platform::closesocket(socket);
    MutexLock lock(l.mutex);
    l.failed = true;
    l.changed.notify_all();
    return 1;
}

// Joins the threads of connections that have ended. Called with the mutex held.
void reapfinished(Listener &l) REQUIRES(l.mutex) {
    for (auto it = l.connections.begin(); it != l.connections.end();) {
        if (it->finished) {
            it->thread.join();
            it = l.connections.erase(it);
        } else {
            ++it;
        }
    }
}

void serve(Connection *connection) {
    talkToClient(connection->socket);
    Listener &l = listener();
    MutexLock lock(l.mutex);
    connection->finished = true;
    l.changed.notify_all();
}

// Starts a thread for an accepted connection. False when no thread could be started (the
// socket is closed then). Called with the mutex held.
bool startconnection(Listener &l, platform::Socket socket) REQUIRES(l.mutex) {
    Connection &c = l.connections.emplace_back();
    c.socket = socket;
    try {
        c.thread = std::thread(serve, &c);
    } catch (const std::system_error &) {
        l.connections.pop_back();
        platform::closesocket(socket);
        reporttcp("Unable to create thread.");
        return false;
    }
    return true;
}

// Waits while paused, then serves the connections held meanwhile. False when the listener
// is to stop. Called with the lock held.
bool waitwhilepaused(Listener &l, MutexLock &lock) REQUIRES(l.mutex) {
    while (l.paused && !l.stopping) lock.wait(l.changed);
    if (l.stopping) return false;
    for (platform::Socket held : l.held) startconnection(l, held);
    l.held.clear();
    return true;
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

// Takes connections until a stop. A failed accept (too many open files, say) or a thread
// that can't be started is reported and the connection is dropped, but the listener goes on
// after a short pause: a passing shortage must not leave a running service that takes no
// connection for ever. Returns 1 (after a stop).
int acceptloop(Listener &l, platform::Socket s, const std::vector<AddressRange> &allow) {
    for (;;) {
        {
            MutexLock lock(l.mutex);
            reapfinished(l);
            if (!waitwhilepaused(l, lock)) return 1;
        }
        const platform::Socket c = platform::tcpaccept(s);
        if (c != platform::kNoSocket && !letin(allow, c)) continue;
        MutexLock lock(l.mutex);
        if (l.stopping) {
            if (c != platform::kNoSocket) platform::closesocket(c);
            return 1;
        }
        bool pause = false;
        if (c == platform::kNoSocket) {
            reporttcp("Unable to accept connection.");
            pause = true;
        } else if (l.paused) {
            l.held.push_back(c);  // its first request waits for the continue
        } else {
            pause = !startconnection(l, c);
        }
        if (pause) {
            const auto deadline = std::chrono::steady_clock::now() + kRetryPause;
            while (!l.stopping && lock.waituntil(l.changed, deadline)) {
            }
        }
    }
}

}  // namespace

bool admitted(const std::vector<AddressRange> &allow, std::uint32_t peer) {
    if (allow.empty()) return true;
    for (const AddressRange &range : allow) {
        if ((peer & range.mask) == (range.addr & range.mask)) return true;
    }
    return false;
}

bool forgetconnection(platform::Socket socket) {
    Listener &l = listener();
    MutexLock lock(l.mutex);
    // A stop has shut down every connection it found, and none starts after it.
    if (l.stopping) return true;
    for (Connection &c : l.connections) {
        if (c.socket == socket && c.open) {
            c.open = false;
            return c.shut;
        }
    }
    return false;
}

int doRequests(const ListenConfig &config) {
    Listener &l = listener();
    if (!platform::socketstartup()) {
        reportinfo("WSAStartup unsuccessful");
        return failstart(l, platform::kNoSocket);
    }
    const platform::Socket s = openlistener(config);
    if (s == platform::kNoSocket) return failstart(l, s);
    bool stopped = false;
    {
        MutexLock lock(l.mutex);
        stopped = l.stopping;  // a stop that came before the listener was up
        if (!stopped) {
            l.failed = false;
            l.socket = s;
            l.port = platform::boundport(s);
            l.listening = true;
            l.changed.notify_all();
        }
    }
    if (stopped) return failstart(l, s);
    const int result = acceptloop(l, s, config.allow);
    MutexLock lock(l.mutex);
    l.socket = platform::kNoSocket;
    l.listening = false;
    platform::closesocket(s);
    for (platform::Socket held : l.held) platform::closesocket(held);
    l.held.clear();
    return result;
}

std::uint16_t waitlistening() {
    Listener &l = listener();
    MutexLock lock(l.mutex);
    while (!l.listening && !l.failed && !l.stopping) lock.wait(l.changed);
    return l.listening ? l.port : 0;
}

void pauserequests() {
    Listener &l = listener();
    MutexLock lock(l.mutex);
    l.paused = true;
    l.changed.notify_all();
}

void resumerequests() {
    Listener &l = listener();
    MutexLock lock(l.mutex);
    l.paused = false;
    l.changed.notify_all();
}

void stoprequests() {
    Listener &l = listener();
    std::list<Connection> ending;
    {
        MutexLock lock(l.mutex);
        l.stopping = true;
        l.changed.notify_all();
        // Wakes the accept (on Linux a listening socket that is shut down fails its accept).
        if (l.socket != platform::kNoSocket) platform::shutdownboth(l.socket);
        // Ends every connection as if its client had gone: its thread closes its files.
        for (Connection &c : l.connections) {
            if (c.open && !c.shut) {
                platform::shutdownboth(c.socket);
                c.shut = true;
            }
        }
        ending.splice(ending.end(), l.connections);
    }
    for (Connection &c : ending) c.thread.join();
}

}  // namespace vorn::server
