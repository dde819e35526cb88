// Arguments the library must refuse without touching memory it does not own: instance
// numbers that name no instance, blocks that name no open database, null pointers, key and
// record lengths out of range, records that can't be stored.
#include "link_peer.h"

namespace vorn::test {
namespace {

using Call = std::function<std::int64_t(char, ::FS *)>;

struct Named {
    const char *name;
    Call call;
};

char buffer[40000];

// Every operation that takes a block, with harmless arguments.
std::vector<Named> everycall() {
    static const std::uint32_t rids[] = {0x10000001, 0};
    return {
        {"fsadd", [](char i, ::FS *f) { return fsadd(i, f, "abc", 3, 0x10); }},
        {"fswrite", [](char i, ::FS *f) { return fswrite(i, f, "abc", 3, 0x10000001); }},
        {"fsdelete", [](char i, ::FS *f) { return fsdelete(i, f, 0x10000001); }},
        {"fsread", [](char i, ::FS *f) { return fsread(i, f, 0x10000001, buffer); }},
        {"fsfirst", [](char i, ::FS *f) { return fsfirst(i, f, 0x10); }},
        {"fslast", [](char i, ::FS *f) { return fslast(i, f, 0x10); }},
        {"fsnext", [](char i, ::FS *f) { return fsnext(i, f, 0x10000001); }},
        {"fsprev", [](char i, ::FS *f) { return fsprev(i, f, 0x10000001); }},
        {"fsflush", [](char i, ::FS *f) { return fsflush(i, f); }},
        {"fsaddkey", [](char i, ::FS *f) { return fsaddkey(i, f, 0x10, 1, 3, "key"); }},
        {"fsdeletekey", [](char i, ::FS *f) { return fsdeletekey(i, f, 0x10, 1, 3, "key"); }},
        {"fsfirstkey", [](char i, ::FS *f) { return fsfirstkey(i, f, 0x10, buffer); }},
        {"fslastkey", [](char i, ::FS *f) { return fslastkey(i, f, 0x10, 3, buffer); }},
        {"fsfindkey", [](char i, ::FS *f) { return fsfindkey(i, f, 0x10, 3, buffer); }},
        {"fsnextkey", [](char i, ::FS *f) { return fsnextkey(i, f, 0x10, 1, 3, buffer); }},
        {"fsprevkey", [](char i, ::FS *f) { return fsprevkey(i, f, 0x10, 1, 3, buffer); }},
        {"fslock", [](char i, ::FS *f) { return fslock(i, f, rids); }},
        {"fsexclusivelock", [](char i, ::FS *f) { return fsexclusivelock(i, f, 1); }},
        {"fsunlock", [](char i, ::FS *f) { return fsunlock(i, f); }},
        {"fsunlockrid", [](char i, ::FS *f) { return fsunlockrid(i, f, 1); }},
        {"fsforceunlockrid", [](char i, ::FS *f) { return fsforceunlockrid(i, f, 1); }},
        {"fsexclusiveunlock", [](char i, ::FS *f) { return fsexclusiveunlock(i, f); }},
        {"fsgetcannumber", [](char i, ::FS *f) { return fsgetcannumber(i, f, 1); }},
        {"fsstorecannumber", [](char i, ::FS *f) { return fsstorecannumber(i, f, 1); }},
        {"fsgetappstat", [](char i, ::FS *f) { return fsgetappstat(i, f) == 480 ? 0 : 1; }},
        {"fssetappstat", [](char i, ::FS *f) { return fssetappstat(i, f, 1); }},
        {"fsgetbusinessdate", [](char i, ::FS *f) { return fsgetbusinessdate(i, f); }},
        {"fsstorebusinessdate", [](char i, ::FS *f) { return fsstorebusinessdate(i, f, 1); }},
        {"fsclose",
         [](char i, ::FS *f) {
             fsclose(i, f);
             return 0;
         }},
        {"fsclosetemp",
         [](char i, ::FS *f) {
             fsclosetemp(i, f);
             return 0;
         }},
    };
}

class LinkArgs : public LinkTempTest {
  protected:
    void SetUp() override {
        LinkTempTest::SetUp();
        if (HasFatalFailure()) return;
        ASSERT_EQ(+fs_->fsdatanum, 0);
        ASSERT_NE(fsadd(instance_, fs_, "abc", 3, 0x10), 0u);
        ASSERT_EQ(fsaddkey(instance_, fs_, 0x10, 1, 3, "key"), 1);
        ASSERT_EQ(fsflush(instance_, fs_), 1);
        before_ = readwholefile(name_);
        changes_ = link::fsdataary[0][0]->fscb.fschanged;
    }
    void TearDown() override {
        if (fs_ != nullptr) {
            // Nothing the refused calls did reached the database.
            EXPECT_EQ(+link::fsdataary[0][0]->fscb.fschanged, changes_);
            EXPECT_EQ(fsflush(instance_, fs_), 1);
            EXPECT_EQ(readwholefile(name_), before_);
        }
        LinkTempTest::TearDown();
    }
    // Runs every call on `fs` and `instance`; each must fail.
    void refuseall(char instance, ::FS *fs, const std::string &what) {
        for (const Named &c : everycall()) {
            EXPECT_EQ(c.call(instance, fs), 0) << c.name << " " << what;
        }
    }

