// Closing files on the server: one user's close, a connection's end, a forced close by name,
// the close of a temporary database.
#include <algorithm>
#include <cstring>
#include <mutex>

#include "dataroot.h"
#include "filetable.h"
#include "fserror.h"
#include "fsn/blocks.h"
#include "locks.h"

namespace vorn::server {
namespace {

bool validslot(const FS *fs) {
    return fs->fsdatanum >= 0 && fs->fsdatanum < kSlots &&
           fsdatatbl[fs->fsdatanum].load() != nullptr;
}

void notauser(FS *fs) {
    setmsg("fsclose - user not in whoary.\r\n");
    setfserror(fs, kServerOrigin, kErrNotAUser);
}

}  // namespace

void fsclose(const SlotMutexes &mutexes, UserId user, FS *fs) {
    clearfserror(fs);
    fs->len = 0;
    const auto invalid = [fs] {
        setmsg("fsclose - invalid file index.\r\n");
        setfserror(fs, kServerOrigin, kErrBadIndex);
    };
    if (!validslot(fs)) return invalid();
    const int slot = fs->fsdatanum;
    std::lock_guard lock(mutexes[slot]);
    SRVFSDATA *rec = fsdatatbl[slot].load();
    if (rec == nullptr) return invalid();  // closed while this request waited
    std::vector<UserId> *who = whoary[slot].get();
    if (!hasuser(who, user)) return notauser(fs);
    removeuserlocks(slot, user);
    // A user that leaves gives its exclusive lock back, so the others are not refused for ever.
    releaseexclusive(slot, user);
    if (who->size() == 1) {
        freeslot(slot);
        return;
    }
    who->erase(std::find(who->begin(), who->end(), user));
    --rec->whocount;
}

void fscloseallforuser(const SlotMutexes &mutexes, UserId user) {
    for (int slot = 0; slot < kSlots; ++slot) {
        std::lock_guard lock(mutexes[slot]);
        if (fsdatatbl[slot].load() == nullptr) continue;
        if (hasuser(whoary[slot].get(), user)) {
            FS fs{};
            fs.fsdatanum = static_cast<std::int16_t>(slot);
            fsclose(mutexes, user, &fs);
        } else {
            // Locks taken on a file the connection never opened end with it too, so a later
            // connection with the same handle value inherits nothing.
            removeuserlocks(slot, user);
            releaseexclusive(slot, user);
        }
    }
}

// Names are kept in upper case, so files whose names differ only in case (distinct files
// on a case-sensitive system) all carry the same name: each of them is closed.
void fsforceclose(const SlotMutexes &mutexes, UserId, FS *fs, const char *name) {
    clearfserror(fs);
    fs->len = 0;
    if (!acceptablename(name)) {
        setmsg("fsforceclose - %s leads outside the data root: refused.\r\n", name);
        setfserror(fs, kServerOrigin, kErrOpenFile);
        return;
    }
    bool closed = false;
    for (int slot = 0; slot < kSlots; ++slot) {
        std::lock_guard lock(mutexes[slot]);
        const SRVFSDATA *rec = fsdatatbl[slot].load();
        if (rec == nullptr || std::strcmp(rec->filename, name) != 0) continue;
        freeslot(slot);
        closed = true;
    }
    if (closed) return;
    setmsg("fsforceclose - invalid file index.\r\n");
    setfserror(fs, kServerOrigin, kErrBadIndex);
}

void fsclosetemp(const SlotMutexes &mutexes, FS *fs) {
    clearfserror(fs);
    fs->len = 0;
    const auto invalid = [fs] {
        setmsg("fsclosetemp - invalid index.\r\n");
        setfserror(fs, kServerOrigin, kErrBadIndex);
    };
    if (!validslot(fs)) return invalid();
    const int slot = fs->fsdatanum;
    std::lock_guard lock(mutexes[slot]);
    SRVFSDATA *rec = fsdatatbl[slot].load();
    // Only a temporary file may be closed and deleted this way: an ordinary file's header
    // names some other file, which must never be deleted on a client's word.
    if (rec == nullptr || whoary[slot] != nullptr || rec->tempname.empty()) return invalid();
    const std::string name = rec->tempname;
    freeslot(slot);
    platform::removefile(name.c_str());
}

}  // namespace vorn::server
