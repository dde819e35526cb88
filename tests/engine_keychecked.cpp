// The key insert keeps a leaf's check (the entries' offsets) up to date instead of walking the
// leaf again, and a key block written back with its check standing goes to the check memo.
// Randomized tests: after every step each kept check equals a fresh check of the image it
// describes, and a database whose checks are thrown away before every step (so that every
// insert takes the slow path) answers the same and holds the same bytes, also with leaves
// whose entries were put out of order.
#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "engine_keyfixture.h"

namespace vorn {
namespace {

using test::KeyDb;

// The offsets a fresh check finds in an image, with their count; empty when it fails.
std::vector<std::int16_t> freshcheck(const KB &kb) {
    std::int16_t offs[kBlockEntries];
    std::int16_t count = 0;
    if (!validkb(kb, offs, &count)) return {};
    return {offs, offs + count + 1};
}

// Every check the engine keeps for a buffer or in the memo describes its image.
void expectchecksstand(KeyDb &db) {
    FSDATA *fs = db.e();
    for (int i = 0; i < fs->nbuffs; ++i) {
        const FSBUFF &b = fs->buff[i];
        if (b.blk == kNoBlock || !checkedoffsets(&b)) continue;
        const std::vector<std::int16_t> kept(b.koffs, b.koffs + b.kcount + 1);
        ASSERT_EQ(freshcheck(b.kbuff), kept) << "buffer of block " << b.blk;
    }
    if (fs->checked == nullptr) return;
    for (const KeyCheckMemo::Entry &e : fs->checked->entry) {
        if (e.images != fs->images) continue;
        const std::uint64_t at = static_cast<std::uint64_t>(e.blk) * kBlockSize;
        ASSERT_LE(at + kBlockSize, db.data->bytes.size()) << "memo of block " << e.blk;
        KB kb;
        std::memcpy(&kb, db.data->bytes.data() + at, sizeof kb);
        const std::vector<std::int16_t> kept(e.offs, e.offs + e.count + 1);
        ASSERT_EQ(freshcheck(kb), kept) << "memo of block " << e.blk;
    }
}

// Forgets every check, so that the next operation walks every block it reads afresh.
void forgetchecks(KeyDb &db) {
    FSDATA *fs = db.e();
    for (int i = 0; i < fs->nbuffs; ++i) fs->buff[i].kbchecked = 0;
    fs->checked.reset();
}

struct Op {
    bool add;
    std::uint8_t fid;
    std::string value;
    std::uint32_t rid;
};

constexpr std::uint8_t kFids[] = {0x10, 0x11, 0x12};

void defineall(KeyDb &db) {
    db.define(0x10, 0, false);
    db.define(0x11, 0, true);
    db.define(0x12, 2, true);
}

// Random adds (values of many lengths, so entries differ in size; some repeated, so some
// adds are refused) and a share of deletes of keys added before.
std::vector<Op> randomops(std::mt19937 &rng, int count) {
    std::vector<Op> ops, added;
    for (int i = 0; i < count; ++i) {
        if (!added.empty() && rng() % 4 == 0) {
            const std::size_t k = rng() % added.size();
            Op op = added[k];
            op.add = false;
            added.erase(added.begin() + static_cast<long>(k));
            ops.push_back(op);
            continue;
        }
        Op op{true, kFids[rng() % 3], {}, static_cast<std::uint32_t>(1 + rng() % 50)};
        const std::size_t len = op.fid == 0x12 ? 4 : 1 + rng() % (rng() % 8 == 0 ? 120 : 12);
        for (std::size_t j = 0; j < len; ++j) op.value += static_cast<char>('a' + rng() % 6);
        ops.push_back(op);
        added.push_back(op);
    }
    return ops;
}

std::int16_t apply(KeyDb &db, const Op &op) {
    return op.add ? db.add(op.fid, op.value, op.rid) : db.del(op.fid, op.value, op.rid);
}

// Swaps two entries of the same size in a leaf of the tree: the block stays well-formed but
// out of order, as damage may leave it. Nothing when no leaf has two such entries.
void disorderaleaf(KeyDb &db, std::mt19937 &rng) {
    std::vector<std::uint32_t> blocks;
    db.treefaults(&blocks);
    std::shuffle(blocks.begin(), blocks.end(), rng);
    for (const std::uint32_t blk : blocks) {
        FSBUFF *b = readblk(db.e(), blk);
        ASSERT_NE(b, nullptr);
        KB &kb = b->kbuff;
        if (kb.level != 0) continue;
        std::vector<int> offs;
        for (int off = 0; off < usedof(kb); off += entrysize(0, entrylen(kb, off))) {
            offs.push_back(off);
        }
        for (std::size_t i = 0; i < offs.size(); ++i) {
            for (std::size_t j = offs.size() - 1; j > i; --j) {
                const int n = entrylen(kb, offs[i]);
                if (entrylen(kb, offs[j]) != n) continue;
                std::uint8_t tmp[kLeafExtra + kMaxKeyLen];
                const auto size = static_cast<std::size_t>(entrysize(0, n));
                std::memcpy(tmp, kb.buff + offs[i], size);
                std::memcpy(kb.buff + offs[i], kb.buff + offs[j], size);
                std::memcpy(kb.buff + offs[j], tmp, size);
                ASSERT_EQ(writeblk(db.e(), blk), 1);
                return;
            }
        }
    }
}

class KeptCheckTest : public ::testing::TestWithParam<unsigned> {};

TEST_P(KeptCheckTest, KeptChecksMatchAFreshCheckAfterEveryStep) {
    std::mt19937 rng(GetParam());
    KeyDb db;
    defineall(db);
    int added = 0;
    for (const Op &op : randomops(rng, 3000)) {
        const std::int16_t done = apply(db, op);
        if (op.add) added += done;
        expectchecksstand(db);
        if (HasFatalFailure()) return;
    }
    EXPECT_GT(added, 1000);
    EXPECT_EQ(db.treefaults(), "");
    ASSERT_EQ(db.flush(), 1);
    expectchecksstand(db);
}

TEST_P(KeptCheckTest, InsertsAnswerAndWriteAsWithEveryBlockCheckedAfresh) {
    std::mt19937 rng(GetParam());
    KeyDb kept, fresh;
    defineall(kept);
    defineall(fresh);
    const std::vector<Op> ops = randomops(rng, 3000);
    for (std::size_t i = 0; i < ops.size(); ++i) {
        if (i % 500 == 250) {
            // The same leaf of both gets the same disorder (the generators run alike).
            std::mt19937 r1(static_cast<unsigned>(i)), r2(static_cast<unsigned>(i));
            disorderaleaf(kept, r1);
            disorderaleaf(fresh, r2);
        }
        forgetchecks(fresh);
        ASSERT_EQ(apply(kept, ops[i]), apply(fresh, ops[i])) << "operation " << i;
        if (i % 50 == 0) {
            ASSERT_EQ(kept.data->bytes, fresh.data->bytes) << "after operation " << i;
            expectchecksstand(kept);
        }
    }
    ASSERT_EQ(kept.flush(), 1);
    ASSERT_EQ(fresh.flush(), 1);
    EXPECT_EQ(kept.data->bytes, fresh.data->bytes);
    for (const std::uint8_t fid : kFids) EXPECT_EQ(kept.forward(fid), fresh.forward(fid));
}

// A key of fid 0x10 or 0x11 (byte strings, without and with duplicates) or 0x12 (type 2):
// values drawn from few letters, so that keys share long prefixes and equal ones occur.
KeyCopy randomkey(std::mt19937 &rng) {
    static constexpr std::uint8_t fids[] = {0x10, 0x11, 0x12};
    KeyCopy k;
    k.bytes[0] = fids[rng() % 3];
    k.len = static_cast<std::int16_t>(1 + (rng() % 3 == 0 ? rng() % 7 : 7 + rng() % 10));
    for (int i = 1; i < k.len + 4; ++i) k.bytes[i] = static_cast<std::uint8_t>('a' + rng() % 3);
    return k;
}

// A leaf entry placed by a buffer's kept check lands where the walk of the image puts it (or
// is refused alike), and the kept offsets equal a fresh check of the result.
void expectsameplacing(const KB &kb, const KeyCopy &key, const KeyRules &rules) {
    KB walked = kb;
    const std::int16_t want = addl0key(walked, key.len, key.bytes, rules.dupkeys, rules.cmp);
    FSBUFF b{};
    b.kbuff = kb;
    ASSERT_TRUE(validkb(b.kbuff, b.koffs, &b.kcount));
    b.kbchecked = 1;
    ASSERT_EQ(addl0key(&b, key.len, key.bytes, rules.dupkeys, rules.cmp), want);
    ASSERT_EQ(std::memcmp(&b.kbuff, &walked, sizeof walked), 0);
    if (checkedoffsets(&b)) {
        ASSERT_EQ(freshcheck(b.kbuff), std::vector<std::int16_t>(b.koffs, b.koffs + b.kcount + 1));
    }
}

TEST(PlacingPosition, EqualsAFullComparisonOfEachEntryInTurn) {
    KeyDb db;
    defineall(db);
    std::mt19937 rng(7);
    for (int round = 0; round < 3000; ++round) {
        KB kb{};
        kb.type = 1;
        kb.len = kKbHeader;
        kb.level = static_cast<std::int8_t>(rng() % 2);
        // As many keys as fit, leaving room for one more entry now and then.
        std::vector<KeyCopy> keys;
        const int room = kKbRoom - (rng() % 2 == 0 ? 0 : 30);
        for (int used = 0, want = static_cast<int>(rng() % 60); want > 0; --want) {
            const KeyCopy k = randomkey(rng);
            used += entrysize(kb.level, k.len);
            if (used > room) break;
            keys.push_back(k);
        }
        KeyRules byfid;
        // Ordered by the rules of each pair's index, unless the block is to be out of order.
        if (rng() % 3 != 0) {
            std::sort(keys.begin(), keys.end(), [&](const KeyCopy &a, const KeyCopy &b) {
                return keyrules(db.e(), a.bytes[0], &byfid) &&
                       comparekeys(byfid, a.bytes, a.len, b.bytes, b.len) < 0;
            });
        }
        std::vector<std::int16_t> offs;
        for (const KeyCopy &k : keys) {
            offs.push_back(static_cast<std::int16_t>(usedof(kb)));
            std::uint8_t *at = kb.buff + usedof(kb);
            std::memcpy(at, &k.len, 2);
            const std::uint32_t child = 99;
            if (kb.level > 0) std::memcpy(at + 2, &child, 4);
            std::memcpy(at + keyoffsetof(kb.level), k.bytes, static_cast<std::size_t>(k.len) + 4);
            kb.len = static_cast<std::int16_t>(kb.len + entrysize(kb.level, k.len));
            ++kb.numkeys;
        }
        for (int probe = 0; probe < 20; ++probe) {
            const KeyCopy key =
                probe < 5 && !keys.empty() ? keys[rng() % keys.size()] : randomkey(rng);
            KeyRules rules;
            ASSERT_TRUE(keyrules(db.e(), key.bytes[0], &rules));
            int want = static_cast<int>(keys.size());
            std::int16_t wantresult = -1;
            for (std::size_t i = 0; i < keys.size(); ++i) {
                wantresult = comparekeys(rules, key.bytes, key.len, keys[i].bytes, keys[i].len);
                if (wantresult <= 0) {
                    want = static_cast<int>(i);
                    break;
                }
            }
            std::int16_t result = 99;
            const int got = placingposition(kb, offs.data(), static_cast<int>(offs.size()), key,
                                            rules, &result);
            ASSERT_EQ(got, want) << "round " << round;
            ASSERT_EQ((result > 0) - (result < 0), (wantresult > 0) - (wantresult < 0));
            if (kb.level == 0) expectsameplacing(kb, key, rules);
            if (HasFatalFailure()) return;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Seeds, KeptCheckTest, ::testing::Values(1u, 2u, 3u, 4u));

}  // namespace
}  // namespace vorn
