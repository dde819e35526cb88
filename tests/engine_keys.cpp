// Worked cases of the key index: splits, separator repair, freeing, walks, ordering rules.
#include <thread>

#include "engine_keyfixture.h"

namespace vorn {
namespace {

using test::Found;
using test::KeyDb;

constexpr std::uint8_t kFid = 0x10;  // sub-file 1, subkey 0: type 0, no duplicates

std::string longvalue(char c) {
    return std::string(kMaxKeyValue, c);
}
// A 195-byte value: 190 bytes of c and a five-digit number.
std::string longvalue(char c, int i) {
    char digits[8];
    std::snprintf(digits, sizeof digits, "%05d", i);
    return std::string(kMaxKeyValue - 5, c) + digits;
}

TEST(Keys, EmptyFileFindsNothingAndRecordsNothing) {
    KeyDb db;
    EXPECT_EQ(db.first(kFid).rid, 0u);
    EXPECT_EQ(db.find(kFid, "a").rid, 0u);
    EXPECT_EQ(db.last(kFid, "a").rid, 0u);
    EXPECT_EQ(db.next(kFid, {1, "a"}).rid, 0u);
    EXPECT_EQ(db.prev(kFid, {1, "a"}).rid, 0u);
    EXPECT_EQ(db.del(kFid, "a", 1), 0);
    EXPECT_TRUE(db.reporter.failures.empty());
}

TEST(Keys, FirstKeyMakesARootLeafAndDeletingItFreesTheBlock) {
    KeyDb db;
    ASSERT_EQ(db.add(kFid, "k", 7), 1);
    const std::uint32_t root = db.fs->fscb.rootkb;
    ASSERT_NE(root, 0u);
    KB kb = db.block(root);
    EXPECT_EQ(kb.type, 1);
    EXPECT_EQ(+kb.level, 0);
    EXPECT_EQ(+kb.numkeys, 1);
    EXPECT_EQ(+kb.len, kKbHeader + 2 + 6);
    ASSERT_EQ(db.del(kFid, "k", 7), 1);
    EXPECT_EQ(+db.fs->fscb.rootkb, 0u);
    EXPECT_EQ(+db.fs->fscb.fc[0], root);
    kb = db.block(root);
    EXPECT_EQ(kb.type, 0);
    EXPECT_EQ(+kb.len, kDbHeader);
}

// Five 195-byte keys fill a leaf (5 * 202 + 14 = 1024); the sixth splits it: three entries move
// to a new block, two stay, and a new root holds the third key as its only separator.
void rootsplit(const std::string &sixth, bool expectleft) {
    KeyDb db;
    for (char c = 'b'; c <= 'f'; ++c) ASSERT_EQ(db.add(kFid, longvalue(c), c), 1);
    const std::uint32_t oldleaf = db.fs->fscb.rootkb;
    EXPECT_EQ(+db.block(oldleaf).len, 1024);
    ASSERT_EQ(db.add(kFid, sixth, 99), 1);
    const KB root = db.block(db.fs->fscb.rootkb);
    ASSERT_EQ(+root.level, 1);
    EXPECT_EQ(+root.xtrablk, oldleaf);
    ASSERT_EQ(+root.numkeys, 1);
    EXPECT_EQ(test::entryof(root, 0), (Found{'d', longvalue('d')}));
    const KB left = db.block(test::childof(root, 0));
    const KB right = db.block(oldleaf);
    EXPECT_EQ(+left.numkeys, expectleft ? 4 : 3);
    EXPECT_EQ(+right.numkeys, expectleft ? 2 : 3);
    EXPECT_EQ(test::entryof(left, 0).rid, 'b');
    EXPECT_EQ(db.treefaults(), "");
}

TEST(Keys, RootSplitOfFive195ByteKeysNewKeyLeft) {
    rootsplit(std::string(kMaxKeyValue - 1, 'c') + "a", true);
}
TEST(Keys, RootSplitOfFive195ByteKeysNewKeyRight) {
    rootsplit("e", false);
}

// Builds a root with one separator (c) over two leaves [a b c] and [d e f].
void twoleaves(KeyDb &db) {
    for (char c = 'a'; c <= 'f'; ++c) ASSERT_EQ(db.add(kFid, longvalue(c), c), 1);
    ASSERT_EQ(db.rootlevel(), 1);
    const KB root = db.block(db.fs->fscb.rootkb);
    ASSERT_EQ(+root.numkeys, 1);
    ASSERT_EQ(test::entryof(root, 0).rid, 'c');
}

TEST(Keys, DeletingTheGreatestKeyOfALeafRepairsItsSeparator) {
    KeyDb db;
    twoleaves(db);
    ASSERT_EQ(db.del(kFid, longvalue('c'), 'c'), 1);
    const KB root = db.block(db.fs->fscb.rootkb);
    ASSERT_EQ(+root.numkeys, 1);
    EXPECT_EQ(test::entryof(root, 0), (Found{'b', longvalue('b')}));
    EXPECT_EQ(db.treefaults(), "");
    EXPECT_EQ(db.next(kFid, {'b', longvalue('b')}).rid, static_cast<std::uint32_t>('d'));
}

TEST(Keys, DeletingTheGreatestKeyOfTheRightmostLeafChangesNoSeparator) {
    KeyDb db;
    twoleaves(db);
    ASSERT_EQ(db.del(kFid, longvalue('f'), 'f'), 1);
    EXPECT_EQ(test::entryof(db.block(+db.fs->fscb.rootkb), 0).rid, 'c');
    EXPECT_EQ(db.treefaults(), "");
}

TEST(Keys, DeletingTheOnlyKeyOfTheRightmostLeafPromotesTheLastSeparator) {
    KeyDb db;
    twoleaves(db);
    const std::uint32_t rootblk = db.fs->fscb.rootkb;
    const std::uint32_t rightleaf = db.block(rootblk).xtrablk;
    const std::uint32_t leftleaf = test::childof(db.block(rootblk), 0);
    ASSERT_EQ(db.del(kFid, longvalue('f'), 'f'), 1);
    ASSERT_EQ(db.del(kFid, longvalue('e'), 'e'), 1);
    ASSERT_EQ(db.del(kFid, longvalue('d'), 'd'), 1);
    const KB root = db.block(rootblk);
    EXPECT_EQ(+root.numkeys, 0);
    EXPECT_EQ(+root.xtrablk, leftleaf);
    EXPECT_EQ(+db.fs->fscb.fc[0], rightleaf);
    EXPECT_EQ(db.treefaults(), "");
    EXPECT_EQ(db.last(kFid, longvalue('z')).rid, static_cast<std::uint32_t>('c'));
}

TEST(Keys, FreeingDownToAnEmptyTreeAndStartingAgain) {
    KeyDb db;
    for (int i = 0; i < 120; ++i) ASSERT_EQ(db.add(kFid, longvalue('a', i), i + 1), 1);
    ASSERT_GE(db.rootlevel(), 2);
    const std::uint32_t lb = db.fs->fscb.lb;
    for (int i = 0; i < 119; ++i) ASSERT_EQ(db.del(kFid, longvalue('a', i), 0), 1);
    // The last key's path, root first: each block above the leaf is left with one child.
    std::vector<std::uint32_t> path{+db.fs->fscb.rootkb};
    while (db.block(path.back()).level > 0) {
        const KB kb = db.block(path.back());
        ASSERT_EQ(+kb.numkeys, 0);
        path.push_back(+kb.xtrablk);
    }
    ASSERT_GE(path.size(), 3u);
    ASSERT_EQ(db.del(kFid, longvalue('a', 119), 0), 1);
    EXPECT_EQ(+db.fs->fscb.rootkb, 0u);
    // The leaf is freed first, then its ancestors from the root down: chain 0 starts with
    // the leaf's parent and ends this run with the root and the leaf.
    std::vector<std::uint32_t> expected(path.rbegin() + 1, path.rend());
    expected.push_back(path.back());
    std::vector<std::uint32_t> head;
    for (std::uint32_t b = db.fs->fscb.fc[0]; head.size() < path.size(); b = db.block(b).ancestor) {
        head.push_back(b);
    }
    EXPECT_EQ(head, expected);
    // Every key block went back to chain 0, and the next tree is built from them.
    int onchain = 0;
    for (std::uint32_t b = db.fs->fscb.fc[0]; b != 0 && onchain < 1000; ++onchain) {
        b = db.block(b).ancestor;
    }
    EXPECT_GE(onchain, 40);
    for (int i = 0; i < 120; ++i) ASSERT_EQ(db.add(kFid, longvalue('b', i), i + 1), 1);
    EXPECT_EQ(+db.fs->fscb.lb, lb);
    EXPECT_EQ(db.treefaults(), "");
    EXPECT_EQ(db.forward(kFid).size(), 120u);
}

// fschanged moves at the header changes of the steps: a block taken from or put on chain 0
// (appending one counts its creation too), a new root, each block write; nothing else.
TEST(Keys, TheChangeCounterMovesOncePerHeaderChange) {
    KeyDb db;
    const auto counted =
        [&db](std::int16_t (KeyDb::*op)(std::uint8_t, const std::string &, std::uint32_t),
              const std::string &value, std::uint32_t rid) {
            const std::uint32_t before = db.fs->fscb.fschanged;
            EXPECT_EQ((db.*op)(kFid, value, rid), 1);
            return db.fs->fscb.fschanged - before;
        };
    EXPECT_EQ(counted(&KeyDb::add, "a", 1), 2u) << "block 2 off chain 0, the leaf's write";
    EXPECT_EQ(counted(&KeyDb::add, "b", 2), 1u);
    EXPECT_EQ(counted(&KeyDb::del, "b", 2), 1u);
    EXPECT_EQ(counted(&KeyDb::del, "a", 1), 2u) << "the leaf onto chain 0, its write";
    // A root leaf of five 195-byte keys splits: two appended blocks (2 each), the new root,
    // the old and new leaf, the root's write, the leaf that takes the key.
    for (int i = 0; i < 5; ++i) ASSERT_EQ(db.add(kFid, longvalue('c', i), i + 1), 1);
    ASSERT_EQ(+db.fs->fscb.fc[0], 0u);
    EXPECT_EQ(counted(&KeyDb::add, longvalue('c', 9), 9), 9u);
    EXPECT_EQ(db.treefaults(), "");
}

TEST(Keys, TheABCWalk) {
    KeyDb db;
    ASSERT_EQ(db.add(kFid, "A", 1), 1);
    ASSERT_EQ(db.add(kFid, "B", 2), 1);
    ASSERT_EQ(db.add(kFid, "C", 3), 1);
    EXPECT_EQ(db.first(kFid), (Found{1, "A"}));
    EXPECT_EQ(db.next(kFid, {1, "A"}), (Found{2, "B"}));
    EXPECT_EQ(db.prev(kFid, {2, "B"}), (Found{1, "A"}));
    EXPECT_EQ(db.last(kFid, "C"), (Found{2, "B"}));
    EXPECT_EQ(db.last(kFid, "D"), (Found{3, "C"}));
    EXPECT_EQ(db.find(kFid, "B"), (Found{2, "B"}));
}

TEST(Keys, AnEmptySearchValueFindsTheFirstKeyOfItsIndex) {
    KeyDb db;
    db.define(0x21, 0, false);
    ASSERT_EQ(db.add(kFid, "zz", 5), 1);
    ASSERT_EQ(db.add(0x21, "m", 6), 1);
    ASSERT_EQ(db.add(0x21, "c", 7), 1);
    EXPECT_EQ(db.find(0x21, ""), (Found{7, "c"}));
    EXPECT_EQ(db.find(kFid, ""), (Found{5, "zz"}));
    EXPECT_EQ(db.find(0x22, "").rid, 0u) << "an index without keys";
}

TEST(Keys, TypeZeroSortsAValueAfterItsPrefixes) {
    KeyDb db;
    ASSERT_EQ(db.add(kFid, "abd", 3), 1);
    ASSERT_EQ(db.add(kFid, "abc", 2), 1);
    ASSERT_EQ(db.add(kFid, "ab", 1), 1);
    EXPECT_EQ(db.forward(kFid), (std::vector<Found>{{1, "ab"}, {2, "abc"}, {3, "abd"}}));
    EXPECT_EQ(db.find(kFid, "ab"), (Found{1, "ab"}));
    ASSERT_EQ(db.del(kFid, "ab", 1), 1);
    EXPECT_EQ(db.find(kFid, "ab").rid, 0u) << "ab does not find abc";
}

TEST(Keys, SignedAndUnsignedSixteenBitOrders) {
    KeyDb db;
    db.define(0x31, 1, false);  // short
    db.define(0x32, 4, false);  // unsigned short
    const std::string minus1("\xFF\xFF", 2), zero("\0\0", 2);
    for (std::uint8_t fid : {0x31, 0x32}) {
        ASSERT_EQ(db.add(fid, zero, 1), 1);
        ASSERT_EQ(db.add(fid, minus1, 2), 1);
    }
    EXPECT_EQ(db.first(0x31), (Found{2, minus1}));
    EXPECT_EQ(db.first(0x32), (Found{1, zero}));
}

TEST(Keys, DuplicatesAreOrderedByRid) {
    KeyDb db;
    constexpr std::uint8_t dup = 0x18;  // subkeys 8..15 admit duplicates in a new file
    for (std::uint32_t rid : {5u, 3u, 9u}) ASSERT_EQ(db.add(dup, "v", rid), 1);
    EXPECT_EQ(db.add(dup, "v", 5), 0) << "the same value with the same rid";
    EXPECT_EQ(db.forward(dup), (std::vector<Found>{{3, "v"}, {5, "v"}, {9, "v"}}));
    EXPECT_EQ(db.backward(dup, "w"), db.forward(dup));
    EXPECT_EQ(db.find(dup, "v").rid, 3u) << "the lowest rid, whatever rid is passed";
    EXPECT_EQ(db.last(dup, "v").rid, 0u);
    // Without duplicates a second key of the value is refused, and a delete with any rid
    // deletes the stored key.
    ASSERT_EQ(db.add(kFid, "v", 5), 1);
    EXPECT_EQ(db.add(kFid, "v", 6), 0);
    EXPECT_TRUE(db.reporter.has(1145));
    EXPECT_EQ(db.del(kFid, "v", 77), 1);
    EXPECT_EQ(db.find(kFid, "v").rid, 0u);
}

TEST(Keys, ExtendedValuesDifferingInTheLowestMantissaBit) {
    KeyDb db;
    db.define(0x41, 8, false);
    // 1.0 and the next value above it: mantissa 0x8000000000000000 and ...0001, exponent 16383.
    std::string one(10, '\0'), above;
    one[7] = '\x80';
    one[8] = '\xFF';
    one[9] = '\x3F';
    above = one;
    above[0] = '\x01';
    ASSERT_EQ(db.add(0x41, above, 2), 1);
    ASSERT_EQ(db.add(0x41, one, 1), 1);
    EXPECT_EQ(db.forward(0x41), (std::vector<Found>{{1, one}, {2, above}}));
    EXPECT_EQ(db.find(0x41, above).rid, 2u);
}

TEST(Keys, WalksStopAtTheEndsOfAnIndex) {
    KeyDb db;
    db.define(0x11, 0, false);
    db.define(0x12, 0, false);
    for (std::uint8_t fid : {0x11, 0x12}) {
        for (int i = 0; i < 30; ++i) ASSERT_EQ(db.add(fid, longvalue('k', 2 * i), i + 1), 1);
    }
    ASSERT_GE(db.rootlevel(), 1);
    const auto all = db.forward(0x11);
    ASSERT_EQ(all.size(), 30u);
    EXPECT_EQ(db.next(0x11, all.back()).rid, 0u) << "the next index holds keys";
    EXPECT_EQ(db.prev(0x12, db.first(0x12)).rid, 0u);
    EXPECT_EQ(db.backward(0x11, "z"), all);
    // Keys not stored: the neighbours around them, across leaves.
    EXPECT_EQ(db.next(0x11, {1, longvalue('k', 15)}), all[8]);
    EXPECT_EQ(db.prev(0x11, {1, longvalue('k', 15)}), all[7]);
}

TEST(Keys, UndefinedKeyTypeFailsEveryOperationWithoutMakingARoot) {
    KeyDb db;
    db.define(0x51, 9, false);
    EXPECT_EQ(db.add(0x51, "x", 1), 0);
    EXPECT_TRUE(db.reporter.has(1145));
    EXPECT_EQ(+db.fs->fscb.rootkb, 0u);
    ASSERT_EQ(db.add(kFid, "x", 1), 1);
    EXPECT_EQ(db.add(0x51, "x", 1), 0);
    EXPECT_EQ(db.add(0x01, "x", 1), 0) << "sub-file 0";
    EXPECT_EQ(db.find(0x51, "x").rid, 0u);
    EXPECT_EQ(db.first(0x51).rid, 0u);
    EXPECT_EQ(db.del(0x51, "x", 1), 0);
}

TEST(Keys, AValueLongerThan195BytesIsRefusedAndChangesNothing) {
    KeyDb db;
    ASSERT_EQ(db.add(kFid, "a", 1), 1);
    ASSERT_EQ(db.flush(), 1);
    const auto before = db.data->bytes;
    const std::string toolong(kMaxKeyValue + 1, 'q');
    EXPECT_EQ(
        addkey(db.e(), kMaxKeyValue + 2, reinterpret_cast<const std::uint8_t *>(toolong.data())),
        0);
    EXPECT_EQ(addkey(db.e(), -3, bldkey(kFid, 1, 1, "a")), 0);
    EXPECT_EQ(
        deletekey(db.e(), kMaxKeyValue + 2, reinterpret_cast<const std::uint8_t *>(toolong.data())),
        0);
    EXPECT_EQ(+db.fs->fscb.cf, 0);
    ASSERT_EQ(db.flush(), 1);
    EXPECT_EQ(db.data->bytes, before);
    // bldkey never copies more than 195 bytes, whatever length it is given.
    std::uint8_t *k = bldkey(kFid, 9, 500, toolong.data());
    EXPECT_EQ(k[kMaxKeyValue], 'q');
}

TEST(Keys, FirstKeyWritesTheFidEvenWhenItFindsNothing) {
    KeyDb db;
    char out[8] = {'x'};
    std::int16_t foundlen = -1;
    EXPECT_EQ(firstkey(db.e(), 0x37, out, &foundlen), 0u);
    EXPECT_EQ(out[0], 0x37);
    EXPECT_EQ(foundlen, 0);
}

TEST(Keys, KeyBuffersBelongToTheirThread) {
    std::uint8_t *mine = bldkey(kFid, 1, 1, "a");
    std::uint8_t *theirs = nullptr;
    std::thread([&] { theirs = bldkey(kFid, 2, 1, "b"); }).join();
    EXPECT_NE(mine, theirs);
    EXPECT_EQ(mine[1], 'a');
}

// A leaf of four long keys, a medium one and four tiny ones is full; a long key among the
// long ones would overflow the half the count-based split gives it, so another point is taken.
TEST(Keys, ASplitNeverOverfillsTheHalfThatTakesALongKey) {
    KeyDb db;
    for (char c = 'a'; c <= 'd'; ++c) ASSERT_EQ(db.add(kFid, "a" + std::string(194, c), c), 1);
    ASSERT_EQ(db.add(kFid, "b" + std::string(162, 'm'), 50), 1);
    for (char c = 'c'; c <= 'f'; ++c) ASSERT_EQ(db.add(kFid, std::string(1, c), 60 + c), 1);
    ASSERT_EQ(+db.block(db.fs->fscb.rootkb).len, 1024);
    ASSERT_EQ(db.add(kFid, "a" + std::string(194, 'b') + "", 0), 0) << "duplicate value";
    ASSERT_EQ(db.add(kFid, "a" + std::string(193, 'b') + "c", 70), 1);
    EXPECT_EQ(db.treefaults(), "");
    EXPECT_EQ(db.forward(kFid).size(), 10u);
}

TEST(Keys, TheServerFlavorReportsBlockTroubleInItsOwnWords) {
    KeyDb db(Flavor::Server);
    db.fs->fscb.fc[0] = 0;
    db.fs->fscb.lb = kMaxBlock;  // nothing can be appended
    EXPECT_EQ(db.add(kFid, "a", 1), 0);
    ASSERT_FALSE(db.reporter.failures.empty());
    bool seen = false;
    for (const auto &f : db.reporter.failures) {
        seen |= f.servertext == "newkeyblock - allocating extended block\r\n";
    }
    EXPECT_TRUE(seen);
}

}  // namespace
}  // namespace vorn
