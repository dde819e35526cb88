// The record operations shared by the library's local path and the server's handlers. Every
// failing step fills the Fault with the library's code and the server's code and message;
// the cache and placement functions report their own failures through the file's reporter.
//
// Beyond the bare step sequences these operations refuse records that no block can hold,
// never treat a released identifier (or one of another sub-file) as a record, and order the
// steps of a moving rewrite so that a failure never leaves the record in no block at all.
#include "records.h"

#include <vorn/errors.h>

#include <cstring>

#include "blocks.h"
#include "chainwalk.h"
#include "layout.h"
#include "placement.h"
#include "vorn/wire.h"

namespace vorn {
namespace {

constexpr WalkCodes kAddWalk{"fsadd",           kDbAddNoChain,      kDbAddChainRead,
                             kDbAddRepairWrite, kDbAddNoChainAfter, kDbAddReadWalk};
constexpr WalkCodes kRewriteWalk{"fswrite",
                                 kDbRewriteNoChain,
                                 kDbRewriteChainRead,
                                 kDbRewriteRepairWrite,
                                 kDbRewriteNoChainAfter,
                                 kDbRewriteReadWalk};

// A stored form fits a data block when it is not empty and its need is at most 1014 bytes.
bool storable(std::int16_t len) {
    return len >= 1 && len + kRecordHeader <= kBlockRoom;
}

unsigned long ul(std::uint32_t v) {
    return static_cast<unsigned long>(v);
}

// Keeps frid and lrid bounding the sub-file's identifiers after rid was added.
void widenbounds(FSDATA *fsdata, std::uint32_t rid) {
    FDATA &f = fsdata->fscb.f[subfileof(rid) - 1];
    if (f.frid == 0 || f.frid > rid) {
        f.frid = rid;
        changefscb(fsdata);
    }
    if (f.lrid < rid) {
        f.lrid = rid;
        changefscb(fsdata);
    }
}

// Narrows frid or lrid after rid was deleted. A walk that fails leaves the bound as it was:
// a loose bound still encloses every identifier in use. The change is counted when a bound
// is walked; emptying the sub-file counts none of its own (the release of the identifier
// has marked the header already).
void narrowbounds(FSDATA *fsdata, std::uint32_t rid) {
    FDATA &f = fsdata->fscb.f[subfileof(rid) - 1];
    if (rid == f.frid && rid == f.lrid) {
        f.frid = kEmptyFrid;
        f.lrid = 0;
    } else if (rid == f.frid) {
        if (const std::uint32_t next = nextrid(fsdata, rid); next != 0) f.frid = next;
        changefscb(fsdata);
    } else if (rid == f.lrid) {
        if (const std::uint32_t prev = prevrid(fsdata, rid); prev != 0) f.lrid = prev;
        changefscb(fsdata);
    }
}

}  // namespace

std::uint32_t addrecord(FSDATA *fsdata, const void *stored, std::int16_t len, std::uint8_t fid,
                        Fault *fault) {
    const std::uint32_t subfile = fid & 0xF0u;
    if (subfile == 0)
        return setfault(fault, kDbAddNoXlate, kErrNoXlate, "fsadd - getxlate error.\r\n");
    if (!storable(len))
        return setfault(fault, kDbAddNoChain, kErrNoChainBlock, "fsadd - getchain error.\r\n");
    std::uint32_t blk = 0;
    FSBUFF *b =
        findroom(fsdata, static_cast<std::int16_t>(len + kRecordHeader), kAddWalk, fault, &blk);
    if (b == nullptr) return 0;
    // getxlate may append blocks; the chosen block stays resident while it does.
    PinGuard pin;
    pin.hold(b);
    const std::uint32_t x = getxlate(fsdata, blk, subfile);
    if (x == 0xFFFFFFFF)
        return setfault(fault, kDbAddNoXlate, kErrNoXlate, "fsadd - getxlate error.\r\n");
    b = readblk(fsdata, blk);
    const std::uint32_t rid = (subfile << 24) | x;
    if (b == nullptr || artb(fsdata, &rid, &len, stored, &b->dbuff, blk) == 0) {
        freexlate(fsdata, rid);
        return setfault(fault, kDbAddToBlock, kErrAddToBlock, "fsadd - artb error.\r\n");
    }
    widenbounds(fsdata, rid);
    if (writeblk(fsdata, blk) == 0) {
        return setfault(fault, kDbAddWrite, kErrBlockWrite, "fsadd - error writing block %lu.\r\n",
                        ul(blk));
    }
    return rid;
}

namespace {

// Rewrites rid inside its own block, which has room once the old form is out.
std::int16_t rewriteinplace(FSDATA *fsdata, std::uint32_t rid, std::uint32_t blk, FSBUFF *b,
                            RECORD *r, const void *stored, std::int16_t len, Fault *fault) {
    rrfb(&b->dbuff, r);
    if (artb(fsdata, &rid, &len, stored, &b->dbuff, blk) == 0) {
        return static_cast<std::int16_t>(
            setfault(fault, kDbRewriteToBlock, kErrAddToBlock, "fswrite - artb error.\r\n"));
    }
    if (writeblk(fsdata, blk) == 0) {
        return setfault(fault, kDbRewriteWriteMoved, kErrBlockWrite,
                        "fswrite - error writing block %lu.\r\n", ul(blk));
    }
    return 1;
}

// Moves rid from block blk (pinned by the caller) to a block with room. The new copy is
// placed and the xlate entry pointed at it before the old copy is removed, so a failure on
// the way leaves the record readable where its entry says it is.
std::int16_t rewritemoved(FSDATA *fsdata, std::uint32_t rid, std::uint32_t blk, const void *stored,
                          std::int16_t len, Fault *fault) {
    std::uint32_t newblk = 0;
    FSBUFF *nb = findroom(fsdata, static_cast<std::int16_t>(len + kRecordHeader), kRewriteWalk,
                          fault, &newblk);
    if (nb == nullptr) return 0;
    PinGuard pin;
    pin.hold(nb);
    if (changexlate(fsdata, newblk, rid) == 0) {
        return static_cast<std::int16_t>(
            setfault(fault, kDbRewriteChangeXlate, kErrChangeXlate,
                     "fswrite - changexlate error block= %lu  rid=%lu.\r\n", ul(newblk), ul(rid)));
    }
    nb = readblk(fsdata, newblk);
    if (nb == nullptr || artb(fsdata, &rid, &len, stored, &nb->dbuff, newblk) == 0) {
        changexlate(fsdata, blk, rid);
        return setfault(fault, kDbRewriteToBlock, kErrAddToBlock,
                        "fswrite - artb error block=%lu  rid=%lu.\r\n", ul(newblk), ul(rid));
    }
    const bool newwritten = writeblk(fsdata, newblk) != 0;
    FSBUFF *ob = readblk(fsdata, blk);  // resident: pinned by the caller
    if (RECORD *old = ob != nullptr ? findrec(fsdata, &ob->dbuff, rid) : nullptr) {
        rrfb(&ob->dbuff, old);
        putonchain(fsdata, &ob->dbuff, blk);
    }
    if (writeblk(fsdata, blk) == 0) {
        return setfault(fault, kDbRewriteWrite, kErrBlockWrite,
                        "fswrite - error writing block %lu.\r\n", ul(blk));
    }
    if (!newwritten) {
        return setfault(fault, kDbRewriteWriteMoved, kErrBlockWrite,
                        "fswrite - error writing block %lu.\r\n", ul(newblk));
    }
    return 1;
}

}  // namespace

std::int16_t rewriterecord(FSDATA *fsdata, std::uint32_t rid, const void *stored, std::int16_t len,
                           Fault *fault, bool *moved) {
    if (moved != nullptr) *moved = false;
    if (!storable(len)) {
        return static_cast<std::int16_t>(
            setfault(fault, kDbRewriteNoChain, kErrNoChainBlock, "fswrite - getchain error.\r\n"));
    }
    const std::uint32_t blk = ridtoblk(fsdata, rid);
    if (blk == 0) {
        return static_cast<std::int16_t>(
            setfault(fault, kDbRewriteRidToBlock, kErrRidNoBlock, "fswrite - ridtoblk error.\r\n"));
    }
    FSBUFF *b = readdatablock(fsdata, blk);
    if (b == nullptr) {
        return static_cast<std::int16_t>(setfault(fault, kDbRewriteRead, kErrBlockRead,
                                                  "fswrite - error reading blk %lu.\r\n", ul(blk)));
    }
    RECORD *r = findrec(fsdata, &b->dbuff, rid);
    if (r == nullptr) {
        return setfault(fault, kDbRewriteNotInBlock, kErrNotInBlock,
                        "fswrite - record %lu not in block %lu.\r\n", ul(rid), ul(blk));
    }
    const int freeafter =
        static_cast<int>(kBlockSize) - b->dbuff.len + recordlen(r) + kRecordHeader;
    if (freeafter >= len + kRecordHeader) {
        return rewriteinplace(fsdata, rid, blk, b, r, stored, len, fault);
    }
    PinGuard pin;
    pin.hold(b);
    const std::int16_t done = rewritemoved(fsdata, rid, blk, stored, len, fault);
    if (done != 0 && moved != nullptr) *moved = true;
    return done;
}

std::int16_t deleterecord(FSDATA *fsdata, std::uint32_t rid, Fault *fault) {
    const std::uint32_t blk = ridtoblk(fsdata, rid);
    if (blk == 0) {
        return setfault(fault, kDbDeleteRidToBlock, kErrRidNoBlock,
                        "fsdelete - ridtoblk error rid=%lu.\r\n", ul(rid));
    }
    FSBUFF *b = readdatablock(fsdata, blk);
    if (b == nullptr) {
        return setfault(fault, kDbDeleteRead, kErrBlockRead,
                        "fsdelete - error reading block %lu.\r\n", ul(blk));
    }
    RECORD *r = findrec(fsdata, &b->dbuff, rid);
    if (r == nullptr) {
        return static_cast<std::int16_t>(
            setfault(fault, kDbDeleteNotInBlock, kErrNotInBlock,
                     "fsdelete - record not in block block=%lu  rid=%lu.\r\n", ul(blk), ul(rid)));
    }
    PinGuard pin;
    pin.hold(b);
    // The identifier is released first: if that cannot even start, the record stays whole.
    const bool released = freexlate(fsdata, rid) != 0;
    if (!released && fsdata->fscb.ftc != xindexof(rid)) {
        return setfault(fault, kDbDeleteFreeXlate, kErrFreeXlate,
                        "fsdelete - reddxlate or writeblk error block=%lu  rid=%lu.\r\n", ul(blk),
                        ul(rid));
    }
    rrfb(&b->dbuff, r);  // the block is pinned: r still points at the record
    putonchain(fsdata, &b->dbuff, blk);
    const bool written = writeblk(fsdata, blk) != 0;
    pin.release();
    narrowbounds(fsdata, rid);
    if (!released || !written) {
        return setfault(fault, kDbDeleteFreeXlate, kErrFreeXlate,
                        "fsdelete - reddxlate or writeblk error block=%lu  rid=%lu.\r\n", ul(blk),
                        ul(rid));
    }
    return 1;
}

std::int16_t readrecord(FSDATA *fsdata, std::uint32_t rid, void *stored, Fault *fault) {
    const std::uint32_t blk = ridtoblk(fsdata, rid);
    if (blk == 0) {
        return static_cast<std::int16_t>(setfault(fault, kDbReadRidToBlock, kErrRidNoBlock,
                                                  "fsread - ridtoblk error rid=%lu.\r\n", ul(rid)));
    }
    FSBUFF *b = readdatablock(fsdata, blk);
    if (b == nullptr) {
        return static_cast<std::int16_t>(setfault(
            fault, kDbReadRead, kErrBlockRead, "fsread - error reading block %lu.\r\n", ul(blk)));
    }
    const RECORD *r = findrec(fsdata, &b->dbuff, rid);
    const std::int16_t len = r != nullptr ? recordlen(r) : 0;
    if (len < 1) {
        return setfault(fault, kDbReadNotInBlock, kErrNotInBlock,
                        "fsread - record not in block=%lu rid=%lu.\r\n", ul(blk), ul(rid));
    }
    std::memcpy(stored, r->rec, static_cast<std::size_t>(len));
    return len;
}

std::uint32_t firstrecord(FSDATA *fsdata, std::uint8_t fid) {
    const unsigned n = fid >> 4;
    if (n == 0) return 0;
    const std::uint32_t frid = fsdata->fscb.f[n - 1].frid;
    return frid == kEmptyFrid ? 0 : frid;
}

std::uint32_t lastrecord(FSDATA *fsdata, std::uint8_t fid) {
    const unsigned n = fid >> 4;
    if (n == 0) return 0;
    return fsdata->fscb.f[n - 1].lrid;
}

}  // namespace vorn
