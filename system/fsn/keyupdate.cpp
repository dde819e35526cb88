// Adding and deleting keys. An update first reads and checks everything it will change and
// takes the new blocks it needs, so that a refused key or a damaged tree changes nothing;
// only then does it change blocks, in an order that keeps the tree whole between steps.
// Key blocks come from free chain 0 and go back to it as empty data blocks.
#include "keyupdate.h"

#include <vorn/errors.h>

#include <cstring>

#include "keysearch.h"
#include "keytree.h"

namespace vorn {
namespace {

bool validkeylen(std::int16_t len) {
    return len >= 1 && len <= kMaxKeyLen;
}

// True when blk may head free chain 0 for a key block: a data block position, at most the
// block that is appended next.
bool chainblockno(const FSDATA *fsdata, std::uint32_t blk) {
    const std::uint32_t freq = xblkfreqof(fsdata);
    return blk >= 2 && blk <= fsdata->fscb.lb + 1 && (blk - 1) % freq != 0;
}

void reportnewblock(FSDATA *fsdata, std::int16_t code) {
    dberror(fsdata, code, nullptr,
            code == kDbKeyNewBlock ? "newkeyblock - allocating extended block\r\n"
                                   : "newkeyblock - reading extended block\r\n");
}

}  // namespace

std::uint32_t newkeyblock(FSDATA *fsdata, std::int8_t level) {
    FSCB &cb = fsdata->fscb;
    std::uint32_t blk = cb.fc[0];
    const bool fromchain = blk != 0;
    if (!fromchain) {
        blk = allocextendedblk(fsdata);
        if (blk == 0) {
            reportnewblock(fsdata, kDbKeyNewBlock);
            return 0;
        }
    } else if (!chainblockno(fsdata, blk)) {
        reportnewblock(fsdata, kDbKeyNewBlockFree);
        return 0;
    }
    FSBUFF *b = readblk(fsdata, blk);
    // A block taken from the chain must be an empty data block: anything else means the
    // chain is damaged, and using it could overwrite records or part of the tree.
    if (b == nullptr || b->dbuff.type != 0 || b->dbuff.len != kDbHeader || b->pins != 0) {
        reportnewblock(fsdata, kDbKeyNewBlockFree);
        return 0;
    }
    KB &kb = b->kbuff;
    // A block taken from the chain unlinks it; an appended one leaves the chain empty.
    if (fromchain) cb.fc[0] = kb.ancestor;
    changefscb(fsdata);
    kb.ancestor = 0;
    kb.len = kKbHeader;
    kb.numkeys = 0;
    kb.type = 1;
    kb.level = level;
    kb.xtrablk = 0;
    // The caller writes the block once it has filled it.
    markchanged(b);
    return blk;
}

std::int16_t freekeyblock(FSDATA *fsdata, std::uint32_t blk) {
    if (!treeblockno(fsdata, blk)) return 0;
    FSBUFF *b = readblk(fsdata, blk);
    if (b == nullptr) return 0;
    FSCB &cb = fsdata->fscb;
    if (cb.rootkb == blk) cb.rootkb = 0;
    KB &kb = b->kbuff;
    kb.ancestor = cb.fc[0];
    cb.fc[0] = blk;
    changefscb(fsdata);
    kb.len = kDbHeader;
    kb.numkeys = 0;
    kb.type = 0;
    kb.level = 0;
    return writeblk(fsdata, blk);
}

// Finds the leaf for key and places it there, splitting as planned.
std::int16_t addkeytoblk(FSDATA *fsdata, std::int16_t len, const std::uint8_t *key) {
    KeyRules rules;
    if (!keyrules(fsdata, key[0], &rules)) return 0;
    KeyPath path{};
    FSBUFF *leaf =
        findkeybuff(fsdata, len, key, rules.dupkeys, rules.cmp, path, fsdata->fscb.rootkb);
    if (leaf == nullptr) return 0;
    path[0] = leaf->blk;
    Held held(leaf);
    NewEntry entry;
    entry.key.len = len;
    std::memcpy(entry.key.bytes, key, static_cast<std::size_t>(len) + 4);
    KeyOp op{fsdata};
    Cascade cascade;
    if (!plancascade(op, path, 0, entry, -1, &cascade)) return 0;
    if (!allocatecascade(op, &cascade)) return 0;
    if (!applycascade(op, cascade, entry)) return 0;
    return op.writefailed ? 0 : 1;
}

std::int16_t addkey(FSDATA *fsdata, std::int16_t len, const std::uint8_t *key) {
    KeyRules rules;
    // A key that is too long or names no defined index is refused before a root is made.
    if (key == nullptr || !validkeylen(len) || !keyrules(fsdata, key[0], &rules)) {
        dberror(fsdata, kDbKeyAdd, nullptr, nullptr);
        return 0;
    }
    if (fsdata->fscb.rootkb == 0) {
        const std::uint32_t root = newkeyblock(fsdata, 0);
        if (root == 0) {
            dberror(fsdata, kDbKeyNoRoot, nullptr, nullptr);
            return 0;
        }
        fsdata->fscb.rootkb = root;  // newkeyblock has marked the header changed
    }
    if (addkeytoblk(fsdata, len, key) == 0) {
        dberror(fsdata, kDbKeyAdd, nullptr, nullptr);
        return 0;
    }
    return 1;
}

namespace {

// What a deletion does above the leaf, found by climbing the path before anything changes.
struct DeletePlan {
    bool replacing = false;  // a separator takes `replacement` (the subtree's new greatest)
    KeyCopy replacement;
    std::uint32_t child = 0;  // the block whose separator changes or goes
    int stoplevel = 0;        // level of the block holding that separator; 0: none
    int sepoff = -1;          // its offset there
    int promotelevel = 0;     // a block whose last separator becomes its xtrablk; 0: none
    bool wholetree = false;   // the last key of the file goes
    int nempties = 0;         // blocks left empty, leaf first
    std::uint32_t empties[kMaxLevels] = {};
};

// Climbs from the leaf. In a consistent tree the separator of a subtree whose greatest key
// is delkey equals delkey exactly; a missing one means damage, and the deletion is refused.
bool plandelete(FSDATA *fsdata, const KeyPath &path, const KeyCopy &delkey, const KeyRules &rules,
                DeletePlan *plan, Held *promoted, Held *stop) {
    std::uint32_t child = path[0];
    if (!plan->replacing) plan->empties[plan->nempties++] = child;
    for (int level = 1; level < kMaxLevels; ++level) {
        const std::uint32_t parent = path[static_cast<std::size_t>(level)];
        if (parent == 0) {
            plan->wholetree = !plan->replacing;
            return true;
        }
        TreeRead why;
        Held p(readtreeblock(fsdata, parent, level, &why));
        if (!p) {
            dberror(fsdata, kDbKeyPathRead, nullptr, nullptr);
            return false;
        }
        const KB &kb = p.kb();
        if (kb.xtrablk == child) {
            // The parent's greatest key is the child's: the repair goes on above.
            if (!plan->replacing && kb.numkeys > 0) {
                const int last = offsetoflast(kb);
                copyentrykey(kb, last, &plan->replacement);
                plan->replacing = true;
                plan->promotelevel = level;
                *promoted = std::move(p);
            } else if (!plan->replacing) {
                plan->empties[plan->nempties++] = parent;
            }
            child = parent;
            continue;
        }
        std::int16_t result;
        const int off = locatekey(kb, delkey.len, delkey.bytes, rules.dupkeys, &result, rules.cmp);
        if (result != 0 || off >= usedof(kb) || entrychild(kb, off) != child) {
            dberror(fsdata, kDbKeyPathRead, nullptr, nullptr);
            return false;
        }
        plan->child = child;
        plan->stoplevel = level;
        plan->sepoff = off;
        *stop = std::move(p);
        return true;
    }
    return true;
}

}  // namespace

// After the greatest key of the leaf (delkey) goes: replaces its separator above by the
// leaf's new greatest key (newkey), or, when the leaf is left empty, unlinks it and every
// block left empty above it, promoting a parent's last separator where one remains.
std::int16_t delparentkeys(FSDATA *fsdata, Held &leaf, int leafoff, const KeyCopy &delkey,
                           const KeyRules &rules, const KeyCopy *newkey, const KeyPath &path) {
    DeletePlan plan;
    if (newkey != nullptr) {
        plan.replacing = true;
        plan.replacement = *newkey;
    }
    Held promoted, stop;
    if (!plandelete(fsdata, path, delkey, rules, &plan, &promoted, &stop)) return 0;
    KeyOp op{fsdata};
    if (plan.stoplevel > 0 && plan.replacing) {
        NewEntry entry;
        entry.key = plan.replacement;
        entry.child = plan.child;
        Cascade cascade;
        if (!plancascade(op, path, plan.stoplevel, entry, plan.sepoff, &cascade) ||
            !allocatecascade(op, &cascade) || !applycascade(op, cascade, entry)) {
            return 0;
        }
    } else if (plan.stoplevel > 0) {
        removeentry(stop.kb(), plan.sepoff);
        op.written(stop.blk(), kDbKeyDeleteWrite);
    }
    if (promoted) {
        KB &kb = promoted.kb();
        const int last = offsetoflast(kb);
        kb.xtrablk = entrychild(kb, last);
        removeentry(kb, last);
        op.written(promoted.blk(), kDbKeyDeleteWrite);
    }
    if (newkey != nullptr) {
        removeentry(leaf.kb(), leafoff);
        op.written(leaf.blk(), kDbKeyDeleteWrite);
    }
    // Freeing the root below clears rootkb and marks the header changed.
    if (plan.wholetree) fsdata->fscb.rootkb = 0;
    leaf.release();
    promoted.release();
    stop.release();
    // Freed blocks go onto chain 0 as the recursive repair frees them: the leaf first, then
    // the emptied ancestors from the top down, so the lowest ancestor ends up at the head.
    for (int i = 0; i < plan.nempties; ++i) {
        const int which = i == 0 ? 0 : plan.nempties - i;
        if (freekeyblock(fsdata, plan.empties[which]) == 0) {
            dberror(fsdata, kDbKeyDeleteWrite, nullptr, nullptr);
            changefscb(fsdata);  // rootkb may have changed all the same
            op.writefailed = true;
        }
    }
    return op.writefailed ? 0 : 1;
}

// Removes key from its leaf; a removed greatest key is repaired above.
std::int16_t deletel0key(FSDATA *fsdata, FSBUFF *leafbuff, std::int16_t len,
                         const std::uint8_t *key, const KeyRules &rules, const KeyPath &path) {
    Held leaf(leafbuff);
    const KB &kb = leaf.kb();
    const int end = usedof(kb);
    int off = 0, prev = -1;
    std::int16_t result = -1;
    while (off < end) {
        result = comparekeys(rules, key, len, entrykey(kb, off), entrylen(kb, off));
        if (result <= 0) break;
        prev = off;
        off += entrysize(0, entrylen(kb, off));
    }
    if (off >= end || result != 0) return 0;
    const bool last = off + entrysize(0, entrylen(kb, off)) == end;
    if (!last) {
        removeentry(leaf.kb(), off);
        if (writeblk(fsdata, leaf.blk()) == 0) {
            dberror(fsdata, kDbKeyDeleteWrite, nullptr, nullptr);
            return 0;
        }
        return 1;
    }
    KeyCopy delkey, newkey;
    copyentrykey(kb, off, &delkey);
    if (prev >= 0) copyentrykey(kb, prev, &newkey);
    return delparentkeys(fsdata, leaf, off, delkey, rules, prev >= 0 ? &newkey : nullptr, path);
}

std::int16_t deletekey(FSDATA *fsdata, std::int16_t len, const std::uint8_t *key) {
    KeyRules rules;
    if (key == nullptr || !validkeylen(len) || !keyrules(fsdata, key[0], &rules)) return 0;
    if (fsdata->fscb.rootkb == 0) return 0;
    KeyPath path{};
    FSBUFF *leaf =
        findkeybuff(fsdata, len, key, rules.dupkeys, rules.cmp, path, fsdata->fscb.rootkb);
    if (leaf == nullptr) return 0;
    path[0] = leaf->blk;
    return deletel0key(fsdata, leaf, len, key, rules, path);
}

}  // namespace vorn
