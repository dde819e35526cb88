// Local databases: creating files, opening them read-only with the integrity check,
// temporary databases, the file table of an instance, and closing.
#include <filesystem>

#include "fsn/journal.h"
#include "link_peer.h"

namespace vorn::test {
namespace {

using link::lserrno;

class LinkOpen : public LinkTest {
  protected:
    void SetUp() override {
        LinkTest::SetUp();
        instance_ = fsinit(nullptr);
        ASSERT_EQ(instance_, 0);
    }
    // Creates a database file and applies `edit` to its header.
    static void makefile(const std::string &name, const std::function<void(FSCB &)> &edit = {},
                         int extrablocks = 0) {
        ASSERT_EQ(fscreatedatabase(name.c_str(), 20), 1);
        auto bytes = readwholefile(name);
        auto *cb = reinterpret_cast<FSCB *>(bytes.data());
        if (edit) edit(*cb);
        bytes.resize(bytes.size() + static_cast<std::size_t>(extrablocks) * kBlockSize);
        ASSERT_TRUE(writewholefile(name, bytes));
    }
    static bool rowempty() {
        for (FSDATA *slot : link::fsdataary[0]) {
            if (slot != nullptr) return false;
        }
        return true;
    }

    char instance_ = -1;
};

TEST_F(LinkOpen, ACreatedDatabaseIsTheNewFileImageAndPassesTheIntegrityCheck) {
    ASSERT_EQ(fscreatedatabase("new.db", 20), 1);
    EXPECT_EQ(readwholefile("new.db"), newdatabasebytes(20));
    ::FS *fs = fsopen(instance_, "new.db", 1, 1);
    ASSERT_NE(fs, nullptr);
    EXPECT_EQ(fs->isnetwork, 0);
    EXPECT_EQ(+fs->fsdatanum, 0);
    EXPECT_EQ(lserrno, 0);
    fsclose(instance_, fs);
    EXPECT_TRUE(rowempty());
}

// A crash left an operation in the journal: the local open rolls it back before it reads.
// A new database of the same name drops the old file's journal instead.
TEST_F(LinkOpen, ALocalOpenRollsBackACrashedJournalAndCreateDropsAStaleOne) {
    ASSERT_EQ(fscreatedatabase("j.db", 20), 1);
    const auto original = readwholefile("j.db");
    JournalContent content;
    content.oldlength = original.size();
    content.blocks = {0};
    content.images.assign(original.begin(), original.begin() + kBlockSize);
    std::vector<std::uint8_t> journal;
    encodejournal(content, &journal);
    auto torn = original;
    std::fill(torn.begin(), torn.begin() + 64, 0x33);  // the signature is gone
    ASSERT_TRUE(writewholefile("j.db", torn));
    ASSERT_TRUE(writewholefile(journalpath("j.db"), journal));
    ::FS *fs = fsopen(instance_, "j.db", 1, 1);
    ASSERT_NE(fs, nullptr);
    EXPECT_EQ(lserrno, 0);
    EXPECT_NE(std::string(link::msg).find("rolled back"), std::string::npos) << link::msg;
    fsclose(instance_, fs);
    EXPECT_EQ(readwholefile("j.db"), original);

    ASSERT_TRUE(writewholefile(journalpath("j.db"), journal));
    ASSERT_EQ(fscreatedatabase("j.db", 20), 1);
    EXPECT_FALSE(std::filesystem::exists(journalpath("j.db")));
}

TEST_F(LinkOpen, CreateChecksTheSpacingAndTheName) {
    struct Case {
        std::int16_t freq;
        std::int16_t result;
    };
    for (const Case c : {Case{0, 1}, Case{2, 1}, Case{255, 1}, Case{1, 0}, Case{-3, 0}}) {
        std::filesystem::remove("f.db");
        EXPECT_EQ(fscreatedatabase("f.db", c.freq), c.result) << c.freq;
        if (c.result == 1) {
            const auto bytes = readwholefile("f.db");
            ASSERT_EQ(bytes.size(), 3 * kBlockSize);
            EXPECT_EQ(+reinterpret_cast<const FSCB *>(bytes.data())->xblkfreq, c.freq);
            EXPECT_EQ(lserrno, 0);
        } else {
            EXPECT_EQ(lserrno, 406);
            EXPECT_FALSE(std::filesystem::exists("f.db"));
        }
    }
    EXPECT_EQ(fscreatedatabase("no/such/dir.db", 20), 0);
    EXPECT_EQ(lserrno, 406);
    EXPECT_EQ(fscreatedatabase(nullptr, 20), 0);
    EXPECT_EQ(fscreatedatabase("", 20), 0);
}

TEST_F(LinkOpen, AFileWithoutTheSignatureIsRefusedWith1020) {
    makefile("bad.db", [](FSCB &cb) { cb.copyright[25] = 'X'; });
    lserrno = 99;
    EXPECT_EQ(fsopen(instance_, "bad.db", 0, 1), nullptr);
    EXPECT_EQ(lasterr(), 1020);
    EXPECT_EQ(lserrno, 0);
    EXPECT_TRUE(rowempty());
}

TEST_F(LinkOpen, TheIntegrityCheckRefusesHeadersThatDisagreeWithTheFile) {
    struct Case {
        const char *what;
        std::function<void(FSCB &)> edit;
        int extrablocks;
        std::int16_t code;  // lserrno; 0 = opens
        std::int16_t ring;
    };
    const std::vector<Case> cases = {
        {"free xlate chain beyond the last block", [](FSCB &cb) { cb.ftc = 256 + 5; }, 0, 4, 1021},
        {"next xlate block due", [](FSCB &cb) { cb.ftc = 256; }, 0, 0, 0},
        {"one block too many", nullptr, 1, 5, 1021},
        {"one block too few", [](FSCB &cb) { cb.lb = 3; }, 0, 5, 1021},
        {"chain head at the block count", [](FSCB &cb) { cb.fc[3] = 3; }, 0, 0, 0},
        {"chain head beyond the block count", [](FSCB &cb) { cb.fc[5] = 4; }, 0, 6, 1022},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        makefile("i.db", c.edit, c.extrablocks);
        const auto before = readwholefile("i.db");
        ::FS *fs = fsopen(instance_, "i.db", 1, 1);
        EXPECT_EQ(lserrno, c.code);
        if (c.code == 0) {
            ASSERT_NE(fs, nullptr);
            fsclose(instance_, fs);
        } else {
            EXPECT_EQ(fs, nullptr);
            EXPECT_EQ(lasterr(), c.ring);
            // Without the check the same file opens.
            fs = fsopen(instance_, "i.db", 0, 1);
            EXPECT_NE(fs, nullptr);
            fsclose(instance_, fs);
        }
        EXPECT_EQ(readwholefile("i.db"), before);
        EXPECT_TRUE(rowempty());
    }
}

// The open records 1015 for a header it can't use; the header read adds no code of its own.
TEST_F(LinkOpen, AnUnreadableOrDamagedHeaderRecordsOnly1015) {
    const std::vector<std::pair<const char *, std::function<void(FSCB &)>>> damages = {
        {"spacing 1", [](FSCB &cb) { cb.xblkfreq = 1; }},
        {"last block past the limit", [](FSCB &cb) { cb.lb = 0x400000; }},
    };
    for (const auto &[what, edit] : damages) makefile(what, edit);
    ASSERT_TRUE(writewholefile("empty", {}));
    for (const char *name : {"empty", damages[0].first, damages[1].first}) {
        SCOPED_TRACE(name);
        const std::int16_t before = link::errindex;
        EXPECT_EQ(fsopen(instance_, name, 0, 1), nullptr);
        EXPECT_EQ(link::errindex, (before + 1) % link::kErrRing);
        EXPECT_EQ(lasterr(), 1015);
        EXPECT_EQ(lserrno, 0);
    }
}

TEST_F(LinkOpen, AMissingFileIsRefusedWithSeven) {
    EXPECT_EQ(fsopen(instance_, "missing.db", 0, 1), nullptr);
    EXPECT_EQ(lserrno, 7);
    EXPECT_EQ(lasterr(), 1015);
    EXPECT_STREQ(link::msg, "missing.db");
    EXPECT_EQ(fsopen(instance_, nullptr, 0, 1), nullptr);
    EXPECT_TRUE(rowempty());
}

// The header keeps only the first 63 characters of the path; the unlocks reopen the file
// under the full path, so a database in a deep directory works like any other.
TEST_F(LinkOpen, LongPathsOpenUnlockAndCloseLikeShortOnes) {
    for (const std::size_t length : {std::size_t{63}, std::size_t{64}, std::size_t{200}}) {
        SCOPED_TRACE(length);
        const std::string dir = std::string(length - 8, 'd');
        std::filesystem::create_directory(dir);
        const std::string path = dir + "/long.db";
        ASSERT_EQ(path.size(), length);
        ASSERT_EQ(fscreatedatabase(path.c_str(), 20), 1);
        ::FS *fs = fsopen(instance_, path.c_str(), 1, 1);
        ASSERT_NE(fs, nullptr) << lserrno;
        EXPECT_EQ(std::string(link::fsdataary[0][fs->fsdatanum]->fscb.fsname), path.substr(0, 63));
        EXPECT_EQ(fsunlockrid(instance_, fs, 1), 1);
        EXPECT_EQ(fsforceunlockrid(instance_, fs, 1), 1) << lserrno;
        EXPECT_EQ(fsfirst(instance_, fs, 0x10), 0u);
        fsclose(instance_, fs);
        EXPECT_TRUE(rowempty());
    }
}

TEST_F(LinkOpen, TheTwentyFirstOpenOfAnInstanceFindsNoSlot) {
    makefile("m.db");
    std::vector<::FS *> open;
    for (int i = 0; i < link::kFilesPerInstance; ++i) {
        ::FS *fs = i % 2 == 0 ? fsopen(instance_, "m.db", 1, 1) : fsopentemp(instance_);
        ASSERT_NE(fs, nullptr);
        EXPECT_EQ(+fs->fsdatanum, i);
        open.push_back(fs);
    }
    EXPECT_EQ(fsopen(instance_, "m.db", 0, 1), nullptr);
    EXPECT_EQ(lserrno, 1);
    EXPECT_EQ(lasterr(), 1009);
    EXPECT_EQ(fsopentemp(instance_), nullptr);
    EXPECT_EQ(lserrno, 1);
    // Another instance has its own table.
    const char other = fsinit(nullptr);
    ::FS *fs = fsopen(other, "m.db", 0, 1);
    ASSERT_NE(fs, nullptr);
    EXPECT_EQ(+fs->fsdatanum, 0);
    fsclose(other, fs);
    // A freed slot is the next one taken.
    fsclose(instance_, open[4]);
    fs = fsopen(instance_, "m.db", 0, 1);
    ASSERT_NE(fs, nullptr);
    EXPECT_EQ(+fs->fsdatanum, 4);
    open[4] = fs;
    for (std::size_t i = 0; i < open.size(); ++i) {
        if (i % 2 == 0) {
            fsclose(instance_, open[i]);
        } else {
            fsclosetemp(instance_, open[i]);
        }
    }
    EXPECT_TRUE(rowempty());
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator("."),
                            std::filesystem::directory_iterator{}),
              1)
        << "only m.db is left";
}

