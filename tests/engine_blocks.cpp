// The block cache: residency, write-back order, growth, the periodic flush, read-only files.
#include <gtest/gtest.h>

#include <cstring>

#include "fsn/blocks.h"
#include "fsn/format.h"
#include "support/memfile.h"

namespace vorn {
namespace {

struct Fixture {
    std::shared_ptr<test::MemFileData> data = std::make_shared<test::MemFileData>();
    std::unique_ptr<FSDATA> fs;

    explicit Fixture(Flavor flavor = Flavor::Library) {
        data->bytes.resize(3 * kBlockSize);
        FSCB cb;
        newcontrolblock(&cb, ImageKind::Database, 20, nullptr);
        std::memcpy(data->bytes.data(), &cb, kBlockSize);
        newxlateblock(reinterpret_cast<XBLOCK *>(data->bytes.data() + kBlockSize), 0);
        newdatablock(reinterpret_cast<DB *>(data->bytes.data() + 2 * kBlockSize));
        fs = newfsdata(flavor, nullptr);
        fs->fsp = std::make_unique<test::MemFile>(data);
        EXPECT_EQ(readfscb(fs.get()), 1);
    }
};

TEST(Blocks, SecondReadOfAResidentBlockCostsNoFileRead) {
    Fixture f;
    const long before = f.data->reads;
    ASSERT_NE(readblk(f.fs.get(), 2), nullptr);
    ASSERT_NE(readblk(f.fs.get(), 2), nullptr);
    EXPECT_EQ(f.data->reads - before, 1);
}

TEST(Blocks, ReadingOnePastTheLastBlockExtendsTheFileAtTheNextFlush) {
    Fixture f;
    FSBUFF *b = readblk(f.fs.get(), 3);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->extblk, 1);
    EXPECT_EQ(b->dbuff.len, kDbHeader);
    EXPECT_EQ(f.fs->fscb.lb, 3u);
    EXPECT_EQ(f.data->bytes.size(), 3 * kBlockSize);
    ASSERT_EQ(flushbuffs(f.fs.get()), 1);
    EXPECT_EQ(f.data->bytes.size(), 4 * kBlockSize);
    EXPECT_EQ(readblk(f.fs.get(), 5), nullptr) << "two past the last block";
    EXPECT_EQ(f.fs->fscb.lb, 3u);
}

TEST(Blocks, MissOnAChangedVictimWritesAllChangedBuffersInAscendingOrder) {
    Fixture f;
    // 16 changed blocks, appended in descending order of recency.
    for (std::uint32_t blk = 3; blk < 3 + kClientBuffers; ++blk) {
        ASSERT_NE(readblk(f.fs.get(), blk), nullptr);
        ASSERT_EQ(writeblk(f.fs.get(), blk), 1);
    }
    const long writesbefore = f.data->writes;
    ASSERT_NE(readblk(f.fs.get(), 2), nullptr);
    EXPECT_EQ(f.data->writes - writesbefore, kClientBuffers + 1) << "16 blocks and the header";
    EXPECT_EQ(f.data->bytes.size(), (3 + kClientBuffers) * kBlockSize);
}

TEST(Blocks, TheTwoThousandFirstWriteFlushes) {
    Fixture f;
    for (int i = 0; i < 2000; ++i) ASSERT_EQ(writeblk(f.fs.get(), 2), 1);
    EXPECT_EQ(f.data->writes, 0);
    EXPECT_EQ(f.fs->fscb.wrts, 2000);
    ASSERT_EQ(writeblk(f.fs.get(), 2), 1);
    EXPECT_EQ(f.fs->fscb.wrts, 0);
    EXPECT_EQ(f.data->writes, 2);
}

TEST(Blocks, ReadOnlyFileNeverChanges) {
    Fixture f;
    f.fs->readonly = 1;
    const auto before = f.data->bytes;
    for (std::uint32_t blk = 3; blk < 40; ++blk) {
        ASSERT_NE(readblk(f.fs.get(), blk), nullptr);
        ASSERT_EQ(writeblk(f.fs.get(), blk), 1);
    }
    EXPECT_EQ(flushbuffs(f.fs.get()), 1);
    EXPECT_EQ(f.data->bytes, before);
}

TEST(Blocks, FailedFlushOnAMissDoesNotReuseTheDirtyVictim) {
    Fixture f;
    for (std::uint32_t blk = 3; blk < 3 + kClientBuffers; ++blk) {
        ASSERT_NE(readblk(f.fs.get(), blk), nullptr);
        ASSERT_EQ(writeblk(f.fs.get(), blk), 1);
    }
    f.data->failwriteat = f.data->writes;  // the first write of the flush fails
    EXPECT_EQ(readblk(f.fs.get(), 2), nullptr);
    // Every changed block is still resident; a later flush writes them all.
    f.data->failwriteat = -1;
    ASSERT_EQ(flushbuffs(f.fs.get()), 1);
    EXPECT_EQ(f.data->bytes.size(), (3 + kClientBuffers) * kBlockSize);
}

TEST(Blocks, AllocExtendedMakesTheDueXlateBlock) {
    Fixture f;
    f.fs->fscb.lb = 20;
    std::uint32_t next = allocextendedblk(f.fs.get());
    EXPECT_EQ(next, 22u);
    FSBUFF *x = readblk(f.fs.get(), 21);
    ASSERT_NE(x, nullptr);
    EXPECT_EQ(x->xbuff.xlate[0], 257u);
    EXPECT_EQ(x->xbuff.xlate[255], 512u);
}

TEST(Blocks, FscbChangedCounterWraps) {
    Fixture f;
    f.fs->fscb.fschanged = 0xFFFFFFFF;
    changefscb(f.fs.get());
    EXPECT_EQ(f.fs->fscb.fschanged, 0u);
}

}  // namespace
}  // namespace vorn
