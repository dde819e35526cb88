// Helpers for the service tests: a datagram socket that receives the service's notifications
// (NOTIFY_SOCKET), a raw TCP client for hand-built request packets, and a running vornserv in a
// fresh directory. Child processes come from support/childprocess.h.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <deque>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/childprocess.h"
#include "support/enginefile.h"
#include "vorn/wire.h"

namespace vorn::test {

// The receiving end of NOTIFY_SOCKET: a datagram socket bound to a path.
class NotifySocket {
  public:
    explicit NotifySocket(const std::string &path) : path_(path) {
        fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        bound_ = ::bind(fd_, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0;
    }
    ~NotifySocket() {
        ::close(fd_);
        ::unlink(path_.c_str());
    }
    NotifySocket(const NotifySocket &) = delete;
    NotifySocket &operator=(const NotifySocket &) = delete;

    bool bound() const { return bound_; }
    const std::string &path() const { return path_; }

    // The next notification, or "" when none comes within ms.
    std::string next(int ms) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, ms) <= 0) return "";
        char buf[1024];
        const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
        return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : "";
    }

    // Takes notifications until one contains `text` (at most ms); false when none did.
    bool waitfor(const std::string &text, int ms) {
        const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
        for (;;) {
            const std::string message = next(remainingms(deadline));
            if (message.empty()) return false;
            if (message.find(text) != std::string::npos) return true;
        }
    }

  private:
    std::string path_;
    int fd_ = -1;
    bool bound_ = false;
};

// A TCP client speaking raw packets.
class WireClient {
  public:
    WireClient() = default;
    WireClient(const WireClient &) = delete;
    WireClient &operator=(const WireClient &) = delete;
    ~WireClient() { close(); }

    bool connect(std::uint16_t port) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(port);
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return ::connect(fd_, reinterpret_cast<const sockaddr *>(&sa), sizeof sa) == 0;
    }
    void close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

    // Sends an open request for `name` (opcode 16).
    bool sendopen(const std::string &name) {
        SENDPACKET packet{};
        packet.call[0] = 1;
        packet.call[1] = kOpOpen;
        packet.fsinfo.len = static_cast<std::int16_t>(name.size() + 1);
        std::memcpy(packet.Data, name.c_str(), name.size() + 1);
        const std::size_t n = kRequestHeader + name.size() + 1;
        return ::send(fd_, &packet, n, MSG_NOSIGNAL) == static_cast<ssize_t>(n);
    }

    // Receives one reply (19 bytes and its data) within ms; false on timeout or end.
    bool receive(RECVPACKET *reply, int ms) {
        const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
        std::size_t have = 0;
        auto *bytes = reinterpret_cast<std::uint8_t *>(reply);
        for (;;) {
            const std::size_t want =
                have < kReplyHeader ? kReplyHeader
                                    : kReplyHeader + static_cast<std::size_t>(reply->fsinfo.len);
            if (have >= want) return true;
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, remainingms(deadline)) <= 0) return false;
            const ssize_t n = ::recv(fd_, bytes + have, want - have, 0);
            if (n <= 0) return false;
            have += static_cast<std::size_t>(n);
        }
    }

    // True when the server has closed the connection within ms.
    bool closedbypeer(int ms) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, ms) <= 0) return false;
        char c;
        return ::recv(fd_, &c, 1, 0) == 0;
    }

  private:
    int fd_ = -1;
};

// A vornserv started in a fresh directory on 127.0.0.1, a port of its choosing, a pipe name of
// its own and an event log file, with its notifications received here.
class ServerProcess {
  public:
    ServerProcess() : notify_(dir_.file("notify")) {
        static std::atomic<int> counter{0};
        pipe_ = "vorntest-" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
    }

    // Starts it and waits until it reports running. `extra` replaces the default options
    // when given.
    bool start(const std::vector<std::string> &extra = {}) {
        std::vector<std::string> args = extra;
        if (args.empty()) {
            args = {"--listen", "127.0.0.1:0", "--pipe", pipe_, "--event-log", eventlog()};
        }
        if (!notify_.bound()) return false;
        if (!child_.start(VORNSERV_PATH, args, dir_.path(), {"NOTIFY_SOCKET=" + notify_.path()}))
            return false;
        port_ = listeningport(child_, 20000);
        if (port_ == 0 || !notify_.waitfor("READY=1", 20000)) return false;
        // The status interface starts after "running"; this event follows it.
        const bool logged = std::find(args.begin(), args.end(), eventlog()) != args.end();
        return !logged || eventlogged("Service started successfully.", 20000);
    }

    // Waits until the event log holds a line containing `text`.
    bool eventlogged(const std::string &text, int ms = 10000) const {
        const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
        for (;;) {
            std::ifstream log(eventlog());
            std::string line;
            while (std::getline(log, line)) {
                if (line.find(text) != std::string::npos) return true;
            }
            if (remainingms(deadline) == 0) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }

    std::string eventlog() const { return dir_.file("events.log"); }
    const TempDir &dir() const { return dir_; }
    const std::string &pipe() const { return pipe_; }
    std::uint16_t port() const { return port_; }
    ChildProcess &child() { return child_; }
    NotifySocket &notify() { return notify_; }

  private:
    TempDir dir_;
    NotifySocket notify_;
    ChildProcess child_;
    std::string pipe_;
    std::uint16_t port_ = 0;
};

}  // namespace vorn::test
