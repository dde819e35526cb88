// The exact request of every forwarded operation: call bytes, every field of the block, the
// data; and the value each operation takes from the reply.
#include "link_peer.h"
#include "vorn/compress.h"

namespace vorn::test {
namespace {

// The block every row starts from: distinctive values in every field, so that a field the
// operation must carry unchanged shows when it is touched.
FS startblock() {
    FS fs;
    fs.fsdatanum = 7;
    fs.isnetwork = 1;
    fs.socket = 0xBEEF;
    fs.errororigin = 'q';
    fs.error = 0x01020304;
    fs.len = 999;
    fs.fid = 0x5A;
    fs.rid = 0xDEADBEEF;
    fs.sequence = 0x11;
    fs.totalpackets = 0x22;
    return fs;
}

std::vector<std::uint8_t> bytesof(const void *p, std::size_t n) {
    const auto *b = static_cast<const std::uint8_t *>(p);
    return {b, b + n};
}

std::vector<std::uint8_t> le32(std::uint32_t v) {
    return bytesof(&v, 4);
}

std::vector<std::uint8_t> storedof(const std::string &rec) {
    std::uint8_t out[1024];
    const int n = compress(out, sizeof out, rec.data(), static_cast<std::int16_t>(rec.size()));
    return {out, out + n};
}

const std::string kRecord = "record record record aaaaaaaaaaaaaaaaaaaaaaaaaaaa tail";
const std::string kKey = "KEY-17";

struct Row {
    const char *name;
    std::uint8_t call;
    std::function<std::uint64_t(char, ::FS *)> invoke;
    std::function<void(FS &)> expectblock;  // the request block, from startblock()
    std::vector<std::uint8_t> expectdata;
    std::function<void(FS &)> replyedit;  // how the scripted reply differs from the request
    std::vector<std::uint8_t> replydata;
    std::uint64_t expectresult;
};

std::vector<Row> rows() {
    const auto stored = storedof(kRecord);
    const auto key = bytesof(kKey.data(), kKey.size());
    const auto reprid = [](FS &f) { f.rid = 0x3000002A; };
    std::vector<Row> r;
    r.push_back({"fslock",
                 kOpLock,
                 [](char i, ::FS *fs) {
                     const std::uint32_t rids[] = {0x10000001, 0x10000002, 0};
                     return std::uint64_t(fslock(i, fs, rids));
                 },
                 [](FS &f) { f.len = 8; },
                 [] {
                     auto d = le32(0x10000001);
                     auto e = le32(0x10000002);
                     d.insert(d.end(), e.begin(), e.end());
                     return d;
                 }(),
                 nullptr,
                 {},
                 1});
    r.push_back({"fsunlock",
                 kOpUnlock,
                 [](char i, ::FS *fs) { return std::uint64_t(fsunlock(i, fs)); },
                 [](FS &f) { f.len = 0; },
                 {},
                 nullptr,
                 {},
                 1});
    r.push_back({"fsexclusivelock",
                 kOpExclusiveLock,
                 [](char i, ::FS *fs) { return std::uint64_t(fsexclusivelock(i, fs, -2)); },
                 [](FS &f) {
                     f.len = 2;
                     f.rid = 0;
                 },
                 {0xFE, 0xFF},
                 nullptr,
                 {},
                 1});
    r.push_back({"fsexclusiveunlock",
                 kOpExclusiveUnlock,
                 [](char i, ::FS *fs) { return std::uint64_t(fsexclusiveunlock(i, fs)); },
                 [](FS &f) { f.len = 0; },
                 {},
                 nullptr,
                 {},
                 1});
    r.push_back({"fsunlockrid",
                 kOpUnlockRid,
                 [](char i, ::FS *fs) { return std::uint64_t(fsunlockrid(i, fs, 0x20000003)); },
                 [](FS &f) { f.len = 4; },
                 le32(0x20000003),
                 nullptr,
                 {},
                 1});
    r.push_back(
        {"fsforceunlockrid",
         kOpForceUnlockRid,
         [](char i, ::FS *fs) { return std::uint64_t(fsforceunlockrid(i, fs, 0x20000004)); },
         [](FS &f) { f.len = 4; },
         le32(0x20000004),
         nullptr,
         {},
         1});
    r.push_back({"fsgetcannumber",
                 kOpGetCanNumber,
                 [](char i, ::FS *fs) { return std::uint64_t(fsgetcannumber(i, fs, 1)); },
                 [](FS &f) { f.len = 2; },
                 {1, 0},
                 reprid,
                 {},
                 0x3000002A});
    r.push_back(
        {"fsstorecannumber",
         kOpStoreCanNumber,
         [](char i, ::FS *fs) { return std::uint64_t(fsstorecannumber(i, fs, 0x00050006)); },
         [](FS &f) {
             f.len = 0;
             f.rid = 0x00050006;
         },
         {},
         nullptr,
         {},
         1});
    r.push_back({"fsgetbusinessdate",
                 kOpGetBusinessDate,
                 [](char i, ::FS *fs) { return std::uint64_t(fsgetbusinessdate(i, fs)); },
                 [](FS &f) { f.len = 0; },
                 {},
                 reprid,
                 {},
                 0x3000002A});
    r.push_back(
        {"fsstorebusinessdate",
         kOpStoreBusinessDate,
         [](char i, ::FS *fs) { return std::uint64_t(fsstorebusinessdate(i, fs, 20261208)); },
         [](FS &f) {
             f.len = 0;
             f.rid = 20261208;
         },
         {},
         nullptr,
         {},
         1});
    r.push_back({"fsgetappstat",
                 kOpGetAppStat,
                 [](char i, ::FS *fs) { return std::uint64_t(fsgetappstat(i, fs)); },
                 [](FS &f) {
                     f.len = 0;
                     f.rid = 0;
                 },
                 {},
                 [](FS &f) { f.rid = 0xFFFFFFFF; },
                 {},
                 1});
    r.push_back({"fssetappstat on",
                 kOpSetAppStat,
                 [](char i, ::FS *fs) { return std::uint64_t(fssetappstat(i, fs, 5)); },
                 [](FS &f) {
                     f.len = 0;
                     f.rid = 0xFFFFFFFF;
                 },
                 {},
                 nullptr,
                 {},
                 1});
    r.push_back({"fssetappstat off",
                 kOpSetAppStat,
                 [](char i, ::FS *fs) { return std::uint64_t(fssetappstat(i, fs, 0)); },
                 [](FS &f) {
                     f.len = 0;
                     f.rid = 0;
                 },
                 {},
                 nullptr,
                 {},
                 1});
    r.push_back({"fsadd",
                 kOpAdd,
                 [](char i, ::FS *fs) {
                     return std::uint64_t(fsadd(i, fs, kRecord.data(),
                                                static_cast<std::int16_t>(kRecord.size()), 0x31));
                 },
                 [n = stored.size()](FS &f) {
                     f.len = static_cast<std::int16_t>(n);
                     f.fid = 0x31;
                     f.rid = 0;
                 },
                 stored,
                 reprid,
                 {},
                 0x3000002A});
    r.push_back({"fswrite",
                 kOpWrite,
                 [](char i, ::FS *fs) {
                     return std::uint64_t(fswrite(i, fs, kRecord.data(),
                                                  static_cast<std::int16_t>(kRecord.size()),
                                                  0x30000009));
                 },
                 [n = stored.size()](FS &f) {
                     f.len = static_cast<std::int16_t>(n);
                     f.rid = 0x30000009;
                 },
                 stored,
                 nullptr,
                 {},
                 1});
    r.push_back({"fsfirst",
                 kOpFirst,
                 [](char i, ::FS *fs) { return std::uint64_t(fsfirst(i, fs, 0x30)); },
                 [](FS &f) {
                     f.len = 0;
                     f.fid = 0x30;
                     f.rid = 0;
                 },
                 {},
                 reprid,
                 {},
                 0x3000002A});
    r.push_back({"fslast",
                 kOpLast,
                 [](char i, ::FS *fs) { return std::uint64_t(fslast(i, fs, 0x30)); },
                 [](FS &f) {
                     f.len = 0;
                     f.fid = 0x30;
                     f.rid = 0;
                 },
                 {},
                 reprid,
                 {},
                 0x3000002A});
    r.push_back({"fsdelete",
                 kOpDelete,
                 [](char i, ::FS *fs) { return std::uint64_t(fsdelete(i, fs, 0x30000005)); },
                 [](FS &f) {
                     f.len = 0;
                     f.rid = 0x30000005;
                 },
                 {},
                 nullptr,
                 {},
                 1});
    r.push_back({"fsread",
                 kOpRead,
                 [](char i, ::FS *fs) {
                     char out[200];
                     const auto n = fsread(i, fs, 0x30000006, out);
                     return std::string(out, n > 0 ? n : 0) == kRecord ? std::uint64_t(n) : 0;
                 },
                 [](FS &f) {
                     f.len = 0;
                     f.rid = 0x30000006;
                 },
                 {},
                 nullptr,
                 stored,
                 kRecord.size()});
    r.push_back({"fsnext",
                 kOpNext,
                 [](char i, ::FS *fs) { return std::uint64_t(fsnext(i, fs, 0x30000007)); },
                 [](FS &f) {
                     f.len = 0;
                     f.rid = 0x30000007;
                 },
                 {},
                 reprid,
                 {},
                 0x3000002A});
    r.push_back({"fsprev",
                 kOpPrev,
                 [](char i, ::FS *fs) { return std::uint64_t(fsprev(i, fs, 0x30000008)); },
                 [](FS &f) {
                     f.len = 0;
                     f.rid = 0x30000008;
                 },
                 {},
                 reprid,
                 {},
                 0x3000002A});
    for (auto [name, call, add] : {std::tuple{"fsaddkey", kOpAddKey, true},
                                   std::tuple{"fsdeletekey", kOpDeleteKey, false}}) {
        r.push_back({name,
                     call,
                     [add](char i, ::FS *fs) {
                         const auto len = static_cast<std::int16_t>(kKey.size());
                         return std::uint64_t(
                             add ? fsaddkey(i, fs, 0x32, 0x30000001, len, kKey.data())
                                 : fsdeletekey(i, fs, 0x32, 0x30000001, len, kKey.data()));
                     },
                     [](FS &f) {
                         f.len = static_cast<std::int16_t>(kKey.size());
                         f.fid = 0x32;
                         f.rid = 0x30000001;
                     },
                     key,
                     nullptr,
                     {},
                     1});
    }
    const std::vector<std::uint8_t> found = {'F', 'O', 'U', 'N', 'D', '!', '!', '!', '!'};
    const auto replyfound = [](FS &f) { f.rid = 0x3000002A; };
    // Each search returns the rid and leaves the found value in the caller's buffer.
    const auto search = [found](std::uint32_t (*fn)(char, ::FS *, char *)) {
        return [fn, found](char i, ::FS *fs) {
            char buf[200] = {};
            std::memcpy(buf, kKey.data(), kKey.size());
            const std::uint32_t rid = fn(i, fs, buf);
            const bool ok = std::memcmp(buf, found.data(), found.size()) == 0 &&
                            buf[found.size()] == 0 && fs->len == 9;
            return ok ? std::uint64_t(rid) : 0;
        };
    };
    r.push_back({"fsfirstkey",
                 kOpFirstKey,
                 search([](char i, ::FS *fs, char *k) { return fsfirstkey(i, fs, 0x32, k); }),
                 [](FS &f) {
                     f.len = 0;
                     f.fid = 0x32;
                     f.rid = 0;
                 },
                 {},
                 replyfound,
                 found,
                 0x3000002A});
    r.push_back({"fslastkey", kOpLastKey,
                 search([](char i, ::FS *fs, char *k) { return fslastkey(i, fs, 0x32, 6, k); }),
                 [](FS &f) {
                     f.len = 6;
                     f.fid = 0x32;
                     f.rid = 0;
                 },
                 key, replyfound, found, 0x3000002A});
    r.push_back({"fsfindkey", kOpFindKey,
                 search([](char i, ::FS *fs, char *k) { return fsfindkey(i, fs, 0x32, 6, k); }),
                 [](FS &f) {
                     f.len = 6;
                     f.fid = 0x32;
                     f.rid = 0;
                 },
                 key, replyfound, found, 0x3000002A});
    r.push_back({"fsnextkey", kOpNextKey, search([](char i, ::FS *fs, char *k) {
                     return fsnextkey(i, fs, 0x32, 0x30000002, 6, k);
                 }),
                 [](FS &f) {
                     f.len = 6;
                     f.fid = 0x32;
                     f.rid = 0x30000002;
                 },
                 key, replyfound, found, 0x3000002A});
    r.push_back({"fsprevkey", kOpPrevKey, search([](char i, ::FS *fs, char *k) {
                     return fsprevkey(i, fs, 0x32, 0x30000002, 6, k);
                 }),
                 [](FS &f) {
                     f.len = 6;
                     f.fid = 0x32;
                     f.rid = 0x30000002;
                 },
                 key, replyfound, found, 0x3000002A});
    r.push_back({"fsclose",
                 kOpClose,
                 [](char i, ::FS *fs) {
                     fsclose(i, fs);  // a copy: only the request is checked
                     return std::uint64_t(1);
                 },
                 [](FS &f) { f.len = 0; },
                 {},
                 nullptr,
                 {},
                 1});
    return r;
}

class LinkNetOps : public LinkTest {};

TEST_F(LinkNetOps, EveryOperationSendsExactlyItsRequestAndTakesItsReply) {
    ScriptedPeer peer;
    const char instance = fsinit(peer.address().c_str());
    ASSERT_EQ(instance, 0);
    for (const Row &row : rows()) {
        SCOPED_TRACE(row.name);
        peer.clear();
        peer.respond(
            [&row](const Request &req) { return answer(req, row.replydata, row.replyedit); });
        FS block = startblock();
        ::FS copy;
        std::memcpy(&copy, &block, sizeof copy);
        EXPECT_EQ(row.invoke(instance, &copy), row.expectresult);
        const auto reqs = peer.requests();
        ASSERT_EQ(reqs.size(), 1u);
        const Request &req = reqs[0];
        EXPECT_EQ(req.call0, 0);
        EXPECT_EQ(req.call1, row.call);
        FS expected = block;
        row.expectblock(expected);
        EXPECT_EQ(std::memcmp(&req.fs, &expected, sizeof expected), 0)
            << "fsdatanum " << req.fs.fsdatanum << " isnetwork " << int(req.fs.isnetwork)
            << " socket " << req.fs.socket << " origin " << req.fs.errororigin << " error "
            << req.fs.error << " len " << req.fs.len << " fid " << int(req.fs.fid) << " rid "
            << req.fs.rid << " seq " << int(req.fs.sequence) << " total "
            << int(req.fs.totalpackets);
        EXPECT_EQ(req.data, row.expectdata);
        EXPECT_EQ(req.size, kRequestHeader + row.expectdata.size());
        if (row.call != kOpClose) {
            // The block now holds the reply header.
            FS reply = req.fs;
            reply.error = 0;
            reply.errororigin = ' ';
            reply.len = static_cast<std::int16_t>(row.replydata.size());
            if (row.replyedit) row.replyedit(reply);
            EXPECT_EQ(std::memcmp(&copy, &reply, sizeof reply), 0);
        }
    }
}

TEST_F(LinkNetOps, ForceCloseSendsTheNameInABlockOfItsOwn) {
    ScriptedPeer peer;
    const char instance = fsinit(peer.address().c_str());
    ASSERT_EQ(instance, 0);
    EXPECT_EQ(fsforceclose(instance, "shared.db"), 1);
    const Request req = peer.last();
    EXPECT_EQ(req.call0, 0);
    EXPECT_EQ(req.call1, kOpForceClose);
    FS expected{};
    expected.isnetwork = 1;
    expected.len = 10;
    EXPECT_EQ(std::memcmp(&req.fs, &expected, sizeof expected), 0);
    EXPECT_EQ(std::string(req.data.begin(), req.data.end()), std::string("shared.db", 10));
    peer.respond([](const Request &r) { return refuse(r, 7); });
    EXPECT_EQ(fsforceclose(instance, "shared.db"), 0);
    EXPECT_EQ(link::lserrno, 7);
}

TEST_F(LinkNetOps, OpenRequestIsAZeroBlockWithTheName) {
    ScriptedPeer peer;
    const char instance = fsinit(peer.address().c_str());
    ASSERT_EQ(instance, 0);
    ::FS *fs = fsopen(instance, "a.db", 0, 0);
    ASSERT_NE(fs, nullptr);
    const Request req = peer.last();
    EXPECT_EQ(req.call0, 1);
    EXPECT_EQ(req.call1, kOpOpen);
    FS expected{};
    expected.isnetwork = 1;
    expected.len = 5;
    EXPECT_EQ(std::memcmp(&req.fs, &expected, sizeof expected), 0);
    EXPECT_EQ(req.size, 26u);
    peer.respond([](const Request &r) { return refuse(r, 7); });
    EXPECT_EQ(fsopen(instance, "b.db", 0, 0), nullptr);
    EXPECT_EQ(link::lserrno, 7);
    fsclose(instance, fs);
}

TEST_F(LinkNetOps, RecordsThatCanNotBeStoredAreRefusedBeforeAnythingIsSent) {
    ScriptedPeer peer;
    const char instance = fsinit(peer.address().c_str());
    ASSERT_EQ(instance, 0);
    FS block = startblock();
    ::FS fs;
    std::memcpy(&fs, &block, sizeof fs);
    std::vector<std::uint8_t> noise(1008);
    for (std::size_t i = 0; i < noise.size(); ++i) noise[i] = static_cast<std::uint8_t>(i * 131);
    EXPECT_EQ(fsadd(instance, &fs, noise.data(), 1008, 0x10), 0u);
    EXPECT_EQ(fswrite(instance, &fs, noise.data(), 1008, 0x10000001), 0);
    EXPECT_EQ(fsadd(instance, &fs, noise.data(), -1, 0x10), 0u);
    EXPECT_EQ(fsadd(instance, &fs, nullptr, 5, 0x10), 0u);
    EXPECT_EQ(fsaddkey(instance, &fs, 0x10, 1, 196, noise.data()), 0);
    EXPECT_EQ(fsfindkey(instance, &fs, 0x10, -1, noise.data()), 0u);
    EXPECT_EQ(fsfirstkey(instance, &fs, 0x10, nullptr), 0u);
    EXPECT_EQ(fsread(instance, &fs, 0x10000001, nullptr), 0);
    EXPECT_EQ(std::memcmp(&fs, &block, sizeof fs), 0) << "the block is untouched";
    EXPECT_TRUE(peer.requests().empty());
    // The largest incompressible record that fits a block goes out.
    peer.respond([](const Request &r) { return answer(r, {}, [](FS &f) { f.rid = 0x10000001; }); });
    EXPECT_EQ(fsadd(instance, &fs, noise.data(), 1007, 0x10), 0x10000001u);
    EXPECT_EQ(+peer.last().fs.len, 1008);
}

}  // namespace
}  // namespace vorn::test
