// The key-tree half of the integrity checker. It walks the tree from rootkb, checking each
// block's header and entries, the order of every key against its neighbours and against the
// separators above it (each key compared by the rules of its own index), that every separator
// is exactly the greatest key of its child's subtree, and that levels fall by one down to the
// leaves. Each block is copied out of the cache before it is examined, so nothing from the file
// is used before it has been checked, and a block reached twice is reported, not walked again.
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <unordered_set>

#include "check.h"
#include "keytree.h"

namespace vorn {
namespace {

class TreeWalk {
  public:
    TreeWalk(FSDATA *fsdata, std::vector<Finding> &findings) : fs_(fsdata), findings_(findings) {}

    // Checks the subtree at blk whose keys must lie above lo and not above hi (null: no
    // bound). *greatest gets its greatest key (len 0 when it has none or cannot be walked).
    void walk(std::uint32_t blk, int level, const KeyCopy *lo, const KeyCopy *hi,
              KeyCopy *greatest);

    std::vector<std::uint32_t> blocks;

  private:
    void fault(const char *fmt, ...) __attribute__((format(printf, 2, 3)));
    bool readimage(std::uint32_t blk, KB *kb);
    bool checkheader(std::uint32_t blk, const KB &kb, int level);
    // Checks a key against a bound: it must sort after lo and not after hi.
    void checkbounds(std::uint32_t blk, const KeyCopy &key, const KeyCopy *lo, const KeyCopy *hi);
    void walkentries(std::uint32_t blk, const KB &kb, const KeyCopy *lo, const KeyCopy *hi,
                     KeyCopy *greatest);

