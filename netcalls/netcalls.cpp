// The client transport: connect, exchange one request for one reply, disconnect.
//
// Framing is by length alone: a request is 21 + len bytes, a reply 19 + len bytes, with len
// taken from the block. The reply is received exactly: first its 19-byte header, then the
// len data bytes it announces, never a byte of anything that might follow.
#include "netcalls.h"

#include <cstdio>
#include <cstring>
#include <new>

namespace vorn::link {

VARS *vars[kInstances] = {};

namespace {

int instanceindex(char instance) {
    const int n = static_cast<int>(instance);
    return n >= 0 && n < kInstances ? n : -1;
}

// Closes the socket and stops the socket layer if this instance started it, logging
// failures under the name of the step that ended the connection.
void dropconnection(VARS *v, const char *step) {
    char line[80];
    if (v->destSocket != platform::kNoSocket) {
        if (!platform::closesocket(v->destSocket)) {
            std::snprintf(line, sizeof line, "ERROR: %s closesocket unsuccessful", step);
            logerror(line);
        }
        v->destSocket = platform::kNoSocket;
    }
    if (v->started) {
        if (!platform::socketcleanup()) {
            std::snprintf(line, sizeof line, "ERROR: %s WSACleanup unsuccessful", step);
            logerror(line);
        }
        v->started = false;  // start-up and clean-up stay paired per instance
    }
}

void freevars(int n) {
    delete vars[n];
    vars[n] = nullptr;
}

// Receives one whole reply into `packet`. False when the connection failed or the peer sent
// a length no reply can have; the connection is then dropped.
bool receivereply(VARS *v, RECVPACKET *packet) {
    auto *bytes = reinterpret_cast<std::uint8_t *>(packet);
    std::size_t need = kReplyHeader;
    std::size_t numrcv = 0;
    bool movedfs = false;
    while (numrcv < need) {
        const long got = platform::recvsome(v->destSocket, bytes + numrcv, need - numrcv);
        if (got <= 0) {
            logerror("Connection terminated - numrcv == 0 or SOCKET ERROR.");
            dropconnection(v, "recv");
            return false;
        }
        numrcv += static_cast<std::size_t>(got);
        if (!movedfs && numrcv >= kReplyHeader) {
            movedfs = true;
            const std::int16_t len = packet->fsinfo.len;
            if (len < 0 || static_cast<std::size_t>(len) > kPacketData) {
                char line[80];
                std::snprintf(line, sizeof line, "Connection terminated - reply len %d invalid.",
                              static_cast<int>(len));
                logerror(line);
                dropconnection(v, "recv");
                return false;
            }
            need = kReplyHeader + static_cast<std::size_t>(len);
        }
    }
    return true;
}

}  // namespace

std::int8_t netinit(char instance, const char *name) {
    const int n = instanceindex(instance);
    if (n < 0) return -2;
    if (vars[n] != nullptr) netclose(instance);
    VARS *v = new (std::nothrow) VARS{};
    if (v == nullptr) return -2;
    vars[n] = v;
    v->destSocket = platform::kNoSocket;
    if (name == nullptr || name[0] == '\0') return 0;  // local databases only

    const bool fits = std::strlen(name) < sizeof v->DEST_IP_ADDR;
    if (fits) std::memcpy(v->DEST_IP_ADDR, name, std::strlen(name) + 1);
    v->started = platform::socketstartup();
    if (!v->started) logerror("ERROR: netinit WSAStartup unsuccessful");

    // No host-name lookup: text that is not an address can't be connected to.
    if (!fits || !platform::parseaddress(v->DEST_IP_ADDR, &v->destAddr, &v->destPort)) {
        logerror("ERROR: netinit connect unsuccessful");
        dropconnection(v, "netinit connect");
        freevars(n);
        return -4;
    }
    const platform::Socket s = platform::tcpsocket();
    if (s == platform::kNoSocket) {
        logerror("ERROR: netinit socket unsuccessful");
        dropconnection(v, "netinit");
        freevars(n);
        return -3;
    }
    v->destSocket = s;
    if (!platform::tcpconnect(s, v->destAddr, v->destPort)) {
        logerror("ERROR: netinit connect unsuccessful");
        dropconnection(v, "netinit connect");
        freevars(n);
        return -4;
    }
    return 0;
}

std::int16_t callnet(char instance, std::uint8_t call, FS *fsinfo, void *data, std::size_t room) {
    const int n = instanceindex(instance);
    if (n < 0 || vars[n] == nullptr || fsinfo == nullptr) return 0;
    VARS *v = vars[n];
    const std::int16_t len = fsinfo->len;
    if (len < 0 || static_cast<std::size_t>(len) > kPacketData) return 0;
    if (len > 0 && data == nullptr) return 0;
    if (data == nullptr) room = 0;

    SENDPACKET sendText;
    sendText.call[0] = call == kOpOpen ? 1 : 0;
    sendText.call[1] = call;
    std::memcpy(&sendText.fsinfo, fsinfo, kFsSize);
    if (len > 0) std::memcpy(sendText.Data, data, static_cast<std::size_t>(len));
    const long size = static_cast<long>(len) + static_cast<long>(kRequestHeader);
    // A local-only or broken instance has no socket: its send fails like a socket error.
    const long numsnt = v->destSocket == platform::kNoSocket
                            ? -1
                            : platform::sendall(v->destSocket, &sendText, size);
    if (numsnt != size) {
        char line[80];
        std::snprintf(line, sizeof line, "Connection terminated - numsnt %ld != size %ld.", numsnt,
                      size);
        logerror(line);
        dropconnection(v, "send");
        return 0;
    }

    RECVPACKET recvText;
    if (!receivereply(v, &recvText)) return 0;
    const std::size_t replylen = static_cast<std::size_t>(recvText.fsinfo.len);
    if (replylen > room) {
        // The reply was consumed whole, so the connection stays in step; only this call fails.
        char line[80];
        std::snprintf(line, sizeof line, "Reply refused - opcode %u len %zu > %zu.",
                      static_cast<unsigned>(call), replylen, room);
        logerror(line);
        return 0;
    }
    std::memcpy(fsinfo, &recvText.fsinfo, kFsSize);
    if (replylen > 0) std::memcpy(data, recvText.Data, replylen);
    return 1;
}

std::int16_t netclose(char instance) {
    const int n = instanceindex(instance);
    if (n < 0 || vars[n] == nullptr) return 1;
    dropconnection(vars[n], "netclose");
    freevars(n);
    return 1;
}

char *getloginname(char /*instance*/) {
    return nullptr;
}

}  // namespace vorn::link
