#include "chainwalk.h"

#include "layout.h"
#include "placement.h"
#include "vorn/wire.h"

namespace vorn {
namespace {

std::int16_t freebytes(const DB &db) {
    return static_cast<std::int16_t>(kBlockSize - db.len);
}

// Moves a block that lacks room to the chain its free space calls for, unless it already
// heads that chain. Returns false when the re-linked block cannot be written.
bool relink(FSDATA *fsdata, FSBUFF *b, std::uint32_t blk) {
    FSCB &cb = fsdata->fscb;
    DB &db = b->dbuff;
    const std::int16_t tochain = whatchain(freebytes(db));
    const std::int16_t from = db.fc >= 0 && db.fc < kFreeChains ? db.fc : -1;
    if (from == tochain && tochain != -1 && cb.fc[tochain] == blk) return true;
    ++cb.cefixes;
    if (from != -1 && cb.fc[from] == blk) {
        cb.fc[from] = db.nbic;
    } else {
        for (int i = 0; i < kFreeChains; ++i) {  // by index: the header is packed
            if (cb.fc[i] == blk) {
                cb.fc[i] = db.nbic;
                break;
            }
        }
    }
    if (tochain == -1) {
        db.nbic = 0;
    } else {
        db.nbic = cb.fc[tochain];
        cb.fc[tochain] = blk;
    }
    db.fc = tochain;
    return writeblk(fsdata, blk) != 0;
}

// More visits than the file has blocks mean a cycle. Blocks appended but not yet written
// are resident, so the file's length plus the buffers bounds the blocks there are.
std::uint64_t walklimit(FSDATA *fsdata) {
    std::uint64_t blocks = fsdata->fscb.lb;
    const std::int64_t length = fsdata->fsp->length();
    if (length >= 0) {
        const std::uint64_t present = static_cast<std::uint64_t>(length) / kBlockSize +
                                      static_cast<std::uint64_t>(fsdata->nbuffs);
        if (present < blocks) blocks = present;
    }
    return blocks + 8;
}

}  // namespace

FSBUFF *readdatablock(FSDATA *fsdata, std::uint32_t blk, bool mayappend) {
    const bool appended = mayappend && blk == fsdata->fscb.lb + 1 && !isxlateblockno(fsdata, blk);
    if (!appended && !isdatablockno(fsdata, blk)) return nullptr;
    FSBUFF *b = readblk(fsdata, blk);
    if (b == nullptr || !isdataimage(b->dbuff)) return nullptr;
    return b;
}

FSBUFF *findroom(FSDATA *fsdata, std::int16_t need, const WalkCodes &codes, Fault *fault,
                 std::uint32_t *blk) {
    FSCB &cb = fsdata->fscb;
    std::uint32_t at = getchain(fsdata, need);
    if (at == 0) {
        setfault(fault, codes.nochain, kErrNoChainBlock, "%s - getchain error.\r\n", codes.op);
        return nullptr;
    }
    FSBUFF *b = readdatablock(fsdata, at, true);
    if (b == nullptr) {
        setfault(fault, codes.read, kErrBlockRead, "%s - error reading block %lu.\r\n", codes.op,
                 static_cast<unsigned long>(at));
        return nullptr;
    }
    // Every visit without room takes a block off the chain being searched, so a sound file
    // needs fewer visits than it has blocks; a damaged chain (a cycle) ends here.
    std::uint64_t limit = 0;  // computed at the first block without room
    for (std::uint64_t visits = 0; freebytes(b->dbuff) < need; ++visits) {
        if (visits == 0) limit = walklimit(fsdata);
        if (visits >= limit) {
            setfault(fault, codes.nochainafter, kErrNoChainBlock, "%s - getchain error.\r\n",
                     codes.op);
            return nullptr;
        }
        ++cb.ce;
        const std::uint32_t next = b->dbuff.nbic;
        if (!relink(fsdata, b, at)) {
            setfault(fault, codes.repairwrite, kErrBlockWrite, "%s - error writing block %lu.\r\n",
                     codes.op, static_cast<unsigned long>(at));
            return nullptr;
        }
        changefscb(fsdata);
        at = next != 0 ? next : getchain(fsdata, need);
        if (at == 0) {
            setfault(fault, codes.nochainafter, kErrNoChainBlock, "%s - getchain error.\r\n",
                     codes.op);
            return nullptr;
        }
        b = readdatablock(fsdata, at, true);
        if (b == nullptr) {
            setfault(fault, codes.readwalk, kErrBlockRead, "%s - error reading block %lu.\r\n",
                     codes.op, static_cast<unsigned long>(at));
            return nullptr;
        }
    }
    *blk = at;
    return b;
}

}  // namespace vorn
