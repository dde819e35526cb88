#include "blocks.h"

#include <vorn/errors.h>

#include <algorithm>
#include <cassert>
#include <cstdio>
#include <cstring>

#include "keytree.h"

namespace vorn {
namespace {

constexpr std::uint64_t offsetof_block(std::uint32_t blk) {
    return static_cast<std::uint64_t>(blk) << kBlockShift;
}

// Finds the buffer holding blk, scanning from the most recently used; -1 when none.
int findresident(const FSDATA *fsdata, std::uint32_t blk) {
    assert(fsdata->nbuffs > 0 && fsdata->nbuffs <= kMaxBuffers);
    for (int n = fsdata->nbuffs - 1; n >= 0; --n) {
        if (fsdata->held[fsdata->seq[n]] == blk) {
            assert(fsdata->buff[fsdata->seq[n]].blk == blk);
            return n;
        }
    }
    return -1;
}

// The least recently used buffer that no running operation holds; -1 when all are pinned.
int choosevictim(const FSDATA *fsdata) {
    for (int n = 0; n < fsdata->nbuffs; ++n) {
        if (fsdata->buff[fsdata->seq[n]].pins == 0) return n;
    }
    return -1;
}

bool writeimage(FSDATA *fsdata, const void *image, std::uint32_t blk) {
    forgetchecked(fsdata, blk);  // also when the write fails: the file's image is unknown then
    return fsdata->fsp->writeat(image, kBlockSize, offsetof_block(blk)) ==
           static_cast<long>(kBlockSize);
}

// A key block written back whose check still holds (the engine's own inserts keep it) is now
// the file's image: the memo may vouch for it when it is read again. A pinned buffer may be
// part way through a change, so only a free one is remembered.
void rememberwritten(FSDATA *fsdata, FSBUFF &b) {
    if (b.pins != 0 || !checkedoffsets(&b)) return;
    b.asread = 1;
    rememberchecked(fsdata, &b);
}

// Writes one changed buffer back; reports and returns false on failure.
bool writeback(FSDATA *fsdata, FSBUFF &b) {
    count(stats.bf);
    b.cf = 0;
    const bool extended = b.extblk != 0;
    b.extblk = 0;
    if (extended && fsdata->flavor == Flavor::Server) fsdata->fscb.dbextended = 1;
    // An appended block goes to its own offset, so a file with a partial trailing block
    // never shifts the blocks that follow.
    if (writeimage(fsdata, &b.dbuff, b.blk)) {
        rememberwritten(fsdata, b);
        return true;
    }
    // The block still differs from the file: keep it marked so that a later flush writes it
    // again instead of the change being dropped without a trace.
    b.cf = 1;
    b.extblk = extended ? 1 : 0;
    if (extended) {
        dberror(fsdata, kDbFlushExtended, nullptr, "flushbuffs - writing extended block %lu\r\n",
                static_cast<unsigned long>(b.blk));
    } else {
        dberror(fsdata, kDbFlushBlock, nullptr, "flushbuffs - writing block %lu\r\n",
                static_cast<unsigned long>(b.blk));
    }
    return false;
}

// Writes the control block image; the file always holds cf, dblocked and wrts as 0.
bool writecontrolblock(FSDATA *fsdata) {
    count(stats.fscbf);
    FSCB &cb = fsdata->fscb;
    const char locked = cb.dblocked;
    cb.dblocked = 0;
    cb.cf = 0;
    cb.wrts = 0;
    const bool written = writeimage(fsdata, &cb, 0);
    cb.dblocked = locked;
    if (!written) cb.cf = 1;  // still to be written
    return written;
}

}  // namespace

void makelast(std::int16_t *seq, int count, int sn) {
    // At most 19 entries move, mostly one or two: a plain loop beats a call to memmove.
    const std::int16_t moved = seq[sn];
    for (int j = sn; j < count - 1; ++j) seq[j] = seq[j + 1];
    seq[count - 1] = moved;
}

void changefscb(FSDATA *fsdata) {
    ++fsdata->changes;
    FSCB &cb = fsdata->fscb;
    cb.cf = 1;
    cb.fschanged = cb.fschanged == 0xFFFFFFFFu ? 0 : cb.fschanged + 1;
}

void extendedblk(FSDATA *fsdata, FSBUFF *buffer) {
    ++fsdata->fscb.lb;
    changefscb(fsdata);
    buffer->cf = 1;
    buffer->extblk = 1;
    buffer->kbchecked = 0;
    buffer->asread = 0;
    buffer->dbuff.nbic = 0;
    buffer->dbuff.len = kDbHeader;
    buffer->dbuff.fc = 0;
    buffer->dbuff.type = 0;
}

FSBUFF *readblk(FSDATA *fsdata, std::uint32_t blk) {
    // Walks read the block they just read, or the one before it (an xlate block and a data
    // block in turn), again and again: those two are looked at first.
    const int last = fsdata->nbuffs - 1;
    FSBUFF *mru = &fsdata->buff[fsdata->seq[last]];
    if (mru->blk == blk) {
        count(stats.hits);
        return mru;
    }
    FSBUFF *second = &fsdata->buff[fsdata->seq[last - 1]];
    if (second->blk == blk) {
        count(stats.hits);
        std::swap(fsdata->seq[last - 1], fsdata->seq[last]);
        return second;
    }
    const int resident = findresident(fsdata, blk);
    if (resident >= 0) {
        count(stats.hits);
        FSBUFF *b = &fsdata->buff[fsdata->seq[resident]];
        makelast(fsdata->seq, fsdata->nbuffs, resident);
        return b;
    }
    count(stats.miss);
    // Only this process writes a file it may change, so a block read again holds what it
    // held; a read-only file may have been changed by another process since.
    if (fsdata->readonly != 0) {
        ++fsdata->changes;
        ++fsdata->images;
    }
    const int vn = choosevictim(fsdata);
    if (vn < 0) {
        dberror(fsdata, kDbReadBlock, nullptr, "readblk - reading block %lu\r\n",
                static_cast<unsigned long>(blk));
        return nullptr;
    }
    FSBUFF *victim = &fsdata->buff[fsdata->seq[vn]];
    // A changed victim is written back with all other changed buffers. If that fails the
    // victim still holds unwritten changes: reusing it would lose them, or later write the
    // new block's image under the old number, so the read fails instead.
    if (victim->cf != 0 && fsdata->readonly != 0) {
        // Nothing of a read-only file is ever written: its changes end with the buffer.
        victim->cf = 0;
        victim->extblk = 0;
    }
    if (victim->cf != 0 && (flushbuffs(fsdata) == 0 || victim->cf != 0)) return nullptr;
    victim->kbchecked = 0;
    victim->asread = 0;
    const std::uint32_t lb = fsdata->fscb.lb;
    if (blk > lb) {
        if (blk != lb + 1) {
            char text[80];
            std::snprintf(text, sizeof text, "Block %lu > last block %lu",
                          static_cast<unsigned long>(blk), static_cast<unsigned long>(lb + 1));
            dberror(fsdata, kDbReadPastEnd, text, "readblk - block %lu > last block %lu\r\n\r\n",
                    static_cast<unsigned long>(blk), static_cast<unsigned long>(lb));
            return nullptr;
        }
        extendedblk(fsdata, victim);
    } else {
        victim->blk = kNoBlock;  // the image is being replaced: it holds no block if the read fails
        fsdata->held[fsdata->seq[vn]] = kNoBlock;
        const long got = fsdata->fsp->readat(&victim->dbuff, kBlockSize, offsetof_block(blk));
        if (got <= 0) {
            dberror(fsdata, kDbReadBlock, nullptr, "readblk - reading block %lu\r\n",
                    static_cast<unsigned long>(blk));
            return nullptr;
        }
        // A partial trailing block reads as zeros past the end of the file.
        auto *image = reinterpret_cast<char *>(&victim->dbuff);
        std::memset(image + got, 0, kBlockSize - static_cast<std::size_t>(got));
        victim->asread = 1;
    }
    fsdata->held[fsdata->seq[vn]] = blk;
    makelast(fsdata->seq, fsdata->nbuffs, vn);
    victim->blk = blk;
    return victim;
}

std::int16_t writeblk(FSDATA *fsdata, std::uint32_t blk) {
    ++fsdata->fscb.wrts;
    changefscb(fsdata);
    FSBUFF *b = readblk(fsdata, blk);
    if (b == nullptr) {
        dberror(fsdata, kDbWriteBlock, nullptr, "writeblk - writing block %lu\r\n",
                static_cast<unsigned long>(blk));
        return 0;
    }
    b->cf = 1;
    b->kbchecked = 0;
    b->asread = 0;
    if (fsdata->fscb.wrts > 2000 && flushbuffs(fsdata) == 0) {
        dberror(fsdata, kDbWriteFlush, nullptr, "writeblk - flushing buffers\r\n");
        return 0;
    }
    return 1;
}

std::int16_t flushbuffs(FSDATA *fsdata) {
    if (fsdata->readonly != 0) return 1;
    // Ascending block order: neighbouring blocks are written together, and appended blocks
    // are written after every block below them.
    // Only changed buffers are ordered, mostly one or two: an insertion sort, no allocation.
    std::int16_t order[kMaxBuffers];
    int n = 0;
    for (int j = 0; j < fsdata->nbuffs; ++j) {
        const FSBUFF &b = fsdata->buff[j];
        if (b.blk == kNoBlock || b.cf == 0) continue;
        int at = n++;
        for (; at > 0 && fsdata->buff[order[at - 1]].blk > b.blk; --at) order[at] = order[at - 1];
        order[at] = static_cast<std::int16_t>(j);
    }
    for (int j = 0; j < n; ++j) {
        if (!writeback(fsdata, fsdata->buff[order[j]])) return 0;
    }
    if (fsdata->flavor == Flavor::Library && fsdata->fscb.cf != 0 && !writecontrolblock(fsdata)) {
        dberror(fsdata, kDbFlushHeader, nullptr, nullptr);
        return 0;
    }
    return 1;
}

std::int16_t flushfscb(FSDATA *fsdata) {
    if (fsdata->fscb.cf == 0 || fsdata->readonly != 0) return 1;
    if (!writecontrolblock(fsdata)) {
        dberror(fsdata, kDbFlushHeader, nullptr, "flushfscb - writing fscb\r\n");
        return 0;
    }
    return 1;
}

// The header is read with a positioned read, which has no seek of its own to fail: so 1380
// (a failed seek) is never recorded, and a failed read or a damaged header records no code of
// its own. The caller records the open's failure; the server reports the message.
std::int16_t readfscb(FSDATA *fsdata) {
    if (fsdata->fsp->readat(&fsdata->fscb, kBlockSize, 0) <= 0) {
        dberror(fsdata, 0, nullptr, "readfscb - reading fscb\r\n");
        return 0;
    }
    ++fsdata->changes;
    ++fsdata->images;
    FSCB &cb = fsdata->fscb;
    cb.cf = 0;
    if (cb.xblkfreq == 0) cb.xblkfreq = kDefaultXblkfreq;
    // A spacing below 2 leaves no room for data blocks between xlate blocks; no sequence of
    // operations makes one, so the header is damaged.
    if (cb.xblkfreq < 2 || cb.lb > kMaxBlock) {
        dberror(fsdata, 0, nullptr, "readfscb - reading fscb\r\n");
        return 0;
    }
    return 1;
}

std::uint32_t allocextendedblk(FSDATA *fsdata) {
    const std::uint32_t lb = fsdata->fscb.lb;
    const std::uint32_t freq = xblkfreqof(fsdata);
    if (lb + 1 > kMaxBlock) {
        dberror(fsdata, kDbFull, nullptr, "allocextendedblk - database full\r\n");
        return 0;
    }
    if (lb % freq != 0) return lb + 1;
    const std::uint32_t b = (lb + 1) / freq;
    if (static_cast<std::uint64_t>(b) * kXlateEntries > kMaxXlateIndex) {
        dberror(fsdata, kDbFullXlate, nullptr, "allocextendedblk - database full\r\n");
        return 0;
    }
    FSBUFF *x = readblk(fsdata, lb + 1);
    if (x == nullptr) {
        dberror(fsdata, kDbExtendedXlateRead, nullptr,
                "allocextendedblk - reading xlate block %lu\r\n",
                static_cast<unsigned long>(lb + 1));
        return 0;
    }
    for (std::uint32_t s = 0; s < kXlateEntries; ++s) x->xbuff.xlate[s] = b * kXlateEntries + s + 1;
    if (fsdata->fscb.lb + 1 > kMaxBlock) {
        dberror(fsdata, kDbFull, nullptr, "allocextendedblk - database full\r\n");
        return 0;
    }
    return fsdata->fscb.lb + 1;
}

}  // namespace vorn