    std::vector<std::uint8_t> before_;
    std::uint32_t changes_ = 0;
};

TEST_F(LinkArgs, InstanceNumbersThatNameNoInstanceAreRefused) {
    for (char bad : {char{-1}, char{1}, char{12}, char{127}, char{-128}}) {
        ::FS copy = *fs_;
        refuseall(bad, &copy, "instance " + std::to_string(int(bad)));
        if (bad == 1) continue;  // a real instance, merely not claimed
        EXPECT_EQ(fsopentemp(bad), nullptr);
        EXPECT_EQ(fsopen(bad, name_.c_str(), 0, 1), nullptr);
        EXPECT_EQ(fsopen(bad, name_.c_str(), 0, 0), nullptr);
        std::tm t{};
        EXPECT_EQ(fsgetlocaltime(bad, &t), 0);
        EXPECT_EQ(fsforceclose(bad, "x"), 0);
    }
    EXPECT_NE(link::fsdataary[0][0], nullptr);
}

TEST_F(LinkArgs, BlocksThatNameNoOpenDatabaseAreRefused) {
    for (std::int16_t index : {std::int16_t{-5}, std::int16_t{1}, std::int16_t{19},
                               std::int16_t{20}, std::int16_t{3000}}) {
        ::FS bad = *fs_;
        bad.fsdatanum = index;
        refuseall(instance_, &bad, "fsdatanum " + std::to_string(index));
    }
    refuseall(instance_, nullptr, "null block");
}

TEST_F(LinkArgs, KeyAndRecordArgumentsOutOfRangeAreRefused) {
    ::FS *f = fs_;
    const char i = instance_;
    std::vector<std::uint8_t> noise(2000);
    for (std::size_t n = 0; n < noise.size(); ++n) noise[n] = static_cast<std::uint8_t>(n * 131);
    const std::vector<Named> calls = {
        {"add negative", [&](char, ::FS *) { return fsadd(i, f, "abc", -1, 0x10); }},
        {"add null", [&](char, ::FS *) { return fsadd(i, f, nullptr, 3, 0x10); }},
        {"add unstorable", [&](char, ::FS *) { return fsadd(i, f, noise.data(), 1008, 0x10); }},
        {"add long", [&](char, ::FS *) { return fsadd(i, f, noise.data(), 2000, 0x10); }},
        {"add no sub-file", [&](char, ::FS *) { return fsadd(i, f, "abc", 3, 0x0F); }},
        {"write negative", [&](char, ::FS *) { return fswrite(i, f, "abc", -7, 0x10000001); }},
        {"write unstorable",
         [&](char, ::FS *) { return fswrite(i, f, noise.data(), 1008, 0x10000001); }},
        {"read null", [&](char, ::FS *) { return fsread(i, f, 0x10000001, nullptr); }},
        {"first no sub-file", [&](char, ::FS *) { return fsfirst(i, f, 0x05); }},
        {"last no sub-file", [&](char, ::FS *) { return fslast(i, f, 0x00); }},
        {"addkey 196", [&](char, ::FS *) { return fsaddkey(i, f, 0x10, 1, 196, noise.data()); }},
        {"addkey negative", [&](char, ::FS *) { return fsaddkey(i, f, 0x10, 1, -1, "k"); }},
        {"addkey null", [&](char, ::FS *) { return fsaddkey(i, f, 0x10, 1, 3, nullptr); }},
        {"deletekey 196",
         [&](char, ::FS *) { return fsdeletekey(i, f, 0x10, 1, 196, noise.data()); }},
        {"findkey 196", [&](char, ::FS *) { return fsfindkey(i, f, 0x10, 196, buffer); }},
        {"findkey negative", [&](char, ::FS *) { return fsfindkey(i, f, 0x10, -3, buffer); }},
        {"lastkey 32767", [&](char, ::FS *) { return fslastkey(i, f, 0x10, 32767, buffer); }},
        {"nextkey null", [&](char, ::FS *) { return fsnextkey(i, f, 0x10, 1, 3, nullptr); }},
        {"prevkey 200", [&](char, ::FS *) { return fsprevkey(i, f, 0x10, 1, 200, buffer); }},
        {"firstkey null", [&](char, ::FS *) { return fsfirstkey(i, f, 0x10, nullptr); }},
    };
    for (const Named &c : calls) EXPECT_EQ(c.call(0, nullptr), 0) << c.name;
    // The largest values that are allowed still work.
    EXPECT_NE(fsfindkey(i, f, 0x10, 3, std::strcpy(buffer, "key")), 0u);
    const std::string k195(195, 'k');
    EXPECT_EQ(fsdeletekey(i, f, 0x10, 1, 195, k195.data()), 0) << "not stored";
}

TEST_F(LinkArgs, AFoundKeyWritesOnlyItsOwnBytes) {
    char out[8];
    std::memset(out, '#', sizeof out);
    EXPECT_EQ(fsfirstkey(instance_, fs_, 0x10, out), 1u);
    EXPECT_EQ(std::string(out, 8), "key#####");
    // A first-key search that finds nothing still leaves the fid byte in the buffer.
    std::memset(out, '#', sizeof out);
    EXPECT_EQ(fsfirstkey(instance_, fs_, 0x21, out), 0u);
    EXPECT_EQ(std::string(out, 8), "\x21#######");
    std::memset(out, '#', sizeof out);
    EXPECT_EQ(fsread(instance_, fs_, fsfirst(instance_, fs_, 0x10), out), 3);
    EXPECT_EQ(std::string(out, 8), "abc#####");
}

}  // namespace
}  // namespace vorn::test
