#include "scan.h"

#include <cstring>
#include <set>

#include "fsn/keytree.h"
#include "fsn/layout.h"
#include "fsn/placement.h"
#include "fsn/records.h"
#include "progress.h"

namespace vorn::tool {

bool rawblock(FSDATA *fsdata, std::uint32_t blk, std::uint8_t out[kBlockSize]) {
    const std::uint64_t offset = static_cast<std::uint64_t>(blk) << kBlockShift;
    return fsdata->fsp->readat(out, kBlockSize, offset) == static_cast<long>(kBlockSize);
}

namespace {

void countdatablock(DB &db, BlockCensus &c) {
    if (db.len == kDbHeader) {
        ++c.emptydata;
        return;
    }
    ++c.data;
    c.recordbytes += static_cast<std::uint64_t>(db.len - kDbHeader);
    RecordCursor cursor(db);
    while (cursor.next() != nullptr) ++c.records;
    const int tenth = (db.len - kDbHeader) * 10 / (kBlockRoom + 1);
    ++c.fill[static_cast<std::size_t>(tenth)];
}

}  // namespace

BlockCensus takecensus(FSDATA *fsdata,
                       const std::function<void(std::uint32_t, const std::uint8_t *)> &onblock) {
    BlockCensus c;
    c.blocks = fsdata->fscb.lb + 1;
    Progress progress("scan", "blocks");
    alignas(8) std::uint8_t bytes[kBlockSize];
    for (std::uint32_t blk = 1; blk <= fsdata->fscb.lb; ++blk) {
        progress.update(blk, fsdata->fscb.lb);
        if (!rawblock(fsdata, blk, bytes)) {
            ++c.unreadable;
            continue;
        }
        if (isxlateblockno(fsdata, blk)) {
            ++c.xlate;
        } else {
            DB db;
            std::memcpy(&db, bytes, sizeof db);
            if (isdataimage(db)) {
                countdatablock(db, c);
            } else if (db.type == 1) {
                ++c.key;
            } else {
                ++c.other;
            }
        }
        if (onblock) onblock(blk, bytes);
    }
    return c;
}

TreeSurvey surveytree(FSDATA *fsdata) {
    TreeSurvey s;
    const std::uint32_t root = fsdata->fscb.rootkb;
    if (root == 0) return s;
    std::set<std::uint32_t> seen;
    std::vector<std::uint32_t> todo{root};
    alignas(8) std::uint8_t bytes[kBlockSize];
    while (!todo.empty()) {
        const std::uint32_t blk = todo.back();
        todo.pop_back();
        KB kb;
        if (!treeblockno(fsdata, blk) || !seen.insert(blk).second ||
            !rawblock(fsdata, blk, bytes)) {
            ++s.brokenlinks;
            continue;
        }
        std::memcpy(&kb, bytes, sizeof kb);
        if (!validkb(kb)) {
            ++s.brokenlinks;
            continue;
        }
        if (blk == root) s.depth = kb.level + 1;
        for (int off = 0; off < usedof(kb); off += entrysize(kb.level, entrylen(kb, off))) {
            if (kb.level == 0) {
                ++s.leafkeys;
                ++s.keysbyfid[*entrykey(kb, off)];
            } else {
                ++s.children;
                todo.push_back(entrychild(kb, off));
            }
        }
        if (kb.level == 0) {
            ++s.leaves;
        } else {
            ++s.inner;
            ++s.children;
            todo.push_back(std::uint32_t{kb.xtrablk});  // a copy: the field is packed
        }
    }
    return s;
}

std::uint32_t chainlength(FSDATA *fsdata, int i, bool *broken) {
    *broken = false;
    std::uint32_t n = 0;
    std::set<std::uint32_t> seen;
    alignas(8) std::uint8_t bytes[kBlockSize];
    for (std::uint32_t blk = fsdata->fscb.fc[i]; blk != 0;) {
        if (blk == fsdata->fscb.lb + 1 && n == 0) return 1;  // the head names the next block
        if (!isdatablockno(fsdata, blk) || !seen.insert(blk).second ||
            !rawblock(fsdata, blk, bytes)) {
            *broken = true;
            return n;
        }
        ++n;
        DB db;
        std::memcpy(&db, bytes, sizeof db);
        blk = db.nbic;
    }
    return n;
}

std::uint32_t countrecords(FSDATA *fsdata, unsigned n) {
    const auto fid = static_cast<std::uint8_t>(n << 4);
    std::uint32_t count = 0;
    for (std::uint32_t r = firstrecord(fsdata, fid); r != 0 && count <= kMaxXlateIndex;
         r = nextrid(fsdata, r)) {
        ++count;
    }
    return count;
}

}  // namespace vorn::tool
