// Record operations. Records are compressed here, on the client, before they are stored or
// sent, and uncompressed after they are read: the file and the wire only ever hold the
// stored form.
#include "fsn/records.h"

#include <cstring>

#include "fsn/blocks.h"
#include "fsn/layout.h"
#include "fsn/placement.h"
#include "linkstate.h"
#include "vorn/compress.h"
#include "vorn/errors.h"

using namespace vorn;
using namespace vorn::link;

namespace {

// Records read back are uncompressed here first: the caller's buffer size is unknown, so
// only the record's own bytes are copied out.
std::uint8_t readarea[kMaxRecord];

// Compresses a record into `work` (kWorkArea bytes). Returns the stored length, or -1 when
// the arguments are unusable or the stored form would not fit a data block.
int storedform(std::uint8_t *work, const void *rec, std::int16_t len) {
    if (len < 0 || (len > 0 && rec == nullptr)) return -1;
    const int clen = compress(work, kWorkArea, rec, len);
    if (clen < 0 || clen + kRecordHeader > kBlockRoom) return -1;
    return clen;
}

// Records a failed engine step in the ring.
std::uint32_t failed(const Fault &fault) {
    if (fault.code != 0) dodberror(fault.code);
    return 0;
}

bool namesubfile(std::uint8_t fid) {
    return fid >= 0x10;
}

// Uncompresses a stored form into the read area and copies the record to rec.
std::int16_t deliver(const std::uint8_t *stored, int slen, void *rec) {
    if (slen <= 0 || slen > kMaxStoredRecord) return 0;
    const int n = uncompress(readarea, sizeof readarea, stored, static_cast<std::int16_t>(slen));
    if (n < 0) return 0;
    std::memcpy(rec, readarea, static_cast<std::size_t>(n));
    return static_cast<std::int16_t>(n);
}

// The first or last record of subfile `fid`: the server is asked with `call`, a local file
// answers with `local`.
std::uint32_t subfileend(char instance, ::FS *fsinfo, std::uint8_t call, std::uint8_t fid,
                         std::uint32_t (*local)(FSDATA *, std::uint8_t)) {
    lserrno = 0;
    if (fsinfo == nullptr) return 0;
    if (isremote(fsinfo)) {
        fsinfo->len = 0;
        fsinfo->fid = fid;
        fsinfo->rid = 0;
        return forward(instance, call, fsinfo) != 0 ? fsinfo->rid : 0;
    }
    FSDATA *fsdata = localdb(instance, fsinfo);
    return fsdata != nullptr && namesubfile(fid) ? local(fsdata, fid) : 0;
}

// The record after or before `rid`: the server is asked with `call`, a local file answers
// with `local`.
std::uint32_t neighbour(char instance, ::FS *fsinfo, std::uint8_t call, std::uint32_t rid,
                        std::uint32_t (*local)(FSDATA *, std::uint32_t)) {
    lserrno = 0;
    if (fsinfo == nullptr) return 0;
    if (isremote(fsinfo)) {
        fsinfo->len = 0;
        fsinfo->rid = rid;
        return forward(instance, call, fsinfo) != 0 ? fsinfo->rid : 0;
    }
    FSDATA *fsdata = localdb(instance, fsinfo);
    return fsdata != nullptr ? local(fsdata, rid) : 0;
}

}  // namespace

std::uint32_t fsadd(char instance, ::FS *fsinfo, const void *rec, std::int16_t len,
                    std::uint8_t fid) {
    lserrno = 0;
    if (fsinfo == nullptr) return 0;
    std::uint8_t work[kWorkArea];
    const int clen = storedform(work, rec, len);
    if (clen < 0) return 0;
    if (isremote(fsinfo)) {
        fsinfo->len = static_cast<std::int16_t>(clen);
        fsinfo->fid = fid;
        fsinfo->rid = 0;
        return forward(instance, kOpAdd, fsinfo, work) != 0 ? fsinfo->rid : 0;
    }
    FSDATA *fsdata = localdb(instance, fsinfo);
    if (fsdata == nullptr || !namesubfile(fid)) return 0;
    Fault fault;
    const std::uint32_t rid = addrecord(fsdata, work, static_cast<std::int16_t>(clen), fid, &fault);
    return rid != 0 ? rid : failed(fault);
}

