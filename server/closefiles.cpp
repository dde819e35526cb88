#include "closefiles.h"

#include <algorithm>
#include <cstring>

#include "fserror.h"
#include "fsn/blocks.h"
#include "locks.h"

namespace vorn::server {
namespace {

bool validslot(const FileTable &files, const FS *fs) {
    return fs->fsdatanum >= 0 && fs->fsdatanum < kSlots &&
           files.fsdatatbl[fs->fsdatanum].load() != nullptr;
}

void notauser(FS *fs) {
    setmsg("fsclose - user not in whoary.\r\n");
    setfserror(fs, kServerOrigin, kErrNotAUser);
}

}  // namespace

void fsclose(FileTable &files, const SlotMutexes &mutexes, UserId user, FS *fs) {
    clearfserror(fs);
    fs->len = 0;
    const auto invalid = [fs] {
        setmsg("fsclose - invalid file index.\r\n");
        setfserror(fs, kServerOrigin, kErrBadIndex);
    };
    if (!validslot(files, fs)) return invalid();
    const int slot = fs->fsdatanum;
    SlotLock lock(mutexes[slot]);
    SRVFSDATA *rec = files.fsdatatbl[slot].load();
    if (rec == nullptr) return invalid();  // closed while this request waited
    std::vector<UserId> *who = files.whoary[slot].get();
    if (!hasuser(who, user)) return notauser(fs);
    files.locks().removeuserlocks(mutexes, slot, user);
    // A user that leaves gives its exclusive lock back, so the others are not refused for ever.
    LockManager::releaseexclusive(rec, user);
    if (who->size() == 1) {
        files.freeslot(mutexes, slot);
        return;
    }
    who->erase(std::find(who->begin(), who->end(), user));
    --rec->whocount;
}

void fscloseallforuser(FileTable &files, const SlotMutexes &mutexes, UserId user) {
    for (int slot = 0; slot < kSlots; ++slot) {
        SlotLock lock(mutexes[slot]);
        SRVFSDATA *rec = files.fsdatatbl[slot].load();
        if (rec == nullptr) continue;
        if (hasuser(files.whoary[slot].get(), user)) {
            FS fs{};
            fs.fsdatanum = static_cast<std::int16_t>(slot);
            fsclose(files, mutexes, user, &fs);
        } else {
            // Locks taken on a file the connection never opened end with it too, so a later
            // connection with the same handle value inherits nothing.
            files.locks().removeuserlocks(mutexes, slot, user);
            LockManager::releaseexclusive(rec, user);
        }
    }
}

// Names are kept in upper case, so files whose names differ only in case (distinct files
// on a case-sensitive system) all carry the same name: each of them is closed.
void fsforceclose(FileTable &files, const SlotMutexes &mutexes, UserId, FS *fs, const char *name) {
    clearfserror(fs);
    fs->len = 0;
    if (!files.options().dataroot.acceptablename(name)) {
        setmsg("fsforceclose - %s leads outside the data root: refused.\r\n", name);
        setfserror(fs, kServerOrigin, kErrOpenFile);
        return;
    }
    bool closed = false;
    for (int slot = 0; slot < kSlots; ++slot) {
        SlotLock lock(mutexes[slot]);
        const SRVFSDATA *rec = files.fsdatatbl[slot].load();
        if (rec == nullptr || std::strcmp(rec->filename, name) != 0) continue;
        files.freeslot(mutexes, slot);
        closed = true;
    }
    if (closed) return;
    setmsg("fsforceclose - invalid file index.\r\n");
    setfserror(fs, kServerOrigin, kErrBadIndex);
}

void fsclosetemp(FileTable &files, const SlotMutexes &mutexes, FS *fs) {
    clearfserror(fs);
    fs->len = 0;
    const auto invalid = [fs] {
        setmsg("fsclosetemp - invalid index.\r\n");
        setfserror(fs, kServerOrigin, kErrBadIndex);
    };
    if (!validslot(files, fs)) return invalid();
    const int slot = fs->fsdatanum;
    SlotLock lock(mutexes[slot]);
    SRVFSDATA *rec = files.fsdatatbl[slot].load();
    // Only a temporary file may be closed and deleted this way: an ordinary file's header
    // names some other file, which must never be deleted on a client's word.
    if (rec == nullptr || files.whoary[slot] != nullptr || rec->tempname.empty()) {
        return invalid();
    }
    const std::string name = rec->tempname;
    files.freeslot(mutexes, slot);
    platform::removefile(name.c_str());
}

}  // namespace vorn::server
