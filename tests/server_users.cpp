// Users and locks with two and three connections to a real server: shared slots, record
// locks, the exclusive lock and its read permission, forced closes, and what the end of a
// connection leaves behind.
#include <gtest/gtest.h>

#include <filesystem>

#include "fsn/records.h"
#include "server_harness.h"

namespace vorn::test {
namespace {

class Users : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(makedatabasefile(dir.file("shared.db")));
        ASSERT_TRUE(server.start());
        for (RawClient *c : {&a, &b, &c3}) ASSERT_TRUE(c->connect(server.port()));
    }

    std::int16_t openok(RawClient &c, const std::string &name) {
        const Reply r = c.open(name);
        EXPECT_TRUE(r.ok);
        EXPECT_EQ(r.error, 0) << name;
        EXPECT_EQ(r.isnetwork, 1);
        return r.fsdatanum;
    }

    std::uint32_t add(RawClient &c, std::int16_t slot, unsigned seed,
                      std::int32_t *error = nullptr) {
        const auto stored = storedform(samplerecord(seed, 50));
        const Reply r = c.onfile(kOpAdd, slot, 0x10, 0, stored.data(), stored.size());
        EXPECT_TRUE(r.ok);
        if (error != nullptr) *error = r.error;
        return r.rid;
    }

    std::int32_t readerror(RawClient &c, std::int16_t slot, std::uint32_t rid) {
        return c.onfile(kOpRead, slot, 0, rid).error;
    }

    TempDir dir;
    ServerProcess server{dir.path()};
    RawClient a, b, c3;
};

TEST_F(Users, OneFileUnderManyNamesSharesOneSlot) {
    std::filesystem::create_directory(dir.file("sub"));
    std::filesystem::create_symlink(dir.file("shared.db"), dir.file("link.db"));
    const std::int16_t s = openok(a, "shared.db");
    EXPECT_EQ(openok(b, dir.file("shared.db")), s);
    EXPECT_EQ(openok(c3, "./sub/../shared.db"), s);
    EXPECT_EQ(openok(c3, "link.db"), s);
    // Changes by one user are seen by the others at once: one cache.
    const std::uint32_t rid = add(a, s, 1);
    EXPECT_EQ(readerror(b, s, rid), 0);
}

TEST_F(Users, DifferentFilesNeverShareASlot) {
    // Names that differ in case or by a suffix are different files here.
    ASSERT_TRUE(makedatabasefile(dir.file("SHARED.DB")));
    ASSERT_TRUE(makedatabasefile(dir.file("shared.dbx")));
    const std::int16_t s1 = openok(a, "shared.db");
    const std::int16_t s2 = openok(b, "SHARED.DB");
    const std::int16_t s3 = openok(c3, "shared.dbx");
    EXPECT_NE(s1, s2);
    EXPECT_NE(s1, s3);
    EXPECT_NE(s2, s3);
    const std::uint32_t rid = add(a, s1, 1);
    EXPECT_EQ(b.onfile(kOpFirst, s2, 0x10).rid, 0u) << "a record leaked into another file";
    EXPECT_NE(rid, 0u);
}

TEST_F(Users, TheLastUsersCloseClosesTheFile) {
    const std::int16_t s = openok(a, "shared.db");
    EXPECT_EQ(openok(a, "shared.db"), s) << "a second open by the same user adds nothing";
    EXPECT_EQ(openok(b, "shared.db"), s);
    EXPECT_EQ(a.onfile(kOpClose, s).error, 0);
    EXPECT_EQ(b.onfile(kOpGetBusinessDate, s).error, 0) << "still open for b";
    EXPECT_EQ(c3.onfile(kOpClose, s).error, kErrNotAUser);
    EXPECT_EQ(a.onfile(kOpClose, s).error, kErrNotAUser) << "a is no user any more";
    EXPECT_EQ(b.onfile(kOpClose, s).error, 0);
    EXPECT_EQ(b.onfile(kOpGetBusinessDate, s).error, kErrBadIndex) << "the slot is free";
    EXPECT_NE(server.eventlog().find("fsclose - user not in whoary."), std::string::npos);
}

