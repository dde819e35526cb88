// A connection without a socket: a test's requests go straight to the server's dispatch, on
// the calling thread, and each reply comes back decoded.
#pragma once

#include <cstring>
#include <string>
#include <vector>

#include "closefiles.h"
#include "dispatch.h"
#include "filetable.h"
#include "server_harness.h"

namespace vorn::test {

struct DispatchSession {
    explicit DispatchSession(server::FileTable &table, server::UserId id = 11)
        : files(table), mutexes(table.openslotmutexes()), user(id) {}
    ~DispatchSession() { server::fscloseallforuser(files, mutexes, user); }
    DispatchSession(const DispatchSession &) = delete;
    DispatchSession &operator=(const DispatchSession &) = delete;

    server::FileTable &files;
    server::SlotMutexes mutexes;
    server::UserId user;

    Reply call(std::uint8_t op, std::int16_t slot, std::uint8_t fid, std::uint32_t rid,
               const void *data, std::size_t len) {
        std::vector<std::uint8_t> packet(kServerReceiveBuffer);
        FS fs{};
        fs.fsdatanum = slot;
        fs.isnetwork = 1;
        fs.fid = fid;
        fs.rid = rid;
        fs.len = static_cast<std::int16_t>(len);
        packet[0] = op == kOpOpen ? 1 : 0;
        packet[1] = op;
        std::memcpy(packet.data() + 2, &fs, sizeof fs);
        if (len != 0) std::memcpy(packet.data() + kRequestHeader, data, len);
        const std::size_t size = server::dispatch(files, mutexes, user, packet.data());
        Reply reply;
        reply.ok = size >= kReplyHeader;
        std::memcpy(&reply.fs, packet.data() + 2, kReplyHeader);
        reply.copyfields();
        reply.data.assign(packet.begin() + 2 + kReplyHeader, packet.begin() + 2 + size);
        return reply;
    }
    Reply open(const std::string &name) {
        return call(kOpOpen, 0, 0, 0, name.c_str(), name.size() + 1);
    }
};

}  // namespace vorn::test
