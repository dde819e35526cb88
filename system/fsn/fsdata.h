// The engine's state of one open database file: the file, the control block image and a small
// cache of block buffers. The library and the server run the same engine; they differ in the
// number of buffers (16 or 20), in how the control block is written back, and in how a
// failure is reported, all of which are parameters of this state.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "vorn/fs.h"
#include "vorn/platform.h"

namespace vorn {

inline constexpr int kClientBuffers = 16;
inline constexpr int kServerBuffers = 20;
inline constexpr int kMaxBuffers = 20;

// Which deliverable runs the engine. The library writes the control block with every flush;
// the server writes it separately (flushfscb) and marks files it extends.
enum class Flavor { Library, Server };

// Where engine failures go. The library records `code` in its error ring and, where given,
// `clienttext` in its message buffer; the server reports `servertext` (when given) to the
// event log. A null text (or code 0 for the library) means that flavor reports nothing for
// this failure.
class Reporter {
  public:
    virtual ~Reporter() = default;
    virtual void failure(std::int16_t code, const char *clienttext, const char *servertext) = 0;
};

inline constexpr int kBlockEntries = 145;  // more than a key block's entries (144), and the end

// One block buffer. The image is seen as a data block, an xlate block or a key block.
struct FSBUFF {
    std::uint32_t blk;  // block held, kNoBlock when none
    char cf;            // changed: must be written back
    char extblk;        // lies past the end of the file on disk
    std::uint8_t pins;  // held by a running operation: never chosen as a victim
    // The image passed the key block check (validkb) when it came from the file, and only the
    // engine has changed it since: the check need not walk its entries again. Cleared when
    // another image is read in, and when the block is marked changed (a leaf insert, which
    // keeps the entries' offsets up to date, sets it again).
    std::uint8_t kbchecked;
    // The image is the file's block as read (or as written back), unchanged since: the key
    // check memo may vouch for it. Cleared when the image is replaced or changed.
    std::uint8_t asread;
    // With kbchecked: the offsets of the key block's entries as the check found them (koffs[
    // kcount] is their end), so that a search need not walk the entries again.
    std::int16_t kcount;
    std::int16_t koffs[kBlockEntries];
    union {
        DB dbuff;
        XBLOCK xbuff;
        KB kbuff;
    };
};

// Where a key lookup ended, so that the next step of a walk from the key it returned can
// start there instead of at the root (keyhint.cpp): the blocks from that key's leaf up to the
// root, where the key sits in the leaf, and the key itself. Good only while the file's change
// counter still reads `changes`.
struct KeyHint {
    std::uint64_t changes = 0;  // 0: empty (the file's counter starts at 1)
    std::int16_t levels = 0;    // path[0] the leaf .. path[levels - 1] the root
    std::int16_t off = 0;       // the key's entry in the leaf
    std::int16_t at = -1;       // its index among the leaf's entries, -1 when not known
    std::int16_t end = 0;       // the end of the leaf's entries
    std::int16_t keylen = 0;    // key length n (fid byte and value)
    std::uint32_t path[kMaxLevels];
    std::uint8_t key[kKeyBuffer];  // the key bytes and its rid
};
inline constexpr int kKeyHints = 4;  // walks of several indexes (or server users) at once

// Results of the key block check by block number (keycheckmemo.cpp).
struct KeyCheckMemo {
    static constexpr std::uint32_t kSlots = 4096;
    struct Entry {
        std::uint64_t images = 0;  // the file's image counter when checked; 0: empty
        std::uint32_t blk = 0;
        std::int16_t count = 0;
        std::int16_t offs[kBlockEntries];
    };
    Entry entry[kSlots];
};

struct FSDATA {
    std::unique_ptr<platform::BlockFile> fsp;
    FSCB fscb;
    char dblocked;  // unused by the engine (the lock flag lives in fscb.dblocked)
    char readonly;  // nothing is ever written back
    Flavor flavor;
    int nbuffs;  // 16 (library) or 20 (server)
    Reporter *reporter;
    std::int16_t seq[kMaxBuffers];  // recency order, seq[0] least recently used
    FSBUFF buff[kMaxBuffers];
    // held[i] is buff[i].blk, side by side: the search for a resident block reads one or two
    // cache lines instead of one line in each buffer. Set wherever a buffer's block is.
    std::uint32_t held[kMaxBuffers];
    // Advances whenever what the engine sees of the file may have changed: a change of a block
    // or of the control block, a block read anew from a file that another process may write,
    // a reset of the buffers. The key hints are checked against it.
    std::uint64_t changes;
    KeyHint hints[kKeyHints];
    int nexthint;  // the slot the next new hint takes
    // Advances whenever the file's blocks may differ from the images this process last read
    // or wrote without its knowing which: a reset of the buffers, the control block read, a
    // block read anew from a file that another process may write. A block this process
    // writes itself is dropped from the memo below instead (forgetchecked).
    std::uint64_t images;
    // Key blocks checked since the image counter last moved and not written since, by block
    // number (keycheckmemo.cpp), so that one read again into a buffer need not be walked
    // again. Made on first use.
    std::unique_ptr<KeyCheckMemo> checked;
};

// Drops the memo's check of blk: its image in the file is about to be replaced.
inline void forgetchecked(FSDATA *fsdata, std::uint32_t blk) {
    if (fsdata->checked == nullptr) return;
    KeyCheckMemo::Entry &e = fsdata->checked->entry[blk % KeyCheckMemo::kSlots];
    if (e.blk == blk) e.images = 0;
}

// Makes a zeroed state with every buffer empty and seq[j] = j. The caller attaches the file
// and reads the control block with readfscb.
std::unique_ptr<FSDATA> newfsdata(Flavor flavor, Reporter *reporter);
void resetbuffers(FSDATA *fsdata);

// Statistics, only ever incremented and never read by an operation. Server threads touch
// them under different files' mutexes, so they are atomics; a relaxed load and store keeps the
// hot path free of locked instructions at the price of an occasional lost count.
struct EngineStats {
    std::atomic<std::uint32_t> hits{0}, miss{0}, bf{0}, fscbf{0};
};
inline void count(std::atomic<std::uint32_t> &counter) {
    counter.store(counter.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
}
extern EngineStats stats;

// Reports an engine failure through the file's reporter. The texts are printf formats.
void dberror(FSDATA *fsdata, std::int16_t code, const char *clienttext, const char *serverfmt, ...)
    __attribute__((format(printf, 4, 5)));

}  // namespace vorn