TEST_F(Users, RecordLocksRefuseEveryOverlapAndAreAdvisory) {
    const std::int16_t s = openok(a, "shared.db");
    openok(b, "shared.db");
    const std::uint32_t r5 = add(a, s, 5);
    EXPECT_EQ(a.lock(s, {5, 6}).error, 0);
    EXPECT_EQ(b.lock(s, {6, 7}).error, kErrLocked);
    EXPECT_EQ(a.lock(s, {6}).error, kErrLocked) << "also the holder's own rid";
    EXPECT_EQ(b.lock(s, {7}).error, 0) << "b's refused request locked nothing";
    EXPECT_EQ(a.withrid(kOpIsLocked, s, 5).error, kErrLocked) << "own locks count";
    EXPECT_EQ(b.withrid(kOpIsLocked, s, 5).error, kErrLocked);
    EXPECT_EQ(b.withrid(kOpIsLocked, s, 8).error, 0);
    // Record locks don't stop writes by others.
    EXPECT_EQ(a.lock(s, {r5}).error, 0);
    const auto stored = storedform(samplerecord(9, 30));
    EXPECT_EQ(b.onfile(kOpWrite, s, 0, r5, stored.data(), stored.size()).error, 0);
    EXPECT_EQ(b.onfile(kOpDelete, s, 0, r5).error, 0);
    // Unlocking a rid one doesn't hold is no error and changes nothing.
    EXPECT_EQ(b.withrid(kOpUnlockRid, s, 5).error, 0);
    EXPECT_EQ(b.withrid(kOpIsLocked, s, 5).error, kErrLocked);
    EXPECT_EQ(a.withrid(kOpUnlockRid, s, 5).error, 0);
    EXPECT_EQ(b.withrid(kOpIsLocked, s, 5).error, 0);
    // A forced unlock by b removes a's rid.
    EXPECT_EQ(b.withrid(kOpForceUnlockRid, s, 6).error, 0);
    EXPECT_EQ(b.withrid(kOpIsLocked, s, 6).error, 0);
    EXPECT_EQ(b.lock(s, {6}).error, 0);
}

TEST_F(Users, TheExclusiveLockWaitsForRecordLocksAndGuardsWritesAndReads) {
    const std::int16_t s = openok(a, "shared.db");
    openok(b, "shared.db");
    const std::uint32_t rid = add(a, s, 1);
    EXPECT_EQ(a.lock(s, {}).error, 0) << "an empty lock list still counts as a lock";
    EXPECT_EQ(b.exclusive(s, 0).error, kErrLocked);
    EXPECT_EQ(a.onfile(kOpUnlock, s).error, 0);
    EXPECT_EQ(b.exclusive(s, 0).error, 0);
    std::int32_t error = 0;
    add(a, s, 2, &error);
    EXPECT_EQ(error, kErrLocked);
    EXPECT_EQ(readerror(a, s, rid), kErrLocked);
    EXPECT_EQ(a.lock(s, {99}).error, kErrLocked);
    EXPECT_EQ(c3.open("shared.db").error, kErrLocked) << "no new user while it is held";
    EXPECT_EQ(openok(a, "shared.db"), s) << "an existing user opens it again";
    EXPECT_EQ(b.exclusive(s, 1).error, 0) << "the holder changes the permission";
    EXPECT_EQ(readerror(a, s, rid), 0);
    EXPECT_EQ(a.onfile(kOpFirst, s, 0x10).rid, rid);
    add(a, s, 3, &error);
    EXPECT_EQ(error, kErrLocked);
    EXPECT_EQ(a.onfile(kOpExclusiveUnlock, s).error, kErrLocked) << "only the holder";
    add(b, s, 4, &error);
    EXPECT_EQ(error, 0) << "the holder writes";
    EXPECT_EQ(b.onfile(kOpExclusiveUnlock, s).error, 0);
    add(a, s, 5, &error);
    EXPECT_EQ(error, 0);
    // 481 refusals are not logged.
    EXPECT_EQ(server.eventlog().find("L - 481 fsadd"), std::string::npos);
}

