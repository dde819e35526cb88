// The exact request of every forwarded operation: call bytes, every field of the block, the
// data; and the value each operation takes from the reply.
#include <optional>

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

// How a request block differs from startblock(): len always, fid and rid where given.
struct Fields {
    std::int16_t len = 0;
    std::optional<std::uint8_t> fid;
    std::optional<std::uint32_t> rid;
};

void apply(const Fields &fields, FS &f) {
    f.len = fields.len;
    if (fields.fid) f.fid = *fields.fid;
    if (fields.rid) f.rid = *fields.rid;
}

constexpr std::uint32_t kReplyRid = 0x3000002A;

using Invoke = std::function<std::uint64_t(char, ::FS *)>;

// One forwarded call: the request it must send, the scripted reply and what the call gives.
// The setters name what differs from an empty request answered by an unchanged block.
struct Row {
    Row(const char *n, std::uint8_t c, Invoke i) : name(n), call(c), invoke(std::move(i)) {}
    Row &len(std::int16_t v) { return request.len = v, *this; }
    Row &fid(std::uint8_t v) { return request.fid = v, *this; }
    Row &rid(std::uint32_t v) { return request.rid = v, *this; }
    Row &sends(std::vector<std::uint8_t> d) { return expectdata = std::move(d), *this; }
    Row &replywithrid(std::uint32_t v) { return replyrid = v, *this; }
    Row &replywith(std::vector<std::uint8_t> d) { return replydata = std::move(d), *this; }
    Row &gives(std::uint64_t v) { return expectresult = v, *this; }
    // The usual answer of a call that finds a record: the reply's rid is the result.
    Row &findsrid() { return replywithrid(kReplyRid).gives(kReplyRid); }

    const char *name;
    std::uint8_t call;
    Invoke invoke;
    Fields request;
    std::vector<std::uint8_t> expectdata;
    std::optional<std::uint32_t> replyrid;
    std::vector<std::uint8_t> replydata;
    std::uint64_t expectresult = 1;
};

