// Damaged key blocks and failing reads: lookups fail cleanly (result 0), updates refuse before
// they change anything, the checker names the damage, and a read that fails in the middle of
// an update leaves a whole tree.
#include <random>

#include "engine_keyfixture.h"

namespace vorn {
namespace {

using test::Found;
using test::KeyDb;

constexpr std::uint8_t kFid = 0x10;

std::string longvalue(int i) {
    char digits[8];
    std::snprintf(digits, sizeof digits, "%05d", i);
    return std::string(kMaxKeyValue - 5, 'k') + digits;
}

// A tree of three levels or more over 150 long keys (even numbers), flushed to the bytes.
void buildtree(KeyDb &db) {
    for (int i = 0; i < 150; ++i) ASSERT_EQ(db.add(kFid, longvalue(2 * ((i * 7) % 150)), i + 1), 1);
    ASSERT_GE(db.rootlevel(), 2);
    ASSERT_EQ(db.flush(), 1);
}

// Changes the bytes of block blk in the file image and reopens (cold cache).
template <typename Change>
void damage(KeyDb &db, std::uint32_t blk, Change change) {
    KB kb;
    std::memcpy(&kb, db.data->bytes.data() + blk * kBlockSize, sizeof kb);
    change(kb);
    std::memcpy(db.data->bytes.data() + blk * kBlockSize, &kb, sizeof kb);
    ASSERT_TRUE(db.reopen());
    db.reporter.clear();
}

// After damage on the way to key `at`: lookups give 0 or a key, updates near it refuse, and
// nothing reaches the file.
void expectrefusals(KeyDb &db, int at = 10) {
    const auto before = db.data->bytes;
    (void)db.forward(kFid, 400);
    (void)db.backward(kFid, "z", 400);
    EXPECT_EQ(db.find(kFid, longvalue(at)).rid, 0u);
    EXPECT_EQ(db.add(kFid, longvalue(at + 1), 9999), 0);
    EXPECT_EQ(db.del(kFid, longvalue(at), 0), 0);
    ASSERT_EQ(db.flush(), 1);
    EXPECT_EQ(db.data->bytes, before) << "a refused update changes nothing";
    EXPECT_NE(db.treefaults(), "");
}

struct Damage {
    const char *name;
    void (*change)(KB &kb, std::uint32_t lb);
    std::int16_t code;  // recorded by findkey
};

const Damage kRootDamages[] = {
    {"not a key block", [](KB &kb, std::uint32_t) { kb.type = 0; }, 1155},
    {"len past the block", [](KB &kb, std::uint32_t) { kb.len = 2000; }, 1155},
    {"len below the header", [](KB &kb, std::uint32_t) { kb.len = 3; }, 1155},
    {"entry running past len",
     [](KB &kb, std::uint32_t) {
         const std::int16_t n = 900;
         std::memcpy(kb.buff, &n, 2);
     },
     1155},
    {"numkeys wrong",
     [](KB &kb, std::uint32_t) { kb.numkeys = static_cast<std::int16_t>(kb.numkeys + 1); }, 1155},
    {"level too high", [](KB &kb, std::uint32_t) { kb.level = 9; }, 1155},
    {"child 0",
     [](KB &kb, std::uint32_t) {
         std::memset(kb.buff + 2, 0, 4);
         kb.xtrablk = 0;
     },
     1160},
    {"child past the last block",
     [](KB &kb, std::uint32_t lb) {
         const std::uint32_t c = lb + 1;
         std::memcpy(kb.buff + 2, &c, 4);
         kb.xtrablk = lb + 5;
     },
     1165},
    {"child an xlate block",
     [](KB &kb, std::uint32_t) {
         const std::uint32_t c = 21;
         std::memcpy(kb.buff + 2, &c, 4);
         kb.xtrablk = 1;
     },
     1165},
    {"child is the root (a cycle)",
     [](KB &kb, std::uint32_t) {
         std::memset(kb.buff + 2, 0xFF, 4);
         kb.xtrablk = 0xFFFFFFFF;
     },
     0},
};

TEST(KeyDamage, DamagedRootGivesCleanFailures) {
    for (const Damage &d : kRootDamages) {
        SCOPED_TRACE(d.name);
        KeyDb db;
        ASSERT_NO_FATAL_FAILURE(buildtree(db));
        const std::uint32_t root = db.fs->fscb.rootkb, lb = db.fs->fscb.lb;
        ASSERT_NO_FATAL_FAILURE(damage(db, root, [&](KB &kb) {
            d.change(kb, lb);
            if (kb.xtrablk == 0xFFFFFFFF) {
                kb.xtrablk = root;
                std::memcpy(kb.buff + 2, &root, 4);
            }
        }));
        // The search for a key under the damaged child, or under the root itself.
        (void)db.find(kFid, std::string(kMaxKeyValue, 'z'));
        if (d.code != 0) {
            EXPECT_TRUE(db.reporter.has(d.code));
        }
        ASSERT_NO_FATAL_FAILURE(expectrefusals(db));
    }
}

TEST(KeyDamage, ChildOnTheSameLevelIsRefused) {
    KeyDb db;
    ASSERT_NO_FATAL_FAILURE(buildtree(db));
    const std::uint32_t root = db.fs->fscb.rootkb;
    const std::uint32_t child = db.block(root).xtrablk;
    ASSERT_NO_FATAL_FAILURE(
        damage(db, child, [](KB &kb) { kb.level = static_cast<std::int8_t>(kb.level + 1); }));
    EXPECT_EQ(db.last(kFid, "z").rid, 0u);
    EXPECT_TRUE(db.reporter.has(1165));
    ASSERT_NO_FATAL_FAILURE(expectrefusals(db, 298));
}

TEST(KeyDamage, CheckerNamesEachKindOfDamage) {
    KeyDb db;
    ASSERT_NO_FATAL_FAILURE(buildtree(db));
    std::vector<std::uint32_t> blocks;
    ASSERT_EQ(db.treefaults(&blocks), "");
    const std::uint32_t root = db.fs->fscb.rootkb;
    const KB rootkb = db.block(root);
    // Two separators naming one child.
    ASSERT_NO_FATAL_FAILURE(
        damage(db, root, [&](KB &kb) { kb.xtrablk = test::childof(rootkb, 0); }));
    EXPECT_NE(db.treefaults().find("reached twice"), std::string::npos);
    // Keys out of order in a leaf.
    ASSERT_NO_FATAL_FAILURE(damage(db, root, [&](KB &kb) { kb = rootkb; }));
    const std::uint32_t leaf = blocks.back();
    ASSERT_NO_FATAL_FAILURE(damage(db, leaf, [](KB &kb) { kb.buff[2 + 1] = 'a'; }));
    EXPECT_NE(db.treefaults().find("not above"), std::string::npos);
    ASSERT_NO_FATAL_FAILURE(damage(db, leaf, [](KB &kb) {
        kb.buff[2 + 1] = 'k';
        kb.ancestor = 5;
    }));
    EXPECT_NE(db.treefaults().find("ancestor"), std::string::npos);
}

TEST(KeyDamage, RandomByteFlipsNeverCrashOrHang) {
    KeyDb db;
    ASSERT_NO_FATAL_FAILURE(buildtree(db));
    std::vector<std::uint32_t> blocks;
    ASSERT_EQ(db.treefaults(&blocks), "");
    const auto pristine = db.data->bytes;
    std::mt19937 rng(7);
    for (int trial = 0; trial < 300; ++trial) {
        db.data->bytes = pristine;
        const std::uint32_t blk = blocks[rng() % blocks.size()];
        const std::size_t at = blk * kBlockSize + rng() % (trial % 2 == 0 ? 40 : kBlockSize);
        db.data->bytes[at] ^= static_cast<std::uint8_t>(1u << (rng() % 8));
        ASSERT_TRUE(db.reopen());
        (void)db.treefaults();
        EXPECT_LE(db.forward(kFid, 1000).size(), 1000u);
        (void)db.backward(kFid, "z", 1000);
        (void)db.find(kFid, longvalue(static_cast<int>(rng() % 300)));
        (void)db.add(kFid, longvalue(static_cast<int>(2 * (rng() % 150) + 1)), 5000);
        (void)db.del(kFid, longvalue(static_cast<int>(2 * (rng() % 150))), 0);
        (void)db.treefaults();
    }
}

// Every read of an update failing in turn: the update either completes or places nothing,
// and the tree in memory stays whole.
TEST(KeyDamage, AFailedReadInTheMiddleOfAnUpdateLeavesAWholeTree) {
    KeyDb db;
    ASSERT_NO_FATAL_FAILURE(buildtree(db));
    const auto pristine = db.data->bytes;
    std::vector<Found> keys = db.forward(kFid);
    for (int k = 0; k < 24; ++k) {
        for (int which = 0; which < 6; ++which) {
            SCOPED_TRACE(testing::Message() << "read " << k << " op " << which);
            db.data->bytes = pristine;
            ASSERT_TRUE(db.reopen());
            db.data->failreadat = db.data->reads + k;
            const bool adding = which % 2 == 0;
            const std::string value = longvalue(adding ? 40 * which + 1 : 50 * which);
            const std::int16_t r = adding ? db.add(kFid, value, 777) : db.del(kFid, value, 0);
            db.data->failreadat = -1;
            EXPECT_EQ(db.treefaults(), "");
            std::vector<Found> expected = keys;
            if (r == 1 && adding) {
                expected.push_back({777, value});
                std::sort(expected.begin(), expected.end(),
                          [](const Found &a, const Found &b) { return a.value < b.value; });
            } else if (r == 1) {
                std::erase_if(expected, [&](const Found &f) { return f.value == value; });
            }
            EXPECT_EQ(db.forward(kFid), expected);
        }
    }
}

// A damaged chain 0 whose head is a block of the tree: the split that needs a block refuses
// before it changes anything.
TEST(KeyDamage, AChainHeadInsideTheTreeIsNotTaken) {
    KeyDb db;
    ASSERT_NO_FATAL_FAILURE(buildtree(db));
    db.fs->fscb.fc[0] = db.fs->fscb.rootkb;
    const auto keys = db.forward(kFid);
    int refused = 0;
    for (int i = 0; i < 40; ++i) refused += db.add(kFid, longvalue(2 * i + 1), 9000 + i) == 0;
    EXPECT_GT(refused, 0);
    EXPECT_TRUE(db.reporter.has(1285));
    EXPECT_EQ(db.treefaults(), "");
    EXPECT_EQ(db.forward(kFid).size(), keys.size() + 40 - static_cast<std::size_t>(refused));
}

// A root at level 8 with every block on the path full: the split would need a tenth level.
TEST(KeyDamage, ARootSplitAboveTheHighestLevelIsRefused) {
    KeyDb db;
    FSDATA *fs = db.e();
    auto newblock = [&] {
        FSBUFF *b = readblk(fs, fs->fscb.lb + 1);
        EXPECT_NE(b, nullptr);
        return b;
    };
    auto put = [](KB &kb, int off, std::int16_t n, char fill, std::uint32_t child, int level) {
        std::memcpy(kb.buff + off, &n, 2);
        int k = off + 2;
        if (level > 0) {
            std::memcpy(kb.buff + k, &child, 4);
            k += 4;
        }
        kb.buff[k] = kFid;
        std::memset(kb.buff + k + 1, fill, static_cast<std::size_t>(n - 1));
        std::memset(kb.buff + k + n, 0, 4);
        kb.buff[k + n] = 1;
        return off + n + (level > 0 ? 10 : 6);
    };
    std::uint32_t below = 0;
    for (int level = 0; level <= 8; ++level) {
        FSBUFF *b = newblock();
        KB &kb = b->kbuff;
        kb.ancestor = 0;
        kb.type = 1;
        kb.level = static_cast<std::int8_t>(level);
        kb.xtrablk = below;
        const int count = level == 0 ? 5 : 4;
        int off = 0;
        for (int i = 0; i < count; ++i) {
            // Distinct keys on every level, all below the key added.
            off = put(kb, off, kMaxKeyLen,
                      static_cast<char>(level == 0 ? 'k' + i : 'A' + 4 * level + i), 2, level);
        }
        kb.len = static_cast<std::int16_t>(kKbHeader + off);
        kb.numkeys = static_cast<std::int16_t>(count);
        below = b->blk;
        ASSERT_EQ(writeblk(fs, below), 1);
    }
    fs->fscb.rootkb = below;
    changefscb(fs);
    ASSERT_EQ(db.flush(), 1);
    const auto before = db.data->bytes;
    EXPECT_EQ(db.add(kFid, std::string(kMaxKeyValue, 'z'), 5), 0);
    EXPECT_TRUE(db.reporter.has(1230));
    ASSERT_EQ(db.flush(), 1);
    EXPECT_EQ(db.data->bytes, before);
}

TEST(KeyDamage, ANewKeyBlockIsMarkedWrittenAtOnce) {
    KeyDb db;
    const std::uint32_t blk = newkeyblock(db.e(), 0);
    ASSERT_NE(blk, 0u);
    // Push it out of the cache: it reaches the file as an empty key block.
    for (std::uint32_t b = 3; b < 3 + 2 * kClientBuffers; ++b)
        ASSERT_NE(readblk(db.e(), b), nullptr);
    ASSERT_EQ(db.flush(), 1);
    KB kb;
    std::memcpy(&kb, db.data->bytes.data() + blk * kBlockSize, sizeof kb);
    EXPECT_EQ(kb.type, 1);
    EXPECT_EQ(+kb.len, kKbHeader);
}

}  // namespace
}  // namespace vorn
