#include "filetable.h"

#include <algorithm>
#include <mutex>

#include "fsn/blocks.h"
#include "locks.h"
#include "operation.h"
#include "slotclaims.h"

namespace vorn::server {

std::atomic<SRVFSDATA *> fsdatatbl[kSlots];
std::unique_ptr<std::vector<UserId>> whoary[kSlots];
std::atomic<std::int16_t> extenddb{0};

int vorninit(int, char **) {
    return fsinit();
}

int fsinit() {
    for (int s = 0; s < kSlots; ++s) {
        fsdatatbl[s].store(nullptr);
        whoary[s].reset();
        clearlocks(s);
    }
    resetclaims();
    return 1;
}

void freeslot(int slot) {
    SRVFSDATA *rec = fsdatatbl[slot].load();
    if (rec != nullptr) {
        // Failures are reported; the slot is freed whatever happened.
        flushoperation(rec, true);
        dropjournal(rec);
        fsdatatbl[slot].store(nullptr);
        delete rec;  // closes the file
    }
    whoary[slot].reset();
    clearlocks(slot);
    releaseslot(slot);
}

void fscloseall() {
    const SlotMutexes mutexes = openslotmutexes();
    for (int s = 0; s < kSlots; ++s) {
        std::lock_guard lock(mutexes[s]);
        if (fsdatatbl[s].load() != nullptr) freeslot(s);
    }
}

void fsdbextended() {
    if (extenddb.exchange(0) == 0) return;
    const SlotMutexes mutexes = openslotmutexes();
    for (int s = 0; s < kSlots; ++s) {
        std::lock_guard lock(mutexes[s]);
        if (SRVFSDATA *rec = fsdatatbl[s].load()) rec->fsdata->fscb.dbextended = 0;
    }
}

bool hasuser(const std::vector<UserId> *who, UserId user) {
    return who != nullptr && std::find(who->begin(), who->end(), user) != who->end();
}

int openslotcount() {
    int n = 0;
    for (const auto &entry : fsdatatbl) n += entry.load() != nullptr ? 1 : 0;
    return n;
}

}  // namespace vorn::server
