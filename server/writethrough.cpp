#include "fserror.h"
#include "fsn/blocks.h"
#include "request.h"

namespace vorn::server {
namespace {

void noteextended(Request &request, const FSDATA *f) {
    if (f->fscb.dbextended != 0) request.files->noteextended();
}

bool failwrite(Request &request, const char *name) {
    setmsg("%s - error writing changes to the file.\r\n", name);
    setfserror(request.fs, kServerOrigin, kErrBlockWrite);
    return false;
}

}  // namespace

// The blocks go first and the header last, so the header on disk never counts blocks that
// are not there yet.
bool writethrough(Request &request, const char *name) {
    FSDATA *f = request.file->fsdata.get();
    const bool ok = flushbuffs(f) != 0 && flushfscb(f) != 0;
    noteextended(request, f);
    return ok || failwrite(request, name);
}

bool writeheader(Request &request, const char *name) {
    return flushfscb(request.file->fsdata.get()) != 0 || failwrite(request, name);
}

}  // namespace vorn::server
