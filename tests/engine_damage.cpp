// Damaged files: truncated, wrong signature, garbage blocks, random byte flips in the control
// block, xlate blocks and data blocks. Every operation must end with a result, never a crash,
// an out-of-bounds access (the sanitizers watch) or a hang; the checker must cope as well.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <random>
#include <string>

#include "fsn/blocks.h"
#include "fsn/check.h"
#include "fsn/format.h"
#include "fsn/placement.h"
#include "fsn/records.h"
#include "support/enginefile.h"
#include "vorn/compress.h"

namespace vorn {
namespace {

using test::MemDatabase;
using test::MemFile;
using test::MemFileData;

constexpr std::int16_t kFreq = 5;

// An in-memory file that refuses to grow past a limit, so that a damaged header naming a
// far block cannot make a test allocate gigabytes.
class CappedFile final : public platform::BlockFile {
  public:
    explicit CappedFile(std::shared_ptr<MemFileData> data) : inner_(data), data_(std::move(data)) {}
    long readat(void *buf, std::size_t n, std::uint64_t offset) override {
        return inner_.readat(buf, n, offset);
    }
    long writeat(const void *buf, std::size_t n, std::uint64_t offset) override {
        if (offset + n > (8u << 20)) return -1;
        return inner_.writeat(buf, n, offset);
    }
    std::int64_t length() override { return inner_.length(); }

