// makecorpus DIR: writes the fuzzers' seed inputs, made by the system's own code: database
// files grown by the engine, request streams as the library sends them, the replies a real
// server sends to fuzz_reply's calls, and stored records. Run by scripts/fuzz.sh --seeds;
// the result is kept in fuzz/corpus/TARGET/.
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "connection.h"
#include "fsn/blocks.h"
#include "fsn/format.h"
#include "fsn/keysearch.h"
#include "fsn/keyupdate.h"
#include "fsn/records.h"
#include "memimage.h"
#include "netcalls.h"
#include "replycalls.h"
#include "server.h"
#include "vorn/compress.h"
#include "vorn/wire.h"
#include "vornlink.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

std::string out;

void save(const std::string &target, const std::string &name, const Bytes &bytes) {
    fs::create_directories(out + "/" + target);
    std::ofstream file(out + "/" + target + "/" + name, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char *>(bytes.data()), static_cast<long>(bytes.size()));
}

Bytes record(unsigned seed, std::size_t len) {
    Bytes r(len);
    for (std::size_t i = 0; i < len; ++i) {
        r[i] = (i / 6) % 2 == 0 ? static_cast<std::uint8_t>(seed) : static_cast<std::uint8_t>(i);
    }
    return r;
}

Bytes stored(const Bytes &rec) {
    Bytes s(rec.size() + 1);
    s.resize(static_cast<std::size_t>(
        vorn::compress(s.data(), s.size(), rec.data(), static_cast<std::int16_t>(rec.size()))));
    return s;
}

// A database grown by the engine: `records` records in sub-files 1 and 2 with a key each,
// every third record deleted again.
Bytes database(vorn::ImageKind kind, std::int16_t xblkfreq, int records) {
    using namespace vorn;
    auto data = std::make_shared<test::MemFileData>();
    test::MemFile file(data);
    writenewfile(file, kind, xblkfreq, "seed.db");
    std::shared_ptr<test::MemFileData> image;
    auto db =
        fuzz::openimage(data->bytes.data(), data->bytes.size(), Flavor::Library, false, &image);
    Fault fault;
    for (int i = 0; i < records; ++i) {
        const Bytes body = stored(record(static_cast<unsigned>(i), 20 + 7 * (i % 9)));
        const std::uint8_t fid = i % 2 == 0 ? 0x10 : 0x20;
        const std::uint32_t rid =
            addrecord(db.get(), body.data(), static_cast<std::int16_t>(body.size()), fid, &fault);
        const std::string key = "key" + std::to_string(i * 37 % 101);
        addkey(db.get(), static_cast<std::int16_t>(key.size() + 1),
               bldkey(fid, rid, static_cast<std::int16_t>(key.size()), key.data()));
        if (i % 3 == 2) deleterecord(db.get(), rid, &fault);
    }
    flushbuffs(db.get());
    return image->bytes;
}

// An engine input: the flavor bit and operations, then the file.
Bytes engineinput(bool server, const std::vector<std::array<std::uint8_t, 8>> &ops,
                  const Bytes &file) {
    Bytes in{static_cast<std::uint8_t>((server ? 0x80 : 0) | ops.size())};
    for (const auto &op : ops) in.insert(in.end(), op.begin(), op.end());
    in.insert(in.end(), file.begin(), file.end());
    return in;
}

