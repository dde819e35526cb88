// The key walk's position hints. A walk calls nextkey or prevkey with the key the last call
// returned; a search from the root would descend to the leaf that holds that key again. The
// hint remembers that leaf, the blocks above it and where the key sits, so that the step is
// taken there. It is only a shortcut: it is used only while the file's change counter is
// unchanged and for exactly the key (bytes, length and rid) that it holds, and the lookups
// still read the same blocks in the same order as a search from the root, so the buffers'
// recency order, and with it every later write, stays as it would have been.
#include <algorithm>
#include <cstring>

#include "keytree.h"
#include "smallcopy.h"

namespace vorn {

FSBUFF *hintedleaf(FSDATA *fsdata, const KeyHint &hint, KeyPath &ancestor) {
    // The descent would read the root, each block below it and the leaf, in that order. When
    // these are the most recently used buffers in that order already, every read would be a
    // hit that leaves the order as it is: the descent can be skipped.
    const int last = fsdata->nbuffs - 1;
    if (!hintholds(fsdata, hint) || hint.levels < 1 || hint.levels > fsdata->nbuffs ||
        hint.path[hint.levels - 1] != fsdata->fscb.rootkb) {
        return nullptr;
    }
    for (int level = 0; level < hint.levels; ++level) {
        if (fsdata->held[fsdata->seq[last - level]] != hint.path[level]) return nullptr;
    }
    stats.hits.store(
        stats.hits.load(std::memory_order_relaxed) + static_cast<std::uint32_t>(hint.levels),
        std::memory_order_relaxed);
    for (int level = 1; level < hint.levels; ++level) {
        ancestor[static_cast<std::size_t>(level)] = hint.path[level];
    }
    return &fsdata->buff[fsdata->seq[last]];
}

int entryindex(const FSBUFF *leaf, int off) {
    const KB &kb = leaf->kbuff;
    if (leaf->kbchecked == 0 || leaf->kcount != kb.numkeys ||
        leaf->koffs[leaf->kcount] != usedof(kb)) {
        return -1;
    }
    const std::int16_t *first = leaf->koffs, *last = leaf->koffs + leaf->kcount;
    const std::int16_t *at = std::lower_bound(first, last, off);
    return at != last && *at == off ? static_cast<int>(at - first) : -1;
}

void sethint(FSDATA *fsdata, KeyHint *hint, const KeyPath &ancestor, const FSBUFF *leaf, int off) {
    if (hint == nullptr) {
        hint = &fsdata->hints[fsdata->nexthint];
        fsdata->nexthint = (fsdata->nexthint + 1) % kKeyHints;
    }
    const KB &kb = leaf->kbuff;
    const bool sameleaf = hintedentry(fsdata, hint, leaf);
    if (!sameleaf) {
        hint->changes = 0;
        int levels = 1;
        hint->path[0] = leaf->blk;
        while (levels < kMaxLevels && ancestor[static_cast<std::size_t>(levels)] != 0) {
            hint->path[levels] = ancestor[static_cast<std::size_t>(levels)];
            ++levels;
        }
        if (hint->path[levels - 1] != fsdata->fscb.rootkb) return;  // not a straight descent
        hint->levels = static_cast<std::int16_t>(levels);
        hint->end = static_cast<std::int16_t>(usedof(kb));
        hint->at = static_cast<std::int16_t>(entryindex(leaf, off));
    } else if (hint->at >= 0) {
        // A step within the leaf: mostly to a neighbour.
        const int at = hint->at;
        if (at + 1 < leaf->kcount && leaf->koffs[at + 1] == off) {
            hint->at = static_cast<std::int16_t>(at + 1);
        } else if (at > 0 && leaf->koffs[at - 1] == off) {
            hint->at = static_cast<std::int16_t>(at - 1);
        } else {
            hint->at = static_cast<std::int16_t>(entryindex(leaf, off));
        }
    }
    hint->off = static_cast<std::int16_t>(off);
    hint->keylen = static_cast<std::int16_t>(entrylen(kb, off));
    copysmall(hint->key, entrykey(kb, off), static_cast<std::size_t>(hint->keylen) + 4);
    hint->changes = fsdata->changes;
}

}  // namespace vorn
