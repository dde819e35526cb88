// Helpers shared by the key index code: the entry layout of key blocks, the checks that make
// a block from the file fit to be walked, buffer pins, and the search steps used by both the
// lookups and the updates.
//
// Key block: 14-byte header (ancestor, len, numkeys, type 1, level, xtrablk), then entries
// packed in ascending key order up to len. Leaf entry (level 0): int16 n, n key bytes (fid
// byte first), uint32 rid: n + 6 bytes. Separator entry (inner block): int16 n, uint32 child,
// n key bytes, uint32 rid: n + 10 bytes. xtrablk is an inner block's rightmost child.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <utility>

#include "blocks.h"
#include "fsdata.h"
#include "keycompare.h"
#include "smallcopy.h"

namespace vorn {

inline constexpr int kMaxKeyLen = kMaxKeyValue + 1;             // fid byte + value
inline constexpr int kMaxLevel = kMaxLevels - 2;                // the path keeps a 0 above the root
inline constexpr int kLeafExtra = 6;                            // n + rid
inline constexpr int kInnerExtra = 10;                          // n + child + rid
inline constexpr int kKbRoom = kBlockSize - kKbHeader;          // 1010 bytes of entries
inline constexpr int kMaxEntries = kKbRoom / (1 + kLeafExtra);  // of one-byte keys
static_assert(kMaxKeyLen + 4 <= kKeyBuffer, "a whole key and its rid fit the key buffer");
static_assert(5 * (kMaxKeyLen + kLeafExtra) <= kKbRoom, "five longest leaf entries fit");
static_assert(4 * (kMaxKeyLen + kInnerExtra) <= kKbRoom, "four longest separators fit");
static_assert(kMaxLevel == 8);

// Block numbers of the ancestor path, by level; 0 above the root.
using KeyPath = std::array<std::uint32_t, kMaxLevels>;

// A key copied out of a block or a caller's buffer: n key bytes followed by the rid.
struct KeyCopy {
    std::uint8_t bytes[kKeyBuffer];
    std::int16_t len = 0;  // key length n (fid byte included), rid excluded
};

inline int extraof(int level) {
    return level > 0 ? kInnerExtra : kLeafExtra;
}
inline int keyoffsetof(int level) {
    return level > 0 ? 6 : 2;
}
inline int entrysize(int level, int n) {
    return n + extraof(level);
}
// Bytes of entries in a block (its len less the header).
inline int usedof(const KB &kb) {
    return kb.len - kKbHeader;
}

inline int entrylen(const KB &kb, int off) {
    std::int16_t n;
    std::memcpy(&n, kb.buff + off, sizeof n);
    return n;
}
inline const std::uint8_t *entrykey(const KB &kb, int off) {
    return kb.buff + off + keyoffsetof(kb.level);
}
inline std::uint32_t entrychild(const KB &kb, int off) {
    std::uint32_t child;
    std::memcpy(&child, kb.buff + off + 2, sizeof child);
    return child;
}
inline std::uint32_t entryrid(const KB &kb, int off) {
    std::uint32_t rid;
    std::memcpy(&rid, entrykey(kb, off) + entrylen(kb, off), sizeof rid);
    return rid;
}
// Copies the key (and rid) of the entry at off.
inline void copyentrykey(const KB &kb, int off, KeyCopy *out) {
    out->len = static_cast<std::int16_t>(entrylen(kb, off));
    std::memcpy(out->bytes, entrykey(kb, off), static_cast<std::size_t>(out->len) + 4);
}

// Offset of the last entry of a block that has entries.
inline int offsetoflast(const KB &kb) {
    int off = 0, last = 0;
    while (off < usedof(kb)) {
        last = off;
        off += entrysize(kb.level, entrylen(kb, off));
    }
    return last;
}

// True when the image is a key block whose entries can be walked: type 1, len 14..1024,
// level 0..8, every key 1..196 bytes, entries tiling exactly up to len, numkeys their count.
// Given offs (room for kBlockEntries), the entries' offsets and their end go there and their
// count to *count.
bool validkb(const KB &kb, std::int16_t *offs = nullptr, std::int16_t *count = nullptr);

// The memo of checked key blocks (keycheckmemo.cpp): remembers the check of a buffer that
// passed, and gives it back for the same block read again while the file's image counter
// has not moved and the block was not written since (then true, with kcount and koffs set).
void rememberchecked(FSDATA *fsdata, const FSBUFF *b);
bool recallchecked(FSDATA *fsdata, FSBUFF *b);
// Asks for the memo's entry of blk ahead of a read of blk that may miss its buffer.
void prefetchchecked(const FSDATA *fsdata, std::uint32_t blk);

// True when the offsets the check of b's image found (koffs, kcount) still describe it: it was
// checked, and its header still counts as many entries, ending where they ended.
inline bool checkedoffsets(const FSBUFF *b) {
    return b->kbchecked != 0 && b->kcount == b->kbuff.numkeys && b->kcount < kMaxEntries &&
           b->koffs[b->kcount] == usedof(b->kbuff);
}

// Why a tree block could not be had.
enum class TreeRead { Ok, ZeroChild, Unreadable };

// Reads block blk of the tree, expected at `level` (-1: any level, for a root). The number
// must name a block of the file that can hold keys; the image must pass validkb (a buffer the
// running operation holds pinned was checked when it was taken). Reports
// nothing itself (readblk reports its own failures).
FSBUFF *readtreeblock(FSDATA *fsdata, std::uint32_t blk, int level, TreeRead *why);

// True when blk may name a key block: not the control block, not an xlate block, not past
// the last block.
bool treeblockno(const FSDATA *fsdata, std::uint32_t blk);

// Keeps a buffer pinned (never chosen as a victim) while an operation holds it.
// Marks a buffer changed without counting a block write: a block made or changed part way
// through an operation is not lost if its buffer is reused, while the header's write count
// and change counter move only at the operation's own writeblk of it.
inline void markchanged(FSBUFF *b) {
    b->cf = 1;
    b->kbchecked = 0;
    b->asread = 0;
}

class Held {
  public:
    Held() = default;
    explicit Held(FSBUFF *b) : b_(b) {
        if (b_ != nullptr) pinblk(b_);
    }
    ~Held() { release(); }
    Held(Held &&other) noexcept : b_(std::exchange(other.b_, nullptr)) {}
    Held &operator=(Held &&other) noexcept {
        if (this != &other) {
            release();
            b_ = std::exchange(other.b_, nullptr);
        }
        return *this;
    }
    Held(const Held &) = delete;
    Held &operator=(const Held &) = delete;

