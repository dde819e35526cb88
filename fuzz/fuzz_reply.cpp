// Fuzz target: the client library's handling of what a server sends back. The input is the
// byte stream a server would send on one connection; the library's instance is connected to
// one end of a socket pair whose other end holds the input, and every network call of the
// API runs once in a fixed order, each taking its reply from the stream (records are
// uncompressed, keys and times copied out). Whatever arrives, the library may fail a call but
// never write past a caller's buffer or crash.
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <ctime>

#include "netcalls.h"
#include "replycalls.h"
#include "vornlink.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    // The stream must fit the socket's buffer: nobody reads it while the calls run.
    if (size > 65536) return 0;
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) std::abort();
    if (size > 0 && ::send(pair[1], data, size, MSG_NOSIGNAL) != static_cast<ssize_t>(size)) {
        std::abort();
    }
    ::shutdown(pair[1], SHUT_WR);
    const char in = fsinit("");  // an instance without a server, then given the socket pair
    if (in < 0) std::abort();
    vorn::link::vars[static_cast<int>(in)]->destSocket = pair[0];
    FS *f = fsopen(in, "a.db", 0, 0);
    if (f != nullptr) {
        vorn::fuzz::replycalls(in, f);
        fsclose(in, f);
    }
    closefs(in);  // closes pair[0] unless a failed call did
    ::close(pair[1]);
    return 0;
}
