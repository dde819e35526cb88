// Local locks and control values: the lock flag, the write-back and reopen of an unlock, the
// counter pair and its rollover, the status flag, the business date, invalid indexes.
#include <filesystem>

#include "link_peer.h"

namespace vorn::test {
namespace {

using link::lserrno;

class LinkControl : public LinkTempTest {
  protected:
    FSDATA *state() const { return link::fsdataary[0][fs_->fsdatanum]; }
    FSCB ondisk() const {
        FSCB cb{};
        const auto bytes = readwholefile(name_);
        if (bytes.size() >= sizeof cb) std::memcpy(&cb, bytes.data(), sizeof cb);
        return cb;
    }
};

TEST_F(LinkControl, ChangesReachTheFileAtTheUnlockWithTheLockFlagClear) {
    const std::uint32_t onechange = ondisk().fschanged;
    EXPECT_EQ(fslock(instance_, fs_, nullptr), 1);
    EXPECT_EQ(state()->fscb.dblocked, 1);
    EXPECT_EQ(fsstorebusinessdate(instance_, fs_, 20261208), 1);
    const std::uint32_t rid = fsadd(instance_, fs_, "unlocked", 8, 0x10);
    ASSERT_NE(rid, 0u);
    EXPECT_EQ(+ondisk().businessdate, 0u) << "nothing is written before the unlock";
    EXPECT_EQ(fsunlock(instance_, fs_), 1);
    const FSCB cb = ondisk();
    EXPECT_EQ(+cb.businessdate, 20261208u);
    EXPECT_EQ(cb.dblocked, 0);
    EXPECT_EQ(+cb.f[0].frid, rid);
    EXPECT_GT(+cb.fschanged, onechange);
    EXPECT_EQ(state()->fscb.dblocked, 0);
    EXPECT_NE(state()->fsp, nullptr) << "the handle was renewed";
    char out[16] = {};
    EXPECT_EQ(fsread(instance_, fs_, rid, out), 8);
}

TEST_F(LinkControl, EveryUnlockWritesBackAndEveryLockSetsTheFlag) {
    using Unlock = std::function<std::int16_t()>;
    const std::vector<std::pair<const char *, Unlock>> unlocks = {
        {"fsunlock", [&] { return fsunlock(instance_, fs_); }},
        {"fsunlockrid", [&] { return fsunlockrid(instance_, fs_, 12345); }},
        {"fsforceunlockrid", [&] { return fsforceunlockrid(instance_, fs_, 0); }},
        {"fsexclusiveunlock", [&] { return fsexclusiveunlock(instance_, fs_); }},
    };
    std::uint32_t date = 1;
    for (const auto &[name, unlock] : unlocks) {
        SCOPED_TRACE(name);
        EXPECT_EQ(fsexclusivelock(instance_, fs_, 0), 1);
        EXPECT_EQ(state()->fscb.dblocked, 1);
        EXPECT_EQ(fsstorebusinessdate(instance_, fs_, ++date), 1);
        EXPECT_EQ(unlock(), 1);
        EXPECT_EQ(+ondisk().businessdate, date);
        EXPECT_EQ(state()->fscb.dblocked, 0);
    }
}

TEST_F(LinkControl, AnUnlockThatCannotReopenLeavesTheDatabaseClosedUntilFsclose) {
    EXPECT_EQ(fsstorecannumber(instance_, fs_, 5), 1);
    std::filesystem::rename(name_, "moved.tmp");
    EXPECT_EQ(fsunlock(instance_, fs_), 0);
    EXPECT_EQ(lserrno, 7);
    EXPECT_EQ(lasterr(), 1015);
    EXPECT_EQ(state()->fsp, nullptr);
    EXPECT_EQ(fsadd(instance_, fs_, "x", 1, 0x10), 0u);
    EXPECT_EQ(fsfirst(instance_, fs_, 0x10), 0u);
    EXPECT_EQ(fsflush(instance_, fs_), 0);
    EXPECT_EQ(fsunlock(instance_, fs_), 0);
    EXPECT_EQ(fsgetcannumber(instance_, fs_, 0), 0u);
    fsclose(instance_, fs_);
    fs_ = nullptr;
    EXPECT_EQ(link::fsdataary[0][0], nullptr);
    // The write-back before the reopen reached the file.
    const auto bytes = readwholefile("moved.tmp");
    ASSERT_GE(bytes.size(), sizeof(FSCB));
    EXPECT_EQ(+reinterpret_cast<const FSCB *>(bytes.data())->cannumber[0], 5);
}

TEST_F(LinkControl, AnUnlockWhoseWriteBackFailsReportsTheFailure) {
    EXPECT_EQ(fsstorebusinessdate(instance_, fs_, 99), 1);
    auto failing = std::make_shared<MemFileData>();
    failing->bytes = readwholefile(name_);
    failing->failwriteat = 0;
    state()->fsp = std::make_unique<MemFile>(failing);
    EXPECT_EQ(fsunlock(instance_, fs_), 0);
    EXPECT_NE(state()->fsp, nullptr) << "the file was reopened all the same";
    EXPECT_EQ(ondisk().businessdate, 0u);
}

TEST_F(LinkControl, TheCounterPairRollsOverPast30000) {
    struct Case {
        std::uint16_t high, low;
        std::int16_t increment;
        std::uint32_t expected;
        bool marks;  // the header is marked changed
    };
    const Case cases[] = {
        {0, 30000, 1, 0x00010000, true},   {0xFFFF, 30000, 1, 0x00000001, true},
        {0, 29999, 1, 30000, false},       {3, 17, 0, 0x00030011, false},
        {2, 5, -4, 0x00020006, false},      // any nonzero increment adds one
        {7, 0x7FFF, 1, 0x00078000, false},  // the low half wraps negative: no rollover
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.expected);
        ASSERT_EQ(fsstorecannumber(instance_, fs_, std::uint32_t{c.high} << 16 | c.low), 1);
        ASSERT_EQ(fsunlock(instance_, fs_), 1);
        ASSERT_EQ(state()->fscb.cf, 0);
        EXPECT_EQ(fsgetcannumber(instance_, fs_, c.increment), c.expected);
        EXPECT_EQ(state()->fscb.cf, c.marks ? 1 : 0);
        EXPECT_EQ(fsgetcannumber(instance_, fs_, 0), c.expected);
    }
    ASSERT_EQ(fsunlock(instance_, fs_), 1);
    EXPECT_EQ(+ondisk().cannumber[0], 0x7FFF + 1 - 0x10000);
    EXPECT_EQ(+ondisk().cannumber[1], 7);
}

TEST_F(LinkControl, TheStatusFlagReadsMinusOneWhenThisLibrarySetIt) {
    EXPECT_EQ(fsgetappstat(instance_, fs_), 0);
    EXPECT_EQ(fssetappstat(instance_, fs_, 1), 1);
    EXPECT_EQ(fsgetappstat(instance_, fs_), -1);
    ASSERT_EQ(fsunlock(instance_, fs_), 1);
    EXPECT_EQ(static_cast<std::uint8_t>(ondisk().appstat), 0xFF);
    EXPECT_EQ(fssetappstat(instance_, fs_, 0), 1);
    EXPECT_EQ(fsgetappstat(instance_, fs_), 0);
    state()->fscb.appstat = 1;  // as the server stores it
    EXPECT_EQ(fsgetappstat(instance_, fs_), 1);
}

TEST_F(LinkControl, AnIndexThatNamesNoOpenDatabaseIsRefusedWith480) {
    struct Call {
        const char *name;
        std::function<std::int64_t(::FS *)> call;
        std::int64_t result;
        const char *message;
    };
    const std::vector<Call> calls = {
        {"fsgetcannumber", [&](::FS *f) { return fsgetcannumber(instance_, f, 1); }, 0,
         "fsgetcannumber - invalid index."},
        {"fsstorecannumber", [&](::FS *f) { return fsstorecannumber(instance_, f, 1); }, 0,
         "fsstorecannumber - invalid index."},
        {"fsgetappstat", [&](::FS *f) { return fsgetappstat(instance_, f); }, 480,
         "fsgetappstat - invalid index."},
        {"fssetappstat", [&](::FS *f) { return fssetappstat(instance_, f, 1); }, 0, nullptr},
        {"fsgetbusinessdate", [&](::FS *f) { return fsgetbusinessdate(instance_, f); }, 0,
         "fsgetbusinessdate - invalid index."},
        {"fsstorebusinessdate", [&](::FS *f) { return fsstorebusinessdate(instance_, f, 9); }, 0,
         "fsstorebusinessdate - invalid index."},
    };
    for (std::int16_t index : {std::int16_t{20}, std::int16_t{-1}, std::int16_t{19}}) {
        ::FS bad = *fs_;
        bad.fsdatanum = index;
        for (const Call &c : calls) {
            SCOPED_TRACE(std::string(c.name) + " " + std::to_string(index));
            link::setmsg("before");
            link::err[(link::errindex + 9) % 10] = 0;
            EXPECT_EQ(c.call(&bad), c.result);
            EXPECT_EQ(lasterr(), 480);
            EXPECT_STREQ(link::msg, c.message != nullptr ? c.message : "before");
        }
    }
    EXPECT_EQ(fsgetbusinessdate(instance_, nullptr), 0u);
    EXPECT_EQ(fsgetbusinessdate(12, fs_), 0u) << "no such instance";
    EXPECT_EQ(fsgetbusinessdate(1, fs_), 0u) << "an instance without that database";
    EXPECT_EQ(+ondisk().businessdate, 0u);
}

TEST_F(LinkControl, TheErrorRingKeepsTheLastTenCodes) {
    ::FS bad = *fs_;
    bad.fsdatanum = 20;
    link::errindex = 0;
    for (int i = 0; i < 12; ++i) fsgetbusinessdate(instance_, &bad);
    EXPECT_EQ(link::errindex, 2);
    for (std::int16_t code : link::err) EXPECT_EQ(code, 480);
    link::errindex = 9;
    link::dodberror(1234);
    EXPECT_EQ(link::err[9], 1234);
    EXPECT_EQ(link::errindex, 0);
}

}  // namespace
}  // namespace vorn::test
