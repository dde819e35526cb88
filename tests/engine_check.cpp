// The integrity checker: sound files give no faults (and notes only for the harmless states
// the algorithms produce), each kind of damage gives a fault, and vorn check's exit status.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/wait.h>
#endif

#include <cstdlib>
#include <cstring>
#include <string>

#include "fsn/blocks.h"
#include "fsn/check.h"
#include "fsn/records.h"
#include "support/enginefile.h"

namespace vorn {
namespace {

using test::MemDatabase;

std::uint32_t addbytes(MemDatabase &db, std::size_t n, std::uint8_t fid, int seed = 0) {
    std::uint8_t stored[kMaxStoredRecord];
    stored[0] = 0;  // raw shape
    for (std::size_t i = 1; i <= n; ++i) stored[i] = static_cast<std::uint8_t>(i * 7 + seed);
    Fault fault;
    return addrecord(db.fs.get(), stored, static_cast<std::int16_t>(n + 1), fid, &fault);
}

bool mentions(const std::vector<Finding> &findings, Finding::Severity severity,
              const std::string &words) {
    for (const Finding &f : findings) {
        if (f.severity == severity && f.text.find(words) != std::string::npos) return true;
    }
    return false;
}

// A database with records in two sub-files spread over a few blocks.
struct Populated : MemDatabase {
    std::vector<std::uint32_t> rids;
    Populated() {
        for (int i = 0; i < 40; ++i) {
            rids.push_back(addbytes(*this, 60 + i * 5, i % 2 == 0 ? 0x10 : 0x20, i));
        }
        EXPECT_EQ(flush(), 1);
    }
    DB &block(std::uint32_t blk) { return readblk(fs.get(), blk)->dbuff; }
    std::vector<Finding> check() { return checkfile(fs.get()); }
};

TEST(Check, NewAndPopulatedFilesAreSound) {
    MemDatabase fresh;
    auto findings = checkfile(fresh.fs.get());
    EXPECT_TRUE(findings.empty()) << describe(findings);
    Populated db;
    findings = db.check();
    EXPECT_FALSE(hasfaults(findings)) << describe(findings);
}

TEST(Check, EmptyBlocksAppendedForAnXlateBlockAreANote) {
    MemDatabase db;
    for (int i = 0; i < 257; ++i) ASSERT_NE(addbytes(db, 1, 0x10), 0u);
    const auto findings = checkfile(db.fs.get());
    EXPECT_FALSE(hasfaults(findings)) << describe(findings);
    EXPECT_TRUE(mentions(findings, Finding::Note, "empty and on no free chain"))
        << describe(findings);
}

TEST(Check, MisfiledBlockDeeperInAChainIsANote) {
    Populated db;
    int chain = 1;
    while (chain < kFreeChains && db.fs->fscb.fc[chain] == 0) ++chain;
    ASSERT_LT(chain, kFreeChains);
    // An empty block linked behind the head of a chain that promises less room: only a
    // chain's head is moved when its room changes, so this arises in use.
    const std::uint32_t head = db.fs->fscb.fc[chain];
    const std::uint32_t blk = db.fs->fscb.lb + 1;
    DB &added = db.block(blk);
    added.fc = static_cast<std::int16_t>(chain);
    added.nbic = db.block(head).nbic;
    db.block(head).nbic = blk;
    const auto findings = db.check();
    EXPECT_FALSE(hasfaults(findings)) << describe(findings);
    EXPECT_TRUE(mentions(findings, Finding::Note, "1014 free bytes")) << describe(findings);
}

TEST(Check, EachKindOfDamageIsAFault) {
    struct Case {
        const char *name;
        const char *words;
        void (*damage)(Populated &);
    } cases[] = {
        {"entry points at another block", "does not point back",
         [](Populated &d) { readblk(d.fs.get(), 1)->xbuff.xlate[0] ^= 1; }},
        {"entry released under its record", "does not point back",
         [](Populated &d) { readblk(d.fs.get(), 1)->xbuff.xlate[3] = d.fs->fscb.ftc; }},
        {"length out of range", "outside 10..1024", [](Populated &d) { d.block(2).len = 9; }},
        {"records do not tile", "do not tile",
         [](Populated &d) { d.block(2).len = static_cast<std::int16_t>(d.block(2).len - 1); }},
        {"free chain cycle", "already met",
         [](Populated &d) {
             const std::uint32_t h = d.fs->fscb.fc[5] != 0 ? 5 : 4;
             const std::uint32_t blk = d.fs->fscb.fc[h];
             d.block(blk).nbic = blk;
         }},
        {"chain through the control block", "no data block",
         [](Populated &d) {
             d.fs->fscb.fc[2] = 0;
             d.fs->fscb.fc[2] = 1;
         }},
        {"records on chain 0", "holds records",
         [](Populated &d) {
             d.block(2).fc = 0;
             d.block(2).nbic = 0;
             d.fs->fscb.fc[0] = 2;
         }},
        {"frid above the first record", "outside frid",
         [](Populated &d) { d.fs->fscb.f[0].frid = 0x10000004; }},
        {"lrid below the last record", "outside frid",
         [](Populated &d) { d.fs->fscb.f[1].lrid = 0x20000001; }},
        {"free xlate chain into an entry in use", "which is in use",
         [](Populated &d) { readblk(d.fs.get(), 1)->xbuff.xlate[40] = 5; }},
        {"free xlate chain cycle", "cycle",
         [](Populated &d) { readblk(d.fs.get(), 1)->xbuff.xlate[41] = 40; }},
        {"key root on a free chain", "both a key block and on free chain",
         [](Populated &d) {
             d.fs->fscb.rootkb = d.fs->fscb.fc[5] != 0 ? d.fs->fscb.fc[5] : d.fs->fscb.fc[4];
         }},
        {"record of sub-file 0", "names no sub-file",
         [](Populated &d) { std::memset(d.block(2).buff, 0, 4); }},
        {"missing signature", "signature", [](Populated &d) { d.fs->fscb.copyright[22] = 'x'; }},
        {"free chain beyond the file", "beyond the last block",
         [](Populated &d) { d.fs->fscb.fc[1] = d.fs->fscb.lb + 2; }},
    };
    for (const Case &c : cases) {
        Populated db;
        c.damage(db);
        const auto findings = db.check();
        EXPECT_TRUE(mentions(findings, Finding::Fault, c.words)) << c.name << "\n"
                                                                 << describe(findings);
    }
}

TEST(Check, FileLengthMustMatchTheLastBlock) {
    Populated db;
    db.data->bytes.resize(db.data->bytes.size() + kBlockSize);
    ASSERT_TRUE(db.reopen());
    EXPECT_TRUE(mentions(db.check(), Finding::Fault, "holds")) << describe(db.check());
    db.data->bytes.resize(db.data->bytes.size() - 2 * kBlockSize);
    ASSERT_TRUE(db.reopen());
    EXPECT_TRUE(mentions(db.check(), Finding::Fault, "ends after")) << describe(db.check());
}

#ifndef _WIN32
int runcheck(const std::string &path) {
    const std::string command = std::string(TOOLS_DIR) + "/vorn check " + path + " >/dev/null 2>&1";
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(Check, VornCheckExitStatus) {
    test::TempDir dir;
    ASSERT_FALSE(dir.path().empty());
    const std::string good = dir.file("good.vdb");
    ASSERT_TRUE(test::makedatabasefile(good));
    EXPECT_EQ(runcheck(good), 0);

    auto bytes = test::readwholefile(good);
    auto *dbk = reinterpret_cast<DB *>(bytes.data() + 2 * kBlockSize);
    dbk->len = 2000;
    const std::string bad = dir.file("bad.vdb");
    ASSERT_TRUE(test::writewholefile(bad, bytes));
    EXPECT_EQ(runcheck(bad), 1);

    const std::string tiny = dir.file("tiny.vdb");
    ASSERT_TRUE(test::writewholefile(tiny, std::vector<std::uint8_t>(100, 7)));
    EXPECT_EQ(runcheck(tiny), 2);
    EXPECT_EQ(runcheck(dir.file("absent.vdb")), 2);
}
#endif  // the Windows build checks vorn.exe check's exit status in scripts/test-windows.sh

}  // namespace
}  // namespace vorn