// Another user's exclusive lock is the only answer a shut-out user gets, whatever else is
// wrong with the request; none of those refusals is logged.
TEST_F(Users, TheExclusiveLockIsCheckedBeforeTheRequestsFields) {
    const std::int16_t s = openok(a, "shared.db");
    openok(b, "shared.db");
    ASSERT_EQ(b.exclusive(s, 0).error, 0);
    const std::vector<std::uint8_t> data(1100, 'k');
    struct Bad {
        std::uint8_t op, fid;
        std::uint32_t rid;
        std::size_t len;
    };
    for (const Bad &c :
         {Bad{kOpAdd, 0x05, 0, 20}, Bad{kOpAdd, 0x10, 0, 0}, Bad{kOpAdd, 0x10, 0, 1009},
          Bad{kOpRead, 0, 5, 0}, Bad{kOpAddKey, 0x10, 1, 196}, Bad{kOpAddKey, 0x00, 1, 3},
          Bad{kOpFindKey, 0x10, 0, 500}, Bad{kOpDelete, 0, 1, 0}}) {
        EXPECT_EQ(a.onfile(c.op, s, c.fid, c.rid, data.data(), c.len).error, kErrLocked)
            << int{c.op} << " len " << c.len;
    }
    // The holder's over-long key is answered with 484, also without a log line.
    EXPECT_EQ(b.onfile(kOpAddKey, s, 0x10, 1, data.data(), 196).error, kErrKey);
    const std::string log = server.eventlog();
    for (const char *text : {"invalid sub-file", "invalid record length", "invalid rid",
                             "invalid key length", "481", "484"}) {
        EXPECT_EQ(log.find(text), std::string::npos) << text;
    }
}

TEST_F(Users, AnExclusiveLockEndsWithItsHoldersCloseOrConnection) {
    const std::int16_t s = openok(a, "shared.db");
    openok(b, "shared.db");
    openok(c3, "shared.db");
    ASSERT_EQ(b.exclusive(s, 0).error, 0);
    ASSERT_EQ(b.onfile(kOpClose, s).error, 0);
    EXPECT_EQ(a.exclusive(s, 0).error, 0) << "b's lock ended with its close";
    std::int32_t error = 0;
    add(c3, s, 1, &error);
    EXPECT_EQ(error, kErrLocked);
    a.close();  // the holder's connection ends
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    add(c3, s, 2, &error);
    EXPECT_EQ(error, 0) << "a's lock ended with its connection";
}

TEST_F(Users, ADisconnectClosesItsFilesAndDropsItsLocks) {
    ASSERT_TRUE(makedatabasefile(dir.file("alone.db")));
    const std::int16_t s = openok(a, "shared.db");
    openok(b, "shared.db");
    const std::int16_t alone = openok(a, "alone.db");
    std::vector<std::uint32_t> rids;
    for (unsigned i = 0; i < 30; ++i) rids.push_back(add(a, alone, i));
    ASSERT_EQ(a.lock(s, {11, 12}).error, 0);
    a.close();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(b.lock(s, {11, 12}).error, 0) << "a's locks are gone";
    EXPECT_EQ(b.onfile(kOpGetBusinessDate, s).error, 0) << "still open for b";
    EXPECT_EQ(b.onfile(kOpGetBusinessDate, alone).error, kErrBadIndex) << "alone.db closed";
    // Its changes are on disk: the file opens locally and every record is there.
    RecordingReporter reporter;
    auto engine = openenginepath(dir.file("alone.db"), Flavor::Library, &reporter, true);
    ASSERT_NE(engine, nullptr);
    for (unsigned i = 0; i < rids.size(); ++i) {
        std::uint8_t stored[kMaxStoredRecord];
        Fault fault;
        const std::int16_t n = readrecord(engine.get(), rids[i], stored, &fault);
        EXPECT_EQ(std::vector<std::uint8_t>(stored, stored + (n > 0 ? n : 0)),
                  storedform(samplerecord(i, 50)));
    }
    std::string why;
    EXPECT_TRUE(passescheck(dir.file("alone.db"), &why)) << why;
}