    void release() {
        if (b_ != nullptr) unpinblk(b_);
        b_ = nullptr;
    }
    explicit operator bool() const { return b_ != nullptr; }
    FSBUFF *buffer() const { return b_; }
    KB &kb() const { return b_->kbuff; }
    std::uint32_t blk() const { return b_->blk; }

  private:
    FSBUFF *b_ = nullptr;
};

// Position (offset in buff) of the first entry not less than key, or the end of the
// entries; *result gets the comparison with that entry, or with the last entry when every
// entry is less (-1 for a block without entries): negative, zero or positive, its size
// carrying no meaning.
int locatekey(const KB &kb, std::int16_t len, const std::uint8_t *key, std::int16_t dupkeys,
              std::int16_t *result, FUNC cmpfunc);
// The same over the offsets of the block's count entries, as its check found them.
int locatekeyin(const KB &kb, const std::int16_t *offs, int count, std::int16_t len,
                const std::uint8_t *key, std::int16_t dupkeys, std::int16_t *result, FUNC cmpfunc);
// The same on a buffer read by readtreeblock, using the offsets its check found when they
// still fit the image.
int locatekey(const FSBUFF *b, std::int16_t len, const std::uint8_t *key, std::int16_t dupkeys,
              std::int16_t *result, FUNC cmpfunc);
// Position of the last entry less than key, or -1 (null). In an inner block whose every
// separator is less than key, *lastblk gets the last separator's child and the end position
// is returned (*result stays positive).
int locatelastkey(const KB &kb, std::int16_t len, const std::uint8_t *key, std::uint32_t *lastblk,
                  std::int16_t dupkeys, std::int16_t *result, FUNC cmpfunc);

// Descends from startblk to the leaf in which key belongs, storing every inner block passed
// at ancestor[level]. Null on failure. With a hint for key (keyhint.cpp), the child taken in
// each block the hint still holds is the hint's, which is the one the search would find.
FSBUFF *findkeybuff(FSDATA *fsdata, std::int16_t len, const std::uint8_t *key, std::int16_t dupkeys,
                    FUNC cmpfunc, KeyPath &ancestor, std::uint32_t startblk,
                    const KeyHint *hint = nullptr);
// The leaf holding the first key greater than key; null when the tree is empty or on
// failure. The inner blocks passed go to *ancestor when given. A hint for key may be given
// when key is not the last of its leaf.
FSBUFF *findnextkeybuff(FSDATA *fsdata, std::int16_t len, const std::uint8_t *key,
                        std::int16_t dupkeys, FUNC cmpfunc, KeyPath *ancestor = nullptr,
                        const KeyHint *hint = nullptr);

// Position hints of the key walk (keyhint.cpp).
// True while the file is as it was when the hint was taken.
inline bool hintholds(const FSDATA *fsdata, const KeyHint &hint) {
    return hint.changes == fsdata->changes;
}
// The hint that holds exactly this key (len bytes and the rid behind them), or null.
inline KeyHint *findhint(FSDATA *fsdata, std::int16_t len, const std::uint8_t *key) {
    for (KeyHint &h : fsdata->hints) {
        if (hintholds(fsdata, h) && h.keylen == len && h.key[len - 1] == key[len - 1] &&
            samesmall(h.key, key, static_cast<std::size_t>(len) + 4)) {
            return &h;
        }
    }
    return nullptr;
}
// The child a descent takes in block blk at level, by the hint; 0 when the hint can't say.
inline std::uint32_t hintedchild(const FSDATA *fsdata, const KeyHint *hint, int level,
                                 std::uint32_t blk) {
    if (hint == nullptr || !hintholds(fsdata, *hint) || level >= hint->levels || level < 1 ||
        hint->path[level] != blk) {
        return 0;
    }
    return hint->path[level - 1];
}
// True when leaf is the hint's leaf and the hint holds: its entry offsets may be used.
inline bool hintedentry(const FSDATA *fsdata, const KeyHint *hint, const FSBUFF *leaf) {
    return hint != nullptr && hintholds(fsdata, *hint) && leaf->blk == hint->path[0];
}
// The hint's leaf without a descent, when the descent's reads would all be hits that leave
// the buffers' order unchanged (they are counted as hits); fills ancestor. Else null.
FSBUFF *hintedleaf(FSDATA *fsdata, const KeyHint &hint, KeyPath &ancestor);
// The index of the entry at off among the leaf's entries (by the offsets its check found),
// or -1 when they are not at hand.
int entryindex(const FSBUFF *leaf, int off);
// Remembers that a lookup returned the entry at off of leaf, reached by a descent from the
// root through ancestor, in hint (null: a slot of its own).
void sethint(FSDATA *fsdata, KeyHint *hint, const KeyPath &ancestor, const FSBUFF *leaf, int off);
inline void drophint(KeyHint *hint) {
    if (hint != nullptr) hint->changes = 0;
}
// From the parent (firstblk) of a leaf holding no key less than key, the leaf holding the
// greatest key less than key; null when there is none or on failure.
FSBUFF *findlastkeybuff(FSDATA *fsdata, std::int16_t len, const std::uint8_t *key,
                        std::int16_t dupkeys, FUNC cmpfunc, KeyPath &ancestor,
                        std::uint32_t firstblk);

// One update of the tree. Write failures (only a failed periodic flush can make writeblk
// fail for a block the operation holds) do not stop the in-memory work, which is completed
// so that the tree stays whole; they make the operation's result 0.
struct KeyOp {
    FSDATA *fs;
    bool writefailed = false;
    // Marks blk written; on failure records code (0: none) and remembers the failure.
    void written(std::uint32_t blk, std::int16_t code);
};

// An entry to place at some level: a key with its rid and, for a separator, its child.
struct NewEntry {
    KeyCopy key;
    std::uint32_t child = 0;
};

// A split cascade, planned before anything changes. The entry goes into the block at level
// `base`; every level from base up to top - 1 splits once (its left part moving to a new
// block) and sends one separator to the level above; the block at `top` has room for it, or
// is a new root. The split points are chosen so that every block that receives an entry has
// room for it, so no level ever splits twice.
struct SplitStep {
    std::uint32_t blk = 0;      // the block at this level
    int skip = -1;              // base level: offset of an entry the operation replaces
    int splitat = 0;            // leaf: entries moving left; inner: index of the middle entry
    bool entryleft = false;     // the entry placed at this level goes to the new block
    std::uint32_t newblk = 0;   // the new (left) block
    KeyCopy up;                 // separator of the new block, placed one level up
    std::uint32_t upchild = 0;  // inner: the middle entry's child, the new block's xtrablk
};
struct Cascade {
    int base = 0;
    int top = 0;
    bool newroot = false;
    std::uint32_t rootblk = 0;
    SplitStep step[kMaxLevels];
};

// Index of the first of the count entries at offs not less than key (count when none is), by
// the rules of key's index; *result the comparison there (-1 without entries). The entries
// are taken one by one, so that in a block out of order the entry goes where it always has.
int placingposition(const KB &kb, const std::int16_t *offs, int count, const KeyCopy &key,
                    const KeyRules &rules, std::int16_t *result);

// Plans placing `entry` into path[base] (whose entry at offset skip, if any, it replaces).
// Refuses an entry equal to a stored one, a damaged block, and a root split that would need
// a level above the highest. Nothing changes.
bool plancascade(KeyOp &op, const KeyPath &path, int base, const NewEntry &entry, int skip,
                 Cascade *cascade);
// Takes the new blocks the plan needs; on failure gives back those taken.
bool allocatecascade(KeyOp &op, Cascade *cascade);
// Carries the plan out from the top down: each step splits one block and links its new half
// into the level above, so the tree is whole between steps. False when a block could not be
// read again; the entry is then not placed and unused new blocks are given back.
bool applycascade(KeyOp &op, const Cascade &cascade, const NewEntry &entry);

// Inserts a leaf entry; 0 when an equal key is stored or the block lacks room.
std::int16_t addl0key(KB &kb, std::int16_t len, const std::uint8_t *key, std::int16_t dupkeys,
                      FUNC cmpfunc);
// The same on a buffer whose check still holds (checkedoffsets): placed by the check's
// offsets, which then take in the new entry. Otherwise as addl0key on its image.
std::int16_t addl0key(FSBUFF *b, std::int16_t len, const std::uint8_t *key, std::int16_t dupkeys,
                      FUNC cmpfunc);
// Inserts a separator (key with rid, child blk) by its own rules; 0 when its index is
// undefined, an equal separator is stored or the block lacks room.
std::int16_t addparentkey(FSDATA *fsdata, KB &kb, std::int16_t keylen, std::uint32_t blk,
                          const std::uint8_t *key);
// Removes the entry at off.
void removeentry(KB &kb, int off);

// Takes a block for the tree from free chain 0 (or appends one) and makes it an empty key
// block at level; it is marked written at once so that it never exists only in a buffer.
// 0 on failure.
std::uint32_t newkeyblock(FSDATA *fsdata, std::int8_t level);
// Gives a key block back to free chain 0 as an empty data block. 1 or 0.
std::int16_t freekeyblock(FSDATA *fsdata, std::uint32_t blk);

}  // namespace vorn
