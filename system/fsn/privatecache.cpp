// The write-back block cache of private files. Nothing in it depends on the operating system.
#include "privatecache.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "prefetch.h"

namespace vorn::platform {

PrivateCache::PrivateCache(std::unique_ptr<BlockFile> file, std::size_t capacity)
    : file_(std::move(file)),
      capacity_(std::max<std::size_t>(capacity, 1)),
      chunks_((capacity_ + kChunkSlots - 1) / kChunkSlots) {}

PrivateCache::~PrivateCache() {
    writeout();
}

PrivateCache::Chunk::Chunk(std::size_t n)
    : slots(n),
      tag(std::make_unique<std::uint64_t[]>(n)),
      changed(std::make_unique<bool[]>(n)),
      // The images are not cleared (the region starts zeroed): one is read only once a tag
      // names it.
      data(static_cast<std::uint8_t *>(mapregion(n * kCacheBlockSize))) {
    if (data == nullptr) throw std::bad_alloc();
}

PrivateCache::Chunk::~Chunk() {
    unmapregion(data, slots * kCacheBlockSize);
}

PrivateCache::Slot PrivateCache::slotof(std::uint64_t blk) {
    const std::size_t s = static_cast<std::size_t>(blk % capacity_);
    const std::size_t c = s / kChunkSlots;
    auto &chunk = chunks_[c];
    // The last chunk holds only the slots left of the capacity.
    if (chunk == nullptr)
        chunk = std::make_unique<Chunk>(std::min(kChunkSlots, capacity_ - c * kChunkSlots));
    const std::size_t i = s % kChunkSlots;
    return {&chunk->tag[i], &chunk->changed[i], chunk->data + i * kCacheBlockSize};
}

const std::uint8_t *PrivateCache::heldimage(std::uint64_t blk) const {
    const std::size_t s = static_cast<std::size_t>(blk % capacity_);
    const auto &chunk = chunks_[s / kChunkSlots];
    if (chunk == nullptr || chunk->tag[s % kChunkSlots] != blk + 1) return nullptr;
    return chunk->data + (s % kChunkSlots) * kCacheBlockSize;
}

void PrivateCache::prefetch(std::uint64_t offset) {
    if (offset % kCacheBlockSize != 0) return;
    if (const std::uint8_t *image = heldimage(offset / kCacheBlockSize))
        prefetchlines<kCacheBlockSize>(image);
}

bool PrivateCache::peekat(void *buf, std::size_t n, std::uint64_t offset) {
    const std::uint64_t at = offset % kCacheBlockSize;
    if (n > kCacheBlockSize - at) return false;
    const std::uint8_t *image = heldimage(offset / kCacheBlockSize);
    if (image == nullptr) return false;
    std::memcpy(buf, image + at, n);
    return true;
}

bool PrivateCache::writeslot(const Slot &slot) {
    const std::uint64_t blk = *slot.tag - 1;
    if (file_->writeat(slot.data, kCacheBlockSize, blk * kCacheBlockSize) !=
        static_cast<long>(kCacheBlockSize)) {
        return false;
    }
    *slot.changed = false;
    return true;
}

bool PrivateCache::claim(const Slot &slot, std::uint64_t blk) {
    if (*slot.tag == blk + 1 || !*slot.changed) return true;
    return writeslot(slot);
}

long PrivateCache::readat(void *buf, std::size_t n, std::uint64_t offset) {
    if (n != kCacheBlockSize || offset % kCacheBlockSize != 0) {
        if (!writeout()) return -1;
        return file_->readat(buf, n, offset);
    }
    const std::uint64_t blk = offset / kCacheBlockSize;
    const Slot slot = slotof(blk);
    // The image is asked for before its tag is looked at: both misses overlap.
    prefetchlines<kCacheBlockSize>(slot.data);
    if (*slot.tag == blk + 1) {
        std::memcpy(buf, slot.data, kCacheBlockSize);
        return static_cast<long>(kCacheBlockSize);
    }
    if (!claim(slot, blk)) return -1;
    long got = file_->readat(buf, n, offset);
    if (got >= 0 && got < static_cast<long>(n) && offset < heldend_) {
        // Below a block held back, past the end of the file: written directly, the held
        // block would have left zeros here.
        auto *bytes = static_cast<std::uint8_t *>(buf);
        std::memset(bytes + got, 0, n - static_cast<std::size_t>(got));
        got = static_cast<long>(n);
    }
    // Only a whole block is kept: a partial trailing block may still grow.
    if (got == static_cast<long>(kCacheBlockSize)) {
        std::memcpy(slot.data, buf, kCacheBlockSize);
        *slot.tag = blk + 1;
    }
    return got;
}

long PrivateCache::writeat(const void *buf, std::size_t n, std::uint64_t offset) {
    if (n != kCacheBlockSize || offset % kCacheBlockSize != 0) {
        if (!writeout()) return -1;
        const long put = file_->writeat(buf, n, offset);
        dropped(n, offset);
        return put;
    }
    const std::uint64_t blk = offset / kCacheBlockSize;
    const Slot slot = slotof(blk);
    if (!claim(slot, blk)) return -1;
    std::memcpy(slot.data, buf, kCacheBlockSize);
    *slot.tag = blk + 1;
    if (!*slot.changed) {
        *slot.changed = true;
        changed_.push_back(blk);
        if (changed_.size() > 2 * capacity_) compact();
    }
    heldend_ = std::max(heldend_, offset + kCacheBlockSize);
    return static_cast<long>(n);
}

std::int64_t PrivateCache::length() {
    const std::int64_t onfile = file_->length();
    if (onfile < 0) return onfile;
    return std::max(onfile, static_cast<std::int64_t>(heldend_));
}

bool PrivateCache::writestretch(std::size_t from, std::size_t n) {
    // The slots of neighbouring blocks in one chunk lie side by side: one write takes them.
    const Slot first = slotof(changed_[from]);
    const std::size_t bytes = n * kCacheBlockSize;
    if (file_->writeat(first.data, bytes, changed_[from] * kCacheBlockSize) !=
        static_cast<long>(bytes)) {
        return false;
    }
    std::fill(first.changed, first.changed + n, false);
    return true;
}

bool PrivateCache::besidein(std::uint64_t blk, std::size_t n) const {
    const std::size_t s = static_cast<std::size_t>(blk % capacity_);
    return s + n < capacity_ && s / kChunkSlots == (s + n) / kChunkSlots;
}

bool PrivateCache::writeout() {
    // Ascending order, as the engine writes: appended blocks land after the blocks below them.
    // Only the current entries are kept (a block written out to make room, and perhaps
    // changed again, is listed again); neighbouring blocks held in one chunk go out together,
    // in one write, so a file written at a flush point costs few calls.
    compact();
    std::size_t done = 0;
    while (done < changed_.size()) {
        std::size_t n = 1;
        while (done + n < changed_.size() && changed_[done + n] == changed_[done] + n &&
               besidein(changed_[done], n)) {
            ++n;
        }
        if (!writestretch(done, n)) break;
        done += n;
    }
    changed_.erase(changed_.begin(), changed_.begin() + static_cast<std::ptrdiff_t>(done));
    if (!changed_.empty()) return false;
    heldend_ = 0;
    return true;
}

void PrivateCache::compact() {
    // Blocks written out to make room are listed again when they change again; at most one
    // entry per slot is still current.
    std::sort(changed_.begin(), changed_.end());
    changed_.erase(std::unique(changed_.begin(), changed_.end()), changed_.end());
    std::erase_if(changed_, [this](std::uint64_t blk) {
        const Slot slot = slotof(blk);
        return *slot.tag != blk + 1 || !*slot.changed;
    });
}

void PrivateCache::dropped(std::size_t n, std::uint64_t offset) {
    const std::uint64_t end = offset + n;
    for (std::uint64_t blk = offset / kCacheBlockSize; blk * kCacheBlockSize < end; ++blk) {
        const Slot slot = slotof(blk);
        if (*slot.tag == blk + 1) *slot.tag = 0;  // not changed: everything was written out
    }
}

std::unique_ptr<BlockFile> withprivatecache(std::unique_ptr<BlockFile> file, std::size_t blocks) {
    if (file == nullptr) return nullptr;
    return std::make_unique<PrivateCache>(std::move(file), blocks);
}

}  // namespace vorn::platform
