#include "connection.h"

#include <cstring>

#include "closefiles.h"
#include "dispatch.h"
#include "server.h"
#include "vorn/eventlog.h"

namespace vorn::server {
namespace {

// The receive state of one connection: one fixed buffer that holds a request and then its
// reply, and room for bytes of a following request that arrived with it.
struct Receiver {
    alignas(8) std::uint8_t packet[kServerReceiveBuffer];
    std::size_t received = 0;  // bytes of the current request in `packet`
    std::uint8_t early[kServerReceiveBuffer];
    std::size_t earlycount = 0;  // bytes of the next request kept aside during the reply
};

// Receives until one whole request is in the buffer. Returns its size, or 0 when the
// connection has ended or the request cannot be framed (a len outside 0..1024).
std::size_t receiverequest(platform::Socket socket, Receiver &rx) {
    std::memcpy(rx.packet, rx.early, rx.earlycount);
    rx.received = rx.earlycount;
    rx.earlycount = 0;
    for (;;) {
        if (rx.received >= kRequestHeader) {
            std::int16_t len;
            std::memcpy(&len, rx.packet + 2 + offsetof(FS, len), sizeof len);
            if (len < 0 || len > static_cast<std::int16_t>(kPacketData)) return 0;
            const std::size_t size = kRequestHeader + static_cast<std::size_t>(len);
            if (rx.received >= size) return size;
        }
        const long got =
            platform::recvsome(socket, rx.packet + rx.received, sizeof rx.packet - rx.received);
        if (got <= 0) return 0;
        rx.received += static_cast<std::size_t>(got);
    }
}

}  // namespace

void reporttcp(const char *text) {
    platform::reportevent(platform::EventType::Error, 0, platform::kEventError, text);
}

void talkToClient(Server &server, platform::Socket socket) {
    FileTable &files = server.files;
    const UserId user = static_cast<UserId>(socket);
    SlotMutexes mutexes = files.openslotmutexes();
    auto rx = std::make_unique<Receiver>();
    for (;;) {
        const std::size_t size = receiverequest(socket, *rx);
        if (size == 0) break;
        // Bytes past this request belong to the next one; the reply may overwrite them.
        rx->earlycount = rx->received - size;
        std::memcpy(rx->early, rx->packet + size, rx->earlycount);
        const std::size_t reply = dispatch(files, mutexes, user, rx->packet);
        if (reply == 0) continue;
        if (platform::sendall(socket, rx->packet + 2, reply) != static_cast<long>(reply)) break;
    }
    fscloseallforuser(files, mutexes, user);
    closeslotmutexes(&mutexes);
    const bool shutbystop = server.listener.forgetconnection(socket);
    if (!shutbystop && !platform::shutdownboth(socket)) reporttcp("shutdowwn unsuccessful.");
    if (!platform::closesocket(socket)) reporttcp("closesocket error.");
}

}  // namespace vorn::server
