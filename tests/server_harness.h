// Helpers for the server tests: a real vornserv process in a fresh directory (port read from
// its start-up line; the process itself is a support/childprocess.h child), a raw TCP client that
// sends hand-built request packets, and small helpers for stored records and event-log checks.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "fsn/check.h"
#include "support/childprocess.h"
#include "support/enginefile.h"
#include "vorn/compress.h"
#include "vorn/wire.h"

namespace vorn::test {

// A vornserv process listening on 127.0.0.1 at a port of its own choice, with its working
// directory and event log in `dir`.
class ServerProcess {
  public:
    explicit ServerProcess(const std::string &dir) : dir_(dir) {
        static std::atomic<int> counter{0};
        pipe_ = "vorntest" + std::to_string(::getpid()) + "-" + std::to_string(++counter);
    }

    // Starts the server and waits for its start-up line. False when it did not come.
    // `extra` options follow the harness's own; `launcher` (a program and its arguments, such
    // as one that changes the user) runs vornserv when given.
    bool start(const std::vector<std::string> &extra = {},
               const std::vector<std::string> &launcher = {}) {
        std::vector<std::string> args(launcher.begin() + (launcher.empty() ? 0 : 1),
                                      launcher.end());
        if (!launcher.empty()) args.push_back(VORNSERV_PATH);
        args.insert(args.end(),
                    {"--listen", "127.0.0.1:0", "--event-log", eventlogpath(), "--pipe", pipe_});
        args.insert(args.end(), extra.begin(), extra.end());
        // VORN_SERVER runs another build of the server (the crash script compares builds).
        const char *other = std::getenv("VORN_SERVER");
        const char *path = other != nullptr && *other != '\0' ? other : VORNSERV_PATH;
        if (!launcher.empty()) args[launcher.size() - 1] = path;
        const std::string program = launcher.empty() ? path : launcher[0];
        if (!child_.start(program, args, dir_)) return false;
        port_ = listeningport(child_, 20000);
        return port_ != 0;
    }

    // Asks the server to stop (SIGTERM) and returns its exit status; -1 when it did not end
    // within the time (it is then killed), -2 when a signal ended it.
    int stop(int ms = 20000) {
        if (!child_.running()) return -1;
        child_.signal(SIGTERM);
        return child_.wait(ms);
    }

    // Kills the server at once (SIGKILL), as a crash would, and waits for it to end.
    void crash() {
        child_.signal(SIGKILL);
        child_.wait(20000);
    }

    bool running() const { return child_.running(); }
    std::uint16_t port() const { return port_; }
    std::string eventlogpath() const { return dir_ + "/events.log"; }
    std::string eventlog() const {
        std::ifstream in(eventlogpath());
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    std::string address() const { return "127.0.0.1:" + std::to_string(port_); }

  private:
    std::string dir_;
    std::string pipe_;
    ChildProcess child_;
    std::uint16_t port_ = 0;
};

// A reply as it came back. The block's fields are also copied out of the packed block, so
// that tests can bind them to references.
struct Reply {
    bool ok = false;  // a whole reply arrived
    FS fs{};
    std::int16_t fsdatanum = 0;
    std::uint8_t isnetwork = 0;
    std::uint16_t socket = 0;
    char errororigin = 0;
    std::int32_t error = 0;
    std::int16_t len = 0;
    std::uint8_t fid = 0;
    std::uint32_t rid = 0;
    std::uint8_t sequence = 0;
    std::uint8_t totalpackets = 0;
    std::vector<std::uint8_t> data;

    void copyfields() {
        fsdatanum = fs.fsdatanum;
        isnetwork = fs.isnetwork;
        socket = fs.socket;
        errororigin = fs.errororigin;
        error = fs.error;
        len = fs.len;
        fid = fs.fid;
        rid = fs.rid;
        sequence = fs.sequence;
        totalpackets = fs.totalpackets;
    }
};

// A TCP client that speaks the wire protocol with hand-built packets.
class RawClient {
  public:
    RawClient() = default;
    explicit RawClient(std::uint16_t port) { connect(port); }
    RawClient(const RawClient &) = delete;
    RawClient &operator=(const RawClient &) = delete;
    ~RawClient() { close(); }