std::vector<Row> rows() {
    const auto stored = storedof(kRecord);
    const auto storedlen = static_cast<std::int16_t>(stored.size());
    const auto key = bytesof(kKey.data(), kKey.size());
    std::vector<Row> r;
    r.push_back(Row("fslock", kOpLock,
                    [](char i, ::FS *fs) {
                        const std::uint32_t rids[] = {0x10000001, 0x10000002, 0};
                        return std::uint64_t(fslock(i, fs, rids));
                    })
                    .len(8)
                    .sends([] {
                        auto d = le32(0x10000001);
                        auto e = le32(0x10000002);
                        d.insert(d.end(), e.begin(), e.end());
                        return d;
                    }()));
    r.push_back(Row("fsunlock", kOpUnlock,
                    [](char i, ::FS *fs) { return std::uint64_t(fsunlock(i, fs)); }));
    r.push_back(Row("fsexclusivelock", kOpExclusiveLock,
                    [](char i, ::FS *fs) { return std::uint64_t(fsexclusivelock(i, fs, -2)); })
                    .len(2)
                    .rid(0)
                    .sends({0xFE, 0xFF}));
    r.push_back(Row("fsexclusiveunlock", kOpExclusiveUnlock,
                    [](char i, ::FS *fs) { return std::uint64_t(fsexclusiveunlock(i, fs)); }));
    r.push_back(Row("fsunlockrid", kOpUnlockRid,
                    [](char i, ::FS *fs) { return std::uint64_t(fsunlockrid(i, fs, 0x20000003)); })
                    .len(4)
                    .sends(le32(0x20000003)));
    r.push_back(
        Row("fsforceunlockrid", kOpForceUnlockRid,
            [](char i, ::FS *fs) { return std::uint64_t(fsforceunlockrid(i, fs, 0x20000004)); })
            .len(4)
            .sends(le32(0x20000004)));
    r.push_back(Row("fsgetcannumber", kOpGetCanNumber,
                    [](char i, ::FS *fs) { return std::uint64_t(fsgetcannumber(i, fs, 1)); })
                    .len(2)
                    .sends({1, 0})
                    .findsrid());
    r.push_back(Row("fsstorecannumber", kOpStoreCanNumber, [](char i, ::FS *fs) {
                    return std::uint64_t(fsstorecannumber(i, fs, 0x00050006));
                }).rid(0x00050006));
    r.push_back(Row("fsgetbusinessdate", kOpGetBusinessDate, [](char i, ::FS *fs) {
                    return std::uint64_t(fsgetbusinessdate(i, fs));
                }).findsrid());
    r.push_back(Row("fsstorebusinessdate", kOpStoreBusinessDate, [](char i, ::FS *fs) {
                    return std::uint64_t(fsstorebusinessdate(i, fs, 20261208));
                }).rid(20261208));
    r.push_back(Row("fsgetappstat", kOpGetAppStat,
                    [](char i, ::FS *fs) { return std::uint64_t(fsgetappstat(i, fs)); })
                    .rid(0)
                    .replywithrid(0xFFFFFFFF));
    r.push_back(Row("fssetappstat on", kOpSetAppStat, [](char i, ::FS *fs) {
                    return std::uint64_t(fssetappstat(i, fs, 5));
                }).rid(0xFFFFFFFF));
    r.push_back(Row("fssetappstat off", kOpSetAppStat, [](char i, ::FS *fs) {
                    return std::uint64_t(fssetappstat(i, fs, 0));
                }).rid(0));
    r.push_back(Row("fsadd", kOpAdd,
                    [](char i, ::FS *fs) {
                        return std::uint64_t(fsadd(i, fs, kRecord.data(),
                                                   static_cast<std::int16_t>(kRecord.size()),
                                                   0x31));
                    })
                    .len(storedlen)
                    .fid(0x31)
                    .rid(0)
                    .sends(stored)
                    .findsrid());
    r.push_back(Row("fswrite", kOpWrite,
                    [](char i, ::FS *fs) {
                        return std::uint64_t(fswrite(i, fs, kRecord.data(),
                                                     static_cast<std::int16_t>(kRecord.size()),
                                                     0x30000009));
                    })
                    .len(storedlen)
                    .rid(0x30000009)
                    .sends(stored));
    r.push_back(Row("fsfirst", kOpFirst,
                    [](char i, ::FS *fs) { return std::uint64_t(fsfirst(i, fs, 0x30)); })
                    .fid(0x30)
                    .rid(0)
                    .findsrid());
    r.push_back(
        Row("fslast", kOpLast, [](char i, ::FS *fs) { return std::uint64_t(fslast(i, fs, 0x30)); })
            .fid(0x30)
            .rid(0)
            .findsrid());
    r.push_back(Row("fsdelete", kOpDelete, [](char i, ::FS *fs) {
                    return std::uint64_t(fsdelete(i, fs, 0x30000005));
                }).rid(0x30000005));
    r.push_back(Row("fsread", kOpRead,
                    [](char i, ::FS *fs) {
                        char out[200];
                        const auto n = fsread(i, fs, 0x30000006, out);
                        return std::string(out, n > 0 ? n : 0) == kRecord ? std::uint64_t(n) : 0;
                    })
                    .rid(0x30000006)
                    .replywith(stored)
                    .gives(kRecord.size()));
    r.push_back(Row("fsnext", kOpNext,
                    [](char i, ::FS *fs) { return std::uint64_t(fsnext(i, fs, 0x30000007)); })
                    .rid(0x30000007)
                    .findsrid());
    r.push_back(Row("fsprev", kOpPrev,
                    [](char i, ::FS *fs) { return std::uint64_t(fsprev(i, fs, 0x30000008)); })
                    .rid(0x30000008)
                    .findsrid());
    for (auto [name, call, add] : {std::tuple{"fsaddkey", kOpAddKey, true},
                                   std::tuple{"fsdeletekey", kOpDeleteKey, false}}) {
        r.push_back(Row(name, call,
                        [add](char i, ::FS *fs) {
                            const auto len = static_cast<std::int16_t>(kKey.size());
                            return std::uint64_t(
                                add ? fsaddkey(i, fs, 0x32, 0x30000001, len, kKey.data())
                                    : fsdeletekey(i, fs, 0x32, 0x30000001, len, kKey.data()));
                        })
                        .len(static_cast<std::int16_t>(kKey.size()))
                        .fid(0x32)
                        .rid(0x30000001)
                        .sends(key));
    }
    const std::vector<std::uint8_t> found = {'F', 'O', 'U', 'N', 'D', '!', '!', '!', '!'};
    // Each search returns the rid and leaves the found value in the caller's buffer.
    const auto search = [found](const char *name, std::uint8_t call,
                                std::uint32_t (*fn)(char, ::FS *, char *)) {
        return Row(name, call,
                   [fn, found](char i, ::FS *fs) {
                       char buf[200] = {};
                       std::memcpy(buf, kKey.data(), kKey.size());
                       const std::uint32_t rid = fn(i, fs, buf);
                       const bool ok = std::memcmp(buf, found.data(), found.size()) == 0 &&
                                       buf[found.size()] == 0 && fs->len == 9;
                       return ok ? std::uint64_t(rid) : 0;
                   })
            .fid(0x32)
            .rid(0)
            .replywith(found)
            .findsrid();
    };
    r.push_back(search("fsfirstkey", kOpFirstKey,
                       [](char i, ::FS *fs, char *k) { return fsfirstkey(i, fs, 0x32, k); }));
    r.push_back(search("fslastkey", kOpLastKey,
                       [](char i, ::FS *fs, char *k) { return fslastkey(i, fs, 0x32, 6, k); })
                    .len(6)
                    .sends(key));
    r.push_back(search("fsfindkey", kOpFindKey,
                       [](char i, ::FS *fs, char *k) { return fsfindkey(i, fs, 0x32, 6, k); })
                    .len(6)
                    .sends(key));
    r.push_back(
        search("fsnextkey", kOpNextKey,
               [](char i, ::FS *fs, char *k) { return fsnextkey(i, fs, 0x32, 0x30000002, 6, k); })
            .len(6)
            .rid(0x30000002)
            .sends(key));
    r.push_back(
        search("fsprevkey", kOpPrevKey,
               [](char i, ::FS *fs, char *k) { return fsprevkey(i, fs, 0x32, 0x30000002, 6, k); })
            .len(6)
            .rid(0x30000002)
            .sends(key));
    r.push_back(Row("fsclose", kOpClose, [](char i, ::FS *fs) {
        fsclose(i, fs);  // a copy: only the request is checked
        return std::uint64_t(1);
    }));
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
        const auto replyedit = [&row](FS &f) {
            if (row.replyrid) f.rid = *row.replyrid;
        };
        peer.respond([&](const Request &req) { return answer(req, row.replydata, replyedit); });
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
        apply(row.request, expected);
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
            replyedit(reply);
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