    FSDATA *fs_;
    std::vector<Finding> &findings_;
    std::unordered_set<std::uint32_t> seen_;
};

void TreeWalk::fault(const char *fmt, ...) {
    char text[256];
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(text, sizeof text, fmt, args);
    va_end(args);
    findings_.push_back(Finding{Finding::Fault, text});
}

bool TreeWalk::readimage(std::uint32_t blk, KB *kb) {
    if (!treeblockno(fs_, blk)) {
        fault("key block %lu: not a block that can hold keys (last block %lu)",
              static_cast<unsigned long>(blk), static_cast<unsigned long>(fs_->fscb.lb));
        return false;
    }
    if (!seen_.insert(blk).second) {
        fault("key block %lu: reached twice in the key tree", static_cast<unsigned long>(blk));
        return false;
    }
    blocks.push_back(blk);
    FSBUFF *b = readblk(fs_, blk);
    if (b == nullptr) {
        fault("key block %lu: cannot be read", static_cast<unsigned long>(blk));
        return false;
    }
    std::memcpy(kb, &b->kbuff, sizeof *kb);
    return true;
}

bool TreeWalk::checkheader(std::uint32_t blk, const KB &kb, int level) {
    const auto b = static_cast<unsigned long>(blk);
    if (kb.type != 1) {
        fault("key block %lu: type %d, not a key block", b, kb.type);
        return false;
    }
    if (kb.ancestor != 0)
        fault("key block %lu: ancestor %lu, not 0", b, (unsigned long)kb.ancestor);
    if (kb.len < kKbHeader || kb.len > static_cast<int>(kBlockSize)) {
        fault("key block %lu: len %d out of bounds", b, kb.len);
        return false;
    }
    if (level < 0 ? (kb.level < 0 || kb.level > kMaxLevel) : kb.level != level) {
        fault("key block %lu: level %d where %d belongs", b, kb.level, level < 0 ? 0 : level);
        return false;
    }
    const int end = usedof(kb), extra = extraof(kb.level);
    int off = 0, count = 0;
    while (off < end) {
        const int n = off + 2 <= end ? entrylen(kb, off) : -1;
        if (n < 1 || n > kMaxKeyLen || off + n + extra > end) {
            fault("key block %lu: entry at %d runs past len %d", b, off, kb.len);
            return false;
        }
        off += n + extra;
        ++count;
    }
    if (count != kb.numkeys) fault("key block %lu: numkeys %d, entries %d", b, kb.numkeys, count);
    return true;
}

void TreeWalk::checkbounds(std::uint32_t blk, const KeyCopy &key, const KeyCopy *lo,
                           const KeyCopy *hi) {
    KeyRules rules;
    if (!keyrules(fs_, key.bytes[0], &rules)) return;  // reported with the entry
    if (lo != nullptr && comparekeys(rules, key.bytes, key.len, lo->bytes, lo->len) <= 0) {
        fault("key block %lu: key not above the separator before its subtree",
              static_cast<unsigned long>(blk));
    }
    if (hi != nullptr && comparekeys(rules, key.bytes, key.len, hi->bytes, hi->len) > 0) {
        fault("key block %lu: key above the separator of its subtree",
              static_cast<unsigned long>(blk));
    }
}

bool samekey(const KeyCopy &a, const KeyCopy &b) {
    return a.len == b.len &&
           std::memcmp(a.bytes, b.bytes, static_cast<std::size_t>(a.len) + 4) == 0;
}

void TreeWalk::walkentries(std::uint32_t blk, const KB &kb, const KeyCopy *lo, const KeyCopy *hi,
                           KeyCopy *greatest) {
    const auto b = static_cast<unsigned long>(blk);
    const int end = usedof(kb);
    KeyCopy prev, key;
    bool haveprev = false;
    for (int off = 0; off < end; off += entrysize(kb.level, entrylen(kb, off))) {
        copyentrykey(kb, off, &key);
        KeyRules rules;
        if (!keyrules(fs_, key.bytes[0], &rules)) {
            fault("key block %lu: key with fid 0x%02x of no defined index", b, key.bytes[0]);
        } else if (haveprev && comparekeys(rules, key.bytes, key.len, prev.bytes, prev.len) <= 0) {
            fault("key block %lu: entry at %d not above the entry before it", b, off);
        }
        const KeyCopy *below = haveprev ? &prev : lo;
        if (kb.level > 0) {
            KeyCopy childgreatest;
            walk(entrychild(kb, off), kb.level - 1, below, &key, &childgreatest);
            if (!samekey(childgreatest, key)) {
                fault("key block %lu: separator at %d is not the greatest key of block %lu", b, off,
                      static_cast<unsigned long>(entrychild(kb, off)));
            }
        } else if (!haveprev) {
            checkbounds(blk, key, lo, hi);
        }
        prev = key;
        haveprev = true;
    }
    if (kb.level > 0) {
        if (haveprev) checkbounds(blk, prev, lo, hi);
        walk(kb.xtrablk, kb.level - 1, haveprev ? &prev : lo, hi, greatest);
        return;
    }
    if (haveprev) {
        checkbounds(blk, prev, lo, hi);
        *greatest = prev;
    }
}

void TreeWalk::walk(std::uint32_t blk, int level, const KeyCopy *lo, const KeyCopy *hi,
                    KeyCopy *greatest) {
    greatest->len = 0;
    if (blk == 0) {
        fault("key block at level %d: child number 0", level + 1);
        return;
    }
    KB kb;
    if (!readimage(blk, &kb) || !checkheader(blk, kb, level)) return;
    if (kb.level == 0 && kb.numkeys == 0 && level >= 0) {
        fault("key block %lu: empty leaf below the root", static_cast<unsigned long>(blk));
    }
    walkentries(blk, kb, lo, hi, greatest);
}

}  // namespace

std::vector<std::uint32_t> checkkeytree(FSDATA *fsdata, std::vector<Finding> &findings) {
    TreeWalk walk(fsdata, findings);
    const std::uint32_t root = fsdata->fscb.rootkb;
    if (root == 0) return {};
    KeyCopy greatest;
    walk.walk(root, -1, nullptr, nullptr, &greatest);
    return walk.blocks;
}

}  // namespace vorn
