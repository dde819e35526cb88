#include "dispatch.h"

#include <array>

#include "closefiles.h"
#include "fserror.h"
#include "groupcommit.h"
#include "openfiles.h"
#include "operation.h"
#include "operations.h"
#include "request.h"

namespace vorn::server {
namespace {

// How a row reaches its file.
enum class Frame : std::uint8_t {
    None,  // no file (the clock)
    Own,   // open and close: the handler finds and locks its slot itself
    File,  // the common frame: valid index, slot mutex held, exclusive-lock rule applied
};
// The exclusive-lock rule while another user holds the file's exclusive lock.
enum class Access : std::uint8_t {
    Control,  // no check (locks and control values)
    Reader,   // refused unless the holder allows reads
    Writer,   // refused
};
// Where the handler's result goes in the reply.
enum class Result : std::uint8_t { None, Rid, Len };
// The reply's length: the block alone, or the block and len data bytes.
enum class Reply : std::uint8_t { Block, WithData };

// Request fields a row reads, validated before its handler runs.
enum Reads : std::uint8_t {
    kNoFields = 0,
    kSubfile = 1 << 0,   // fid names a sub-file 1..15
    kRidFile = 1 << 1,   // rid names a sub-file 1..15
    kRecord = 1 << 2,    // data: a stored record of 1..kMaxStoredRecord bytes
    kKey = 1 << 3,       // data: a key value of 0..kMaxKeyValue bytes
    kName = 1 << 4,      // data: a file name, ended at len
    kShortArg = 1 << 5,  // data: a signed 16-bit argument
    kRidArg = 1 << 6,    // data: a 32-bit rid
};

struct OpRow {
    std::uint8_t opcode = 0;
    const char *name = nullptr;  // the operation, in messages
    Handler handler = nullptr;   // null: no operation has this opcode
    Frame frame = Frame::None;
    Access access = Access::Control;
    Result result = Result::None;
    Reply reply = Reply::Block;
    std::uint8_t reads = kNoFields;
    const char *badindex = nullptr;  // the invalid-index message ("" for none)
};

// Adapters for the file-table operations, which keep their own argument lists.
std::uint32_t openop(Request &r) {
    return static_cast<std::uint32_t>(
        fsopen(*r.files, *r.mutexes, r.user, r.fs, reinterpret_cast<const char *>(r.data)));
}
std::uint32_t opentempop(Request &r) {
    return static_cast<std::uint32_t>(fsopentemp(*r.files, *r.mutexes, r.fs));
}
std::uint32_t closeop(Request &r) {
    fsclose(*r.files, *r.mutexes, r.user, r.fs);
    return 0;
}
std::uint32_t closetempop(Request &r) {
    fsclosetemp(*r.files, *r.mutexes, r.fs);
    return 0;
}
std::uint32_t forcecloseop(Request &r) {
    fsforceclose(*r.files, *r.mutexes, r.user, r.fs, reinterpret_cast<const char *>(r.data));
    return 0;
}

constexpr OpRow own(std::uint8_t op, const char *name, Handler h, std::uint8_t reads) {
    return OpRow{op, name, h, Frame::Own, Access::Control, Result::None, Reply::Block, reads, ""};
}
constexpr OpRow lockrow(std::uint8_t op, const char *name, Handler h, std::uint8_t reads,
                        const char *badindex) {
    return OpRow{op,           name,         h,     Frame::File, Access::Control,
                 Result::None, Reply::Block, reads, badindex};
}
constexpr OpRow filerow(std::uint8_t op, const char *name, Handler h, Access access, Result result,
                        Reply reply, std::uint8_t reads, const char *badindex) {
    return OpRow{op, name, h, Frame::File, access, result, reply, reads, badindex};
}

constexpr auto R = Access::Reader;
constexpr auto W = Access::Writer;
constexpr auto C = Access::Control;
constexpr auto kRid = Result::Rid;
constexpr auto kNone = Result::None;
constexpr auto kBlock = Reply::Block;
constexpr auto kData = Reply::WithData;

constexpr OpRow kRows[] = {
    own(kOpOpen, "fsopen", openop, kName),
    own(kOpOpenTemp, "fsopentemp", opentempop, kNoFields),
    own(kOpClose, "fsclose", closeop, kNoFields),
    own(kOpCloseTemp, "fsclosetemp", closetempop, kNoFields),
    lockrow(kOpLock, "fslock", fslock, kNoFields, "fslock - invalid index.\r\n"),
    lockrow(kOpUnlock, "fsunlock", fsunlock, kNoFields, "fsunlock - invalid index.\r\n"),
    lockrow(kOpExclusiveLock, "fsexclusivelock", fsexclusivelock, kShortArg,
            "fsexclusivelock - invalid index.\r\n"),
    lockrow(kOpExclusiveUnlock, "fsexclusiveunlock", fsexclusiveunlock, kNoFields,
            "fsexclusiveunlock - invalid index.\r\n"),
    lockrow(kOpUnlockRid, "fsunlockrid", fsunlockrid, kRidArg, "fsunlock - invalid index.\r\n"),
    lockrow(kOpIsLocked, "fsislocked", fsislocked, kRidArg, "fsunlock - invalid index.\r\n"),
    filerow(kOpGetCanNumber, "fsgetcannumber", fsgetcannumber, C, kNone, kBlock, kShortArg,
            "fsgetcannumber - invalid index.\r\n"),
    filerow(kOpStoreCanNumber, "fsstorecannumber", fsstorecannumber, C, kNone, kBlock, kNoFields,
            "fsstorecannumber - invalid index.\r\n"),
    filerow(kOpGetBusinessDate, "fsgetbusinessdate", fsgetbusinessdate, C, kNone, kBlock, kNoFields,
            "fsgetbusinessdate - invalid index.\r\n"),
    filerow(kOpStoreBusinessDate, "fsstorebusinessdate", fsstorebusinessdate, C, kNone, kBlock,
            kNoFields, "fsstorebusinessdate - invalid index.\r\n"),
    lockrow(kOpForceUnlockRid, "fsforceunlockrid", fsforceunlockrid, kRidArg,
            "fsunlock - invalid index.\r\n"),
    OpRow{kOpGetLocalTime, "fsgetlocaltime", fsgetlocaltime, Frame::None, C, kNone, kData,
          kNoFields, ""},
    filerow(kOpAdd, "fsadd", fsadd, W, kRid, kBlock, kSubfile | kRecord,
            "fsadd - invalid index.\r\n"),
    filerow(kOpWrite, "fswrite", fswrite, W, kNone, kBlock, kRidFile | kRecord,
            "fswrite - invalid index.\r\n"),
    filerow(kOpFirst, "fsfirst", fsfirst, R, kRid, kBlock, kSubfile,
            "fsfirst - invalid index.\r\n"),
    filerow(kOpLast, "fslast", fslast, R, kRid, kBlock, kSubfile, "fslast - invalid index.\r\n"),
    filerow(kOpDelete, "fsdelete", fsdelete, W, kNone, kBlock, kRidFile,
            "fsdelete - invalid index.\r\n"),
    filerow(kOpRead, "fsread", fsread, R, Result::Len, kData, kRidFile,
            "fsread - invalid index.\r\n"),
    filerow(kOpNext, "fsnext", fsnext, R, kRid, kBlock, kRidFile, "fsnext - invalid index.\r\n"),
    filerow(kOpPrev, "fsprev", fsprev, R, kRid, kBlock, kRidFile, "fsprev - invalid index.\r\n"),
    filerow(kOpAddKey, "fsaddkey", fsaddkey, W, kNone, kBlock, kSubfile | kKey,
            "fsaddkey - invalid index.\r\n"),
    filerow(kOpDeleteKey, "fsdeletekey", fsdeletekey, W, kNone, kBlock, kSubfile | kKey,
            "fsdeletekey - invalid index.\r\n"),
    filerow(kOpFirstKey, "fsfirstkey", fsfirstkey, R, kRid, kData, kSubfile,
            "fsfirstkey - invalid index.\r\n"),
    filerow(kOpLastKey, "fslastkey", fslastkey, R, kRid, kData, kSubfile | kKey,
            "fslastkey - invalid index.\r\n"),
    filerow(kOpFindKey, "fsfindkey", fsfindkey, R, kRid, kData, kSubfile | kKey,
            "fsfindkey - invalid index.\r\n"),
    filerow(kOpNextKey, "fsnextkey", fsnextkey, R, kRid, kData, kSubfile | kKey,
            "fsnextkey - invalid index.\r\n"),
    filerow(kOpPrevKey, "fsprevkey", fsprevkey, R, kRid, kData, kSubfile | kKey,
            "fsprevkey - invalid index.\r\n"),
    filerow(kOpGetAppStat, "fsgetappstat", fsgetappstat, C, kNone, kBlock, kNoFields,
            "fsgetappstat - invalid index.\r\n"),
    filerow(kOpSetAppStat, "fssetappstat", fssetappstat, C, kNone, kBlock, kNoFields, ""),
    own(kOpForceClose, "fsforceclose", forcecloseop, kName),
};

// The rows indexed by opcode; an empty row names no operation.
constexpr std::array<OpRow, 256> kTable = [] {
    std::array<OpRow, 256> table{};
    for (const OpRow &row : kRows) table[row.opcode] = row;
    return table;
}();

bool invalid(Request &r, std::int32_t code, const char *fmt, const char *name, long value) {
    setmsg(fmt, name, value);
    setfserror(r.fs, kServerOrigin, code);
    return false;
}

// Checks every field the row reads. False with the error in the reply.
bool validfields(const OpRow &row, Request &r) {
    const std::int16_t len = r.datalen;
    const FS *fs = r.fs;
    if ((row.reads & kName) != 0) r.data[len] = 0;  // a name ends with the data at the latest
    if ((row.reads & kSubfile) != 0 && (fs->fid >> 4) == 0) {
        return invalid(r, kErrBadIndex, "%s - invalid sub-file %ld.\r\n", row.name, fs->fid >> 4);
    }
    if ((row.reads & kRidFile) != 0 && subfileof(fs->rid) == 0) {
        return invalid(r, kErrRidNoBlock, "%s - invalid rid %ld.\r\n", row.name,
                       static_cast<long>(fs->rid));
    }
    if ((row.reads & kRecord) != 0 && (len < 1 || len > kMaxStoredRecord)) {
        return invalid(r, kErrAddToBlock, "%s - invalid record length %ld.\r\n", row.name, len);
    }
    if ((row.reads & kKey) != 0 && len > kMaxKeyValue) {
        // A key that can't be added is an answer to fsaddkey, never logged.
        if (row.opcode == kOpAddKey) {
            refuse(r.fs, kErrKey);
            return false;
        }
        return invalid(r, kErrKey, "%s - invalid key length %ld.\r\n", row.name, len);
    }
    if (((row.reads & kShortArg) != 0 && len < 2) || ((row.reads & kRidArg) != 0 && len < 4)) {
        return invalid(r, kErrBadIndex, "%s - invalid request length %ld.\r\n", row.name, len);
    }
    return true;
}

bool slotinrange(const FS *fs) {
    return fs->fsdatanum >= 0 && fs->fsdatanum < kSlots;
}

std::uint32_t badindex(const OpRow &row, Request &r) {
    setmsg("%s", row.badindex);
    setfserror(r.fs, kServerOrigin, kErrBadIndex);
    return 0;
}

bool refusedbyexclusive(const OpRow &row, const Request &r) {
    const SRVFSDATA *file = r.file;
    if (row.access == Access::Control) return false;
    if (file->exclowner == kNoOwner || file->exclowner == r.user) return false;
    return row.access == Access::Writer || file->allowreads == 0;
}

// The common frame of a handler on an open file: the index, the slot mutex, the exclusive
// lock, then the request's fields, so that a user shut out by another's exclusive lock only
// ever hears 481.
std::uint32_t runonfile(const OpRow &row, Request &r) {
    clearfserror(r.fs);
    r.fs->len = 0;
    if (!slotinrange(r.fs) || r.files->fsdatatbl[r.fs->fsdatanum].load() == nullptr) {
        return badindex(row, r);
    }
    r.slot = r.fs->fsdatanum;
    BatchSeat seat(*r.files, r.slot);  // durable mode: the request's place in its group commit
    SlotLock lock((*r.mutexes)[r.slot]);
    r.file = r.files->fsdatatbl[r.slot].load();
    if (r.file == nullptr) return badindex(row, r);  // closed while this request waited
    if (refusedbyexclusive(row, r)) {
        refuse(r.fs, kErrLocked);
        return 0;
    }
    if (!validfields(row, r)) return 0;
    // Every change the handler makes reaches the file at once, or not at all.
    if (!beginoperation(r.file, r.fs, row.name)) return 0;
    const std::uint32_t result = row.handler(r);
    if (seat.seated()) {
        seat.join(r);
        lock.unlock();
        return seat.await(r, row.name) ? result : 0;
    }
    return commitoperation(r.file, r.fs, row.name) ? result : 0;
}

std::uint32_t run(const OpRow &row, Request &r) {
    if (row.frame == Frame::File) return runonfile(row, r);
    clearfserror(r.fs);
    r.fs->len = 0;
    if (!validfields(row, r)) return 0;
    return row.handler(r);
}

}  // namespace

std::size_t dispatch(FileTable &files, const SlotMutexes &mutexes, UserId user,
                     std::uint8_t *packet) {
    auto *request = reinterpret_cast<SENDPACKET *>(packet);
    if (request->call[0] >= 2) return 0;
    const OpRow &row = kTable[request->call[1]];
    if (row.handler == nullptr) return 0;
    FS *fs = &request->fsinfo;
    if (fs->len < 0 || fs->len > static_cast<std::int16_t>(kPacketData)) return 0;
    Request r;
    r.files = &files;
    r.locks = &files.locks();
    r.mutexes = &mutexes;
    r.user = user;
    r.fs = fs;
    r.data = packet + kRequestHeader;
    r.datalen = fs->len;
    const std::uint32_t result = run(row, r);
    if (row.result == Result::Rid) fs->rid = result;
    if (row.result == Result::Len) fs->len = static_cast<std::int16_t>(result);
    // The reply never carries more than a packet's data room, whatever a handler returned.
    if (row.reply == Reply::Block || fs->len < 0 ||
        fs->len > static_cast<std::int16_t>(kPacketData)) {
        fs->len = 0;
    }
    return kReplyHeader + static_cast<std::size_t>(fs->len);
}

}  // namespace vorn::server
