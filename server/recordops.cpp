// The record handlers: the library's local record steps on the server's copy of the file.
#include "fserror.h"
#include "fsn/placement.h"
#include "fsn/records.h"
#include "operations.h"

namespace vorn::server {
namespace {

FSDATA *engineof(const Request &request) {
    return request.file->fsdata.get();
}

// Passes a failed engine step on: its message and its code.
std::uint32_t fail(Request &request, const Fault &fault, std::int32_t fallback) {
    setmsg("%s", fault.text);
    setfserror(request.fs, kServerOrigin, fault.servercode != 0 ? fault.servercode : fallback);
    return 0;
}

}  // namespace

std::uint32_t fsadd(Request &request) {
    Fault fault;
    const FS *fs = request.fs;
    const std::uint32_t rid =
        addrecord(engineof(request), request.data, request.datalen, fs->fid, &fault);
    if (rid == 0) return fail(request, fault, kErrAddToBlock);
    return writethrough(request, "fsadd") ? rid : 0;
}

std::uint32_t fswrite(Request &request) {
    Fault fault;
    const FS *fs = request.fs;
    if (rewriterecord(engineof(request), fs->rid, request.data, request.datalen, &fault) == 0) {
        return fail(request, fault, kErrAddToBlock);
    }
    // Also a rewrite in place is written through: every acknowledged change is on disk.
    return writethrough(request, "fswrite") ? 1 : 0;
}

std::uint32_t fsdelete(Request &request) {
    Fault fault;
    if (deleterecord(engineof(request), request.fs->rid, &fault) == 0) {
        return fail(request, fault, kErrFreeXlate);
    }
    return writethrough(request, "fsdelete") ? 1 : 0;
}

std::uint32_t fsread(Request &request) {
    Fault fault;
    const std::int16_t len = readrecord(engineof(request), request.fs->rid, request.data, &fault);
    if (len <= 0) return fail(request, fault, kErrNotInBlock);
    return static_cast<std::uint32_t>(len);
}

std::uint32_t fsfirst(Request &request) {
    return firstrecord(engineof(request), request.fs->fid);
}

std::uint32_t fslast(Request &request) {
    return lastrecord(engineof(request), request.fs->fid);
}

std::uint32_t fsnext(Request &request) {
    return nextrid(engineof(request), request.fs->rid);
}

std::uint32_t fsprev(Request &request) {
    return prevrid(engineof(request), request.fs->rid);
}

}  // namespace vorn::server