void databases() {
    const Bytes empty = database(vorn::ImageKind::Database, vorn::kDefaultXblkfreq, 0);
    const Bytes grown = database(vorn::ImageKind::Database, vorn::kDefaultXblkfreq, 24);
    const Bytes tight = database(vorn::ImageKind::Database, 2, 30);
    const Bytes temp = database(vorn::ImageKind::ServerTemp, vorn::kDefaultXblkfreq, 6);
    save("check", "empty", empty);
    save("check", "grown", grown);
    save("check", "tight", tight);
    save("check", "temp", temp);
    // Operations: kind, fid, rid (little-endian), length.
    const std::vector<std::array<std::uint8_t, 8>> ops = {
        {0, 0x10, 0, 0, 0, 0, 40, 0},      {5, 0x10, 1, 0, 0, 0x10, 5, 0},
        {3, 0, 1, 0, 0, 0x10, 0, 0},       {1, 0, 1, 0, 0, 0x10, 0xF0, 1},
        {8, 0x10, 0, 0, 0, 0, 5, 0},       {10, 0x10, 1, 0, 0, 0x10, 5, 0},
        {2, 0, 1, 0, 0, 0x10, 0, 0},       {6, 0x10, 1, 0, 0, 0x10, 5, 0},
        {12, 0x20, 9, 0, 0, 0x20, 100, 0}, {7, 0x20, 0, 0, 0, 0, 0, 0},
    };
    save("engine", "empty-library", engineinput(false, ops, empty));
    save("engine", "grown-server", engineinput(true, ops, grown));
    save("engine", "tight-library", engineinput(false, ops, tight));
}

// A request packet as the library sends it.
Bytes request(std::uint8_t op, std::int16_t slot, std::uint8_t fid, std::uint32_t rid,
              const Bytes &data) {
    vorn::FS block{};
    block.fsdatanum = slot;
    block.isnetwork = 1;
    block.fid = fid;
    block.rid = rid;
    block.len = static_cast<std::int16_t>(data.size());
    Bytes p(vorn::kRequestHeader);
    p[0] = op == vorn::kOpOpen ? 1 : 0;
    p[1] = op;
    std::memcpy(p.data() + 2, &block, vorn::kFsSize);
    p.insert(p.end(), data.begin(), data.end());
    return p;
}

Bytes text(const char *s) {
    return Bytes(s, s + std::strlen(s) + 1);
}

Bytes le32(std::uint32_t v) {
    Bytes b(4);
    std::memcpy(b.data(), &v, 4);
    return b;
}

