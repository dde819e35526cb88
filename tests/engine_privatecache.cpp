// The write-back cache of private files: after any mix of writes (whole blocks, partial,
// spanning, past the end) and a writeout, the file holds exactly what the same writes made
// directly leave; reads and the length agree with that file all along; nothing reaches the
// file before a writeout while the blocks fit, and neighbouring blocks then go out together;
// and a failed write-out loses nothing.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "support/memfile.h"
#include "vorn/platform.h"

namespace vorn {
namespace {

constexpr std::size_t kB = platform::kCacheBlockSize;

struct Pair {
    std::shared_ptr<test::MemFileData> held = std::make_shared<test::MemFileData>();
    std::shared_ptr<test::MemFileData> direct = std::make_shared<test::MemFileData>();
    std::unique_ptr<platform::BlockFile> cached;
    test::MemFile plain{direct};

    Pair(std::size_t blocks, std::size_t capacity) {
        held->bytes.resize(blocks * kB);
        for (std::size_t i = 0; i < held->bytes.size(); ++i)
            held->bytes[i] = static_cast<std::uint8_t>(i * 7);
        direct->bytes = held->bytes;
        cached = platform::withprivatecache(std::make_unique<test::MemFile>(held), capacity);
    }
};

// Random writes, reads, prefetches, peeks and writeouts at the blocks `pick` chooses, on the cache
// and on a plain copy of the file alike; they must agree all along and after a writeout.
template <typename Pick>
void randomwrites(std::size_t capacity, std::size_t blocks, Pick pick) {
    Pair p(blocks, capacity);
    std::mt19937 rng(static_cast<unsigned>(capacity));
    std::vector<std::uint8_t> buf(3 * kB), a(3 * kB), b(3 * kB);
    int peeked = 0;
    for (int step = 0; step < 3000; ++step) {
        const bool whole = rng() % 4 != 0;
        const std::uint64_t blk = pick(rng);
        const std::uint64_t offset = whole ? blk * kB : blk * kB + rng() % kB;
        const std::size_t n = whole ? kB : 1 + rng() % (2 * kB);
        switch (rng() % 6) {
            case 0:
            case 1:
                for (std::size_t i = 0; i < n; ++i) buf[i] = static_cast<std::uint8_t>(rng());
                ASSERT_EQ(p.cached->writeat(buf.data(), n, offset),
                          p.plain.writeat(buf.data(), n, offset));
                break;
            case 2:
            case 3: {
                const long got = p.cached->readat(a.data(), n, offset);
                ASSERT_EQ(got, p.plain.readat(b.data(), n, offset)) << "step " << step;
                if (got > 0) {
                    ASSERT_TRUE(std::equal(a.begin(), a.begin() + got, b.begin()))
                        << "step " << step;
                }
                break;
            }
            case 4: {
                p.cached->prefetch(offset);  // only a hint: nothing may change
                // A peek sees what a read would, or nothing.
                const std::size_t m = 1 + rng() % 8;
                if (p.cached->peekat(a.data(), m, offset)) {
                    ASSERT_EQ(p.plain.readat(b.data(), m, offset), static_cast<long>(m));
                    ASSERT_TRUE(std::equal(a.begin(), a.begin() + static_cast<long>(m), b.begin()))
                        << "step " << step;
                    ++peeked;
                }
                break;
            }
            default:
                if (rng() % 10 == 0) {
                    ASSERT_TRUE(p.cached->writeout());
                }
                break;
        }
        ASSERT_EQ(p.cached->length(), p.plain.length()) << "step " << step;
    }
    ASSERT_TRUE(p.cached->writeout());
    EXPECT_EQ(p.held->bytes, p.direct->bytes) << "capacity " << capacity;
    EXPECT_GT(peeked, 0);  // the cache held some of the blocks peeked at
}

TEST(PrivateCache, RandomWritesEndAsDirectWrites) {
    for (const std::size_t capacity : {std::size_t{1}, std::size_t{5}, std::size_t{64}}) {
        randomwrites(capacity, 6, [](std::mt19937 &rng) { return rng() % 24; });
    }
}

TEST(PrivateCache, BlocksAcrossChunksAndSharedSlotsEndAsDirectWrites) {
    // 2050 slots: one whole chunk of images and one of two. The blocks picked lie at both
    // ends of each chunk and share slots with blocks a capacity further on.
    constexpr std::size_t kCapacity = 2050;
    const std::uint64_t near[] = {0, 1, 2046, 2047, 2048, 2049};
    randomwrites(kCapacity, 2060, [&](std::mt19937 &rng) {
        return near[rng() % std::size(near)] + kCapacity * (rng() % 3);
    });
}

TEST(PrivateCache, AHoleBelowAHeldBlockReadsAsZeros) {
    Pair p(2, 16);
    std::vector<std::uint8_t> block(kB, 0x77), a(kB, 1), b(kB, 2);
    ASSERT_EQ(p.cached->writeat(block.data(), kB, 5 * kB), static_cast<long>(kB));
    ASSERT_EQ(p.plain.writeat(block.data(), kB, 5 * kB), static_cast<long>(kB));
    EXPECT_EQ(p.cached->readat(a.data(), kB, 3 * kB), p.plain.readat(b.data(), kB, 3 * kB));
    EXPECT_EQ(a, b);
}

TEST(PrivateCache, WholeBlocksWaitForTheWriteout) {
    Pair p(2, 16);
    const std::vector<std::uint8_t> before = p.held->bytes;
    std::vector<std::uint8_t> block(kB, 0xAB);
    for (std::uint64_t blk = 0; blk < 8; ++blk) {
        ASSERT_EQ(p.cached->writeat(block.data(), kB, blk * kB), static_cast<long>(kB));
    }
    EXPECT_EQ(p.held->bytes, before);
    EXPECT_EQ(p.cached->length(), static_cast<std::int64_t>(8 * kB));
    const long writes = p.held->writes;
    ASSERT_TRUE(p.cached->writeout());
    EXPECT_EQ(p.held->writes - writes, 1);  // neighbours go out in one write
    EXPECT_EQ(p.held->bytes, std::vector<std::uint8_t>(8 * kB, 0xAB));
    ASSERT_TRUE(p.cached->writeout());  // nothing left
    EXPECT_EQ(p.held->writes - writes, 1);
}

TEST(PrivateCache, NeighboursGoOutTogetherUpToAChunk) {
    // A chunk holds one region of images: kChunk blocks side by side.
    constexpr std::uint64_t kChunk = platform::kRegionAlignment / kB;
    Pair p(0, 2 * kChunk);
    std::vector<std::uint8_t> block(kB);
    // 300 blocks across the end of the first chunk and 2 more, in no order, some written twice.
    constexpr std::uint64_t kFirst = kChunk - 48;
    std::vector<std::uint64_t> blocks;
    for (std::uint64_t blk = kFirst; blk < kFirst + 300; ++blk) blocks.push_back(blk);
    blocks.insert(blocks.end(), {kFirst + 401, kFirst + 400, kFirst + 7, kFirst + 299});
    std::shuffle(blocks.begin(), blocks.end(), std::mt19937(3));
    for (const std::uint64_t blk : blocks) {
        block.assign(kB, static_cast<std::uint8_t>(blk));
        ASSERT_EQ(p.cached->writeat(block.data(), kB, blk * kB), static_cast<long>(kB));
        ASSERT_EQ(p.plain.writeat(block.data(), kB, blk * kB), static_cast<long>(kB));
    }
    const long writes = p.held->writes;
    ASSERT_TRUE(p.cached->writeout());
    EXPECT_EQ(p.held->writes - writes, 3);  // 48 up to the chunk's end, 252, 2
    EXPECT_EQ(p.held->bytes, p.direct->bytes);
}

TEST(PrivateCache, AFailedStretchKeepsAllItsBlocks) {
    Pair p(0, 16);
    std::vector<std::uint8_t> block(kB, 0x3D);
    for (std::uint64_t blk = 0; blk < 4; ++blk) {
        ASSERT_EQ(p.cached->writeat(block.data(), kB, blk * kB), static_cast<long>(kB));
    }
    p.held->failwriteat = p.held->writes;
    p.held->shortwrite = true;  // half of the stretch reaches the file
    EXPECT_FALSE(p.cached->writeout());
    ASSERT_TRUE(p.cached->writeout());
    EXPECT_EQ(p.held->bytes, std::vector<std::uint8_t>(4 * kB, 0x3D));
}

TEST(PrivateCache, AFailedWriteoutKeepsTheBlocksForTheNext) {
    Pair p(2, 16);
    std::vector<std::uint8_t> block(kB, 0x5C);
    ASSERT_EQ(p.cached->writeat(block.data(), kB, 3 * kB), static_cast<long>(kB));
    ASSERT_EQ(p.cached->writeat(block.data(), kB, 1 * kB), static_cast<long>(kB));
    p.held->failwriteat = p.held->writes;  // the first write of the writeout fails
    EXPECT_FALSE(p.cached->writeout());
    EXPECT_EQ(p.cached->length(), static_cast<std::int64_t>(4 * kB));
    ASSERT_TRUE(p.cached->writeout());
    ASSERT_EQ(p.held->bytes.size(), 4 * kB);
    EXPECT_TRUE(std::equal(block.begin(), block.end(), p.held->bytes.begin() + kB));
    EXPECT_TRUE(std::equal(block.begin(), block.end(), p.held->bytes.begin() + 3 * kB));
}

TEST(PrivateCache, RegionsAreZeroedWritableAndAlignedForLargePages) {
    for (const std::size_t bytes : {std::size_t{1}, 5 * kB, platform::kRegionAlignment + 1}) {
        auto *region = static_cast<std::uint8_t *>(platform::mapregion(bytes));
        ASSERT_NE(region, nullptr);
#ifndef _WIN32
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(region) % platform::kRegionAlignment, 0u);
#endif
        EXPECT_EQ(std::count(region, region + bytes, 0), static_cast<long>(bytes));
        std::fill(region, region + bytes, 0x5A);
        EXPECT_EQ(region[bytes - 1], 0x5A);
        platform::unmapregion(region, bytes);
    }
}

TEST(PrivateCache, ClosingWritesOutAndNullStaysNull) {
    auto data = std::make_shared<test::MemFileData>();
    {
        auto file = platform::withprivatecache(std::make_unique<test::MemFile>(data), 4);
        std::vector<std::uint8_t> block(kB, 0x11);
        ASSERT_EQ(file->writeat(block.data(), kB, 0), static_cast<long>(kB));
        EXPECT_TRUE(data->bytes.empty());
    }
    EXPECT_EQ(data->bytes, std::vector<std::uint8_t>(kB, 0x11));
    EXPECT_EQ(platform::withprivatecache(nullptr), nullptr);
}

}  // namespace
}  // namespace vorn
