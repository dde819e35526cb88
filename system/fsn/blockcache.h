// The block read cache behind withblockcache (see vorn/platform.h). Nothing in it depends on
// the operating system: it lives with the engine, and fileidentity sees through it by inner().
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "vorn/platform.h"

namespace vorn::platform {

// A direct-mapped cache of whole blocks in front of another file. Block b lives in slot
// b % capacity; slots are allocated in chunks on first use, so a small file costs little
// memory. Every cached block equals the file's bytes: writes go to the file at once and only
// a write that succeeded in full updates the cache (a failed one drops what it touched).
class BlockCache final : public BlockFile {
  public:
    BlockCache(std::unique_ptr<BlockFile> file, std::size_t capacity);
    long readat(void *buf, std::size_t n, std::uint64_t offset) override;
    long writeat(const void *buf, std::size_t n, std::uint64_t offset) override;
    std::int64_t length() override { return file_->length(); }
    bool truncate(std::uint64_t length) override;
    bool sync() override { return file_->sync(); }
    bool trylock() override { return file_->trylock(); }

    BlockFile *inner() override { return file_.get(); }

  private:
    static constexpr std::size_t kChunkSlots = 64;
    static constexpr std::size_t kGroupBlocks = 4;
    struct Chunk {
        std::uint64_t tag[kChunkSlots];  // block number + 1 held by each slot, 0 when empty
        std::uint8_t data[kChunkSlots][kCacheBlockSize];
    };
    struct Slot {
        std::uint64_t *tag;
        std::uint8_t *data;
    };

    // The slot block blk maps to; with create false, tag is null when its chunk is absent.
    Slot slotof(std::uint64_t blk, bool create);
    // Brings the cached copies of the blocks in [offset, offset + n) up to date after a write
    // of those bytes succeeded, filling slots for the blocks it covered whole.
    void written(const std::uint8_t *src, std::size_t n, std::uint64_t offset);
    // Drops the cached copies of the blocks in [offset, offset + n).
    void dropped(std::size_t n, std::uint64_t offset);
    // Reads the aligned group of blocks holding blk into the cache; true when blk is cached.
    bool readgroup(std::uint64_t blk);

    std::unique_ptr<BlockFile> file_;
    std::size_t capacity_;
    std::vector<std::unique_ptr<Chunk>> chunks_;
    std::uint8_t group_[kGroupBlocks][kCacheBlockSize];
};

}  // namespace vorn::platform