Bytes concat(const std::vector<Bytes> &parts) {
    Bytes all;
    for (const Bytes &p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

void requests() {
    using namespace vorn;
    const Bytes rec = stored(record(3, 60));
    const std::uint32_t rid = 0x10000001;
    save("dispatch", "records",
         concat({request(kOpOpen, 0, 0, 0, text("a.db")), request(kOpAdd, 0, 0x10, 0, rec),
                 request(kOpRead, 0, 0, rid, {}), request(kOpFirst, 0, 0x10, 0, {}),
                 request(kOpNext, 0, 0, rid, {}), request(kOpWrite, 0, 0, rid, rec),
                 request(kOpDelete, 0, 0, rid, {}), request(kOpClose, 0, 0, 0, {})}));
    save("dispatch", "keys",
         concat({request(kOpOpen, 0, 0, 0, text("b.db")),
                 request(kOpAddKey, 0, 0x10, rid, text("k1")),
                 request(kOpAddKey, 0, 0x10, rid + 1, text("k2")),
                 request(kOpFindKey, 0, 0x10, 0, text("k1")), request(kOpFirstKey, 0, 0x10, 0, {}),
                 request(kOpNextKey, 0, 0x10, rid, text("k1")),
                 request(kOpDeleteKey, 0, 0x10, rid, text("k1"))}));
    save("dispatch", "control",
         concat({request(kOpOpen, 0, 0, 0, text("a.db")), request(kOpLock, 0, 0, 0, le32(rid)),
                 request(kOpIsLocked, 0, 0, 0, le32(rid)), request(kOpUnlock, 0, 0, 0, {}),
                 request(kOpExclusiveLock, 0, 0, 0, {1, 0}),
                 request(kOpGetCanNumber, 0, 0, 0, {1, 0}), request(kOpGetLocalTime, 0, 0, 0, {}),
                 request(kOpForceClose, 0, 0, 0, text("A.DB"))}));
    // A stream on a database of its own ("VDB", its length, its bytes).
    const Bytes image = database(ImageKind::Database, 2, 30);
    Bytes own{'V', 'D', 'B', static_cast<std::uint8_t>(image.size()),
              static_cast<std::uint8_t>(image.size() >> 8)};
    own.insert(own.end(), image.begin(), image.end());
    const Bytes stream =
        concat({request(kOpOpen, 0, 0, 0, text("a.db")), request(kOpAdd, 0, 0x10, 0, rec),
                request(kOpFirst, 0, 0x20, 0, {}), request(kOpFindKey, 0, 0x10, 0, text("key37")),
                request(kOpAddKey, 0, 0x20, rid, text("key9")), request(kOpDelete, 0, 0, rid, {})});
    own.insert(own.end(), stream.begin(), stream.end());
    save("dispatch", "own-file", own);
    save("dispatch", "temp",
         concat({request(kOpOpenTemp, 0, 0, 0, {}), request(kOpAdd, 0, 0x10, 0, rec),
                 request(kOpCloseTemp, 0, 0, 0, {}), request(kOpOpen, 0, 0, 0, text("../a.db"))}));
}

// Reads one framed packet (header `header` bytes, then the len of the block) from fd.
bool readpacket(int fd, std::size_t header, Bytes *packet) {
    packet->assign(header, 0);
    std::size_t have = 0;
    std::size_t want = header;
    while (have < want) {
        const ssize_t n = ::recv(fd, packet->data() + have, want - have, 0);
        if (n <= 0) return false;
        have += static_cast<std::size_t>(n);
        if (have == header && want == header) {
            std::int16_t len;
            std::memcpy(&len, packet->data() + header - vorn::kFsSize + offsetof(vorn::FS, len), 2);
            want = header + static_cast<std::size_t>(len < 0 ? 0 : len);
            packet->resize(want);
        }
    }
    return true;
}

// Passes requests from the library to the server and replies back, recording the replies.
void relay(int library, int server, Bytes *replies) {
    Bytes packet;
    while (readpacket(library, vorn::kRequestHeader, &packet)) {
        ::send(server, packet.data(), packet.size(), MSG_NOSIGNAL);
        if (!readpacket(server, vorn::kReplyHeader, &packet)) break;
        replies->insert(replies->end(), packet.begin(), packet.end());
        ::send(library, packet.data(), packet.size(), MSG_NOSIGNAL);
    }
    ::shutdown(server, SHUT_WR);
}

void replies() {
    std::string pattern = (fs::temp_directory_path() / "vorncorpus-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) return;
    const std::string root = pattern;
    auto db = vorn::platform::createfile((root + "/a.db").c_str());
    vorn::writenewfile(*db, vorn::ImageKind::Database, vorn::kDefaultXblkfreq, "a.db");
    db.reset();
    vorn::server::ServerConfig config;
    config.files.dataroot = vorn::server::DataRoot(root);
    vorn::server::Server served(std::move(config));
    int lib[2], srv[2];
    ::socketpair(AF_UNIX, SOCK_STREAM, 0, lib);
    ::socketpair(AF_UNIX, SOCK_STREAM, 0, srv);
    Bytes recorded;
    std::thread server([&] { vorn::server::talkToClient(served, srv[0]); });
    std::thread middle(relay, lib[1], srv[1], &recorded);
    const char in = fsinit("");
    vorn::link::vars[static_cast<int>(in)]->destSocket = lib[0];
    FS *f = fsopen(in, "a.db", 0, 0);
    if (f != nullptr) {
        vorn::fuzz::replycalls(in, f);
        fsclose(in, f);
    }
    closefs(in);
    middle.join();
    server.join();
    ::close(lib[1]);
    ::close(srv[1]);
    served.files.fscloseall();
    fs::remove_all(root);
    save("reply", "session", recorded);
    save("reply", "half", Bytes(recorded.begin(), recorded.begin() + recorded.size() / 2));
}

void storedforms() {
    for (unsigned i = 0; i < 4; ++i) {
        Bytes in{static_cast<std::uint8_t>(i == 3 ? 40 : 250)};
        const Bytes s = stored(record(i, 30 + 200 * i));
        in.insert(in.end(), s.begin(), s.end());
        save("uncompress", "stored" + std::to_string(i), in);
    }
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: makecorpus DIR\n");
        return 2;
    }
    out = argv[1];
    databases();
    requests();
    replies();
    storedforms();
    return 0;
}
