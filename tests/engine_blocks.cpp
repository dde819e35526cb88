// The block cache: residency, write-back order, growth, the periodic flush, read-only files.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

#include "fsn/blocks.h"
#include "fsn/format.h"
#include "support/enginefile.h"
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
    EXPECT_EQ(+b->dbuff.len, kDbHeader);
    EXPECT_EQ(+f.fs->fscb.lb, 3u);
    EXPECT_EQ(f.data->bytes.size(), 3 * kBlockSize);
    ASSERT_EQ(flushbuffs(f.fs.get()), 1);
    EXPECT_EQ(f.data->bytes.size(), 4 * kBlockSize);
    EXPECT_EQ(readblk(f.fs.get(), 5), nullptr) << "two past the last block";
    EXPECT_EQ(+f.fs->fscb.lb, 3u);
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
    EXPECT_EQ(+f.fs->fscb.wrts, 2000);
    ASSERT_EQ(writeblk(f.fs.get(), 2), 1);
    EXPECT_EQ(+f.fs->fscb.wrts, 0);
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
    // The block whose write failed was written by the later flush, not left as a hole.
    std::int16_t len = 0;
    std::memcpy(&len, f.data->bytes.data() + 3 * kBlockSize + offsetof(DB, len), sizeof len);
    EXPECT_EQ(len, kDbHeader);
}

TEST(Blocks, AllocExtendedMakesTheDueXlateBlock) {
    Fixture f;
    f.fs->fscb.lb = 20;
    std::uint32_t next = allocextendedblk(f.fs.get());
    EXPECT_EQ(next, 22u);
    FSBUFF *x = readblk(f.fs.get(), 21);
    ASSERT_NE(x, nullptr);
    EXPECT_EQ(+x->xbuff.xlate[0], 257u);
    EXPECT_EQ(+x->xbuff.xlate[255], 512u);
}

TEST(Blocks, FscbChangedCounterWraps) {
    Fixture f;
    f.fs->fscb.fschanged = 0xFFFFFFFF;
    changefscb(f.fs.get());
    EXPECT_EQ(+f.fs->fscb.fschanged, 0u);
}

// Records the offset of every write, then passes it on.
class RecordingFile final : public platform::BlockFile {
  public:
    RecordingFile(std::shared_ptr<test::MemFileData> data, std::vector<std::uint64_t> *log)
        : inner_(std::move(data)), log_(log) {}
    long readat(void *buf, std::size_t n, std::uint64_t offset) override {
        return inner_.readat(buf, n, offset);
    }
    long writeat(const void *buf, std::size_t n, std::uint64_t offset) override {
        log_->push_back(offset);
        return inner_.writeat(buf, n, offset);
    }
    std::int64_t length() override { return inner_.length(); }

  private:
    test::MemFile inner_;
    std::vector<std::uint64_t> *log_;
};

TEST(Blocks, WriteBackIsInAscendingBlockOrderWithTheControlBlockLast) {
    Fixture f;
    std::vector<std::uint64_t> log;
    f.fs->fsp = std::make_unique<RecordingFile>(f.data, &log);
    for (std::uint32_t blk = 3; blk < 3 + 13; ++blk) ASSERT_NE(readblk(f.fs.get(), blk), nullptr);
    std::vector<std::uint32_t> order;
    for (std::uint32_t blk = 2; blk < 3 + 13; ++blk) order.push_back(blk);
    std::shuffle(order.begin(), order.end(), std::mt19937(3));
    for (std::uint32_t blk : order) ASSERT_EQ(writeblk(f.fs.get(), blk), 1);
    ASSERT_EQ(flushbuffs(f.fs.get()), 1);
    ASSERT_EQ(log.size(), order.size() + 1);
    for (std::size_t i = 0; i < order.size(); ++i) {
        EXPECT_EQ(log[i], (2 + i) * std::uint64_t{kBlockSize}) << "each block at its own offset";
    }
    EXPECT_EQ(log.back(), 0u) << "the control block comes last";
}

TEST(Blocks, AppendedBlockLandsAtItsOwnOffsetAfterAPartialTrailingBlock) {
    Fixture f;
    f.data->bytes.resize(3 * kBlockSize + 7, 0xAB);
    FSBUFF *b = readblk(f.fs.get(), 3);
    ASSERT_NE(b, nullptr);
    ASSERT_EQ(flushbuffs(f.fs.get()), 1);
    ASSERT_EQ(f.data->bytes.size(), 4 * kBlockSize);
    const auto *db = reinterpret_cast<const DB *>(f.data->bytes.data() + 3 * kBlockSize);
    EXPECT_EQ(+db->len, kDbHeader);
}

