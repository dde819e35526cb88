// The memo of checked key blocks vouches only for images as the file holds them: it survives
// changes of other blocks and of the control block, and forgets a block the engine writes, a
// buffer it changes and everything at a reset. A random run with the memo answers and writes
// exactly as one whose memo is emptied before every operation.
#include <random>
#include <string>
#include <vector>

#include "engine_keyfixture.h"

namespace vorn {
namespace {

using test::KeyDb;

constexpr std::uint8_t kFid = 0x13;

std::string valueof(std::mt19937 &random) {
    std::string v(4 + random() % 20, 'a');
    for (char &c : v) c = static_cast<char>('a' + random() % 26);
    return v;
}

// A tree deep enough that its blocks keep leaving the 16 buffers.
void fill(KeyDb &db, int count, unsigned seed) {
    std::mt19937 random(seed);
    db.define(kFid, 0, true);
    for (int i = 0; i < count; ++i) {
        db.add(kFid, valueof(random), static_cast<std::uint32_t>(i + 1));
    }
}

// Reads blk into a buffer afresh (after every buffer has gone to other blocks).
FSBUFF *reread(FSDATA *fs, std::uint32_t blk) {
    for (std::uint32_t other = 2; other < 2 + 2 * kMaxBuffers; ++other) {
        if (other != blk && treeblockno(fs, other)) readblk(fs, other);
    }
    return readblk(fs, blk);
}

struct MemoCase {
    const char *name;
    void (*between)(FSDATA *fs, std::uint32_t blk);  // after the check, before the read again
    bool vouched;
};

TEST(KeyCheckMemo, VouchesOnlyForTheFilesOwnImages) {
    const MemoCase cases[] = {
        {"nothing", [](FSDATA *, std::uint32_t) {}, true},
        {"the control block changes", [](FSDATA *fs, std::uint32_t) { changefscb(fs); }, true},
        {"the block is written",
         [](FSDATA *fs, std::uint32_t blk) {
             ASSERT_EQ(writeblk(fs, blk), 1);
             ASSERT_EQ(flushbuffs(fs), 1);
         },
         false},
        {"the buffers are reset", [](FSDATA *fs, std::uint32_t) { resetbuffers(fs); }, false},
    };
    for (const MemoCase &c : cases) {
        SCOPED_TRACE(c.name);
        KeyDb db;
        fill(db, 3000, 5);
        ASSERT_EQ(db.flush(), 1);
        FSDATA *fs = db.e();
        const std::uint32_t blk = fs->fscb.rootkb;
        TreeRead why;
        ASSERT_NE(reread(fs, blk), nullptr);
        ASSERT_NE(readtreeblock(fs, blk, -1, &why), nullptr);  // checked as read: remembered
        FSBUFF *b = reread(fs, blk);
        ASSERT_NE(b, nullptr);
        ASSERT_TRUE(recallchecked(fs, b)) << "a block read again is vouched for";
        c.between(fs, blk);
        b = reread(fs, blk);
        ASSERT_NE(b, nullptr);
        EXPECT_EQ(recallchecked(fs, b), c.vouched);
        markchanged(b);
        EXPECT_FALSE(recallchecked(fs, b)) << "a changed buffer is never vouched for";
    }
}

TEST(KeyCheckMemo, RandomRunAnswersAndWritesAsWithoutTheMemo) {
    for (unsigned seed : {1u, 2u, 3u}) {
        SCOPED_TRACE(seed);
        KeyDb memo, plain;
        fill(memo, 2000, seed);
        fill(plain, 2000, seed);
        std::mt19937 random(seed * 7919);
        std::vector<std::pair<std::string, std::uint32_t>> stored;
        std::uint32_t nextrid = 100000;
        for (int op = 0; op < 6000 && !::testing::Test::HasFailure(); ++op) {
            // The reference checks every block it reads from scratch.
            plain.e()->checked.reset();
            const unsigned what = random() % 4;
            if (what == 0 || stored.empty()) {
                const std::string v = valueof(random);
                ASSERT_EQ(memo.add(kFid, v, nextrid), plain.add(kFid, v, nextrid));
                stored.emplace_back(v, nextrid++);
            } else if (what == 1) {
                const std::size_t at = random() % stored.size();
                const auto [v, rid] = stored[at];
                ASSERT_EQ(memo.del(kFid, v, rid), plain.del(kFid, v, rid));
                stored.erase(stored.begin() + static_cast<std::ptrdiff_t>(at));
            } else {
                const auto &[v, rid] = stored[random() % stored.size()];
                const auto how = what == 2 ? findkey : nextkey;
                ASSERT_EQ(memo.run(how, kFid, v, rid), plain.run(how, kFid, v, rid));
            }
        }
        ASSERT_EQ(memo.flush(), 1);
        ASSERT_EQ(plain.flush(), 1);
        EXPECT_TRUE(memo.data->bytes == plain.data->bytes) << "the files differ";
    }
}

}  // namespace
}  // namespace vorn
