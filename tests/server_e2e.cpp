// End to end: the client library against a real vornserv over loopback. A random sequence of
// record and key operations gives the same results through the server as on a local
// temporary database, and the file the server wrote opens locally (with the integrity check)
// and passes the integrity checker.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <random>
#include <set>

#include "server_harness.h"
#include "vornlink.h"

namespace {

using vorn::test::ServerProcess;
using vorn::test::TempDir;

class EndToEnd : public ::testing::Test {
  protected:
    void SetUp() override {
        previous = std::filesystem::current_path();
        std::filesystem::current_path(dir.path());
        ASSERT_TRUE(server.start());
        instance = fsinit(server.address().c_str());
        ASSERT_GE(instance, 0);
        ASSERT_EQ(fscreatedatabase("net.db", 20), 1);
    }
    void TearDown() override {
        closefs(instance);
        std::filesystem::current_path(previous);
    }

    TempDir dir;
    std::filesystem::path previous;
    ServerProcess server{dir.path()};
    char instance = -1;
};

std::vector<std::uint8_t> recordbytes(std::mt19937 &random, std::size_t len) {
    std::vector<std::uint8_t> r(len);
    const std::uint8_t fill = static_cast<std::uint8_t>(random());
    for (std::size_t i = 0; i < len; ++i) {
        r[i] = random() % 3 == 0 ? static_cast<std::uint8_t>(random()) : fill;
    }
    return r;
}

// Runs the same operation on both databases and compares the results.
struct Pair {
    char instance;
    FS *net;
    FS *local;
};

TEST_F(EndToEnd, EveryOperationGivesTheLocalPathsResults) {
    FS *net = fsopen(instance, "net.db", 0, 0);
    ASSERT_NE(net, nullptr);
    EXPECT_EQ(net->isnetwork, 1);
    FS *local = fsopentemp(instance);
    ASSERT_NE(local, nullptr);
    EXPECT_EQ(local->isnetwork, 0);

    std::mt19937 random(2024);
    std::map<std::uint32_t, std::vector<std::uint8_t>> records;  // the model
    std::set<std::pair<std::string, std::uint32_t>> keys;        // (value, rid) of fid 0x11
    std::uint8_t bufnet[2048], buflocal[2048];
    for (int step = 0; step < 3000; ++step) {
        const int what = static_cast<int>(random() % 10);
        if (what <= 3 || records.empty()) {
            const auto rec = recordbytes(random, 1 + random() % 700);
            const std::uint8_t fid = static_cast<std::uint8_t>(0x10 + 0x10 * (random() % 3));
            const std::int16_t len = static_cast<std::int16_t>(rec.size());
            const std::uint32_t a = fsadd(instance, net, rec.data(), len, fid);
            const std::uint32_t b = fsadd(instance, local, rec.data(), len, fid);
            ASSERT_EQ(a, b) << "step " << step;
            ASSERT_NE(a, 0u);
            records[a] = rec;
            continue;
        }
        auto it = records.begin();
        std::advance(it, static_cast<long>(random() % records.size()));
        const std::uint32_t rid = it->first;
        if (what == 4) {
            const auto rec = recordbytes(random, 1 + random() % 900);
            const std::int16_t len = static_cast<std::int16_t>(rec.size());
            ASSERT_EQ(fswrite(instance, net, rec.data(), len, rid), 1) << "step " << step;
            ASSERT_EQ(fswrite(instance, local, rec.data(), len, rid), 1);
            it->second = rec;
        } else if (what == 5) {
            ASSERT_EQ(fsdelete(instance, net, rid), 1) << "step " << step;
            ASSERT_EQ(fsdelete(instance, local, rid), 1);
            records.erase(it);
        } else if (what == 6) {
            const std::int16_t n = fsread(instance, net, rid, bufnet);
            ASSERT_EQ(n, fsread(instance, local, rid, buflocal));
            ASSERT_EQ(std::vector<std::uint8_t>(bufnet, bufnet + n), it->second) << "step " << step;
        } else if (what == 7) {
            std::string value = std::to_string(random() % 200);
            value.resize(1 + random() % 20, 'k');
            const std::int16_t len = static_cast<std::int16_t>(value.size());
            const std::int16_t a = fsaddkey(instance, net, 0x11, rid, len, value.data());
            ASSERT_EQ(a, fsaddkey(instance, local, 0x11, rid, len, value.data()));
            if (a == 1) keys.insert({value, rid});
        } else if (what == 8 && !keys.empty()) {
            auto k = keys.begin();
            std::advance(k, static_cast<long>(random() % keys.size()));
            const std::int16_t len = static_cast<std::int16_t>(k->first.size());
            ASSERT_EQ(fsdeletekey(instance, net, 0x11, k->second, len, k->first.data()), 1);
            ASSERT_EQ(fsdeletekey(instance, local, 0x11, k->second, len, k->first.data()), 1);
            keys.erase(k);
        } else {
            std::string probe = std::to_string(random() % 200);
            std::memcpy(bufnet, probe.data(), probe.size());
            std::memcpy(buflocal, probe.data(), probe.size());
            const std::int16_t len = static_cast<std::int16_t>(probe.size());
            const std::uint32_t a = fsfindkey(instance, net, 0x11, len, bufnet);
            ASSERT_EQ(a, fsfindkey(instance, local, 0x11, len, buflocal)) << "step " << step;
            std::memcpy(bufnet + 1000, probe.data(), probe.size());
            std::memcpy(buflocal + 1000, probe.data(), probe.size());
            const std::uint32_t c = fslastkey(instance, net, 0x11, len, bufnet + 1000);
            ASSERT_EQ(c, fslastkey(instance, local, 0x11, len, buflocal + 1000));
        }
    }
    // Walks: records of every sub-file, and the whole index in both directions.
    for (std::uint8_t fid : {0x10, 0x20, 0x30, 0x40}) {
        std::uint32_t a = fsfirst(instance, net, fid);
        ASSERT_EQ(a, fsfirst(instance, local, fid));
        ASSERT_EQ(fslast(instance, net, fid), fslast(instance, local, fid));
        int walked = 0;
        while (a != 0) {
            ASSERT_TRUE(records.count(a)) << std::hex << a;
            const std::uint32_t next = fsnext(instance, net, a);
            ASSERT_EQ(next, fsnext(instance, local, a));
            ASSERT_EQ(fsprev(instance, net, a), fsprev(instance, local, a));
            a = next;
            ++walked;
        }
        int expected = 0;
        for (const auto &r : records) expected += (r.first >> 28) == (fid >> 4u) ? 1 : 0;
        EXPECT_EQ(walked, expected) << "sub-file " << int{fid >> 4};
    }
    std::uint32_t a = fsfirstkey(instance, net, 0x11, bufnet);
    ASSERT_EQ(a, fsfirstkey(instance, local, 0x11, buflocal));
    std::size_t entries = 0;
    while (a != 0) {
        const std::int16_t len = net->len;  // the length of the value the server returned
        ASSERT_EQ(std::memcmp(bufnet, buflocal, static_cast<std::size_t>(len)), 0);
        ASSERT_TRUE(keys.count({std::string(bufnet, bufnet + len), a}));
        const std::uint32_t b = fsnextkey(instance, local, 0x11, a, len, buflocal);
        a = fsnextkey(instance, net, 0x11, a, len, bufnet);
        ASSERT_EQ(a, b);
        ++entries;
    }
    EXPECT_EQ(entries, keys.size());

    fsclose(instance, net);
    fsclosetemp(instance, local);
    FS *check = fsopen(instance, "net.db", 1, 1);
    ASSERT_NE(check, nullptr) << "the server's file fails the local open-time checks";
    for (const auto &[rid, rec] : records) {
        const std::int16_t n = fsread(instance, check, rid, bufnet);
        ASSERT_EQ(std::vector<std::uint8_t>(bufnet, bufnet + n), rec);
    }
    fsclose(instance, check);
    std::string why;
    EXPECT_TRUE(vorn::test::passescheck(dir.file("net.db"), &why)) << why;
}

TEST_F(EndToEnd, ControlValuesLocksAndTimeThroughTheServer) {
    FS *db = fsopen(instance, "net.db", 0, 0);
    ASSERT_NE(db, nullptr);
    ASSERT_EQ(fsstorecannumber(instance, db, 0xFFFF0000u + 30000), 1);
    EXPECT_EQ(fsgetcannumber(instance, db, 1), 0u) << "both halves roll over to 0";
    EXPECT_EQ(fsgetcannumber(instance, db, 1), 1u);
    EXPECT_EQ(fsgetcannumber(instance, db, 0), 1u);
    EXPECT_EQ(fsgetappstat(instance, db), 0);
    EXPECT_EQ(fssetappstat(instance, db, 1), 1);
    EXPECT_EQ(fsgetappstat(instance, db), 1);
    EXPECT_EQ(fsstorebusinessdate(instance, db, 20261208), 1);
    EXPECT_EQ(fsgetbusinessdate(instance, db), 20261208u);
    struct tm now {};
    EXPECT_EQ(fsgetlocaltime(instance, &now), 1);
    EXPECT_GE(now.tm_year, 120);

    // Every control value is on disk at once (write-through), before any close.
    {
        auto engine =
            vorn::test::openenginepath(dir.file("net.db"), vorn::Flavor::Library, nullptr, true);
        ASSERT_NE(engine, nullptr);
        EXPECT_EQ(+engine->fscb.cannumber[0], 1);
        EXPECT_EQ(+engine->fscb.cannumber[1], 0);
        EXPECT_EQ(+engine->fscb.appstat, 1);
        EXPECT_EQ(+engine->fscb.businessdate, 20261208u);
    }

    // A second instance is another user: same slot, locks refused.
    const char other = fsinit(server.address().c_str());
    ASSERT_GE(other, 0);
    FS *db2 = fsopen(other, "NET.DB", 0, 0);
    EXPECT_EQ(db2, nullptr) << "names are case-sensitive files here";
    db2 = fsopen(other, (dir.path() + "/net.db").c_str(), 0, 0);
    ASSERT_NE(db2, nullptr);
    EXPECT_EQ(+db2->fsdatanum, +db->fsdatanum);
    const std::uint32_t rids[] = {3, 4, 0};
    EXPECT_EQ(fslock(instance, db, rids), 1);
    const std::uint32_t overlap[] = {4, 0};
    EXPECT_EQ(fslock(other, db2, overlap), 0);
    EXPECT_EQ(fsunlockrid(instance, db, 4), 1);
    EXPECT_EQ(fslock(other, db2, overlap), 1);
    EXPECT_EQ(fsunlock(instance, db), 1);
    EXPECT_EQ(fsunlock(other, db2), 1);
    EXPECT_EQ(fsexclusivelock(instance, db, 0), 1);
    const std::uint8_t rec[] = {1, 2, 3};
    EXPECT_EQ(fsadd(other, db2, rec, 3, 0x10), 0u);
    EXPECT_EQ(fsexclusiveunlock(instance, db), 1);
    EXPECT_NE(fsadd(other, db2, rec, 3, 0x10), 0u);
    // The forced close needs the upper-case name of the first open.
    EXPECT_EQ(fsforceclose(other, "net.db"), 0);
    EXPECT_EQ(fsforceclose(other, "NET.DB"), 1);
    EXPECT_EQ(fsgetbusinessdate(instance, db), 0u);
    fsclose(instance, db);
    fsclose(other, db2);
    closefs(other);
}

TEST_F(EndToEnd, ARecordThatFillsABlockTravelsBothWays) {
    FS *db = fsopen(instance, "net.db", 0, 0);
    ASSERT_NE(db, nullptr);
    std::vector<std::uint8_t> rec(1007);
    for (std::size_t i = 0; i < rec.size(); ++i) rec[i] = static_cast<std::uint8_t>(i * 131 + 7);
    const std::uint32_t rid = fsadd(instance, db, rec.data(), 1007, 0x10);
    ASSERT_NE(rid, 0u);
    std::vector<std::uint8_t> back(2048);
    ASSERT_EQ(fsread(instance, db, rid, back.data()), 1007);
    back.resize(1007);
    EXPECT_EQ(back, rec);
    fsclose(instance, db);
}

}  // namespace
