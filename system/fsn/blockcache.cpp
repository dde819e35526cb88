// The block read cache. Nothing in it depends on the operating system.
#include "blockcache.h"

#include <algorithm>
#include <cstring>

namespace vorn::platform {

BlockCache::BlockCache(std::unique_ptr<BlockFile> file, std::size_t capacity)
    : file_(std::move(file)),
      capacity_(std::max<std::size_t>(capacity, 1)),
      chunks_((capacity_ + kChunkSlots - 1) / kChunkSlots) {}

BlockCache::Slot BlockCache::slotof(std::uint64_t blk, bool create) {
    const std::size_t s = static_cast<std::size_t>(blk % capacity_);
    auto &chunk = chunks_[s / kChunkSlots];
    if (chunk == nullptr) {
        if (!create) return {nullptr, nullptr};
        // Only the tags are cleared (every slot empty): an image is read once a tag names it.
        chunk = std::make_unique_for_overwrite<Chunk>();
        std::fill(std::begin(chunk->tag), std::end(chunk->tag), 0);
    }
    return {&chunk->tag[s % kChunkSlots], chunk->data[s % kChunkSlots]};
}

long BlockCache::readat(void *buf, std::size_t n, std::uint64_t offset) {
    // The engine reads whole blocks at block offsets; anything else goes to the file, which
    // holds the same bytes.
    if (n != kCacheBlockSize || offset % kCacheBlockSize != 0) return file_->readat(buf, n, offset);
    const std::uint64_t blk = offset / kCacheBlockSize;
    Slot slot = slotof(blk, false);
    if (slot.tag != nullptr && *slot.tag == blk + 1) {
        std::memcpy(buf, slot.data, kCacheBlockSize);
        return static_cast<long>(kCacheBlockSize);
    }
    if (readgroup(blk)) {
        slot = slotof(blk, false);
        if (slot.tag != nullptr && *slot.tag == blk + 1) {
            std::memcpy(buf, slot.data, kCacheBlockSize);
            return static_cast<long>(kCacheBlockSize);
        }
    }
    const long got = file_->readat(buf, n, offset);
    // Only a whole block is kept: a partial trailing block may still grow.
    if (got == static_cast<long>(kCacheBlockSize)) {
        if (slot.tag == nullptr) slot = slotof(blk, true);
        std::memcpy(slot.data, buf, kCacheBlockSize);
        *slot.tag = blk + 1;
    }
    return got;
}

bool BlockCache::readgroup(std::uint64_t blk) {
    // Blocks are mostly read in runs (a walk in identifier order, the data blocks appended
    // together): one read of the aligned group of four around a missing block costs little more
    // than reading the block alone.
    const std::uint64_t first = blk - blk % kGroupBlocks;
    const long got = file_->readat(group_, sizeof group_, first * kCacheBlockSize);
    if (got <= 0) return false;
    const std::uint64_t whole = static_cast<std::uint64_t>(got) / kCacheBlockSize;
    for (std::uint64_t i = 0; i < whole; ++i) {
        Slot slot = slotof(first + i, true);
        std::memcpy(slot.data, group_[i], kCacheBlockSize);
        *slot.tag = first + i + 1;
    }
    return blk < first + whole;
}

long BlockCache::writeat(const void *buf, std::size_t n, std::uint64_t offset) {
    const long put = file_->writeat(buf, n, offset);
    if (n == 0) return put;
    if (put == static_cast<long>(n)) {
        written(static_cast<const std::uint8_t *>(buf), n, offset);
    } else {
        // Some of the bytes may have reached the file: what it holds there is unknown.
        dropped(n, offset);
    }
    return put;
}

bool BlockCache::truncate(std::uint64_t length) {
    // Rare (a rollback): every cached copy is dropped rather than only those past the end.
    for (auto &chunk : chunks_) {
        if (chunk != nullptr) std::memset(chunk->tag, 0, sizeof chunk->tag);
    }
    return file_->truncate(length);
}

void BlockCache::written(const std::uint8_t *src, std::size_t n, std::uint64_t offset) {
    const std::uint64_t end = offset + n;
    for (std::uint64_t blk = offset / kCacheBlockSize; blk * kCacheBlockSize < end; ++blk) {
        const std::uint64_t start = blk * kCacheBlockSize;
        const bool whole = start >= offset && start + kCacheBlockSize <= end;
        Slot slot = slotof(blk, whole);
        if (whole) {
            std::memcpy(slot.data, src + (start - offset), kCacheBlockSize);
            *slot.tag = blk + 1;
        } else if (slot.tag != nullptr && *slot.tag == blk + 1) {
            // A cached block written in part: patch the copy.
            const std::uint64_t from = std::max(start, offset);
            const std::uint64_t to = std::min(start + kCacheBlockSize, end);
            std::memcpy(slot.data + (from - start), src + (from - offset), to - from);
        }
    }
}

void BlockCache::dropped(std::size_t n, std::uint64_t offset) {
    const std::uint64_t end = offset + n;
    for (std::uint64_t blk = offset / kCacheBlockSize; blk * kCacheBlockSize < end; ++blk) {
        Slot slot = slotof(blk, false);
        if (slot.tag != nullptr && *slot.tag == blk + 1) *slot.tag = 0;
    }
}

std::unique_ptr<BlockFile> withblockcache(std::unique_ptr<BlockFile> file, std::size_t blocks) {
    if (file == nullptr) return nullptr;
    return std::make_unique<BlockCache>(std::move(file), blocks);
}

}  // namespace vorn::platform
