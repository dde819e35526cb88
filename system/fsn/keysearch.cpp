// Key search: the in-block searches, the three descents and the five lookups. Nothing here
// changes the file. Bytes from the file are checked before they are used: every block on the
// way must be a well-formed key block one level below its parent, and every child number
// must name a block that can hold keys.
#include "keysearch.h"

#include <vorn/errors.h>

#include <algorithm>
#include <cstring>
#include <type_traits>

#include "keytree.h"
#include "smallcopy.h"

namespace vorn {
namespace {

// The key buffer of the calling thread: the server builds keys on many threads at once.
thread_local std::uint8_t newkey[kKeyBuffer];

bool validkeylen(std::int16_t len) {
    return len >= 1 && len <= kMaxKeyLen;
}

// The rules of a search key, or false (the lookup then finds nothing, silently).
bool searchrules(const FSDATA *fsdata, std::int16_t len, const std::uint8_t *key, KeyRules *rules) {
    return key != nullptr && validkeylen(len) && fsdata->fscb.rootkb != 0 &&
           keyrules(fsdata, key[0], rules);
}

// Copies the entry at off out to the caller: value to key, its length to foundlen; its rid
// is the result.
std::uint32_t copyout(const KB &kb, int off, void *key, std::int16_t *foundlen) {
    const int n = entrylen(kb, off);
    if (key != nullptr) copysmall(key, entrykey(kb, off) + 1, static_cast<std::size_t>(n - 1));
    if (foundlen != nullptr) *foundlen = static_cast<std::int16_t>(n - 1);
    return entryrid(kb, off);
}

std::uint32_t notfound(std::int16_t *foundlen) {
    if (foundlen != nullptr) *foundlen = 0;
    return 0;
}

// A child number read from an inner block: the entry's child or, past the last entry,
// xtrablk.
std::uint32_t childat(const KB &kb, int off) {
    return off < usedof(kb) ? entrychild(kb, off) : kb.xtrablk;
}

// A walk that enters a leaf through the separator at off of its parent leaves it, some
// dozens of steps later, for the leaf of the next separator: the file is asked to have that
// block at hand by then.
void prefetchnextleaf(FSDATA *fsdata, const KB &parent, int off) {
    const int next = off + entrysize(parent.level, entrylen(parent, off));
    const std::uint32_t blk = childat(parent, next);
    if (treeblockno(fsdata, blk)) {
        fsdata->fsp->prefetch(static_cast<std::uint64_t>(blk) << kBlockShift);
    }
}

}  // namespace

std::uint8_t *bldkey(std::uint8_t fid, std::uint32_t rid, std::int16_t len, const void *key) {
    const int n = std::clamp<int>(len, 0, kMaxKeyValue);
    newkey[0] = fid;
    if (n > 0) std::memcpy(newkey + 1, key, static_cast<std::size_t>(n));
    std::memcpy(newkey + 1 + n, &rid, sizeof rid);
    return newkey;
}

bool treeblockno(const FSDATA *fsdata, std::uint32_t blk) {
    const std::uint32_t freq = xblkfreqof(fsdata);
    return blk >= 2 && blk <= fsdata->fscb.lb && (blk - 1) % freq != 0;
}

namespace {

// The header part of validkb.
bool validkbheader(const KB &kb) {
    return kb.type == 1 && kb.len >= kKbHeader && kb.len <= static_cast<int>(kBlockSize) &&
           kb.level >= 0 && kb.level <= kMaxLevel;
}

}  // namespace

bool validkb(const KB &kb, std::int16_t *offs, std::int16_t *found) {
    if (!validkbheader(kb)) return false;
    const int end = usedof(kb), extra = extraof(kb.level);
    int off = 0, count = 0;
    while (off < end) {
        if (off + 2 > end) return false;
        const int n = entrylen(kb, off);
        if (n < 1 || n > kMaxKeyLen || off + n + extra > end) return false;
        // Every entry takes at least 7 of the 1010 bytes: at most 144 of them get here.
        if (offs != nullptr) offs[count] = static_cast<std::int16_t>(off);
        off += n + extra;
        ++count;
    }
    if (offs != nullptr) offs[count] = static_cast<std::int16_t>(end);
    if (found != nullptr) *found = static_cast<std::int16_t>(count);
    return count == kb.numkeys;
}

FSBUFF *readtreeblock(FSDATA *fsdata, std::uint32_t blk, int level, TreeRead *why) {
    *why = TreeRead::Unreadable;
    if (blk == 0) {
        *why = TreeRead::ZeroChild;
        return nullptr;
    }
    if (!treeblockno(fsdata, blk)) return nullptr;
    prefetchchecked(fsdata, blk);
    FSBUFF *b = readblk(fsdata, blk);
    if (b == nullptr) return nullptr;
    // A pinned buffer is held by the running operation, which checked it when it took it and
    // has changed it only in ways that keep it well-formed. So has every change the engine
    // makes: an image checked once keeps its entries walkable until it is read anew or
    // marked changed (the header, which other parts of the engine rewrite, is checked
    // every time).
    if (b->pins == 0) {
        if (b->kbchecked != 0 || recallchecked(fsdata, b)) {
            if (!validkbheader(b->kbuff)) return nullptr;
        } else {
            if (!validkb(b->kbuff, b->koffs, &b->kcount)) return nullptr;
            rememberchecked(fsdata, b);
        }
        b->kbchecked = 1;
    }
    if (level >= 0 && b->kbuff.level != level) return nullptr;
    *why = TreeRead::Ok;
    return b;
}

namespace {

// The bisection of locatekey over the offsets of the block's count entries, with `compare`
// (a FUNC or ByteRule).
template <typename Compare>
int bisectwith(const KB &kb, const std::int16_t *at, int count, std::int16_t len,
               const std::uint8_t *key, std::int16_t dupkeys, std::int16_t *result,
               Compare cmpfunc) {
    const int end = usedof(kb), koff = keyoffsetof(kb.level);
    auto compare = [&](int i) {
        const int n = entrylen(kb, at[i]);
        return cmpfunc(key, kb.buff + at[i] + koff,
                       static_cast<std::int16_t>(std::min<int>(len, n)), dupkeys, len,
                       static_cast<std::int16_t>(n));
    };
    // Byte-string keys of eight bytes or more mostly differ within their first eight: those
    // compared as one number, a step decides without a branch on the bytes. Equal words, or
    // shorter keys, take the whole rule, which agrees with the numbers where they differ.
    constexpr bool bytestrings = std::is_same_v<Compare, ByteRule>;
    const bool byword = bytestrings && len >= 8;
    const std::uint64_t keyword = byword ? orderword(key) : 0;
    // 1 or -1 when the words decided, else the whole rule's comparison.
    auto comparison = [&](int i) -> std::int16_t {
        if (byword && entrylen(kb, at[i]) >= 8) {
            const std::uint64_t word = orderword(kb.buff + at[i] + koff);
            if (word != keyword) return keyword > word ? 1 : -1;
        }
        return compare(i);
    };
    // The first entry the key is not after; the steps are taken without branches, so the
    // processor has none to guess. The comparison that last moved each end is kept: it is
    // the result.
    int lo = 0, hi = count;
    std::int16_t atlo = -1, athi = -1;
    while (lo < hi) {
        const int mid = lo + (hi - lo) / 2;
        const std::int16_t c = comparison(mid);
        const bool right = c > 0;
        lo = right ? mid + 1 : lo;
        atlo = right ? c : atlo;
        hi = right ? hi : mid;
        athi = right ? athi : c;
    }
    if (lo < count) {
        *result = athi;
        return at[lo];
    }
    // Every entry is less: the last comparison, as a search stepping through, is with the
    // last entry (-1 without entries).
    *result = atlo;
    return end;
}

int bisect(const KB &kb, const std::int16_t *at, int count, std::int16_t len,
           const std::uint8_t *key, std::int16_t dupkeys, std::int16_t *result, FUNC cmpfunc) {
    // Called directly rather than through withcompare: no frame of captured references
    // between the lookup and its loop.
    if (isbyterule(cmpfunc)) {
        return bisectwith(kb, at, count, len, key, dupkeys, result, ByteRule{});
    }
    return bisectwith(kb, at, count, len, key, dupkeys, result, cmpfunc);
}

}  // namespace

int locatekey(const KB &kb, std::int16_t len, const std::uint8_t *key, std::int16_t dupkeys,
              std::int16_t *result, FUNC cmpfunc) {
    const int end = usedof(kb), extra = extraof(kb.level);
    // The entries are in ascending order, so the comparisons with them fall from positive to
    // zero or negative: the first one not positive is found by bisection over the entries'
    // offsets. (In a damaged block out of order this finds some entry, never a wrong offset.)
    std::int16_t at[kMaxEntries];
    int count = 0;
    for (int off = 0; off < end && count < kMaxEntries; off += entrylen(kb, off) + extra) {
        at[count++] = static_cast<std::int16_t>(off);
    }
    return bisect(kb, at, count, len, key, dupkeys, result, cmpfunc);
}

int locatekeyin(const KB &kb, const std::int16_t *offs, int count, std::int16_t len,
                const std::uint8_t *key, std::int16_t dupkeys, std::int16_t *result, FUNC cmpfunc) {
    return bisect(kb, offs, count, len, key, dupkeys, result, cmpfunc);
}

int locatekey(const FSBUFF *b, std::int16_t len, const std::uint8_t *key, std::int16_t dupkeys,
              std::int16_t *result, FUNC cmpfunc) {
    const KB &kb = b->kbuff;
    // The offsets the check found serve while the image is as checked; its header, which
    // says where the entries end, is looked at again.
    if (b->kbchecked != 0 && b->pins == 0 && b->kcount == kb.numkeys && b->kcount < kMaxEntries &&
        b->koffs[b->kcount] == usedof(kb)) {
        return bisect(kb, b->koffs, b->kcount, len, key, dupkeys, result, cmpfunc);
    }
    return locatekey(kb, len, key, dupkeys, result, cmpfunc);
}

int locatelastkey(const KB &kb, std::int16_t len, const std::uint8_t *key, std::uint32_t *lastblk,
                  std::int16_t dupkeys, std::int16_t *result, FUNC cmpfunc) {
    const int end = usedof(kb), extra = extraof(kb.level), koff = keyoffsetof(kb.level);
    *result = 1;
    int off = 0, prev = -1;
    while (off < end) {
        const int n = entrylen(kb, off);
        *result =
            cmpfunc(key, kb.buff + off + koff, static_cast<std::int16_t>(std::min<int>(len, n)),
                    dupkeys, len, static_cast<std::int16_t>(n));
        if (*result <= 0) break;
        prev = off;
        off += n + extra;
    }
    if (off < end) {  // stopped at an entry not less than key
        if (prev < 0) return -1;
        *result = cmpfunc(key, kb.buff + prev + koff, 1, 0, 1, 1);
        return prev;
    }
    if (prev < 0) return -1;  // no entries at all
    if (kb.level <= 0) {
        *result = cmpfunc(key, kb.buff + prev + koff, 1, 0, 1, 1);
        return prev;
    }
    *lastblk = entrychild(kb, prev);
    return end;
}

FSBUFF *findkeybuff(FSDATA *fsdata, std::int16_t len, const std::uint8_t *key, std::int16_t dupkeys,
                    FUNC cmpfunc, KeyPath &ancestor, std::uint32_t startblk, const KeyHint *hint) {
    TreeRead why;
    FSBUFF *b = readtreeblock(fsdata, startblk, -1, &why);
    if (b == nullptr) {
        dberror(fsdata, kDbKeyPathRead, nullptr, nullptr);
        return nullptr;
    }
    while (b->kbuff.level > 0) {
        const KB &kb = b->kbuff;
        const int level = kb.level;
        ancestor[static_cast<std::size_t>(level)] = b->blk;
        std::uint32_t child = hintedchild(fsdata, hint, level, b->blk);
        if (child == 0) {
            std::int16_t result;
            child = childat(kb, locatekey(b, len, key, dupkeys, &result, cmpfunc));
            // A leaf sought at random is seldom in a buffer: the file is asked for it before
            // the buffers are searched.
            if (level == 1 && treeblockno(fsdata, child)) {
                fsdata->fsp->prefetch(static_cast<std::uint64_t>(child) << kBlockShift);
            }
        }
        b = readtreeblock(fsdata, child, level - 1, &why);
        if (b == nullptr) {
            dberror(fsdata, why == TreeRead::ZeroChild ? kDbKeyZeroChild : kDbKeyChildRead, nullptr,
                    nullptr);
            return nullptr;
        }
    }
    return b;
}

FSBUFF *findnextkeybuff(FSDATA *fsdata, std::int16_t len, const std::uint8_t *key,
                        std::int16_t dupkeys, FUNC cmpfunc, KeyPath *ancestor,
                        const KeyHint *hint) {
    const std::uint32_t root = fsdata->fscb.rootkb;
    if (root == 0) return nullptr;
    TreeRead why;
    FSBUFF *b = readtreeblock(fsdata, root, -1, &why);
    if (b == nullptr) {
        dberror(fsdata, kDbKeyRootRead, nullptr, "findnextkeybuff - reading root key block %lu\r\n",
                static_cast<unsigned long>(root));
        return nullptr;
    }
    while (b->kbuff.level > 0) {
        const KB &kb = b->kbuff;
        const int level = kb.level;
        if (ancestor != nullptr) (*ancestor)[static_cast<std::size_t>(level)] = b->blk;
        std::uint32_t child = hintedchild(fsdata, hint, level, b->blk);
        if (child == 0) {
            std::int16_t result;
            int off = locatekey(b, len, key, dupkeys, &result, cmpfunc);
            // The key equals this separator: it is the greatest key of that child, so the
            // next key lies in the child to the right.
            if (result == 0 && off < usedof(kb)) off += entrysize(level, entrylen(kb, off));
            child = childat(kb, off);
            if (level == 1 && off < usedof(kb)) prefetchnextleaf(fsdata, kb, off);
        }
        b = readtreeblock(fsdata, child, level - 1, &why);
        if (b == nullptr) {
            if (why == TreeRead::ZeroChild) {
                dberror(fsdata, kDbKeyNextZeroChild, nullptr, nullptr);
            } else {
                dberror(fsdata, kDbKeyNextRead, nullptr, "findnextkeybuff - reading block %lu\r\n",
                        static_cast<unsigned long>(child));
            }
            return nullptr;
        }
    }
    return b;
}

FSBUFF *findlastkeybuff(FSDATA *fsdata, std::int16_t len, const std::uint8_t *key,
                        std::int16_t dupkeys, FUNC cmpfunc, KeyPath &ancestor,
                        std::uint32_t firstblk) {
    TreeRead why;
    FSBUFF *b = readtreeblock(fsdata, firstblk, 1, &why);
    if (b == nullptr) {
        dberror(fsdata, kDbKeyLastRead, nullptr, "findlastkeybuff - reading block %lu\r\n",
                static_cast<unsigned long>(firstblk));
        return nullptr;
    }
    // Each step climbs one level along the path or descends one level; in a consistent tree
    // the walk climbs at most to the root and descends back, so a longer walk means damage.
    for (int steps = 0; b->kbuff.level > 0; ++steps) {
        if (steps > 2 * kMaxLevels) return nullptr;
        const KB &kb = b->kbuff;
        const int level = kb.level;
        std::uint32_t lastblk = 0;
        std::int16_t result = 1;
        int p;
        if (kb.numkeys > 0) {
            p = locatelastkey(kb, len, key, &lastblk, dupkeys, &result, cmpfunc);
        } else {
            lastblk = ancestor[static_cast<std::size_t>(level + 1)];
            p = usedof(kb);
        }
        std::uint32_t next;
        int nextlevel = level - 1;
        if (p == usedof(kb)) {
            if (ancestor[static_cast<std::size_t>(level - 1)] == kb.xtrablk) {
                next = lastblk;  // came up from the rightmost child: take its left neighbour
                if (kb.numkeys == 0) nextlevel = level + 1;
            } else {
                next = kb.xtrablk;  // a subtree wholly before the key: its rightmost leaf
            }
        } else if (p < 0) {
            next = ancestor[static_cast<std::size_t>(level + 1)];  // climb
            nextlevel = level + 1;
        } else {
            if (result != 0) return nullptr;  // the separator belongs to an earlier index
            next = entrychild(kb, p);
        }
        if (next == 0 || nextlevel > kMaxLevel) return nullptr;
        b = readtreeblock(fsdata, next, nextlevel, &why);
        if (b == nullptr) {
            dberror(fsdata, kDbKeyLastDescend, nullptr, "findlastkeybuff - reading block %lu\r\n",
                    static_cast<unsigned long>(next));
            return nullptr;
        }
    }
    return b;
}

std::uint32_t firstkey(FSDATA *fsdata, std::uint8_t fid, void *key, std::int16_t *foundlen) {
    if (key != nullptr) static_cast<std::uint8_t *>(key)[0] = fid;
    const std::uint8_t search[5] = {fid, 0, 0, 0, 0};
    KeyRules rules;
    if (!searchrules(fsdata, 1, search, &rules)) return notfound(foundlen);
    KeyPath ancestor{};
    FSBUFF *leaf = findkeybuff(fsdata, 1, search, 0, rules.cmp, ancestor, fsdata->fscb.rootkb);
    if (leaf == nullptr) return notfound(foundlen);
    std::int16_t result;
    const int off = locatekey(leaf, 1, search, 0, &result, rules.cmp);
    if (result != 0 || off >= usedof(leaf->kbuff)) return notfound(foundlen);
    sethint(fsdata, nullptr, ancestor, leaf, off);
    return copyout(leaf->kbuff, off, key, foundlen);
}

std::uint32_t findkey(FSDATA *fsdata, std::int16_t len, const std::uint8_t *newkey, void *key,
                      std::int16_t *foundlen) {
    KeyRules rules;
    if (!searchrules(fsdata, len, newkey, &rules)) return notfound(foundlen);
    // Equal values match whatever their rid: the leftmost key of the value is found.
    KeyPath ancestor{};
    FSBUFF *leaf = findkeybuff(fsdata, len, newkey, 0, rules.cmp, ancestor, fsdata->fscb.rootkb);
    if (leaf == nullptr) return notfound(foundlen);
    std::int16_t result;
    const int off = locatekey(leaf, len, newkey, 0, &result, rules.cmp);
    if (result != 0 || off >= usedof(leaf->kbuff)) return notfound(foundlen);
    sethint(fsdata, nullptr, ancestor, leaf, off);
    return copyout(leaf->kbuff, off, key, foundlen);
}

std::uint32_t nextkey(FSDATA *fsdata, std::int16_t len, const std::uint8_t *newkey, void *key,
                      std::int16_t *foundlen) {
    if (newkey == nullptr || !validkeylen(len)) return notfound(foundlen);
    KeyHint *hint = findhint(fsdata, len, newkey);
    // The key after the last one of a leaf lies in another leaf: the hint can't lead there.
    if (hint != nullptr && hint->off + entrysize(0, hint->keylen) >= hint->end) hint = nullptr;
    // The search rules are looked up when a search needs them. A hint holds only for a key
    // that a lookup returned since the file last changed: the rules passed for it then and
    // pass alike now, so a step the hint takes within its leaf needs none.
    KeyRules rules;
    bool ruled = false;
    auto haverules = [&] {
        if (!ruled) ruled = searchrules(fsdata, len, newkey, &rules);
        return ruled;
    };
    if (hint == nullptr && !haverules()) return notfound(foundlen);
    KeyPath ancestor{};
    FSBUFF *leaf = hint != nullptr ? hintedleaf(fsdata, *hint, ancestor) : nullptr;
    if (leaf == nullptr) {
        if (!haverules()) return notfound(foundlen);
        leaf = findnextkeybuff(fsdata, len, newkey, rules.dupkeys, rules.cmp, &ancestor, hint);
    }
    if (leaf == nullptr) return notfound(foundlen);
    const KB &kb = leaf->kbuff;
    int off;
    if (hintedentry(fsdata, hint, leaf)) {
        // The key is at hint->off, so the search finds the entry after it.
        off = hint->off + entrysize(0, hint->keylen);
    } else {
        if (!haverules()) return notfound(foundlen);
        std::int16_t result;
        off = locatekey(leaf, len, newkey, rules.dupkeys, &result, rules.cmp);
        if (result == 0 && off < usedof(kb)) off += entrysize(0, entrylen(kb, off));
    }
    if (off >= usedof(kb) || entrykey(kb, off)[0] != newkey[0]) return notfound(foundlen);
    sethint(fsdata, hint, ancestor, leaf, off);
    return copyout(kb, off, key, foundlen);
}

namespace {

// The walk shared by prevkey and lastkey: the greatest key less than the search key, in the
// same index.
std::uint32_t previouskey(FSDATA *fsdata, std::int16_t len, const std::uint8_t *search, void *key,
                          std::int16_t *foundlen) {
    KeyRules rules;
    if (!searchrules(fsdata, len, search, &rules)) return notfound(foundlen);
    KeyHint *hint = findhint(fsdata, len, search);
    KeyPath ancestor{};
    FSBUFF *leaf = hint != nullptr ? hintedleaf(fsdata, *hint, ancestor) : nullptr;
    if (leaf == nullptr) {
        leaf = findkeybuff(fsdata, len, search, rules.dupkeys, rules.cmp, ancestor,
                           fsdata->fscb.rootkb, hint);
    }
    if (leaf == nullptr) return notfound(foundlen);
    ancestor[0] = leaf->blk;
    std::uint32_t lastblk = 0;
    std::int16_t result;
    int off;
    if (hintedentry(fsdata, hint, leaf) &&
        (hint->off == 0 || (hint->at > 0 && entryindex(leaf, hint->off) == hint->at))) {
        // The key is at hint->off: the search finds the entry before it, if any, and compares
        // its index with the key's.
        off = hint->off > 0 ? leaf->koffs[hint->at - 1] : -1;
        result = off >= 0 ? rules.cmp(search, entrykey(leaf->kbuff, off), 1, 0, 1, 1) : -1;
    } else {
        off = locatelastkey(leaf->kbuff, len, search, &lastblk, rules.dupkeys, &result, rules.cmp);
    }
    if (off < 0) {
        drophint(hint);  // the key found lies in another leaf, not reached from the root
        // No key of this leaf is less: the one sought is the last of the leaf to the left.
        if (ancestor[1] == 0) return notfound(foundlen);
        leaf =
            findlastkeybuff(fsdata, len, search, rules.dupkeys, rules.cmp, ancestor, ancestor[1]);
        if (leaf == nullptr || leaf->kbuff.level != 0) return notfound(foundlen);
        off = locatelastkey(leaf->kbuff, len, search, &lastblk, rules.dupkeys, &result, rules.cmp);
        if (off < 0) return notfound(foundlen);  // an empty leaf: only damage makes one
    }
    if (result != 0) return notfound(foundlen);  // the key before belongs to an earlier index
    if (leaf->blk == ancestor[0]) sethint(fsdata, hint, ancestor, leaf, off);
    return copyout(leaf->kbuff, off, key, foundlen);
}

}  // namespace

std::uint32_t prevkey(FSDATA *fsdata, std::int16_t len, const std::uint8_t *newkey, void *key,
                      std::int16_t *foundlen) {
    return previouskey(fsdata, len, newkey, key, foundlen);
}

std::uint32_t lastkey(FSDATA *fsdata, std::int16_t len, const std::uint8_t *newkey, void *key,
                      std::int16_t *foundlen) {
    if (newkey == nullptr || !validkeylen(len)) return notfound(foundlen);
    // The search key carries rid 0, so that with duplicates every key of an equal value
    // sorts after it.
    KeyCopy search;
    std::memcpy(search.bytes, newkey, static_cast<std::size_t>(len));
    std::memset(search.bytes + len, 0, 4);
    return previouskey(fsdata, len, search.bytes, key, foundlen);
}

}  // namespace vorn
