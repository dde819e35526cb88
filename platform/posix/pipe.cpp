// POSIX implementation of the status-pipe seam: Unix-domain SOCK_SEQPACKET sockets in the
// abstract namespace (the name follows a leading NUL byte in sun_path).
#include "vorn/pipe.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace vorn::platform {
namespace {

// Fills `address` for the abstract name; false when the name is empty or too long.
bool pipeaddress(const char *name, sockaddr_un *address, socklen_t *size) {
    if (name == nullptr) return false;
    const std::size_t length = std::strlen(name);
    if (length == 0 || length > kMaxPipeName || length + 1 > sizeof address->sun_path) {
        return false;
    }
    *address = sockaddr_un{};
    address->sun_family = AF_UNIX;
    std::memcpy(address->sun_path + 1, name, length);
    *size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + length);
    return true;
}

// A new socket for the pipe `name`, its address in `address`; kNoPipe with errno set when
// the name is unusable or no socket can be had.
PipeHandle newsocket(const char *name, sockaddr_un *address, socklen_t *size) {
    if (!pipeaddress(name, address, size)) {
        errno = EINVAL;
        return kNoPipe;
    }
    const PipeHandle s = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    return s < 0 ? kNoPipe : s;
}

// Closes a socket whose set-up failed, keeping the errno of the failing call.
PipeHandle abandon(PipeHandle s) {
    const int saved = errno;
    ::close(s);
    errno = saved;
    return kNoPipe;
}

}  // namespace

PipeHandle pipelisten(const char *name, int backlog) {
    sockaddr_un address;
    socklen_t size = 0;
    const PipeHandle s = newsocket(name, &address, &size);
    if (s == kNoPipe) return kNoPipe;
    if (::bind(s, reinterpret_cast<const sockaddr *>(&address), size) != 0 ||
        ::listen(s, backlog) != 0) {
        return abandon(s);
    }
    return s;
}

PipeHandle pipeaccept(PipeHandle listener) {
    for (;;) {
        const int c = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (c >= 0) return c;
        // A client that gave up before it was taken, or a signal: wait for the next one.
        if (errno != EINTR && errno != ECONNABORTED) return kNoPipe;
    }
}

PipeHandle pipeconnect(const char *name) {
    sockaddr_un address;
    socklen_t size = 0;
    const PipeHandle s = newsocket(name, &address, &size);
    if (s == kNoPipe) return kNoPipe;
    int rc;
    do {
        rc = ::connect(s, reinterpret_cast<const sockaddr *>(&address), size);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) return abandon(s);
    return s;
}

long piperead(PipeHandle pipe, void *buf, std::size_t n) {
    for (;;) {
        const ssize_t got = ::recv(pipe, buf, n, 0);
        if (got >= 0) return static_cast<long>(got);
        if (errno != EINTR) return -1;
    }
}

long pipewrite(PipeHandle pipe, const void *buf, std::size_t n) {
    for (;;) {
        const ssize_t sent = ::send(pipe, buf, n, MSG_NOSIGNAL);
        if (sent >= 0) return static_cast<long>(sent);
        if (errno != EINTR) return -1;
    }
}

bool pipewait(PipeHandle pipe, int ms) {
    pollfd p{pipe, POLLIN, 0};
    for (;;) {
        const int rc = ::poll(&p, 1, ms);
        if (rc >= 0) return rc > 0;
        if (errno != EINTR) return false;
    }
}

void pipedisconnect(PipeHandle pipe) {
    ::shutdown(pipe, SHUT_RDWR);
}

void pipeshutdown(PipeHandle pipe) {
    ::shutdown(pipe, SHUT_RDWR);
}

void pipeclose(PipeHandle pipe) {
    if (pipe >= 0) ::close(pipe);
}

}  // namespace vorn::platform
