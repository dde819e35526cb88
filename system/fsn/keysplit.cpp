// Placing an entry into the key tree: the in-block inserts, and the split cascade that makes
// room for them. A full block splits by entry count, its left part moving to a new block; when
// the count-based point would leave the half that receives the entry without room (keys of
// very different lengths), the nearest point that gives room is taken instead, so a block
// never holds more than 1024 bytes and no level splits twice.
#include <vorn/errors.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <type_traits>

#include "keytree.h"

namespace vorn {
namespace {

// Offsets and sizes of a block's entries, without the one at `skip`.
struct EntryTable {
    static constexpr int kMax = kKbRoom / (1 + kLeafExtra) + 1;
    int count = 0;
    int used = 0;
    std::int16_t off[kMax];
    std::int16_t size[kMax];
};

void tableof(const KB &kb, int skip, EntryTable *t) {
    const int end = usedof(kb);
    for (int off = 0; off < end;) {
        const int size = entrysize(kb.level, entrylen(kb, off));
        if (off != skip) {
            t->off[t->count] = static_cast<std::int16_t>(off);
            t->size[t->count] = static_cast<std::int16_t>(size);
            ++t->count;
            t->used += size;
        }
        off += size;
    }
}

// Index of the first entry not less than the new entry among the count entries at offs;
// *result the comparison there. The entries are taken one by one, so that a damaged block out
// of order places the entry where it always has. With ByteRule and a key of eight bytes or
// more, an entry of eight bytes or more whose first eight sort below the key's is passed
// without the full comparison: the rule puts the key after it.
template <typename Compare>
int positionwith(const KB &kb, const std::int16_t *offs, int count, const KeyCopy &key,
                 std::int16_t dupkeys, std::int16_t *result, Compare compare) {
    const bool byword = std::is_same_v<Compare, ByteRule> && key.len >= 8;
    const std::uint64_t keyword = byword ? orderword(key.bytes) : 0;
    const int koff = keyoffsetof(kb.level);
    *result = -1;
    for (int i = 0; i < count; ++i) {
        const std::uint8_t *stored = kb.buff + offs[i] + koff;
        const int n = entrylen(kb, offs[i]);
        if (byword && n >= 8 && keyword > orderword(stored)) {
            *result = 1;
            continue;
        }
        *result = compare(key.bytes, stored, static_cast<std::int16_t>(std::min<int>(key.len, n)),
                          dupkeys, key.len, static_cast<std::int16_t>(n));
        if (*result <= 0) return i;
    }
    return count;
}

}  // namespace

int placingposition(const KB &kb, const std::int16_t *offs, int count, const KeyCopy &key,
                    const KeyRules &rules, std::int16_t *result) {
    return withcompare(rules.cmp, [&](auto compare) {
        return positionwith(kb, offs, count, key, rules.dupkeys, result, compare);
    });
}

namespace {

// Whether splitting at `at` leaves room for the new entry (esize bytes at index pos) in the
// half that receives it. Leaf: entries [0, at) move left, the entry goes left when pos < at.
// Inner: entry `at` goes up, [0, at) move left, the entry goes left when pos <= at.
bool splitfits(bool leaf, const EntryTable &t, int at, int pos, int esize) {
    int left = 0;
    for (int i = 0; i < at; ++i) left += t.size[i];
    int right = t.used - left - (leaf ? 0 : t.size[at]);
    const bool goesleft = leaf ? pos < at : pos <= at;
    (goesleft ? left : right) += esize;
    return left <= kKbRoom && right <= kKbRoom;
}

// The split point: by count when that leaves room, else the nearest one that does; -1 when
// none does (a leaf needs two entries to split).
int choosesplit(bool leaf, const EntryTable &t, int pos, int esize) {
    const int m = t.count;
    const int lo = leaf ? 1 : 0, hi = m - 1;
    const int preferred = leaf ? (m + 1) / 2 : m / 2;
    for (int d = 0; d <= m; ++d) {
        for (int at : {preferred - d, preferred + d}) {
            if (at >= lo && at <= hi && splitfits(leaf, t, at, pos, esize)) return at;
        }
    }
    return -1;
}

DbError parentcode(int level) {
    return level <= 1 ? kDbKeyParentRead : kDbKeyUpperRead;
}

// Inserts entry bytes at off, moving the rest up.
void insertbytes(KB &kb, int off, const std::uint8_t *bytes, int size) {
    std::memmove(kb.buff + off + size, kb.buff + off, static_cast<std::size_t>(usedof(kb) - off));
    std::memcpy(kb.buff + off, bytes, static_cast<std::size_t>(size));
    kb.len = static_cast<std::int16_t>(kb.len + size);
    kb.numkeys = static_cast<std::int16_t>(kb.numkeys + 1);
}

void initkeyblock(KB &kb, int level) {
    kb.ancestor = 0;
    kb.len = kKbHeader;
    kb.numkeys = 0;
    kb.type = 1;
    kb.level = static_cast<std::int8_t>(level);
    kb.xtrablk = 0;
}

int offsetofentry(const KB &kb, int index) {
    int off = 0;
    for (int i = 0; i < index; ++i) off += entrysize(kb.level, entrylen(kb, off));
    return off;
}

// Moves the left part of `old` into the empty block `left`. Leaf: the first `at` entries.
// Inner: the first `at` entries, and the middle entry's child becomes left's xtrablk (the
// middle key itself goes up). The old block keeps its number, its place and its xtrablk.
void splitblock(KB &old, KB &left, int at, std::uint32_t upchild) {
    const int leftbytes = offsetofentry(old, at);
    int cut = leftbytes;
    if (old.level > 0) {
        cut += entrysize(old.level, entrylen(old, leftbytes));
        left.xtrablk = upchild;
    }
    std::memcpy(left.buff, old.buff, static_cast<std::size_t>(leftbytes));
    left.len = static_cast<std::int16_t>(kKbHeader + leftbytes);
    left.numkeys = static_cast<std::int16_t>(at);
    const int rest = usedof(old) - cut;
    std::memmove(old.buff, old.buff + cut, static_cast<std::size_t>(rest));
    old.len = static_cast<std::int16_t>(kKbHeader + rest);
    old.numkeys = static_cast<std::int16_t>(old.numkeys - at - (old.level > 0 ? 1 : 0));
}

}  // namespace

void KeyOp::written(std::uint32_t blk, std::int16_t code) {
    if (writeblk(fs, blk) != 0) return;
    if (code != 0) dberror(fs, code, nullptr, nullptr);
    writefailed = true;
}

void removeentry(KB &kb, int off) {
    const int size = entrysize(kb.level, entrylen(kb, off));
    std::memmove(kb.buff + off, kb.buff + off + size,
                 static_cast<std::size_t>(usedof(kb) - off - size));
    kb.len = static_cast<std::int16_t>(kb.len - size);
    kb.numkeys = static_cast<std::int16_t>(kb.numkeys - 1);
}

std::int16_t addl0key(KB &kb, std::int16_t len, const std::uint8_t *key, std::int16_t dupkeys,
                      FUNC cmpfunc) {
    std::int16_t result;
    const int off = locatekey(kb, len, key, dupkeys, &result, cmpfunc);
    if (result == 0 || kb.len + len + kLeafExtra > static_cast<int>(kBlockSize)) return 0;
    std::uint8_t entry[kLeafExtra + kMaxKeyLen];
    std::memcpy(entry, &len, 2);
    std::memcpy(entry + 2, key, static_cast<std::size_t>(len) + 4);
    insertbytes(kb, off, entry, len + kLeafExtra);
    return 1;
}

namespace {

// Where the key goes among the entries of a buffer whose check holds: the index of the entry
// locatekey finds, and the sign of its comparison in *result.
int leafplace(const FSBUFF *b, std::int16_t len, const std::uint8_t *key, std::int16_t dupkeys,
              FUNC cmpfunc, std::int16_t *result) {
    const int off = locatekeyin(b->kbuff, b->koffs, b->kcount, len, key, dupkeys, result, cmpfunc);
    return static_cast<int>(std::lower_bound(b->koffs, b->koffs + b->kcount, off) - b->koffs);
}

}  // namespace

std::int16_t addl0key(FSBUFF *b, std::int16_t len, const std::uint8_t *key, std::int16_t dupkeys,
                      FUNC cmpfunc) {
    if (!checkedoffsets(b)) return addl0key(b->kbuff, len, key, dupkeys, cmpfunc);
    KB &kb = b->kbuff;
    std::int16_t result;
    const int at = leafplace(b, len, key, dupkeys, cmpfunc, &result);
    if (result == 0 || kb.len + len + kLeafExtra > static_cast<int>(kBlockSize)) return 0;
    const int off = b->koffs[at];
    std::uint8_t entry[kLeafExtra + kMaxKeyLen];
    std::memcpy(entry, &len, 2);
    std::memcpy(entry + 2, key, static_cast<std::size_t>(len) + 4);
    const int size = len + kLeafExtra;
    insertbytes(kb, off, entry, size);
    // The new entry takes its place among the offsets; those after it move up by its size.
    for (int j = b->kcount; j >= at; --j) {
        b->koffs[j + 1] = static_cast<std::int16_t>(b->koffs[j] + size);
    }
    b->koffs[at] = static_cast<std::int16_t>(off);
    ++b->kcount;
    return 1;
}

std::int16_t addparentkey(FSDATA *fsdata, KB &kb, std::int16_t keylen, std::uint32_t blk,
                          const std::uint8_t *key) {
    KeyRules rules;
    if (!keyrules(fsdata, key[0], &rules)) return 0;
    std::int16_t result;
    const int off = locatekey(kb, keylen, key, rules.dupkeys, &result, rules.cmp);
    if (result == 0 || kb.len + keylen + kInnerExtra > static_cast<int>(kBlockSize)) return 0;
    std::uint8_t entry[kInnerExtra + kMaxKeyLen];
    std::memcpy(entry, &keylen, 2);
    std::memcpy(entry + 2, &blk, 4);
    std::memcpy(entry + 6, key, static_cast<std::size_t>(keylen) + 4);
    insertbytes(kb, off, entry, keylen + kInnerExtra);
    return 1;
}

bool plancascade(KeyOp &op, const KeyPath &path, int base, const NewEntry &entry, int skip,
                 Cascade *cascade) {
    cascade->base = base;
    // The key placed at each level: the entry's, then the separator of the split below.
    const KeyCopy *placing = &entry.key;
    for (int level = base; level <= kMaxLevel; ++level) {
        SplitStep &step = cascade->step[level];
        // Each field is set afresh (the separator's bytes when a split copies them in).
        step.splitat = 0;
        step.entryleft = false;
        step.newblk = 0;
        step.up.len = 0;
        step.upchild = 0;
        step.blk = path[static_cast<std::size_t>(level)];
        step.skip = level == base ? skip : -1;
        TreeRead why;
        Held b(readtreeblock(op.fs, step.blk, level, &why));
        KeyRules rules;
        if (!b || !keyrules(op.fs, placing->bytes[0], &rules)) {
            dberror(op.fs, level == 0 ? kDbKeyChildRead : parentcode(level), nullptr, nullptr);
            return false;
        }
        const KB &kb = b.kb();
        // The offsets the block's check found, when they still hold and no entry is replaced,
        // are those of the table; the table, with the entries' sizes, is built only for a
        // split.
        const bool checked = step.skip < 0 && checkedoffsets(b.buffer());
        EntryTable t;
        if (!checked) tableof(kb, step.skip, &t);
        const std::int16_t *offs = checked ? b.buffer()->koffs : t.off;
        const int count = checked ? b.buffer()->kcount : t.count;
        std::int16_t result;
        const int pos = placingposition(kb, offs, count, *placing, rules, &result);
        if (result == 0) {
            // An equal key is stored. In a leaf that refuses the key; above, only damage
            // makes two equal separators.
            if (level > 0) dberror(op.fs, parentcode(level), nullptr, nullptr);
            return false;
        }
        const int esize = entrysize(level, placing->len);
        if ((checked ? usedof(kb) : t.used) + esize <= kKbRoom) {
            cascade->top = level;
            return true;
        }
        if (checked) tableof(kb, -1, &t);
        const bool leaf = level == 0;
        step.splitat = choosesplit(leaf, t, pos, esize);
        if (step.splitat < 0) {
            dberror(op.fs, leaf ? kDbKeyLeafNoSplit : kDbKeyInnerNoSplit, nullptr, nullptr);
            return false;
        }
        step.entryleft = leaf ? pos < step.splitat : pos <= step.splitat;
        const int upoff = t.off[leaf ? step.splitat - 1 : step.splitat];
        copyentrykey(kb, upoff, &step.up);
        if (!leaf) step.upchild = entrychild(kb, upoff);
        placing = &step.up;
        if (path[static_cast<std::size_t>(level + 1)] == 0) {
            // The root splits. A new root above the highest level would leave the path no
            // place above it: the key is refused before anything changes.
            if (level + 1 > kMaxLevel) {
                dberror(op.fs, leaf ? kDbKeyRootFromLeaf : kDbKeyRootFromInner, nullptr, nullptr);
                return false;
            }
            cascade->newroot = true;
            cascade->top = level + 1;
            return true;
        }
    }
    dberror(op.fs, kDbKeyUpperRead, nullptr, nullptr);
    return false;
}

namespace {

// Gives back the new blocks of steps [from, base] that no step has used yet.
void giveback(KeyOp &op, const Cascade &cascade, int from) {
    for (int level = from; level >= cascade.base; --level) {
        const std::uint32_t blk = cascade.step[level].newblk;
        if (blk != 0) freekeyblock(op.fs, blk);
    }
}

}  // namespace

bool allocatecascade(KeyOp &op, Cascade *cascade) {
    for (int level = cascade->base; level < cascade->top; ++level) {
        SplitStep &step = cascade->step[level];
        step.newblk = newkeyblock(op.fs, static_cast<std::int8_t>(level));
        if (step.newblk == 0) {
            dberror(op.fs, level == 0 ? kDbKeyLeafNoSplit : kDbKeyInnerNoSplit, nullptr, nullptr);
            giveback(op, *cascade, level - 1);
            return false;
        }
    }
    if (cascade->newroot) {
        cascade->rootblk = newkeyblock(op.fs, static_cast<std::int8_t>(cascade->top));
        if (cascade->rootblk == 0) {
            dberror(op.fs, cascade->top == 1 ? kDbKeyRootFromLeaf : kDbKeyRootFromInner, nullptr,
                    nullptr);
            giveback(op, *cascade, cascade->top - 1);
            return false;
        }
    }
    return true;
}

bool applycascade(KeyOp &op, const Cascade &cascade, const NewEntry &entry) {
    FSDATA *fs = op.fs;
    const int top = cascade.top;
    TreeRead why;
    Held target;
    if (cascade.newroot) {
        target = Held(readtreeblock(fs, cascade.rootblk, top, &why));
        if (!target) {
            dberror(fs, top == 1 ? kDbKeyRootFromLeafRead : kDbKeyRootFromInnerRead, nullptr,
                    nullptr);
            giveback(op, cascade, top - 1);
            freekeyblock(fs, cascade.rootblk);
            return false;
        }
        initkeyblock(target.kb(), top);
        target.kb().xtrablk = cascade.step[top - 1].blk;
        fs->fscb.rootkb = cascade.rootblk;
        changefscb(fs);
        markchanged(target.buffer());  // written below, once it holds its separator
    } else {
        target = Held(readtreeblock(fs, cascade.step[top].blk, top, &why));
        if (!target) {
            dberror(fs, top == 0 ? kDbKeyChildRead : parentcode(top), nullptr, nullptr);
            giveback(op, cascade, top - 1);
            return false;
        }
    }
    for (int level = top - 1; level >= cascade.base; --level) {
        const SplitStep &step = cascade.step[level];
        const bool leaf = level == 0;
        Held old(readtreeblock(fs, step.blk, level, &why));
        Held left(old ? readtreeblock(fs, step.newblk, level, &why) : nullptr);
        if (!old || !left) {
            dberror(fs,
                    !old ? (leaf ? kDbKeyChildRead : parentcode(level))
                         : (leaf ? kDbKeyLeafHalfRead : kDbKeyInnerHalfRead),
                    nullptr, nullptr);
            giveback(op, cascade, level);
            return false;
        }
        if (step.skip >= 0) removeentry(old.kb(), step.skip);
        initkeyblock(left.kb(), level);
        splitblock(old.kb(), left.kb(), step.splitat, step.upchild);
        // Both halves stay under the block that takes the new separator.
        if (addparentkey(fs, target.kb(), step.up.len, step.newblk, step.up.bytes) == 0) {
            // The plan checked room and order; only a changed index description gets here.
            dberror(fs, leaf ? kDbKeyLeafSeparator : kDbKeyInnerSeparator, nullptr, nullptr);
            op.writefailed = true;
        }
        op.written(target.blk(), leaf ? kDbKeyLeafSeparator : kDbKeyInnerSeparator);
        op.written(step.blk, leaf ? kDbKeyLeafWrite : kDbKeyInnerWrite);
        op.written(step.newblk, leaf ? kDbKeyLeafHalfWrite : kDbKeyInnerHalfWrite);
        target = step.entryleft ? std::move(left) : std::move(old);
    }
    const SplitStep &basestep = cascade.step[cascade.base];
    KB &kb = target.kb();
    if (top == cascade.base && basestep.skip >= 0) removeentry(kb, basestep.skip);
    std::int16_t placed;
    // A leaf whose check still holds keeps it: its offsets follow the new entry.
    const bool checked = cascade.base == 0 && checkedoffsets(target.buffer());
    if (cascade.base == 0) {
        KeyRules rules;
        placed = keyrules(fs, entry.key.bytes[0], &rules)
                     ? addl0key(target.buffer(), entry.key.len, entry.key.bytes, rules.dupkeys,
                                rules.cmp)
                     : 0;
    } else {
        placed = addparentkey(fs, kb, entry.key.len, entry.child, entry.key.bytes);
    }
    if (placed == 0) op.writefailed = true;
    op.written(target.blk(), 0);
    // Writing marks the image changed; the engine's own insert has kept it well-formed and its
    // offsets up to date, so its check stands (and goes to the memo when it is written back).
    if (checked && !op.writefailed && target.buffer()->blk == target.blk()) {
        target.buffer()->kbchecked = 1;
    }
    return true;
}

}  // namespace vorn
