// The block cache: every engine read and change of a block goes through these functions.
// readblk brings a block into a buffer, writeblk marks it changed, flushbuffs writes changed
// buffers back in ascending block order. Blocks past the end of the file ("extended") are
// written at their own offsets, which is how the file grows.
#pragma once

#include <cassert>
#include <cstdint>

#include "fsdata.h"

namespace vorn {

// Makes blk resident and most recently used; null on failure. The pointer stays valid until
// the buffer is chosen as a victim by a later miss (at least nbuffs - 1 misses later, and
// never while the buffer is pinned).
FSBUFF *readblk(FSDATA *fsdata, std::uint32_t blk);
// Marks blk changed (reading it first if needed); every 2001st write flushes. 1 or 0.
std::int16_t writeblk(FSDATA *fsdata, std::uint32_t blk);
// Writes every changed buffer in ascending block order; the library also writes the control
// block. 1 or 0.
std::int16_t flushbuffs(FSDATA *fsdata);
// Server: writes the control block if it changed. 1 or 0.
std::int16_t flushfscb(FSDATA *fsdata);
// Reads block 0 into the control block image. 1 or 0.
std::int16_t readfscb(FSDATA *fsdata);
// Marks the control block image changed and advances fschanged.
void changefscb(FSDATA *fsdata);
// Turns a buffer into the new last block of the file.
void extendedblk(FSDATA *fsdata, FSBUFF *buffer);
// The next block to append (creating a due xlate block on the way); 0 on failure.
std::uint32_t allocextendedblk(FSDATA *fsdata);
// True when blk is in one of the two most recently used buffers, which readblk looks at first.
inline bool recentblk(const FSDATA *fsdata, std::uint32_t blk) {
    const int last = fsdata->nbuffs - 1;
    return fsdata->held[fsdata->seq[last]] == blk || fsdata->held[fsdata->seq[last - 1]] == blk;
}
// Moves entry sn of the recency order to the most recent end.
void makelast(std::int16_t *seq, int count, int sn);

// Pins keep a buffer from being chosen as a victim while an operation still uses it.
// Pins nest; an unpin without its pin, or more nesting than the count holds, is a bug.
inline void pinblk(FSBUFF *b) {
    assert(b->pins < UINT8_MAX);
    ++b->pins;
}
inline void unpinblk(FSBUFF *b) {
    assert(b->pins > 0);
    --b->pins;
}

// The xlate block spacing in effect (0 reads as 20).
inline std::uint32_t xblkfreqof(const FSDATA *fsdata) {
    return fsdata->fscb.xblkfreq > 0 ? static_cast<std::uint32_t>(fsdata->fscb.xblkfreq)
                                     : static_cast<std::uint32_t>(kDefaultXblkfreq);
}

}  // namespace vorn