  private:
    MemFile inner_;
    std::shared_ptr<MemFileData> data_;
};

struct Sample {
    std::vector<std::uint8_t> bytes;
    std::vector<std::uint32_t> rids;
};

// A sound file with records of three sub-files over several xlate blocks, some deleted.
const Sample &sample() {
    static const Sample s = [] {
        Sample out;
        MemDatabase db(Flavor::Library, kFreq);
        std::mt19937 rng(77);
        std::uint8_t plain[120], stored[kMaxStoredRecord];
        for (int i = 0; i < 700; ++i) {
            const int n = 1 + static_cast<int>(rng() % 120);
            for (int j = 0; j < n; ++j) plain[j] = static_cast<std::uint8_t>(rng() % 3 + 1);
            const int m = compress(stored, sizeof stored, plain, static_cast<std::int16_t>(n));
            Fault fault;
            const std::uint8_t fid = static_cast<std::uint8_t>((1 + i % 3) << 4);
            const std::uint32_t rid =
                addrecord(db.fs.get(), stored, static_cast<std::int16_t>(m), fid, &fault);
            if (rid != 0) out.rids.push_back(rid);
        }
        for (std::size_t i = 0; i < out.rids.size(); i += 7) {
            Fault fault;
            deleterecord(db.fs.get(), out.rids[i], &fault);
        }
        EXPECT_EQ(db.flush(), 1);
        out.bytes = db.data->bytes;
        return out;
    }();
    return s;
}

// Runs every kind of operation on a (perhaps damaged) file; fails only on a hang.
void exercise(const std::vector<std::uint8_t> &bytes, std::uint32_t seed) {
    auto data = std::make_shared<MemFileData>();
    data->bytes = bytes;
    test::RecordingReporter reporter;
    auto fs = test::openengine(std::make_unique<CappedFile>(data), Flavor::Library, &reporter);
    const auto precheck =
        integritycheck(fs != nullptr ? fs->fscb : FSCB{}, static_cast<std::int64_t>(bytes.size()));
    (void)precheck;
    if (fs == nullptr) return;  // the header could not be read: a clean refusal
    checkfile(fs.get());
    std::mt19937 rng(seed);
    std::uint8_t stored[kMaxStoredRecord];
    char plain[4096];
    Fault fault;
    for (std::uint32_t rid : sample().rids) {
        const int n = readrecord(fs.get(), rid, stored, &fault);
        if (n > 0) uncompress(plain, sizeof plain, stored, static_cast<std::int16_t>(n));
    }
    for (unsigned n = 1; n <= kSubFiles; ++n) {
        const auto fid = static_cast<std::uint8_t>(n << 4);
        int steps = 0;
        for (std::uint32_t r = firstrecord(fs.get(), fid); r != 0; r = nextrid(fs.get(), r)) {
            ASSERT_LT(++steps, 1 << 20) << "forward walk of sub-file " << n;
        }
        steps = 0;
        for (std::uint32_t r = lastrecord(fs.get(), fid); r != 0; r = prevrid(fs.get(), r)) {
            ASSERT_LT(++steps, 1 << 20) << "backward walk of sub-file " << n;
        }
    }
    for (int i = 0; i < 30; ++i) {
        const int n = 1 + static_cast<int>(rng() % 900);
        for (int j = 0; j < n; ++j) stored[j] = static_cast<std::uint8_t>(rng());
        stored[0] = 0;
        const std::uint32_t rid = sample().rids[rng() % sample().rids.size()];
        switch (rng() % 3) {
            case 0:
                addrecord(fs.get(), stored, static_cast<std::int16_t>(n),
                          static_cast<std::uint8_t>(rng()), &fault);
                break;
            case 1:
                rewriterecord(fs.get(), rid, stored, static_cast<std::int16_t>(n), &fault);
                break;
            default:
                deleterecord(fs.get(), rid, &fault);
                break;
        }
    }
    flushbuffs(fs.get());
    checkfile(fs.get());
}

std::vector<std::uint32_t> blocksofkind(const std::vector<std::uint8_t> &bytes, bool xlate) {
    std::vector<std::uint32_t> out;
    const std::uint32_t count = static_cast<std::uint32_t>(bytes.size() / kBlockSize);
    for (std::uint32_t blk = 1; blk < count; ++blk) {
        if (((blk - 1) % kFreq == 0) == xlate) out.push_back(blk);
    }
    return out;
}

TEST(Damage, TheSampleIsSound) {
    auto data = std::make_shared<MemFileData>();
    data->bytes = sample().bytes;
    auto fs = test::openengine(std::make_unique<MemFile>(data), Flavor::Library, nullptr);
    ASSERT_NE(fs, nullptr);
    const auto findings = checkfile(fs.get());
    EXPECT_TRUE(findings.empty()) << describe(findings);
    EXPECT_GT(+fs->fscb.lb, 3u * kFreq) << "several xlate blocks";
}

TEST(Damage, TruncatedFiles) {
    const auto &full = sample().bytes;
    for (std::size_t length : {std::size_t{0}, std::size_t{500}, std::size_t{kBlockSize},
                               std::size_t{2 * kBlockSize + 7}, full.size() / 2,
                               full.size() - kBlockSize, full.size() - 1}) {
        SCOPED_TRACE("length " + std::to_string(length));
        std::vector<std::uint8_t> cut(full.begin(), full.begin() + static_cast<long>(length));
        exercise(cut, static_cast<std::uint32_t>(length));
        if (HasFatalFailure()) return;
        auto data = std::make_shared<MemFileData>();
        data->bytes = cut;
        auto fs = test::openengine(std::make_unique<MemFile>(data), Flavor::Library, nullptr);
        if (fs == nullptr) continue;
        if (length < full.size() - 1) {
            EXPECT_TRUE(hasfaults(checkfile(fs.get())));
            EXPECT_NE(integritycheck(fs->fscb, static_cast<std::int64_t>(length)), 0);
        }
    }
}

TEST(Damage, WrongSignature) {
    for (std::size_t at = kSignatureOffset; at < kSignatureOffset + sizeof kSignature; ++at) {
        auto bytes = sample().bytes;
        bytes[at] ^= 0x20;
        FSCB cb;
        std::memcpy(&cb, bytes.data(), sizeof cb);
        EXPECT_FALSE(hassignature(cb)) << at;
        auto data = std::make_shared<MemFileData>();
        data->bytes = bytes;
        auto fs = test::openengine(std::make_unique<MemFile>(data), Flavor::Library, nullptr);
        ASSERT_NE(fs, nullptr);
        EXPECT_TRUE(hasfaults(checkfile(fs.get()))) << at;
    }
    auto bytes = sample().bytes;
    bytes[3] ^= 0x20;  // the banner outside the signature is not compared
    FSCB cb;
    std::memcpy(&cb, bytes.data(), sizeof cb);
    EXPECT_TRUE(hassignature(cb));
}

TEST(Damage, GarbageBlocks) {
    std::mt19937 rng(5);
    const std::uint32_t count = static_cast<std::uint32_t>(sample().bytes.size() / kBlockSize);
    for (std::uint32_t blk = 0; blk < count; ++blk) {
        SCOPED_TRACE("garbage in block " + std::to_string(blk));
        auto bytes = sample().bytes;
        for (std::uint32_t i = 0; i < kBlockSize; ++i)
            bytes[blk * kBlockSize + i] = static_cast<std::uint8_t>(rng());
        exercise(bytes, blk);
        if (HasFatalFailure()) return;
    }
}

TEST(Damage, ByteFlipsInEachBlockKind) {
    std::mt19937 rng(11);
    const auto xlates = blocksofkind(sample().bytes, true);
    const auto datas = blocksofkind(sample().bytes, false);
    struct Kind {
        const char *name;
        std::function<std::size_t()> pick;  // a byte offset in the file
    } kinds[] = {
        // The control block's fields live in bytes 127..836.
        {"control block", [&] { return std::size_t{127} + rng() % 710; }},
        {"xlate block",
         [&] {
             return xlates[rng() % xlates.size()] * std::size_t{kBlockSize} + rng() % kBlockSize;
         }},
        {"data block header",
         [&] { return datas[rng() % datas.size()] * std::size_t{kBlockSize} + rng() % 10; }},
        {"data block records",
         [&] { return datas[rng() % datas.size()] * std::size_t{kBlockSize} + 10 + rng() % 200; }},
    };
    for (const Kind &kind : kinds) {
        for (int trial = 0; trial < 120; ++trial) {
            const std::uint32_t seed = static_cast<std::uint32_t>(rng());
            SCOPED_TRACE(std::string(kind.name) + ", trial " + std::to_string(trial) + ", seed " +
                         std::to_string(seed));
            auto bytes = sample().bytes;
            for (int flips = 1 + static_cast<int>(rng() % 3); flips > 0; --flips) {
                bytes[kind.pick()] ^= static_cast<std::uint8_t>(1u << (rng() % 8));
            }
            exercise(bytes, seed);
            if (HasFatalFailure()) return;
        }
    }
}

TEST(Damage, ChainAndXlateLinksPointingAnywhere) {
    // The values a damaged link most likely holds: 0, the control block, an xlate block,
    // the last block, one and two past it, and far beyond.
    const auto &base = sample().bytes;
    FSCB cb;
    std::memcpy(&cb, base.data(), sizeof cb);
    const std::uint32_t targets[] = {0,         1,         1 + kFreq, cb.lb,
                                     cb.lb + 1, cb.lb + 2, 0x3FFFFF,  0xFFFFFFFF};
    const auto datas = blocksofkind(base, false);
    int seed = 0;
    for (std::uint32_t target : targets) {
        for (int chain = 0; chain < kFreeChains; ++chain) {
            auto bytes = base;
            std::memcpy(bytes.data() + offsetof(FSCB, fc) + 4 * chain, &target, 4);
            exercise(bytes, static_cast<std::uint32_t>(++seed));
            if (HasFatalFailure()) return;
        }
        for (std::uint32_t blk : {datas[0], datas[datas.size() / 2]}) {
            auto bytes = base;
            std::memcpy(bytes.data() + blk * kBlockSize, &target, 4);  // nbic
            exercise(bytes, static_cast<std::uint32_t>(++seed));
            if (HasFatalFailure()) return;
        }
        for (std::uint32_t entry : {target, 0x10000000u | (target & kMaxXlateIndex)}) {
            auto bytes = base;
            std::memcpy(bytes.data() + kBlockSize + 8, &entry, 4);  // entry 2 of xlate block 0
            exercise(bytes, static_cast<std::uint32_t>(++seed));
            if (HasFatalFailure()) return;
        }
        auto bytes = base;
        std::memcpy(bytes.data() + offsetof(FSCB, ftc), &target, 4);
        exercise(bytes, static_cast<std::uint32_t>(++seed));
        if (HasFatalFailure()) return;
    }
}

}  // namespace
}  // namespace vorn
