// The key handlers: index keys are built in the calling thread's key buffer, so requests on
// different files never share one.
#include "fserror.h"
#include "fsn/keysearch.h"
#include "fsn/keyupdate.h"
#include "operations.h"

namespace vorn::server {
namespace {

FSDATA *engineof(const Request &request) {
    return request.file->fsdata.get();
}

// Puts a search's result in the reply: the value found as data, its length in len.
std::uint32_t found(Request &request, std::uint32_t rid, std::int16_t foundlen) {
    request.fs->len = rid != 0 && foundlen > 0 ? foundlen : 0;
    return rid;
}

using Search = std::uint32_t (*)(FSDATA *, std::int16_t, const std::uint8_t *, void *,
                                 std::int16_t *);

// A search for the value sent, with the key built from fid, the value and `rid`.
std::uint32_t search(Request &request, Search how, std::uint32_t rid) {
    FS *fs = request.fs;
    const std::int16_t len = request.datalen;
    const std::uint8_t *key = bldkey(fs->fid, rid, len, request.data);
    std::int16_t foundlen = 0;
    const std::uint32_t result =
        how(engineof(request), static_cast<std::int16_t>(len + 1), key, request.data, &foundlen);
    return found(request, result, foundlen);
}

}  // namespace

std::uint32_t fsaddkey(Request &request) {
    FS *fs = request.fs;
    const std::uint8_t *key = bldkey(fs->fid, fs->rid, request.datalen, request.data);
    const std::int16_t added =
        addkey(engineof(request), static_cast<std::int16_t>(request.datalen + 1), key);
    // A refused entry (a duplicate where the index admits none) is an answer, not a fault:
    // it is stored without a report.
    if (added == 0) refuse(fs, kErrKey);
    if (!writethrough(request, "fsaddkey")) return 0;
    return static_cast<std::uint32_t>(added);
}

std::uint32_t fsdeletekey(Request &request) {
    FS *fs = request.fs;
    const std::uint8_t *key = bldkey(fs->fid, fs->rid, request.datalen, request.data);
    const std::int16_t deleted =
        deletekey(engineof(request), static_cast<std::int16_t>(request.datalen + 1), key);
    if (deleted == 0) {
        setmsg("fsdeletekey - error deleting key.\r\n");
        setfserror(fs, kServerOrigin, kErrKey);
    }
    if (!writethrough(request, "fsdeletekey")) return 0;
    return static_cast<std::uint32_t>(deleted);
}

std::uint32_t fsfirstkey(Request &request) {
    std::int16_t foundlen = 0;
    const std::uint32_t rid = firstkey(engineof(request), request.fs->fid, request.data, &foundlen);
    return found(request, rid, foundlen);
}

std::uint32_t fslastkey(Request &request) {
    return search(request, lastkey, 0);
}

std::uint32_t fsfindkey(Request &request) {
    return search(request, findkey, 0);
}

std::uint32_t fsnextkey(Request &request) {
    return search(request, nextkey, request.fs->rid);
}

std::uint32_t fsprevkey(Request &request) {
    return search(request, prevkey, request.fs->rid);
}

}  // namespace vorn::server