    bool connect(std::uint16_t port) { return makesocket() && connectsocket(port); }
    // The two halves of connect, for tests that need the socket before they can connect.
    bool makesocket() {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        return fd_ >= 0;
    }
    // Binds the socket to a local source address (dotted text) before it connects.
    bool bindsource(const char *addr) {
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        return ::inet_pton(AF_INET, addr, &sa.sin_addr) == 1 &&
               ::bind(fd_, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0;
    }
    bool connectsocket(std::uint16_t port) {
        const int one = 1;
        ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(port);
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return ::connect(fd_, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0;
    }
    void close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

    bool sendbytes(const void *bytes, std::size_t n) {
        return ::send(fd_, bytes, n, MSG_NOSIGNAL) == static_cast<ssize_t>(n);
    }

    // The packet bytes of a request: call bytes, the block with len set, the data.
    static std::vector<std::uint8_t> packet(std::uint8_t op, FS fs, const void *data = nullptr,
                                            std::size_t len = 0, std::uint8_t call0 = 0) {
        fs.len = static_cast<std::int16_t>(len);
        std::vector<std::uint8_t> bytes(kRequestHeader + len);
        bytes[0] = op == kOpOpen ? 1 : call0;
        bytes[1] = op;
        std::memcpy(bytes.data() + 2, &fs, sizeof fs);
        if (len != 0) std::memcpy(bytes.data() + kRequestHeader, data, len);
        return bytes;
    }

    // Receives one reply, waiting at most ms.
    Reply receive(int ms = 10000) {
        Reply reply;
        std::vector<std::uint8_t> bytes;
        if (!receiveexactly(bytes, kReplyHeader, ms)) return reply;
        std::memcpy(&reply.fs, bytes.data(), kReplyHeader);
        reply.copyfields();
        if (reply.len < 0 || reply.len > 1024) return reply;
        if (!receiveexactly(bytes, kReplyHeader + static_cast<std::size_t>(reply.len), ms)) {
            return reply;
        }
        reply.data.assign(bytes.begin() + kReplyHeader, bytes.end());
        reply.ok = true;
        return reply;
    }

    Reply call(std::uint8_t op, FS fs, const void *data = nullptr, std::size_t len = 0) {
        const auto bytes = packet(op, fs, data, len);
        if (!sendbytes(bytes.data(), bytes.size())) return Reply{};
        return receive();
    }

    // True when nothing arrives within ms and the connection is still open.
    bool silent(int ms = 300) {
        pollfd p{fd_, POLLIN, 0};
        return ::poll(&p, 1, ms) == 0;
    }
    // True when the server closes the connection within ms.
    bool closedbypeer(int ms = 5000) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, ms) <= 0) return false;
        char c;
        return ::recv(fd_, &c, 1, 0) <= 0;
    }

    // Convenience calls.
    Reply open(const std::string &name) {
        FS fs{};
        fs.isnetwork = 1;
        return call(kOpOpen, fs, name.c_str(), name.size() + 1);
    }
    Reply onfile(std::uint8_t op, std::int16_t slot, std::uint8_t fid = 0, std::uint32_t rid = 0,
                 const void *data = nullptr, std::size_t len = 0) {
        FS fs{};
        fs.fsdatanum = slot;
        fs.isnetwork = 1;
        fs.fid = fid;
        fs.rid = rid;
        return call(op, fs, data, len);
    }
    Reply withrid(std::uint8_t op, std::int16_t slot, std::uint32_t rid) {
        return onfile(op, slot, 0, 0, &rid, sizeof rid);
    }
    Reply lock(std::int16_t slot, const std::vector<std::uint32_t> &rids) {
        return onfile(kOpLock, slot, 0, 0, rids.data(), rids.size() * 4);
    }
    Reply exclusive(std::int16_t slot, std::int16_t allowreads) {
        return onfile(kOpExclusiveLock, slot, 0, 0, &allowreads, sizeof allowreads);
    }

  private:
    bool receiveexactly(std::vector<std::uint8_t> &bytes, std::size_t want, int ms) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        std::size_t have = bytes.size();
        bytes.resize(want);
        while (have < want) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd p{fd_, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) {
                return false;
            }
            const ssize_t got = ::recv(fd_, bytes.data() + have, want - have, 0);
            if (got <= 0) return false;
            have += static_cast<std::size_t>(got);
        }
        return true;
    }

    int fd_ = -1;
};

// The stored (compressed) form of a record.
inline std::vector<std::uint8_t> storedform(const std::vector<std::uint8_t> &record) {
    std::vector<std::uint8_t> out(1100);
    const int n =
        compress(out.data(), out.size(), record.data(), static_cast<std::int16_t>(record.size()));
    out.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return out;
}

// A record of `len` bytes that compresses somewhat (runs and varied bytes).
inline std::vector<std::uint8_t> samplerecord(unsigned seed, std::size_t len) {
    std::vector<std::uint8_t> r(len);
    for (std::size_t i = 0; i < len; ++i) {
        r[i] = (i / 7) % 3 == 0 ? static_cast<std::uint8_t>(seed)
                                : static_cast<std::uint8_t>(seed * 31 + i);
    }
    return r;
}

// True when the file passes the integrity checker; the findings otherwise in `why`.
inline bool passescheck(const std::string &path, std::string *why) {
    const auto findings = checkpath(path.c_str());
    *why = describe(findings);
    return !hasfaults(findings);
}

}  // namespace vorn::test
