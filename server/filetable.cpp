#include "filetable.h"

#include <algorithm>

#include "fsn/blocks.h"
#include "groupcommit.h"
#include "locks.h"
#include "operation.h"

namespace vorn::server {

FileTable::FileTable(LockManager &locks, FileOptions options)
    : locks_(locks), options_(std::move(options)), groups_(new GroupCommit[kSlots]) {
    fsinit();
}

FileTable::~FileTable() {
    fscloseall();
}

GroupCommit &FileTable::group(int slot) {
    return groups_[static_cast<std::size_t>(slot)];
}

int FileTable::vorninit(int, char **) {
    return fsinit();
}

int FileTable::fsinit() {
    const SlotMutexes mutexes = openslotmutexes();
    for (int s = 0; s < kSlots; ++s) {
        SlotLock lock(mutexes[s]);
        fsdatatbl[s].store(nullptr);
        whoary[s].reset();
        locks_.clearlocks(mutexes, s);
    }
    claims_.resetclaims();
    return 1;
}

void FileTable::freeslot(const SlotMutexes &held, int slot) {
    SRVFSDATA *rec = fsdatatbl[slot].load();
    if (rec != nullptr) {
        // Failures are reported; the slot is freed whatever happened.
        flushoperation(rec, true);
        dropjournal(rec);
        fsdatatbl[slot].store(nullptr);
        delete rec;  // closes the file
    }
    whoary[slot].reset();
    locks_.clearlocks(held, slot);
    claims_.releaseslot(slot);
}

void FileTable::fscloseall() {
    const SlotMutexes mutexes = openslotmutexes();
    for (int s = 0; s < kSlots; ++s) {
        SlotLock lock(mutexes[s]);
        if (fsdatatbl[s].load() != nullptr) freeslot(mutexes, s);
    }
}

void FileTable::fsdbextended() {
    if (extenddb_.exchange(0) == 0) return;
    const SlotMutexes mutexes = openslotmutexes();
    for (int s = 0; s < kSlots; ++s) {
        SlotLock lock(mutexes[s]);
        if (SRVFSDATA *rec = fsdatatbl[s].load()) rec->fsdata->fscb.dbextended = 0;
    }
}

int FileTable::openslotcount() const {
    int n = 0;
    for (const auto &entry : fsdatatbl) n += entry.load() != nullptr ? 1 : 0;
    return n;
}

bool hasuser(const std::vector<UserId> *who, UserId user) {
    return who != nullptr && std::find(who->begin(), who->end(), user) != who->end();
}

}  // namespace vorn::server