TEST(Blocks, ServerFlavorLeavesTheControlBlockToFlushfscb) {
    Fixture f(Flavor::Server);
    ASSERT_NE(readblk(f.fs.get(), 3), nullptr);
    ASSERT_EQ(flushbuffs(f.fs.get()), 1);
    FSCB ondisk;
    std::memcpy(&ondisk, f.data->bytes.data(), sizeof ondisk);
    EXPECT_EQ(+ondisk.lb, 2u) << "flushbuffs did not write the control block";
    EXPECT_EQ(+f.fs->fscb.dbextended, 1);
    ASSERT_EQ(flushfscb(f.fs.get()), 1);
    std::memcpy(&ondisk, f.data->bytes.data(), sizeof ondisk);
    EXPECT_EQ(+ondisk.lb, 3u);
    EXPECT_EQ(ondisk.cf, 0);
    EXPECT_EQ(+ondisk.wrts, 0);
}

TEST(Blocks, ControlBlockOnDiskNeverCarriesTheInMemoryFlags) {
    Fixture f;
    f.fs->fscb.dblocked = 1;
    ASSERT_EQ(writeblk(f.fs.get(), 2), 1);
    ASSERT_EQ(flushbuffs(f.fs.get()), 1);
    FSCB ondisk;
    std::memcpy(&ondisk, f.data->bytes.data(), sizeof ondisk);
    EXPECT_EQ(ondisk.dblocked, 0);
    EXPECT_EQ(ondisk.cf, 0);
    EXPECT_EQ(+ondisk.wrts, 0);
    EXPECT_EQ(f.fs->fscb.dblocked, 1) << "the opener still holds its lock";
}

TEST(Blocks, ZeroSpacingReadsAsTwenty) {
    Fixture f;
    FSCB cb = f.fs->fscb;
    cb.xblkfreq = 0;
    std::memcpy(f.data->bytes.data(), &cb, sizeof cb);
    ASSERT_EQ(readfscb(f.fs.get()), 1);
    EXPECT_EQ(+f.fs->fscb.xblkfreq, 20);
}

