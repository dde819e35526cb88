// Record placement: xlate entries, records inside data blocks and the free chains.
//
// An xlate entry in use holds the record's sub-file in bits 31..28 and its block in 27..0; a
// free entry holds the next free xlate index. Every number read from the file is checked
// before it is used as a block number or an offset: a damaged entry or block fails the call
// and never makes the cache append a block or read outside a block image.
#include "placement.h"

#include <vorn/errors.h>

#include <cstdio>
#include <cstring>

#include "blocks.h"
#include "layout.h"

namespace vorn {
namespace {

// Reads rid's xlate block when it exists; null (nothing appended) otherwise.
FSBUFF *readxlateof(FSDATA *fsdata, std::uint32_t rid, std::uint32_t *blk) {
    const std::uint64_t b = xlateblockof(fsdata, xindexof(rid));
    if (b > fsdata->fscb.lb) return nullptr;
    *blk = static_cast<std::uint32_t>(b);
    return readblk(fsdata, *blk);
}

void notinuse(FSDATA *fsdata, std::uint32_t rid) {
    char text[80];
    std::snprintf(text, sizeof text, "Rid %lx not in use", static_cast<unsigned long>(rid));
    dberror(fsdata, kDbRidToBlockRead, text, nullptr);
}

std::int16_t chainof(const DB &db) {
    return db.fc >= 0 && db.fc < kFreeChains ? db.fc : -1;
}

}  // namespace

std::uint32_t ridtoblk(FSDATA *fsdata, std::uint32_t rid) {
    const unsigned n = subfileof(rid);
    const std::uint64_t xb = xlateblockof(fsdata, xindexof(rid));
    if (n == 0 || xb > fsdata->fscb.lb) {
        notinuse(fsdata, rid);
        return 0;
    }
    FSBUFF *x = readblk(fsdata, static_cast<std::uint32_t>(xb));
    if (x == nullptr) {
        dberror(fsdata, kDbRidToBlockRead, nullptr, "ridtoblk - reading xlate block %lu\r\n",
                static_cast<unsigned long>(xb));
        return 0;
    }
    const std::uint32_t entry = x->xbuff.xlate[rid & 0xFF];
    const std::uint32_t blk = entry & kMaxXlateIndex;
    // A released entry (sub-file 0), another sub-file's entry or a block number that cannot
    // hold records means that rid names no record.
    if (subfileof(entry) != n || !isdatablockno(fsdata, blk)) {
        notinuse(fsdata, rid);
        return 0;
    }
    return blk;
}

std::uint32_t getxlate(FSDATA *fsdata, std::uint32_t blk, std::uint32_t fid) {
    constexpr std::uint32_t kFail = 0xFFFFFFFF;
    const std::uint32_t x = fsdata->fscb.ftc;
    const std::uint32_t freq = xblkfreqof(fsdata);
    const std::uint64_t b = xlateblockof(fsdata, x);
    // The free xlate chain may name the first entry of the next xlate block, which is made
    // here; a head any further out is damage and would append blocks without end.
    if (x > kMaxXlateIndex || b > static_cast<std::uint64_t>(fsdata->fscb.lb) + freq) {
        dberror(fsdata, kDbGetXlateExtend, nullptr, "getxlate - allocating extended block\r\n");
        return kFail;
    }
    while (b > fsdata->fscb.lb) {
        const std::uint32_t t = allocextendedblk(fsdata);
        if (t == 0) {
            dberror(fsdata, kDbGetXlateExtend, nullptr, "getxlate - allocating extended block\r\n");
            return kFail;
        }
        if (readblk(fsdata, t) == nullptr) {
            dberror(fsdata, kDbGetXlateExtRead, nullptr,
                    "getxlate - reading extended xlate block %lu\r\n",
                    static_cast<unsigned long>(t));
            return kFail;
        }
    }
    const auto xb = static_cast<std::uint32_t>(b);
    FSBUFF *xbuf = readblk(fsdata, xb);
    if (xbuf == nullptr) {
        dberror(fsdata, kDbGetXlateRead, nullptr, "getxlate - reading xlate block %lu\r\n",
                static_cast<unsigned long>(xb));
        return kFail;
    }
    // Entries are read and written by index: the block image is packed, so a reference to
    // an entry could be misaligned.
    const unsigned slot = x & 0xFF;
    const std::uint32_t next = xbuf->xbuff.xlate[slot];
    // Only the sub-file nibble of fid names the owner; its low nibble never reaches the entry.
    xbuf->xbuff.xlate[slot] = ((fid & 0xF0u) << 24) | (blk & kMaxXlateIndex);
    fsdata->fscb.ftc = next;
    changefscb(fsdata);
    if (writeblk(fsdata, xb) == 0) {
        // Leave the identifier free, so that the failed add leaves no entry without a record.
        xbuf->xbuff.xlate[slot] = next;
        fsdata->fscb.ftc = x;
        dberror(fsdata, kDbGetXlateWrite, nullptr, "getxlate - writing xlate block %lu\r\n",
                static_cast<unsigned long>(xb));
        return kFail;
    }
    return x;
}

std::int16_t changexlate(FSDATA *fsdata, std::uint32_t blk, std::uint32_t rid) {
    const std::uint64_t b = xlateblockof(fsdata, xindexof(rid));
    if (b > fsdata->fscb.lb) {
        dberror(fsdata, kDbChangeXlateRange, nullptr,
                "changexlate - xlate blk %lu greater than lb %lu\r\n",
                static_cast<unsigned long>(b), static_cast<unsigned long>(fsdata->fscb.lb));
        return 0;
    }
    const auto xb = static_cast<std::uint32_t>(b);
    FSBUFF *x = readblk(fsdata, xb);
    if (x == nullptr) {
        dberror(fsdata, kDbChangeXlateRead, nullptr, "changexlate - reading xlate block %lu\r\n",
                static_cast<unsigned long>(xb));
        return 0;
    }
    const unsigned slot = rid & 0xFF;
    const std::uint32_t old = x->xbuff.xlate[slot];
    x->xbuff.xlate[slot] = (old & 0xF0000000u) | (blk & kMaxXlateIndex);
    if (writeblk(fsdata, xb) == 0) {
        x->xbuff.xlate[slot] = old;  // the record stays where the entry says it is
        dberror(fsdata, kDbChangeXlateWrite, nullptr, "changexlate - writing xlate block %lu\r\n",
                static_cast<unsigned long>(xb));
        return 0;
    }
    return 1;
}

std::int16_t freexlate(FSDATA *fsdata, std::uint32_t rid) {
    std::uint32_t xb = 0;
    FSBUFF *x = readxlateof(fsdata, rid, &xb);
    if (x == nullptr) {
        dberror(fsdata, kDbFreeXlateRead, nullptr, "freexlate - reading xlate block %lu\r\n",
                static_cast<unsigned long>(xlateblockof(fsdata, xindexof(rid))));
        return 0;
    }
    // The entry and the chain head change together, so that a failed write below still
    // leaves the index on the free xlate chain.
    x->xbuff.xlate[rid & 0xFF] = fsdata->fscb.ftc;
    fsdata->fscb.ftc = xindexof(rid);
    changefscb(fsdata);
    if (writeblk(fsdata, xb) == 0) {
        dberror(fsdata, kDbFreeXlateWrite, nullptr, "freexlate - writing xlate block %lu\r\n",
                static_cast<unsigned long>(xb));
        return 0;
    }
    return 1;
}

std::uint32_t nextrid(FSDATA *fsdata, std::uint32_t rid) {
    const unsigned n = subfileof(rid);
    if (n == 0 || rid >= fsdata->fscb.f[n - 1].lrid) return 0;
    const std::uint32_t freq = xblkfreqof(fsdata);
    const std::uint32_t f = rid & 0xF0000000u;
    unsigned s = (rid & 0xFF) + 1;
    for (std::uint64_t b = xlateblockof(fsdata, xindexof(rid)); b <= fsdata->fscb.lb;
         b += freq, s = 0) {
        FSBUFF *x = readblk(fsdata, static_cast<std::uint32_t>(b));
        if (x == nullptr) {
            dberror(fsdata, kDbNextRidRead, nullptr, "nextrid - reading xblk %lu\r\n",
                    static_cast<unsigned long>(b));
            return 0;
        }
        for (; s < kXlateEntries; ++s) {
            if (subfileof(x->xbuff.xlate[s]) == n) {
                return f + static_cast<std::uint32_t>((b - 1) / freq) * kXlateEntries + s;
            }
        }
    }
    dberror(fsdata, kDbNextRidNone, nullptr, nullptr);
    return 0;
}

std::uint32_t prevrid(FSDATA *fsdata, std::uint32_t rid) {
    const unsigned n = subfileof(rid);
    if (n == 0) return 0;
    const std::uint32_t frid = fsdata->fscb.f[n - 1].frid;
    if (frid == 0 || rid <= frid) return 0;
    const std::uint32_t freq = xblkfreqof(fsdata);
    const std::uint32_t f = rid & 0xF0000000u;
    std::uint64_t b = xlateblockof(fsdata, xindexof(rid));
    int s = static_cast<int>(rid & 0xFF) - 1;
    for (;;) {
        // The xlate block of an identifier past the end of the file can't be read; a walk
        // never appends it.
        FSBUFF *x = b <= fsdata->fscb.lb ? readblk(fsdata, static_cast<std::uint32_t>(b)) : nullptr;
        if (x == nullptr) {
            dberror(fsdata, kDbPrevRidRead, nullptr, "prevrid - reading xblk %lu\r\n",
                    static_cast<unsigned long>(b));
            return 0;
        }
        for (; s >= 0; --s) {
            if (subfileof(x->xbuff.xlate[s]) == n) {
                return f + static_cast<std::uint32_t>((b - 1) / freq) * kXlateEntries +
                       static_cast<std::uint32_t>(s);
            }
        }
        if (b == 1) break;
        b -= freq;
        s = kXlateEntries - 1;
    }
    dberror(fsdata, kDbPrevRidNone, nullptr, nullptr);
    return 0;
}

RECORD *findrec(FSDATA *fsdata, DB *dbuff, std::uint32_t rid) {
    RecordCursor cursor(*dbuff);
    while (RECORD *r = cursor.next()) {
        if (recordrid(r) == rid) return r;
    }
    char text[80];
    std::snprintf(text, sizeof text, "Rid %lx not in block", static_cast<unsigned long>(rid));
    dberror(fsdata, kDbFindRecord, text, "findrec - record not in data block\r\n");
    return nullptr;
}

std::int16_t artb(FSDATA *fsdata, const std::uint32_t *rid, const std::int16_t *len,
                  const void *rec, DB *buff, std::uint32_t blk) {
    // The caller has made sure of the room; a block that has none is left untouched.
    if (*len < 0 || buff->len < kDbHeader ||
        buff->len + *len + kRecordHeader > static_cast<int>(kBlockSize)) {
        return 0;
    }
    auto *at = reinterpret_cast<std::uint8_t *>(buff) + buff->len;
    std::memcpy(at, rid, sizeof *rid);
    std::memcpy(at + 4, len, sizeof *len);
    std::memmove(at + kRecordHeader, rec, static_cast<std::size_t>(*len));
    buff->len = static_cast<std::int16_t>(buff->len + *len + kRecordHeader);
    putonchain(fsdata, buff, blk);
    return 1;
}

void rrfb(DB *dbuff, RECORD *rbuff) {
    auto *start = reinterpret_cast<std::uint8_t *>(rbuff);
    auto *end = reinterpret_cast<std::uint8_t *>(dbuff) + dbuff->len;
    const std::size_t a = static_cast<std::size_t>(recordlen(rbuff)) + kRecordHeader;
    if (start < dbuff->buff || start + a > end) return;  // not a record of this block
    std::memmove(start, start + a, static_cast<std::size_t>(end - start) - a);
    dbuff->len = static_cast<std::int16_t>(dbuff->len - static_cast<std::int16_t>(a));
}

std::int16_t whatchain(std::int16_t free) {
    if (free == kBlockRoom) return 0;
    if (free >= 768) return 1;
    if (free >= 512) return 2;
    if (free >= 256) return 3;
    if (free >= 128) return 4;
    if (free >= 64) return 5;
    return -1;
}

std::uint32_t getchain(FSDATA *fsdata, std::int16_t need) {
    FSCB &cb = fsdata->fscb;
    static constexpr struct {
        std::int16_t most;
        int chain;
    } kClasses[] = {{64, 5}, {128, 4}, {256, 3}, {512, 2}, {768, 1}};
    for (const auto &c : kClasses) {
        if (need <= c.most && cb.fc[c.chain] != 0) return cb.fc[c.chain];
    }
    // The header is marked changed by the readblk that creates the block, not here.
    if (cb.fc[0] == 0) cb.fc[0] = allocextendedblk(fsdata);
    return cb.fc[0];
}

void putonchain(FSDATA *fsdata, DB *dbuff, std::uint32_t blk) {
    FSCB &cb = fsdata->fscb;
    const std::int16_t to = whatchain(static_cast<std::int16_t>(kBlockSize - dbuff->len));
    const std::int16_t from = chainof(*dbuff);
    if (to == dbuff->fc) return;
    // A block is taken off a chain only from its head.
    if (from != -1 && cb.fc[from] != blk) return;
    if (from != -1) cb.fc[from] = dbuff->nbic;
    if (to == -1) {
        dbuff->nbic = 0;
    } else {
        dbuff->nbic = cb.fc[to];
        cb.fc[to] = blk;
    }
    dbuff->fc = to;
    changefscb(fsdata);
}

}  // namespace vorn
