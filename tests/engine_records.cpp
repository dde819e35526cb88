// Record placement and the record operations: identifiers, xlate allocation across xlate
// blocks, reuse, walks, rewrites in place and moved, the frid/lrid upkeep, the free chains
// and their repair, and clean refusals of identifiers that name no record.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>

#include "fsn/blocks.h"
#include "fsn/check.h"
#include "fsn/placement.h"
#include "fsn/records.h"
#include "support/enginefile.h"
#include "vorn/compress.h"

namespace vorn {
namespace {

using test::MemDatabase;

std::uint32_t add(MemDatabase &db, const std::string &rec, std::uint8_t fid,
                  Fault *fault = nullptr) {
    std::uint8_t work[1024];
    const int n = compress(work, sizeof work, rec.data(), static_cast<std::int16_t>(rec.size()));
    Fault local;
    return addrecord(db.fs.get(), work, static_cast<std::int16_t>(n), fid,
                     fault != nullptr ? fault : &local);
}

std::string read(MemDatabase &db, std::uint32_t rid, Fault *fault = nullptr) {
    std::uint8_t stored[kMaxStoredRecord];
    Fault local;
    const int n = readrecord(db.fs.get(), rid, stored, fault != nullptr ? fault : &local);
    if (n == 0) return "<failed>";
    char out[1024];
    const int m = uncompress(out, sizeof out, stored, static_cast<std::int16_t>(n));
    return m < 0 ? "<malformed>" : std::string(out, static_cast<std::size_t>(m));
}

bool rewrite(MemDatabase &db, std::uint32_t rid, const std::string &rec, bool *moved = nullptr) {
    std::uint8_t work[1024];
    const int n = compress(work, sizeof work, rec.data(), static_cast<std::int16_t>(rec.size()));
    Fault fault;
    return rewriterecord(db.fs.get(), rid, work, static_cast<std::int16_t>(n), &fault, moved) == 1;
}

std::uint32_t entry(MemDatabase &db, std::uint32_t xindex) {
    const std::uint32_t blk = (xindex >> 8) * xblkfreqof(db.fs.get()) + 1;
    return readblk(db.fs.get(), blk)->xbuff.xlate[xindex & 0xFF];
}

void expectclean(MemDatabase &db) {
    const auto findings = checkfile(db.fs.get());
    EXPECT_FALSE(hasfaults(findings)) << describe(findings);
}

TEST(Records, SuccessiveAddsGetSuccessiveIdentifiers) {
    MemDatabase db;
    EXPECT_EQ(add(db, "first", 0x10), 0x10000000u);
    EXPECT_EQ(add(db, "second", 0x10), 0x10000001u);
    EXPECT_EQ(add(db, "third", 0x20), 0x20000002u);
    EXPECT_EQ(entry(db, 0), 0x10000002u) << "sub-file 1, block 2";
    EXPECT_EQ(read(db, 0x10000001), "second");
    EXPECT_EQ(+db.fs->fscb.f[0].frid, 0x10000000u);
    EXPECT_EQ(+db.fs->fscb.f[0].lrid, 0x10000001u);
    expectclean(db);
}

TEST(Records, LowBitsOfTheFidNeverReachTheIdentifierOrTheEntry) {
    MemDatabase db;
    const std::uint32_t rid = add(db, "x", 0x1F);
    EXPECT_EQ(rid, 0x10000000u);
    EXPECT_EQ(entry(db, 0), 0x10000002u);
    Fault fault;
    EXPECT_EQ(add(db, "x", 0x07, &fault), 0u) << "sub-file 0";
    EXPECT_EQ(fault.code, 1045);
    EXPECT_EQ(fault.servercode, 474);
    EXPECT_STREQ(fault.text, "fsadd - getxlate error.\r\n");
    EXPECT_EQ(+db.fs->fscb.ftc, 1u) << "no identifier was taken";
    expectclean(db);
}

TEST(Records, LargestStoredFormFitsAndALargerOneIsRefused) {
    MemDatabase db;
    std::string incompressible(1007, ' ');
    for (std::size_t i = 0; i < incompressible.size(); ++i)
        incompressible[i] = static_cast<char>(i * 7 + i / 3);
    const std::uint32_t rid = add(db, incompressible, 0x10);
    ASSERT_NE(rid, 0u);
    EXPECT_EQ(read(db, rid), incompressible);
    std::uint8_t big[1009] = {0};
    Fault fault;
    const std::uint32_t lb = db.fs->fscb.lb;
    EXPECT_EQ(addrecord(db.fs.get(), big, 1009, 0x10, &fault), 0u);
    EXPECT_EQ(fault.code, 1030);
    EXPECT_EQ(fault.servercode, 471);
    EXPECT_EQ(addrecord(db.fs.get(), big, 0, 0x10, &fault), 0u) << "empty stored form";
    EXPECT_EQ(rewriterecord(db.fs.get(), rid, big, 1009, &fault), 0);
    EXPECT_EQ(fault.code, 1080);
    EXPECT_EQ(read(db, rid), incompressible) << "a refused rewrite leaves the record";
    EXPECT_EQ(+db.fs->fscb.lb, lb);
    expectclean(db);
}

TEST(Records, ReleasedIdentifierIsHandedOutNext) {
    MemDatabase db;
    for (int i = 0; i < 5; ++i) add(db, "r" + std::to_string(i), 0x10);
    Fault fault;
    ASSERT_EQ(deleterecord(db.fs.get(), 0x10000003, &fault), 1);
    EXPECT_EQ(add(db, "other sub-file", 0x30), 0x30000003u);
    EXPECT_EQ(read(db, 0x30000003), "other sub-file");
    EXPECT_EQ(add(db, "next", 0x10), 0x10000005u);
    expectclean(db);
}

TEST(Records, TwoHundredFiftySeventhRecordOpensXlateBlockOne) {
    MemDatabase db;
    for (int i = 0; i < 256; ++i) ASSERT_EQ(add(db, "r", 0x10), 0x10000000u + i);
    ASSERT_EQ(db.flush(), 1);
    // Every entry of xlate block 0 is in use; the chain names the first entry of block 1,
    // which does not exist yet. The open-time check accepts that state.
    EXPECT_EQ(+db.fs->fscb.ftc, 256u);
    EXPECT_LT(+db.fs->fscb.lb, 21u);
    EXPECT_EQ(integritycheck(db.fs->fscb, static_cast<std::int64_t>(db.data->bytes.size())), 0);
    FSCB impossible = db.fs->fscb;
    impossible.ftc = 512;
    EXPECT_EQ(integritycheck(impossible, static_cast<std::int64_t>(db.data->bytes.size())), 4);
    expectclean(db);

    const std::uint32_t rid = add(db, "two hundred fifty-seventh", 0x10);
    EXPECT_EQ(rid, 0x10000100u);
    EXPECT_GE(+db.fs->fscb.lb, 21u);
    FSBUFF *x = readblk(db.fs.get(), 21);
    EXPECT_EQ(subfileof(+x->xbuff.xlate[0]), 1u) << "entry 0 of xlate block 1 (block 21)";
    EXPECT_EQ(read(db, rid), "two hundred fifty-seventh");
    const auto findings = checkfile(db.fs.get());
    EXPECT_FALSE(hasfaults(findings)) << describe(findings);
    ASSERT_EQ(db.flush(), 1);
    EXPECT_EQ(integritycheck(db.fs->fscb, static_cast<std::int64_t>(db.data->bytes.size())), 0);
}

TEST(Records, ChosenBlockSurvivesTheBlocksThatGetxlateAppends) {
    MemDatabase db;
    for (int i = 0; i < 256; ++i) ASSERT_NE(add(db, "r", 0x10), 0u);
    ASSERT_EQ(db.flush(), 1);
    ASSERT_LE(+db.fs->fscb.lb, 5u);
    // Read-only: an evicted buffer's changes are dropped. The 257th add makes getxlate append
    // blocks up to the xlate block at 21, more misses than there are buffers; the block chosen
    // for the record must stay resident meanwhile.
    ASSERT_TRUE(db.reopen(Flavor::Library, true));
    const auto before = db.data->bytes;
    // A record that needs a fresh block: the block is appended in the cache only.
    std::string big(900, ' ');
    for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 13);
    const std::uint32_t rid = add(db, big, 0x10);
    ASSERT_EQ(rid, 0x10000100u);
    EXPECT_EQ(read(db, rid), big);
    EXPECT_GE(+db.fs->fscb.lb, 22u);
    EXPECT_EQ(db.data->bytes, before) << "a read-only file never changes";
}

TEST(Records, WalksSkipOtherSubFilesAndCrossXlateBlocks) {
    MemDatabase db(Flavor::Library, 4);  // xlate blocks at 1, 5, 9, ...
    std::vector<std::uint32_t> ones;
    for (int i = 0; i < 600; ++i) {
        const std::uint8_t fid = i % 3 == 0 ? 0x10 : 0x20;
        const std::uint32_t rid = add(db, std::string(40, static_cast<char>('a' + i % 26)), fid);
        ASSERT_NE(rid, 0u);
        if (fid == 0x10) ones.push_back(rid);
    }
    std::vector<std::uint32_t> forward;
    for (std::uint32_t r = firstrecord(db.fs.get(), 0x10); r != 0; r = nextrid(db.fs.get(), r)) {
        forward.push_back(r);
    }
    EXPECT_EQ(forward, ones);
    std::vector<std::uint32_t> backward;
    for (std::uint32_t r = lastrecord(db.fs.get(), 0x10); r != 0; r = prevrid(db.fs.get(), r)) {
        backward.insert(backward.begin(), r);
    }
    EXPECT_EQ(backward, ones);
    EXPECT_EQ(nextrid(db.fs.get(), lastrecord(db.fs.get(), 0x10)), 0u);
    EXPECT_EQ(prevrid(db.fs.get(), firstrecord(db.fs.get(), 0x10)), 0u);
    EXPECT_EQ(firstrecord(db.fs.get(), 0x30), 0u);
    EXPECT_EQ(lastrecord(db.fs.get(), 0x30), 0u);
    // A walk continues from a deleted identifier.
    Fault fault;
    ASSERT_EQ(deleterecord(db.fs.get(), ones[10], &fault), 1);
    EXPECT_EQ(nextrid(db.fs.get(), ones[10]), ones[11]);
    EXPECT_EQ(prevrid(db.fs.get(), ones[10]), ones[9]);
    expectclean(db);
}

TEST(Records, DeleteKeepsFirstAndLastUpToDate) {
    MemDatabase db;
    const std::uint32_t a = add(db, "a", 0x10), b = add(db, "b", 0x10), c = add(db, "c", 0x10);
    Fault fault;
    ASSERT_EQ(deleterecord(db.fs.get(), a, &fault), 1);
    EXPECT_EQ(firstrecord(db.fs.get(), 0x10), b);
    ASSERT_EQ(deleterecord(db.fs.get(), c, &fault), 1);
    EXPECT_EQ(lastrecord(db.fs.get(), 0x10), b);
    ASSERT_EQ(deleterecord(db.fs.get(), b, &fault), 1);
    EXPECT_EQ(firstrecord(db.fs.get(), 0x10), 0u);
    EXPECT_EQ(lastrecord(db.fs.get(), 0x10), 0u);
    EXPECT_EQ(+db.fs->fscb.f[0].frid, kEmptyFrid);
    expectclean(db);
}

// fschanged counts the header changes of the steps themselves: the xlate entry taken or
// released, each block write, each chain move, a bound that moves; nothing else.
TEST(Records, TheChangeCounterMovesOncePerHeaderChange) {
    MemDatabase db;
    const auto counted = [&db](const std::function<void()> &step) {
        const std::uint32_t before = db.fs->fscb.fschanged;
        step();
        return db.fs->fscb.fschanged - before;
    };
    std::uint32_t a = 0, b = 0, c = 0;
    // getxlate (its change and its xlate write); block 2 leaves chain 0 for chain 1; frid
    // and lrid; the block's write.
    EXPECT_EQ(counted([&] { a = add(db, "a", 0x10); }), 6u);
    EXPECT_EQ(counted([&] { b = add(db, "b", 0x10); }), 4u) << "getxlate, lrid, write";
    EXPECT_EQ(counted([&] { c = add(db, "c", 0x10); }), 4u);
    // Chain 0 is empty now: choosing a new block for a large record counts nothing, making
    // it counts one; then getxlate, its chain, frid and lrid of sub-file 2, its write.
    std::string large(900, ' ');
    for (std::size_t i = 0; i < large.size(); ++i) large[i] = static_cast<char>(i * 7 % 251);
    ASSERT_EQ(+db.fs->fscb.fc[0], 0u);
    EXPECT_EQ(counted([&] { ASSERT_NE(add(db, large, 0x20), 0u); }), 7u);
    Fault fault;
    const auto remove = [&](std::uint32_t rid) {
        return [&db, &fault, rid] { ASSERT_EQ(deleterecord(db.fs.get(), rid, &fault), 1); };
    };
    EXPECT_EQ(counted(remove(b)), 3u) << "freexlate (change and write), the block's write";
    EXPECT_EQ(counted(remove(a)), 4u) << "and frid";
    EXPECT_EQ(counted(remove(c)), 4u) << "and block 2 back to chain 0; emptying counts none";
    expectclean(db);
}

TEST(Records, RewriteStaysInItsBlockOrMovesKeepingItsIdentifier) {
    MemDatabase db;
    std::string filler(300, 'f');
    for (auto &ch : filler) ch = static_cast<char>('a' + (&ch - filler.data()) % 23);
    const std::uint32_t a = add(db, filler, 0x10);
    const std::uint32_t b = add(db, filler, 0x10);
    const std::uint32_t c = add(db, "small", 0x10);
    bool moved = true;
    ASSERT_TRUE(rewrite(db, c, "smaller", &moved));
    EXPECT_FALSE(moved);
    std::string big(500, 'z');
    for (auto &ch : big) ch = static_cast<char>('A' + (&ch - big.data()) % 19);
    ASSERT_TRUE(rewrite(db, c, big, &moved));
    EXPECT_TRUE(moved);
    EXPECT_EQ(read(db, c), big);
    EXPECT_EQ(read(db, a), filler);
    EXPECT_EQ(read(db, b), filler);
    EXPECT_NE(ridtoblk(db.fs.get(), c), ridtoblk(db.fs.get(), a));
    expectclean(db);
}

TEST(Records, IdentifiersThatNameNoRecordFailWithoutTouchingTheFile) {
    MemDatabase db;
    const std::uint32_t a = add(db, "alive", 0x10);
    const std::uint32_t gone = add(db, "gone", 0x10);
    Fault fault;
    ASSERT_EQ(deleterecord(db.fs.get(), gone, &fault), 1);
    ASSERT_EQ(db.flush(), 1);
    const auto before = db.data->bytes;
    const FSCB cb = db.fs->fscb;
    const std::uint32_t bad[] = {
        gone,               // released
        0x20000000u,        // in use, but by sub-file 1
        0x00000000u,        // sub-file 0
        a & 0x0FFFFFFF,     // sub-file 0 naming a used index
        0x10000000u | 300,  // xlate block 1 does not exist
        0x1FFFFFFFu,        // far beyond the file
    };
    std::uint8_t stored[kMaxStoredRecord] = {1, 2, 3};
    for (std::uint32_t rid : bad) {
        EXPECT_EQ(readrecord(db.fs.get(), rid, stored, &fault), 0) << std::hex << rid;
        EXPECT_EQ(fault.code, 1125);
        EXPECT_EQ(fault.servercode, 476);
        EXPECT_EQ(rewriterecord(db.fs.get(), rid, stored, 3, &fault), 0) << std::hex << rid;
        EXPECT_EQ(fault.code, 1160);
        EXPECT_EQ(deleterecord(db.fs.get(), rid, &fault), 0) << std::hex << rid;
        EXPECT_EQ(fault.code, 1105);
        EXPECT_EQ(fault.servercode, 476);
    }
    char expected[80];
    std::snprintf(expected, sizeof expected, "fsdelete - ridtoblk error rid=%lu.\r\n",
                  static_cast<unsigned long>(bad[5]));
    EXPECT_STREQ(fault.text, expected);
    // A backward walk from an identifier whose xlate block lies past the file finds nothing.
    for (std::uint32_t rid : {bad[4], bad[5]}) {
        EXPECT_EQ(prevrid(db.fs.get(), rid), 0u) << std::hex << rid;
    }
    EXPECT_TRUE(db.reporter.has(1330));
    EXPECT_EQ(+db.fs->fscb.lb, +cb.lb);
    EXPECT_EQ(+db.fs->fscb.ftc, +cb.ftc);
    ASSERT_EQ(db.flush(), 1);
    EXPECT_EQ(db.data->bytes, before);
    EXPECT_EQ(read(db, a), "alive");
}

TEST(Records, EntryNamingAControlXlateOrKeyBlockIsNoRecord) {
    MemDatabase db(Flavor::Server);
    const std::uint32_t rid = add(db, "victim", 0x10);
    FSBUFF *x = readblk(db.fs.get(), 1);
    FSBUFF *key = readblk(db.fs.get(), 3);  // appended: make it a key block
    key->dbuff.type = 1;
    ASSERT_EQ(writeblk(db.fs.get(), 3), 1);
    for (std::uint32_t blk : {0u, 1u, 3u, 21u}) {
        x = readblk(db.fs.get(), 1);
        x->xbuff.xlate[0] = 0x10000000u | blk;
        db.reporter.clear();
        Fault fault;
        std::uint8_t stored[kMaxStoredRecord];
        EXPECT_EQ(readrecord(db.fs.get(), rid, stored, &fault), 0) << blk;
        EXPECT_EQ(deleterecord(db.fs.get(), rid, &fault), 0) << blk;
        EXPECT_EQ(rewriterecord(db.fs.get(), rid, stored, 1, &fault), 0) << blk;
        EXPECT_EQ(+db.fs->fscb.lb, 3u);
        EXPECT_EQ(+readblk(db.fs.get(), 1)->xbuff.xlate[0], 0x10000000u | blk);
    }
}

TEST(Records, FailuresCarryBothCodesAndTheServerMessage) {
    MemDatabase db(Flavor::Server);
    const std::uint32_t rid = add(db, "some record", 0x10);
    // Plant a record of another rid where rid's entry points.
    FSBUFF *x = readblk(db.fs.get(), 1);
    x->xbuff.xlate[1] = 0x10000002u;  // rid 0x10000001 claims block 2
    Fault fault;
    std::uint8_t stored[kMaxStoredRecord];
    EXPECT_EQ(readrecord(db.fs.get(), 0x10000001, stored, &fault), 0);
    EXPECT_EQ(fault.code, 1135);
    EXPECT_EQ(fault.servercode, 477);
    EXPECT_STREQ(fault.text, "fsread - record not in block=2 rid=268435457.\r\n");
    EXPECT_TRUE(db.reporter.has(1340));
    EXPECT_EQ(db.reporter.failures.back().servertext, "findrec - record not in data block\r\n");
    EXPECT_EQ(db.reporter.failures.back().clienttext, "Rid 10000001 not in block");
    EXPECT_EQ(deleterecord(db.fs.get(), 0x10000001, &fault), 0);
    EXPECT_STREQ(fault.text, "fsdelete - record not in block block=2  rid=268435457.\r\n");
    EXPECT_EQ(rewriterecord(db.fs.get(), 0x10000001, stored, 1, &fault), 0);
    EXPECT_STREQ(fault.text, "fswrite - record 268435457 not in block 2.\r\n");
    EXPECT_EQ(read(db, rid), "some record");
}

TEST(Placement, ChainClassesAndChoice) {
    const struct {
        std::int16_t free, chain;
    } classes[] = {{1014, 0}, {1013, 1}, {768, 1}, {767, 2}, {512, 2}, {511, 3}, {256, 3},
                   {255, 4},  {128, 4},  {127, 5}, {64, 5},  {63, -1}, {0, -1}};
    for (const auto &c : classes) EXPECT_EQ(whatchain(c.free), c.chain) << c.free;

    MemDatabase db;
    FSCB &cb = db.fs->fscb;
    cb.fc[5] = 7;
    EXPECT_EQ(getchain(db.fs.get(), 64), 7u);
    EXPECT_EQ(getchain(db.fs.get(), 65), 2u) << "class 5 may hold only 64 free bytes";
    cb.fc[3] = 9;
    EXPECT_EQ(getchain(db.fs.get(), 65), 9u);
    cb.fc[0] = 0;
    cb.fc[3] = 0;
    EXPECT_EQ(getchain(db.fs.get(), 800), 3u) << "a new block is due";
}

TEST(Placement, BlockInsideAChainStaysPut) {
    MemDatabase db;
    FSCB &cb = db.fs->fscb;
    DB blk{};
    blk.len = 600;  // 424 free: chain 3
    blk.fc = 3;
    blk.nbic = 0;
    cb.fc[3] = 8;  // block 9 is behind 8
    putonchain(db.fs.get(), &blk, 9);
    EXPECT_EQ(+blk.fc, 3);
    blk.len = 900;  // 124 free: chain 5, but 9 is not the head
    putonchain(db.fs.get(), &blk, 9);
    EXPECT_EQ(+blk.fc, 3);
    EXPECT_EQ(+cb.fc[5], 0u);
    cb.fc[3] = 9;  // now it heads chain 3
    blk.nbic = 8;
    putonchain(db.fs.get(), &blk, 9);
    EXPECT_EQ(+blk.fc, 5);
    EXPECT_EQ(+cb.fc[3], 8u);
    EXPECT_EQ(+cb.fc[5], 9u);
}

TEST(Placement, RemovingTheLastRecordOnlyShortensTheBlock) {
    DB blk{};
    blk.len = kDbHeader;
    MemDatabase db;
    const std::uint32_t r1 = 0x10000000, r2 = 0x10000001;
    const std::int16_t l1 = 3, l2 = 2;
    artb(db.fs.get(), &r1, &l1, "abc", &blk, 5);
    artb(db.fs.get(), &r2, &l2, "de", &blk, 5);
    EXPECT_EQ(+blk.len, 10 + 9 + 8);
    const DB before = blk;
    rrfb(&blk, findrec(db.fs.get(), &blk, r2));
    EXPECT_EQ(+blk.len, 10 + 9);
    EXPECT_EQ(std::memcmp(blk.buff, before.buff, 9), 0);
    EXPECT_EQ(findrec(db.fs.get(), &blk, r2), nullptr);
    DB empty{};
    empty.len = kDbHeader;
    EXPECT_EQ(findrec(db.fs.get(), &empty, r1), nullptr);
}

std::string incompressible(std::size_t n, int seed) {
    std::string s(n, ' ');
    for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>(i * 13 + seed);
    return s;
}

TEST(Placement, AddRepairsAChainHeadThatLacksRoom) {
    MemDatabase db;
    ASSERT_NE(add(db, incompressible(900, 0), 0x10), 0u);  // block 2: 107 bytes free
    FSCB &cb = db.fs->fscb;
    ASSERT_EQ(+cb.fc[5], 2u);
    // Misfile block 2 as the head of chain 1 (768 free bytes or more).
    cb.fc[5] = 0;
    cb.fc[1] = 2;
    readblk(db.fs.get(), 2)->dbuff.fc = 1;
    const std::uint16_t ce = cb.ce, fixes = cb.cefixes;
    const std::uint32_t rid = add(db, incompressible(593, 1), 0x10);  // need 600: chain 1
    ASSERT_NE(rid, 0u);
    EXPECT_EQ(+cb.ce, ce + 1);
    EXPECT_EQ(+cb.cefixes, fixes + 1);
    EXPECT_EQ(+cb.fc[5], 2u) << "re-linked to the chain its free space calls for";
    EXPECT_EQ(+readblk(db.fs.get(), 2)->dbuff.fc, 5);
    EXPECT_EQ(ridtoblk(db.fs.get(), rid), 3u);
    expectclean(db);
}

TEST(Placement, CyclicChainEndsTheSearchWithAFailure) {
    MemDatabase db;
    ASSERT_NE(add(db, incompressible(900, 0), 0x10), 0u);  // block 2, 107 bytes free
    ASSERT_NE(add(db, incompressible(900, 5), 0x10), 0u);  // block 3, 107 bytes free
    // Block 2 misfiled at the head of chain 1 and linked to block 3, which heads chain 5 and
    // links back to block 2: the repairs alone would go round for ever.
    FSCB &cb = db.fs->fscb;
    FSBUFF *b2 = readblk(db.fs.get(), 2);
    b2->dbuff.nbic = 3;
    b2->dbuff.fc = 1;
    FSBUFF *b3 = readblk(db.fs.get(), 3);
    b3->dbuff.nbic = 2;
    b3->dbuff.fc = 5;
    cb.fc[1] = 2;
    cb.fc[5] = 3;
    Fault fault;
    EXPECT_EQ(add(db, incompressible(593, 1), 0x10, &fault), 0u);
    EXPECT_EQ(fault.code, 1040);
    EXPECT_EQ(fault.servercode, 471);
    EXPECT_STREQ(fault.text, "fsadd - getchain error.\r\n");
    EXPECT_EQ(+cb.lb, 3u) << "no block was appended";
    EXPECT_EQ(+cb.ftc, 2u) << "no identifier was taken";
}

}  // namespace
}  // namespace vorn