TEST_F(LinkOpen, AReadOnlyDatabaseNeverChangesItsFile) {
    makefile("ro.db");
    const auto before = readwholefile("ro.db");
    ::FS *fs = fsopen(instance_, "ro.db", 1, 1);
    ASSERT_NE(fs, nullptr);
    const std::string rec(300, 'r');
    std::uint32_t rid = 0;
    for (int i = 0; i < 40; ++i) {
        rid = fsadd(instance_, fs, rec.data(), static_cast<std::int16_t>(rec.size()), 0x10);
        EXPECT_NE(rid, 0u);
    }
    EXPECT_EQ(fsread(instance_, fs, rid, std::vector<char>(400).data()), 300);
    EXPECT_EQ(fsstorecannumber(instance_, fs, 77), 1);
    EXPECT_EQ(fssetappstat(instance_, fs, 1), 1);
    EXPECT_EQ(fsflush(instance_, fs), 1);
    EXPECT_EQ(fslock(instance_, fs, nullptr), 1);
    EXPECT_EQ(fsunlock(instance_, fs), 1);
    EXPECT_EQ(fsexclusiveunlock(instance_, fs), 1) << "reopens the file, read-only";
    EXPECT_EQ(fsunlockrid(instance_, fs, rid), 1);
    EXPECT_EQ(fsgetcannumber(instance_, fs, 0), 77u);
    fsclosetemp(instance_, fs);  // not a temporary: the file stays
    EXPECT_EQ(readwholefile("ro.db"), before);
    fs = fsopen(instance_, "ro.db", 1, 1);
    ASSERT_NE(fs, nullptr);
    EXPECT_EQ(fsfirst(instance_, fs, 0x10), 0u);
    fsclose(instance_, fs);
    EXPECT_EQ(readwholefile("ro.db"), before) << "numusers too";
}

