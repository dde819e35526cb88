#include "restore.h"

#include <vorn/errors.h>

#include "blocks.h"
#include "chainwalk.h"
#include "layout.h"
#include "placement.h"
#include "vorn/wire.h"

namespace vorn {
namespace {

constexpr WalkCodes kRestoreWalk{"fsadd",           kDbAddNoChain,      kDbAddChainRead,
                                 kDbAddRepairWrite, kDbAddNoChainAfter, kDbAddReadWalk};

// Makes the file reach the xlate block at block number xb, appending as an add would. Unlike
// an add, which leaves the data blocks it appends on the way unlinked, the blocks appended
// here go on free chain 0, so that the records and key blocks that follow fill them: a file
// rebuilt with rids far apart is no bigger than one that grew by adds.
bool reachxlateblock(FSDATA *fsdata, std::uint64_t xb) {
    if (xb > kMaxBlock) return false;
    while (xb > fsdata->fscb.lb) {
        const std::uint32_t t = allocextendedblk(fsdata);
        FSBUFF *b = t != 0 ? readblk(fsdata, t) : nullptr;
        if (b == nullptr) return false;
        if (t == xb || isxlateblockno(fsdata, t)) continue;
        b->dbuff.nbic = fsdata->fscb.fc[0];
        b->dbuff.fc = 0;
        fsdata->fscb.fc[0] = t;
        changefscb(fsdata);
        if (writeblk(fsdata, t) == 0) return false;
    }
    return true;
}

void widenbounds(FSDATA *fsdata, std::uint32_t rid) {
    FDATA &f = fsdata->fscb.f[subfileof(rid) - 1];
    if (f.frid == 0 || f.frid == kEmptyFrid || f.frid > rid) f.frid = rid;
    if (f.lrid < rid) f.lrid = rid;
    changefscb(fsdata);
}

}  // namespace

std::int16_t placerecordat(FSDATA *fsdata, std::uint32_t rid, const void *stored, std::int16_t len,
                           Fault *fault) {
    const unsigned subfile = subfileof(rid);
    if (subfile == 0) {
        return setfault(fault, kDbAddNoXlate, kErrNoXlate,
                        "fsadd - rid %08lx names no sub-file.\r\n",
                        static_cast<unsigned long>(rid));
    }
    if (len < 1 || len + kRecordHeader > kBlockRoom) {
        return setfault(fault, kDbAddNoChain, kErrNoChainBlock, "fsadd - getchain error.\r\n");
    }
    // The xlate block first: the blocks appended to reach it are then there to take the record.
    const std::uint32_t x = xindexof(rid);
    const std::uint64_t xb = xlateblockof(fsdata, x);
    if (!reachxlateblock(fsdata, xb)) {
        return setfault(fault, kDbGetXlateExtend, kErrNoXlate, "fsadd - getxlate error.\r\n");
    }
    std::uint32_t blk = 0;
    FSBUFF *b =
        findroom(fsdata, static_cast<std::int16_t>(len + kRecordHeader), kRestoreWalk, fault, &blk);
    if (b == nullptr) return 0;
    PinGuard pin;
    pin.hold(b);
    FSBUFF *xbuf = readblk(fsdata, static_cast<std::uint32_t>(xb));
    if (xbuf == nullptr) {
        return setfault(fault, kDbGetXlateRead, kErrNoXlate, "fsadd - getxlate error.\r\n");
    }
    const unsigned slot = x & 0xFF;
    if ((xbuf->xbuff.xlate[slot] >> 28) != 0) {
        return setfault(fault, kDbAddNoXlate, kErrNoXlate,
                        "fsadd - rid %08lx is already in use.\r\n",
                        static_cast<unsigned long>(rid));
    }
    xbuf->xbuff.xlate[slot] = (subfile << 28) | blk;
    if (writeblk(fsdata, static_cast<std::uint32_t>(xb)) == 0) {
        return setfault(fault, kDbGetXlateWrite, kErrNoXlate, "fsadd - getxlate error.\r\n");
    }
    b = readblk(fsdata, blk);
    if (b == nullptr || artb(fsdata, &rid, &len, stored, &b->dbuff, blk) == 0) {
        return setfault(fault, kDbAddToBlock, kErrAddToBlock, "fsadd - artb error.\r\n");
    }
    widenbounds(fsdata, rid);
    if (writeblk(fsdata, blk) == 0) {
        return setfault(fault, kDbAddWrite, kErrBlockWrite, "fsadd - error writing block %lu.\r\n",
                        static_cast<unsigned long>(blk));
    }
    return 1;
}

std::int16_t relinkfreexlate(FSDATA *fsdata) {
    const std::uint32_t freq = xblkfreqof(fsdata);
    const std::uint32_t blocks = fsdata->fscb.lb == 0 ? 0 : (fsdata->fscb.lb - 1) / freq + 1;
    // The entry that links to the next free index: slot `prevslot` of xlate block prevk.
    bool havehead = false;
    std::uint32_t prevk = 0, prevslot = 0;
    auto link = [&](std::uint32_t x) -> bool {
        if (!havehead) {
            fsdata->fscb.ftc = x;
            changefscb(fsdata);
            havehead = true;
            return true;
        }
        FSBUFF *pb = readblk(fsdata, prevk * freq + 1);
        if (pb == nullptr) return false;
        pb->xbuff.xlate[prevslot] = x;
        return writeblk(fsdata, prevk * freq + 1) != 0;
    };
    for (std::uint32_t k = 0; k < blocks; ++k) {
        for (std::uint32_t s = 0; s < kXlateEntries; ++s) {
            FSBUFF *xb = readblk(fsdata, k * freq + 1);
            if (xb == nullptr) return 0;
            if ((xb->xbuff.xlate[s] >> 28) != 0) continue;
            if (!link(k * kXlateEntries + s)) return 0;
            prevk = k;
            prevslot = s;
        }
    }
    return link(blocks * kXlateEntries) ? 1 : 0;
}

}  // namespace vorn
