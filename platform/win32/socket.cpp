// Win32 implementation of the socket part of the platform seam: Windows Sockets, version 1.1
// requested from WSAStartup (the calls used here are all of that version).
//
// A socket handle is a small kernel handle value, so it fits the seam's 32-bit Socket. On
// Windows a shutdown does not wake a thread blocked in accept or recv on the same socket as
// it does on Linux (where the stop of the server relies on it), so shutdownboth also marks
// the socket, and tcpaccept and recvsome wait with select in short rounds and give up once
// the socket is marked: accept fails, recv reads the end of the stream.
#include "vorn/socket.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>

namespace vorn::platform {
namespace {

constexpr int kWaitRoundMs = 100;

std::mutex shutmutex;
std::set<Socket> shutsockets;  // sockets that shutdownboth has marked

SOCKET native(Socket s) {
    return static_cast<SOCKET>(static_cast<std::uint32_t>(s));
}

Socket wrap(SOCKET s) {
    return s == INVALID_SOCKET ? kNoSocket : static_cast<Socket>(s);
}

sockaddr_in makeaddress(std::uint32_t addr, std::uint16_t port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = addr;
    return sa;
}

void nodelay(SOCKET s) {
    // One request and one reply at a time: send each packet at once.
    const BOOL one = TRUE;
    ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char *>(&one), sizeof one);
}

bool marked(Socket s) {
    std::lock_guard lock(shutmutex);
    return shutsockets.count(s) != 0;
}

enum class Wait { Ready, Shut, Failed };

// Waits until the socket can be read (or accepted from) or has been marked.
Wait waitreadable(Socket s) {
    for (;;) {
        if (marked(s)) return Wait::Shut;
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(native(s), &readable);
        timeval round{0, kWaitRoundMs * 1000};
        const int ready = ::select(0, &readable, nullptr, nullptr, &round);
        if (ready < 0) return Wait::Failed;
        if (ready > 0) return marked(s) ? Wait::Shut : Wait::Ready;
    }
}

}  // namespace

bool peeraddress(Socket s, std::uint32_t *addr) {
    sockaddr_in sa{};
    int len = sizeof sa;
    if (::getpeername(native(s), reinterpret_cast<sockaddr *>(&sa), &len) != 0) return false;
    if (sa.sin_family != AF_INET) return false;
    *addr = sa.sin_addr.s_addr;
    return true;
}

bool socketstartup() {
    WSADATA data{};
    return ::WSAStartup(MAKEWORD(1, 1), &data) == 0;
}

bool socketcleanup() {
    return ::WSACleanup() == 0;
}

Socket tcpsocket() {
    const SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) return kNoSocket;
    ::SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
    nodelay(s);
    return wrap(s);
}

bool tcpconnect(Socket s, std::uint32_t addr, std::uint16_t port) {
    const sockaddr_in sa = makeaddress(addr, port);
    return ::connect(native(s), reinterpret_cast<const sockaddr *>(&sa), sizeof sa) == 0;
}

bool tcpbind(Socket s, std::uint32_t addr, std::uint16_t port) {
    // No SO_REUSEADDR: on Windows it would let a second server take the same port.
    const sockaddr_in sa = makeaddress(addr, port);
    return ::bind(native(s), reinterpret_cast<const sockaddr *>(&sa), sizeof sa) == 0;
}

bool tcplisten(Socket s, int backlog) {
    return ::listen(native(s), backlog) == 0;
}

Socket tcpaccept(Socket s) {
    for (;;) {
        const Wait w = waitreadable(s);
        if (w == Wait::Shut) ::WSASetLastError(WSAESHUTDOWN);
        if (w != Wait::Ready) return kNoSocket;
        const SOCKET c = ::accept(native(s), nullptr, nullptr);
        if (c == INVALID_SOCKET) {
            const int error = ::WSAGetLastError();
            if (error == WSAEINTR || error == WSAECONNRESET || error == WSAEWOULDBLOCK) continue;
            return kNoSocket;
        }
        ::SetHandleInformation(reinterpret_cast<HANDLE>(c), HANDLE_FLAG_INHERIT, 0);
        nodelay(c);
        return wrap(c);
    }
}

std::uint16_t boundport(Socket s) {
    sockaddr_in sa{};
    int len = sizeof sa;
    if (::getsockname(native(s), reinterpret_cast<sockaddr *>(&sa), &len) != 0) return 0;
    return ntohs(sa.sin_port);
}

long sendall(Socket s, const void *buf, std::size_t n) {
    std::size_t done = 0;
    const auto *p = static_cast<const char *>(buf);
    while (done < n) {
        const std::size_t left = n - done;
        const int chunk = left > 0x40000000u ? 0x40000000 : static_cast<int>(left);
        const int put = ::send(native(s), p + done, chunk, 0);
        if (put <= 0) return done > 0 ? static_cast<long>(done) : -1;
        done += static_cast<std::size_t>(put);
    }
    return static_cast<long>(done);
}

long recvsome(Socket s, void *buf, std::size_t n) {
    const int want = n > 0x40000000u ? 0x40000000 : static_cast<int>(n);
    const Wait w = waitreadable(s);
    if (w == Wait::Shut) return 0;
    if (w == Wait::Failed) return -1;
    const int got = ::recv(native(s), static_cast<char *>(buf), want, 0);
    return got == SOCKET_ERROR ? -1 : got;
}

bool shutdownboth(Socket s) {
    {
        std::lock_guard lock(shutmutex);
        shutsockets.insert(s);
    }
    // A listening socket has no connection to shut down; the mark is all it needs.
    return ::shutdown(native(s), SD_BOTH) == 0 || ::WSAGetLastError() == WSAENOTCONN;
}

bool closesocket(Socket s) {
    {
        std::lock_guard lock(shutmutex);
        shutsockets.erase(s);
    }
    return ::closesocket(native(s)) == 0;
}

}  // namespace vorn::platform
