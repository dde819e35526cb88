// The write-back block cache behind withprivatecache (see vorn/platform.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "vorn/platform.h"

namespace vorn::platform {

// A direct-mapped cache of whole blocks in front of a file that no other process reads or
// writes. Block b lives in slot b % capacity; slots are allocated in chunks on first use.
// Writes of whole blocks stay in their slot, changed, until writeout (or the destructor)
// writes every changed block in ascending order, or until another block needs the slot,
// which writes the changed one first. Anything that is not a whole block at a block offset
// first writes out everything held and then goes to the file. So the file, read after a
// writeout, holds exactly what the same writes made directly would have left there.
class PrivateCache final : public BlockFile {
  public:
    PrivateCache(std::unique_ptr<BlockFile> file, std::size_t capacity);
    ~PrivateCache() override;
    long readat(void *buf, std::size_t n, std::uint64_t offset) override;
    long writeat(const void *buf, std::size_t n, std::uint64_t offset) override;
    std::int64_t length() override;
    bool writeout() override;

    void prefetch(std::uint64_t offset) override;
    bool peekat(void *buf, std::size_t n, std::uint64_t offset) override;

  private:
    // A chunk's images fill one region aligned for large pages (see mapregion), so that
    // where the system gives them, blocks read at random across a large file cost no walk of
    // the page tables.
    static constexpr std::size_t kChunkSlots = kRegionAlignment / kCacheBlockSize;
    struct Chunk {
        explicit Chunk(std::size_t slots);
        ~Chunk();
        Chunk(const Chunk &) = delete;
        Chunk &operator=(const Chunk &) = delete;
        std::size_t slots;
        std::unique_ptr<std::uint64_t[]> tag;  // block number + 1 held by each slot, 0: empty
        std::unique_ptr<bool[]> changed;       // the slot's image differs from the file
        std::uint8_t *data;                    // slots images of kCacheBlockSize bytes
    };
    struct Slot {
        std::uint64_t *tag;
        bool *changed;
        std::uint8_t *data;
    };

    Slot slotof(std::uint64_t blk);
    // The image of blk when a slot holds it, else null; allocates nothing.
    const std::uint8_t *heldimage(std::uint64_t blk) const;
    // Makes the slot free for blk: a changed image of another block is written first.
    // False when that write failed (the slot keeps it).
    bool claim(const Slot &slot, std::uint64_t blk);
    bool writeslot(const Slot &slot);
    // Writes the n blocks listed at changed_[from], consecutive block numbers held side by
    // side (besidein), in one write.
    bool writestretch(std::size_t from, std::size_t n);
    // True when block blk + n is held in the slot after that of blk + n - 1, in one chunk.
    bool besidein(std::uint64_t blk, std::size_t n) const;
    // Keeps only the current entries of changed_.
    void compact();
    // Drops the cached copies of the blocks in [offset, offset + n).
    void dropped(std::size_t n, std::uint64_t offset);

    std::unique_ptr<BlockFile> file_;
    std::size_t capacity_;
    std::vector<std::unique_ptr<Chunk>> chunks_;
    std::vector<std::uint64_t> changed_;  // blocks whose slots turned changed since a writeout
    std::uint64_t heldend_ = 0;           // end of the highest block held changed
};

}  // namespace vorn::platform
