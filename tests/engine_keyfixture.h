// A database in memory with helpers to add, delete and look up keys by value, inspect key
// blocks and run the key-tree checker. Shared by the engine_key* tests.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "fsn/blocks.h"
#include "fsn/check.h"
#include "fsn/keysearch.h"
#include "fsn/keytree.h"
#include "fsn/keyupdate.h"
#include "support/enginefile.h"

namespace vorn::test {

struct Found {
    std::uint32_t rid = 0;
    std::string value;
    bool operator==(const Found &) const = default;
};

inline std::ostream &operator<<(std::ostream &os, const Found &f) {
    return os << "{rid " << f.rid << ", " << f.value.size() << " bytes}";
}

struct KeyDb : MemDatabase {
    explicit KeyDb(Flavor flavor = Flavor::Library) : MemDatabase(flavor) {}

    FSDATA *e() { return fs.get(); }
    void define(std::uint8_t fid, int type, bool dup) {
        FDATA &f = fs->fscb.f[(fid >> 4) - 1];
        f.keytype[fid & 15] = static_cast<std::int8_t>(type);
        const auto bit = static_cast<std::uint16_t>(1u << (fid & 15));
        auto d = static_cast<std::uint16_t>(f.dupkeys);
        f.dupkeys = static_cast<std::int16_t>(dup ? (d | bit) : (d & ~bit));
    }
    std::int16_t add(std::uint8_t fid, const std::string &v, std::uint32_t rid) {
        const auto n = static_cast<std::int16_t>(v.size());
        return addkey(e(), static_cast<std::int16_t>(n + 1), bldkey(fid, rid, n, v.data()));
    }
    std::int16_t del(std::uint8_t fid, const std::string &v, std::uint32_t rid) {
        const auto n = static_cast<std::int16_t>(v.size());
        return deletekey(e(), static_cast<std::int16_t>(n + 1), bldkey(fid, rid, n, v.data()));
    }
    using Lookup = std::uint32_t (*)(FSDATA *, std::int16_t, const std::uint8_t *, void *,
                                     std::int16_t *);
    Found run(Lookup how, std::uint8_t fid, const std::string &v, std::uint32_t rid) {
        const auto n = static_cast<std::int16_t>(v.size());
        char out[kMaxKeyValue + 1] = {};
        std::int16_t foundlen = -1;
        Found f;
        f.rid = how(e(), static_cast<std::int16_t>(n + 1), bldkey(fid, rid, n, v.data()), out,
                    &foundlen);
        if (f.rid != 0) f.value.assign(out, static_cast<std::size_t>(foundlen));
        return f;
    }
    Found first(std::uint8_t fid) {
        char out[kMaxKeyValue + 1] = {};
        std::int16_t foundlen = -1;
        Found f;
        f.rid = firstkey(e(), fid, out, &foundlen);
        if (f.rid != 0) f.value.assign(out, static_cast<std::size_t>(foundlen));
        return f;
    }
    Found find(std::uint8_t fid, const std::string &v) { return run(findkey, fid, v, 0); }
    Found last(std::uint8_t fid, const std::string &v) { return run(lastkey, fid, v, 0); }
    Found next(std::uint8_t fid, const Found &at) { return run(nextkey, fid, at.value, at.rid); }
    Found prev(std::uint8_t fid, const Found &at) { return run(prevkey, fid, at.value, at.rid); }

    // Every key of an index by firstkey + nextkey (bounded, so damage cannot hang a test).
    std::vector<Found> forward(std::uint8_t fid, std::size_t bound = 100000) {
        std::vector<Found> out;
        for (Found f = first(fid); f.rid != 0 && out.size() < bound; f = next(fid, f)) {
            out.push_back(f);
        }
        return out;
    }
    // Every key of an index by lastkey(above) + prevkey, in ascending order.
    std::vector<Found> backward(std::uint8_t fid, const std::string &above,
                                std::size_t bound = 100000) {
        std::vector<Found> out;
        for (Found f = last(fid, above); f.rid != 0 && out.size() < bound; f = prev(fid, f)) {
            out.push_back(f);
        }
        return {out.rbegin(), out.rend()};
    }

    // The checker's faults over the key tree, as text (empty when none).
    std::string treefaults(std::vector<std::uint32_t> *blocks = nullptr) {
        std::vector<Finding> findings;
        auto list = checkkeytree(e(), findings);
        if (blocks != nullptr) *blocks = list;
        std::string text;
        for (const auto &f : findings) {
            if (f.severity == Finding::Fault) text += f.text + "\n";
        }
        return text;
    }
    // A copy of a block as the cache sees it.
    KB block(std::uint32_t blk) {
        KB kb;
        FSBUFF *b = readblk(e(), blk);
        EXPECT_NE(b, nullptr);
        if (b != nullptr) std::memcpy(&kb, &b->kbuff, sizeof kb);
        return kb;
    }
    int rootlevel() { return fs->fscb.rootkb == 0 ? -1 : block(fs->fscb.rootkb).level; }
};

// The value of entry i of a block (without fid byte), and its rid.
inline Found entryof(const KB &kb, int i) {
    int off = 0;
    for (int k = 0; k < i; ++k) off += entrysize(kb.level, entrylen(kb, off));
    const int n = entrylen(kb, off);
    Found f;
    f.value.assign(reinterpret_cast<const char *>(entrykey(kb, off)) + 1,
                   static_cast<std::size_t>(n - 1));
    f.rid = entryrid(kb, off);
    return f;
}

inline std::uint32_t childof(const KB &kb, int i) {
    int off = 0;
    for (int k = 0; k < i; ++k) off += entrysize(kb.level, entrylen(kb, off));
    return entrychild(kb, off);
}

}  // namespace vorn::test