TEST_F(LinkOpen, ATemporaryDatabaseLivesInTheWorkingDirectoryUntilFsclosetemp) {
    ::FS *fs = fsopentemp(instance_);
    ASSERT_NE(fs, nullptr);
    EXPECT_EQ(fs->isnetwork, 0);
    const std::string name = link::fsdataary[0][fs->fsdatanum]->fscb.fsname;
    EXPECT_LE(name.size(), 12u);
    const auto bytes = readwholefile(name);
    ASSERT_EQ(bytes.size(), 3 * kBlockSize);
    std::vector<std::uint8_t> expected = newdatabasebytes(20, ImageKind::LibraryTemp);
    FSCB cb;
    newcontrolblock(&cb, ImageKind::LibraryTemp, 20, name.c_str());
    std::memcpy(expected.data(), &cb, sizeof cb);
    EXPECT_EQ(bytes, expected);
    EXPECT_EQ(+reinterpret_cast<const FSCB *>(bytes.data())->numusers, 1);
    const std::uint32_t rid = fsadd(instance_, fs, "temp", 4, 0x20);
    EXPECT_EQ(rid >> 24, 0x20u);
    fsclosetemp(instance_, fs);
    EXPECT_FALSE(std::filesystem::exists(name));
    EXPECT_TRUE(rowempty());
}