TEST_F(Users, AForcedCloseMatchesTheUpperCaseNameAndClosesForEveryone) {
    const std::int16_t s = openok(a, "shared.db");
    openok(b, "shared.db");
    const std::uint32_t rid = add(a, s, 1);
    const std::string lower = "shared.db";
    EXPECT_EQ(c3.call(kOpForceClose, FS{}, lower.c_str(), lower.size() + 1).error, kErrBadIndex);
    EXPECT_NE(server.eventlog().find("fsforceclose - invalid file index."), std::string::npos);
    const std::string upper = "SHARED.DB";
    EXPECT_EQ(c3.call(kOpForceClose, FS{}, upper.c_str(), upper.size() + 1).error, 0);
    EXPECT_EQ(a.onfile(kOpGetBusinessDate, s).error, kErrBadIndex);
    EXPECT_EQ(b.onfile(kOpGetBusinessDate, s).error, kErrBadIndex);
    auto engine = openenginepath(dir.file("shared.db"), Flavor::Library, nullptr, true);
    ASSERT_NE(engine, nullptr);
    EXPECT_EQ(+engine->fscb.f[0].frid, rid) << "the forced close wrote the file";
    // Two files whose names differ only in case share the upper-case name: both are closed.
    ASSERT_TRUE(makedatabasefile(dir.file("case.db")));
    ASSERT_TRUE(makedatabasefile(dir.file("CASE.db")));
    const std::int16_t lower1 = openok(a, "case.db"), upper1 = openok(b, "CASE.db");
    ASSERT_NE(lower1, upper1);
    const std::string both = "CASE.DB";
    EXPECT_EQ(c3.call(kOpForceClose, FS{}, both.c_str(), both.size() + 1).error, 0);
    EXPECT_EQ(a.onfile(kOpGetBusinessDate, lower1).error, kErrBadIndex);
    EXPECT_EQ(b.onfile(kOpGetBusinessDate, upper1).error, kErrBadIndex);
}

TEST_F(Users, OpenFailuresLeaveNoSlotAndCreateNoFile) {
    EXPECT_EQ(a.open("missing.db").error, kErrOpenFile);
    EXPECT_FALSE(std::filesystem::exists(dir.file("missing.db")));
    EXPECT_FALSE(std::filesystem::exists(dir.file("MISSING.DB")));
    ASSERT_TRUE(writewholefile(dir.file("zeros.bin"), std::vector<std::uint8_t>(3072, 0)));
    EXPECT_EQ(a.open("zeros.bin").error, kErrBadHeader);
    ASSERT_TRUE(writewholefile(dir.file("plain.txt"), std::vector<std::uint8_t>(3072, 'x')));
    EXPECT_EQ(a.open("plain.txt").error, kErrBadHeader);
    EXPECT_EQ(a.open(std::string(256, 'n')).error, kErrNameTooLong);
    const std::string log = server.eventlog();
    EXPECT_NE(log.find("fsopen - opening file missing.db."), std::string::npos);
    EXPECT_NE(log.find("fsopen - invalid file."), std::string::npos);
    EXPECT_NE(log.find("fsopen - file name > 255."), std::string::npos);
    // A name of 255 characters is accepted.
    const std::string longname(255, 'l');
    ASSERT_TRUE(makedatabasefile(dir.file(longname)));
    EXPECT_EQ(a.open(longname).error, 0);
}

}  // namespace
}  // namespace vorn::test