std::int16_t fswrite(char instance, ::FS *fsinfo, const void *rec, std::int16_t len,
                     std::uint32_t rid) {
    lserrno = 0;
    if (fsinfo == nullptr) return 0;
    std::uint8_t work[kWorkArea];
    const int clen = storedform(work, rec, len);
    if (clen < 0) return 0;
    if (isremote(fsinfo)) {
        fsinfo->len = static_cast<std::int16_t>(clen);
        fsinfo->rid = rid;
        return forward(instance, kOpWrite, fsinfo, work);
    }
    FSDATA *fsdata = localdb(instance, fsinfo);
    if (fsdata == nullptr) return 0;
    Fault fault;
    if (rewriterecord(fsdata, rid, work, static_cast<std::int16_t>(clen), &fault) != 0) return 1;
    return static_cast<std::int16_t>(failed(fault));
}

std::int16_t fsdelete(char instance, ::FS *fsinfo, std::uint32_t rid) {
    lserrno = 0;
    if (fsinfo == nullptr) return 0;
    if (isremote(fsinfo)) {
        fsinfo->len = 0;
        fsinfo->rid = rid;
        return forward(instance, kOpDelete, fsinfo);
    }
    FSDATA *fsdata = localdb(instance, fsinfo);
    if (fsdata == nullptr) return 0;
    Fault fault;
    if (deleterecord(fsdata, rid, &fault) != 0) return 1;
    return static_cast<std::int16_t>(failed(fault));
}

namespace {

// A record read at random mostly misses the buffers twice: its xlate block, then the data
// block the xlate entry names. The entry is looked up in the file's own cache first, so that
// both blocks are on their way at once. Only a hint: the engine reads both as always.
void prefetchrecord(FSDATA *fsdata, std::uint32_t rid) {
    const std::uint64_t xb = xlateblockof(fsdata, xindexof(rid));
    // A walk reads the xlate block and the data block it read last: both are in buffers.
    if (xb > fsdata->fscb.lb || recentblk(fsdata, static_cast<std::uint32_t>(xb))) return;
    const std::uint64_t at = (xb << kBlockShift) + (rid & 0xFF) * sizeof(std::uint32_t);
    std::uint32_t entry;
    if (!fsdata->fsp->peekat(&entry, sizeof entry, at)) return;
    const std::uint32_t blk = entry & kMaxXlateIndex;
    if (isdatablockno(fsdata, blk))
        fsdata->fsp->prefetch(static_cast<std::uint64_t>(blk) << kBlockShift);
}

}  // namespace

std::int16_t fsread(char instance, ::FS *fsinfo, std::uint32_t rid, void *rec) {
    lserrno = 0;
    if (fsinfo == nullptr || rec == nullptr) return 0;
    std::uint8_t stored[kWorkArea];
    if (isremote(fsinfo)) {
        fsinfo->len = 0;
        fsinfo->rid = rid;
        // A reply longer than any stored form is refused before it is copied.
        if (forward(instance, kOpRead, fsinfo, stored, kMaxStoredRecord) == 0) return 0;
        return deliver(stored, fsinfo->len, rec);
    }
    FSDATA *fsdata = localdb(instance, fsinfo);
    if (fsdata == nullptr) return 0;
    prefetchrecord(fsdata, rid);
    Fault fault;
    const std::int16_t slen = readrecord(fsdata, rid, stored, &fault);
    if (slen == 0) return static_cast<std::int16_t>(failed(fault));
    return deliver(stored, slen, rec);
}

std::uint32_t fsfirst(char instance, ::FS *fsinfo, std::uint8_t fid) {
    return subfileend(instance, fsinfo, kOpFirst, fid, firstrecord);
}

std::uint32_t fslast(char instance, ::FS *fsinfo, std::uint8_t fid) {
    return subfileend(instance, fsinfo, kOpLast, fid, lastrecord);
}

std::uint32_t fsnext(char instance, ::FS *fsinfo, std::uint32_t rid) {
    return neighbour(instance, fsinfo, kOpNext, rid, nextrid);
}

std::uint32_t fsprev(char instance, ::FS *fsinfo, std::uint32_t rid) {
    return neighbour(instance, fsinfo, kOpPrev, rid, prevrid);
}

std::int16_t fsflush(char instance, ::FS *fsinfo) {
    lserrno = 0;
    if (fsinfo == nullptr) return 0;
    if (isremote(fsinfo)) return 1;  // the server writes its own files
    FSDATA *fsdata = localdb(instance, fsinfo);
    if (fsdata == nullptr) return 0;
    const std::int16_t flushed = flushbuffs(fsdata);
    // A temporary database's blocks reach its file here at the latest.
    if (fsdata->fsp->writeout()) return flushed;
    dodberror(kDbFlushBlock);  // a block held back could not be written
    return 0;
}
