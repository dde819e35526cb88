// The block cache of the file seam: cached reads equal the file's bytes whatever the mix of
// writes (whole, partial, spanning, failing), whole blocks are read from the file only once,
// and an uncached reader sees another writer's changes.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "support/memfile.h"
#include "vorn/platform.h"

namespace vorn {
namespace {

using platform::kCacheBlockSize;
constexpr std::size_t kB = kCacheBlockSize;

struct Cached {
    std::shared_ptr<test::MemFileData> data = std::make_shared<test::MemFileData>();
    std::unique_ptr<platform::BlockFile> file;

    explicit Cached(std::size_t blocks, std::size_t capacity = 8) {
        data->bytes.resize(blocks * kB);
        for (std::size_t i = 0; i < data->bytes.size(); ++i)
            data->bytes[i] = static_cast<std::uint8_t>(i * 7);
        file = platform::withblockcache(std::make_unique<test::MemFile>(data), capacity);
    }
    std::vector<std::uint8_t> read(std::uint64_t offset, std::size_t n, long *got) {
        std::vector<std::uint8_t> out(n, 0xEE);
        *got = file->readat(out.data(), n, offset);
        return out;
    }
};

TEST(BlockCache, AWholeBlockIsReadFromTheFileOnce) {
    Cached c(4);
    long got = 0;
    const auto first = c.read(2 * kB, kB, &got);
    ASSERT_EQ(got, static_cast<long>(kB));
    const long reads = c.data->reads;
    const auto again = c.read(2 * kB, kB, &got);
    EXPECT_EQ(got, static_cast<long>(kB));
    EXPECT_EQ(c.data->reads, reads);
    EXPECT_EQ(again, first);
}

TEST(BlockCache, AMissBringsInItsNeighbours) {
    Cached c(16, 64);
    long got = 0;
    c.read(9 * kB, kB, &got);
    const long reads = c.data->reads;
    for (std::uint64_t blk = 8; blk < 12; ++blk) {  // the aligned group of four
        const auto out = c.read(blk * kB, kB, &got);
        ASSERT_EQ(got, static_cast<long>(kB));
        EXPECT_TRUE(std::equal(out.begin(), out.end(), c.data->bytes.begin() + blk * kB));
    }
    EXPECT_EQ(c.data->reads, reads);
}

TEST(BlockCache, AWrittenBlockIsReadBackWithoutTheFile) {
    Cached c(2);
    std::vector<std::uint8_t> image(kB, 0x5A);
    ASSERT_EQ(c.file->writeat(image.data(), kB, 3 * kB), static_cast<long>(kB));
    EXPECT_EQ(c.data->bytes.size(), 4 * kB) << "written through at once";
    long got = 0;
    const long reads = c.data->reads;
    EXPECT_EQ(c.read(3 * kB, kB, &got), image);
    EXPECT_EQ(c.data->reads, reads);
}

TEST(BlockCache, APartialTrailingBlockIsNotKeptAndReadsAsTheFileDoes) {
    Cached c(1);
    c.data->bytes.resize(kB + kB / 2);
    long got = 0;
    c.read(kB, kB, &got);
    EXPECT_EQ(got, static_cast<long>(kB / 2));
    const long reads = c.data->reads;
    c.read(kB, kB, &got);
    EXPECT_EQ(got, static_cast<long>(kB / 2));
    EXPECT_GT(c.data->reads, reads) << "a short block is read from the file every time";
    c.read(5 * kB, kB, &got);
    EXPECT_EQ(got, 0) << "past the end";
}

TEST(BlockCache, AFailedWriteDropsTheCachedCopy) {
    for (const bool shortwrite : {false, true}) {
        Cached c(3);
        long got = 0;
        c.read(1 * kB, kB, &got);  // cached
        c.data->failwriteat = c.data->writes;
        c.data->shortwrite = shortwrite;
        std::vector<std::uint8_t> image(kB, 0x11);
        EXPECT_NE(c.file->writeat(image.data(), kB, kB), static_cast<long>(kB));
        const auto after = c.read(1 * kB, kB, &got);
        ASSERT_EQ(got, static_cast<long>(kB));
        EXPECT_TRUE(std::equal(after.begin(), after.end(), c.data->bytes.begin() + kB))
            << "the cache holds what the file holds, shortwrite=" << shortwrite;
    }
}

TEST(BlockCache, ReadsMatchTheFileUnderRandomMixedOperations) {
    std::mt19937 rng(20240611);
    Cached c(12, 5);  // fewer slots than blocks: slots are shared and replaced
    for (int step = 0; step < 20000; ++step) {
        const std::size_t size = c.data->bytes.size();
        const int op = static_cast<int>(rng() % 10);
        long got = 0;
        if (op < 4) {  // whole block read
            const std::uint64_t blk = rng() % (size / kB + 2);
            const auto out = c.read(blk * kB, kB, &got);
            const std::size_t want = blk * kB >= size ? 0 : std::min(kB, size - blk * kB);
            ASSERT_EQ(got, static_cast<long>(want)) << "step " << step;
            ASSERT_TRUE(
                std::equal(out.begin(), out.begin() + got, c.data->bytes.begin() + blk * kB))
                << "step " << step;
        } else if (op < 5) {  // any read
            const std::uint64_t at = rng() % (size + 100);
            const std::size_t n = 1 + rng() % (3 * kB);
            const auto out = c.read(at, n, &got);
            const std::size_t want =
                at >= size ? 0 : std::min(n, static_cast<std::size_t>(size - at));
            ASSERT_EQ(got, static_cast<long>(want)) << "step " << step;
            ASSERT_TRUE(std::equal(out.begin(), out.begin() + got, c.data->bytes.begin() + at));
        } else {  // writes: whole blocks, parts, spans; some fail or are cut short
            const bool whole = op < 8;
            const std::uint64_t at = whole ? (rng() % (size / kB + 1)) * kB : rng() % (size + 10);
            const std::size_t n = whole ? kB * (1 + rng() % 2) : 1 + rng() % (2 * kB);
            std::vector<std::uint8_t> bytes(n);
            for (auto &b : bytes) b = static_cast<std::uint8_t>(rng());
            if (rng() % 8 == 0) {
                c.data->failwriteat = c.data->writes;
                c.data->shortwrite = rng() % 2 == 0;
            }
            c.file->writeat(bytes.data(), n, at);
        }
        if (c.data->bytes.size() > 40 * kB) c.data->bytes.resize(12 * kB);  // not through the cache
    }
}

class BlockCacheFiles : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = std::filesystem::temp_directory_path() /
               ("vorn-blockcache-" + std::to_string(std::random_device{}()));
        std::filesystem::create_directories(dir_);
        path_ = (dir_ / "db").string();
        auto f = platform::createfile(path_.c_str());
        ASSERT_NE(f, nullptr);
        std::vector<std::uint8_t> zeros(4 * kB, 0);
        ASSERT_EQ(f->writeat(zeros.data(), zeros.size(), 0), static_cast<long>(zeros.size()));
    }
    void TearDown() override {
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    std::filesystem::path dir_;
    std::string path_;
};

TEST_F(BlockCacheFiles, AnotherReaderSeesACachedWritersChangeAtOnce) {
    auto writer =
        platform::withblockcache(platform::openfile(path_.c_str(), platform::OpenMode::ReadWrite));
    auto reader = platform::openfile(path_.c_str(), platform::OpenMode::ReadOnly);
    ASSERT_NE(writer, nullptr);
    ASSERT_NE(reader, nullptr);
    std::vector<std::uint8_t> block(kB), image(kB, 0x42);
    ASSERT_EQ(writer->readat(block.data(), kB, kB), static_cast<long>(kB));  // cached now
    ASSERT_EQ(writer->writeat(image.data(), kB, kB), static_cast<long>(kB));
    ASSERT_EQ(reader->readat(block.data(), kB, kB), static_cast<long>(kB));
    EXPECT_EQ(block, image);
    ASSERT_EQ(writer->readat(block.data(), kB, kB), static_cast<long>(kB));
    EXPECT_EQ(block, image);
}

TEST_F(BlockCacheFiles, AReadOnlyFileSeesAnotherWritersChangeOnItsNextRead) {
    auto reader = platform::openfile(path_.c_str(), platform::OpenMode::ReadOnly);
    auto writer = platform::openfile(path_.c_str(), platform::OpenMode::ReadWrite);
    ASSERT_NE(reader, nullptr);
    ASSERT_NE(writer, nullptr);
    std::vector<std::uint8_t> block(kB), image(kB, 0x24);
    ASSERT_EQ(reader->readat(block.data(), kB, 2 * kB), static_cast<long>(kB));
    ASSERT_EQ(writer->writeat(image.data(), kB, 2 * kB), static_cast<long>(kB));
    ASSERT_EQ(reader->readat(block.data(), kB, 2 * kB), static_cast<long>(kB));
    EXPECT_EQ(block, image);
}

TEST_F(BlockCacheFiles, ACachedFileKeepsItsIdentity) {
    auto plain = platform::openfile(path_.c_str(), platform::OpenMode::ReadOnly);
    auto cached =
        platform::withblockcache(platform::openfile(path_.c_str(), platform::OpenMode::ReadWrite));
    platform::FileIdentity a, b;
    ASSERT_TRUE(platform::fileidentity(*plain, &a));
    ASSERT_TRUE(platform::fileidentity(*cached, &b));
    EXPECT_EQ(a, b);
    EXPECT_EQ(platform::withblockcache(nullptr), nullptr);
}

}  // namespace
}  // namespace vorn
