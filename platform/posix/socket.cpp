// POSIX implementation of the socket part of the platform seam.
#include "vorn/socket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace vorn::platform {
namespace {

sockaddr_in makeaddress(std::uint32_t addr, std::uint16_t port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = addr;
    return sa;
}

}  // namespace

bool socketstartup() {
    return true;
}
bool socketcleanup() {
    return true;
}

Socket tcpsocket() {
    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) return kNoSocket;
    // One request and one reply at a time: send each packet at once.
    const int one = 1;
    ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return s;
}

bool tcpconnect(Socket s, std::uint32_t addr, std::uint16_t port) {
    const sockaddr_in sa = makeaddress(addr, port);
    int rc;
    do {
        rc = ::connect(s, reinterpret_cast<const sockaddr *>(&sa), sizeof sa);
    } while (rc != 0 && errno == EINTR);
    return rc == 0;
}

bool tcpbind(Socket s, std::uint32_t addr, std::uint16_t port) {
    const int one = 1;
    ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    const sockaddr_in sa = makeaddress(addr, port);
    return ::bind(s, reinterpret_cast<const sockaddr *>(&sa), sizeof sa) == 0;
}

bool tcplisten(Socket s, int backlog) {
    return ::listen(s, backlog) == 0;
}

Socket tcpaccept(Socket s) {
    int c;
    do {
        c = ::accept4(s, nullptr, nullptr, SOCK_CLOEXEC);
    } while (c < 0 && (errno == EINTR || errno == ECONNABORTED));
    if (c < 0) return kNoSocket;
    const int one = 1;
    ::setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return c;
}

bool peeraddress(Socket s, std::uint32_t *addr) {
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    if (::getpeername(s, reinterpret_cast<sockaddr *>(&sa), &len) != 0) return false;
    if (sa.sin_family != AF_INET) return false;
    *addr = sa.sin_addr.s_addr;
    return true;
}

std::uint16_t boundport(Socket s) {
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    if (::getsockname(s, reinterpret_cast<sockaddr *>(&sa), &len) != 0) return 0;
    return ntohs(sa.sin_port);
}

long sendall(Socket s, const void *buf, std::size_t n) {
    std::size_t done = 0;
    const auto *p = static_cast<const char *>(buf);
    while (done < n) {
        const ssize_t put = ::send(s, p + done, n - done, MSG_NOSIGNAL);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return done > 0 ? static_cast<long>(done) : -1;
        done += static_cast<std::size_t>(put);
    }
    return static_cast<long>(done);
}

long recvsome(Socket s, void *buf, std::size_t n) {
    ssize_t got;
    do {
        got = ::recv(s, buf, n, 0);
    } while (got < 0 && errno == EINTR);
    return static_cast<long>(got);
}

bool shutdownboth(Socket s) {
    return ::shutdown(s, SHUT_RDWR) == 0;
}
bool closesocket(Socket s) {
    return ::close(s) == 0;
}

}  // namespace vorn::platform