TEST_F(LinkOpen, ClosingATemporaryWithFscloseKeepsItsWrittenFile) {
    ::FS *fs = fsopentemp(instance_);
    ASSERT_NE(fs, nullptr);
    const std::string name = link::fsdataary[0][fs->fsdatanum]->fscb.fsname;
    const std::uint32_t rid = fsadd(instance_, fs, "kept record", 11, 0x10);
    ASSERT_NE(rid, 0u);
    fsclose(instance_, fs);
    ASSERT_TRUE(std::filesystem::exists(name));
    fs = fsopen(instance_, name.c_str(), 1, 1);
    ASSERT_NE(fs, nullptr);
    EXPECT_EQ(+link::fsdataary[0][fs->fsdatanum]->fscb.numusers, 1) << "0 on disk, +1 here";
    char out[32] = {};
    EXPECT_EQ(fsread(instance_, fs, rid, out), 11);
    EXPECT_STREQ(out, "kept record");
    fsclose(instance_, fs);
}

// The names the platform hands out next: "vt" + six base-36 digits of a value that grows by
// a fixed step per name within one second.
std::vector<std::string> nexttempnames(int count) {
    const std::string probe = platform::maketempname();
    const std::string digits = "0123456789abcdefghijklmnopqrstuvwxyz";
    unsigned long v = 0;
    for (int i = 2; i < 8; ++i) v = v * 36 + digits.find(probe[static_cast<std::size_t>(i)]);
    std::vector<std::string> names;
    for (int k = 1; k <= count; ++k) {
        unsigned long w = v + 104729UL * static_cast<unsigned long>(k);
        std::string d(6, '0');
        for (int i = 5; i >= 0; --i) {
            d[static_cast<std::size_t>(i)] = digits[w % 36];
            w /= 36;
        }
        names.push_back("vt" + d + ".tmp");
    }
    return names;
}

TEST_F(LinkOpen, TemporaryNamesThatAreTakenAreRetried) {
    const auto taken = nexttempnames(3);
    for (const auto &name : taken) ASSERT_TRUE(writewholefile(name, {1, 2, 3}));
    ::FS *fs = fsopentemp(instance_);
    ASSERT_NE(fs, nullptr);
    const std::string name = link::fsdataary[0][fs->fsdatanum]->fscb.fsname;
    for (const auto &t : taken) {
        EXPECT_NE(name, t);
        EXPECT_EQ(readwholefile(t), (std::vector<std::uint8_t>{1, 2, 3}));
    }
    fsclosetemp(instance_, fs);
    for (const auto &t : taken) EXPECT_TRUE(std::filesystem::exists(t));
}

TEST_F(LinkOpen, ACopyOfTheBlockClosesTheDatabaseAndAClosedOneIsIgnored) {
    makefile("c.db");
    ::FS *fs = fsopen(instance_, "c.db", 0, 1);
    ASSERT_NE(fs, nullptr);
    ::FS copy = *fs;
    EXPECT_EQ(fsgetcannumber(instance_, &copy, 0), 0u);
    EXPECT_EQ(fsgetappstat(instance_, &copy), 0);
    fsclose(instance_, &copy);  // frees the block handed out too
    EXPECT_TRUE(rowempty());
    fsclose(instance_, &copy);
    fsclosetemp(instance_, &copy);
    EXPECT_EQ(fsgetbusinessdate(instance_, &copy), 0u);
    EXPECT_EQ(lasterr(), 480);
}

}  // namespace
}  // namespace vorn::test