// The expected bytes of a new file's control block, built field by field.
std::vector<std::uint8_t> expectedcontrolblock(ImageKind kind, std::int16_t freq,
                                               const char *name) {
    std::vector<std::uint8_t> b(kBlockSize, 0);
    auto put = [&b](std::size_t at, std::uint64_t v, int n) {
        for (int i = 0; i < n; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
    };
    if (kind != ImageKind::ServerTemp) std::memcpy(b.data(), kBanner, 52);
    if (name != nullptr) std::memcpy(b.data() + 63, name, std::strlen(name));
    put(127, kind == ImageKind::Database ? 0 : 1, 2);
    for (int n = 0; n < 15; ++n) {
        const std::size_t f = 133 + 43 * n;
        put(f + 2, 0xFFFFFFFF, 4);
        if (kind == ImageKind::ServerTemp) {
            for (int k = 0; k < 16; ++k) b[f + 25 + k] = static_cast<std::uint8_t>(k % 9);
        } else {
            put(f + 41, 0xFF00, 2);
        }
    }
    put(778, 2, 4);  // fc[0]
    put(810, static_cast<std::uint16_t>(freq), 2);
    put(812, 2, 4);  // lb
    return b;
}

TEST(Format, NewFileImagesAreByteExact) {
    const struct {
        ImageKind kind;
        std::int16_t freq;
        const char *name;
        std::int16_t expectedfreq;
    } cases[] = {
        {ImageKind::Database, 20, nullptr, 20},
        {ImageKind::Database, 7, nullptr, 7},
        {ImageKind::LibraryTemp, 0, "vt01abcd.tmp", 20},
        {ImageKind::ServerTemp, 0, "vt99zzzz.tmp", 20},
    };
    for (const auto &c : cases) {
        FSCB cb;
        std::memset(&cb, 0x5A, sizeof cb);
        newcontrolblock(&cb, c.kind, c.freq, c.name);
        std::vector<std::uint8_t> got(kBlockSize);
        std::memcpy(got.data(), &cb, kBlockSize);
        EXPECT_EQ(got, expectedcontrolblock(c.kind, c.expectedfreq, c.name))
            << static_cast<int>(c.kind) << " " << c.freq;
    }
    EXPECT_EQ(std::memcmp(kBanner + kSignatureOffset, "Varnholt", 8), 0);

    const auto file = test::newdatabasebytes();
    ASSERT_EQ(file.size(), 3 * kBlockSize);
    for (std::uint32_t s = 0; s < 256; ++s) {
        std::uint32_t entry;
        std::memcpy(&entry, file.data() + kBlockSize + 4 * s, 4);
        ASSERT_EQ(entry, s + 1) << s;
    }
    std::vector<std::uint8_t> datablock(kBlockSize, 0);
    datablock[4] = 10;  // len; nbic, fc, type and every other byte 0
    EXPECT_TRUE(std::equal(datablock.begin(), datablock.end(), file.begin() + 2 * kBlockSize));
    FSCB cb;
    std::memcpy(&cb, file.data(), sizeof cb);
    EXPECT_TRUE(hassignature(cb));
    EXPECT_EQ(integritycheck(cb, 3 * kBlockSize), 0);
    EXPECT_EQ(integritycheck(cb, 3 * kBlockSize + 1), 0) << "a partial block is dropped";
    EXPECT_EQ(integritycheck(cb, 4 * kBlockSize), 5);
    EXPECT_EQ(integritycheck(cb, 2 * kBlockSize), 5);
    cb.fc[3] = 4;
    EXPECT_EQ(integritycheck(cb, 3 * kBlockSize), 6);
}

TEST(Format, NewFileIsWrittenBlockByBlockAndStopsAtAFailedWrite) {
    auto whole = std::make_shared<test::MemFileData>();
    test::MemFile file(whole);
    EXPECT_EQ(writenewfile(file, ImageKind::Database, 7, nullptr), kNewFileBlocks);
    EXPECT_EQ(whole->bytes, test::newdatabasebytes(7, ImageKind::Database));
    for (int fail = 0; fail < kNewFileBlocks; ++fail) {
        auto data = std::make_shared<test::MemFileData>();
        data->failwriteat = fail;
        test::MemFile failing(data);
        EXPECT_EQ(writenewfile(failing, ImageKind::Database, 20, nullptr), fail);
        EXPECT_EQ(data->writes, fail + 1) << "nothing is written after the failed block";
    }
}

TEST(Seam, MappedReadsSeeEveryWriteAndGrowth) {
    test::TempDir dir;
    const std::string path = dir.file("seam.vdb");
    auto a = platform::createfile(path.c_str());
    ASSERT_NE(a, nullptr);
    std::vector<std::uint8_t> block(kBlockSize, 0x11), got(kBlockSize);
    ASSERT_EQ(a->writeat(block.data(), kBlockSize, 0), static_cast<long>(kBlockSize));
    ASSERT_EQ(a->readat(got.data(), kBlockSize, 0), static_cast<long>(kBlockSize));
    EXPECT_EQ(got, block);
    // A second opener grows the file and rewrites block 0; the first sees both.
    auto b = platform::openfile(path.c_str(), platform::OpenMode::ReadWrite);
    ASSERT_NE(b, nullptr);
    std::vector<std::uint8_t> other(kBlockSize, 0x22);
    ASSERT_EQ(b->writeat(other.data(), kBlockSize, 3 * kBlockSize), static_cast<long>(kBlockSize));
    ASSERT_EQ(b->writeat(other.data(), kBlockSize, 0), static_cast<long>(kBlockSize));
    ASSERT_EQ(a->readat(got.data(), kBlockSize, 3 * kBlockSize), static_cast<long>(kBlockSize));
    EXPECT_EQ(got, other);
    ASSERT_EQ(a->readat(got.data(), kBlockSize, 0), static_cast<long>(kBlockSize));
    EXPECT_EQ(got, other);
    EXPECT_EQ(a->readat(got.data(), kBlockSize, 4 * kBlockSize), 0) << "past the end";
    EXPECT_EQ(a->readat(got.data(), kBlockSize, 3 * kBlockSize + 1000), 24) << "a partial tail";
    EXPECT_EQ(a->length(), 4 * static_cast<std::int64_t>(kBlockSize));
}

}  // namespace
}  // namespace vorn
