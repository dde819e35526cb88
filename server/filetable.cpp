#include "filetable.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>

#include "fsn/blocks.h"
#include "locks.h"
#include "operation.h"
#include "slotclaims.h"

namespace vorn::server {

std::atomic<SRVFSDATA *> fsdatatbl[kSlots];
std::unique_ptr<std::vector<UserId>> whoary[kSlots];
std::atomic<std::int16_t> extenddb{0};

namespace {

enum class SlotState { Free, Opening, Open };

struct ClaimTable {
    std::mutex mutex;
    std::condition_variable settled;  // an Opening slot became Open or Free
    SlotState state[kSlots] = {};
    platform::FileIdentity identity[kSlots];
};

ClaimTable &claims() {
    static ClaimTable table;
    return table;
}

}  // namespace

Claim findorclaim(const platform::FileIdentity &id) {
    ClaimTable &t = claims();
    std::unique_lock lock(t.mutex);
    for (;;) {
        int freeslot = -1;
        bool opening = false;
        for (int s = 0; s < kSlots; ++s) {
            if (t.state[s] == SlotState::Free) {
                if (freeslot < 0) freeslot = s;
            } else if (t.identity[s] == id) {
                if (t.state[s] == SlotState::Open) return Claim{s, true};
                opening = true;
            }
        }
        if (!opening) {
            if (freeslot < 0) return Claim{};
            t.state[freeslot] = SlotState::Opening;
            t.identity[freeslot] = id;
            return Claim{freeslot, false};
        }
        t.settled.wait(lock);
    }
}

bool hasfreeslot() {
    ClaimTable &t = claims();
    std::lock_guard lock(t.mutex);
    return std::find(std::begin(t.state), std::end(t.state), SlotState::Free) != std::end(t.state);
}

void publishslot(int slot) {
    ClaimTable &t = claims();
    {
        std::lock_guard lock(t.mutex);
        t.state[slot] = SlotState::Open;
    }
    t.settled.notify_all();
}

void releaseslot(int slot) {
    ClaimTable &t = claims();
    {
        std::lock_guard lock(t.mutex);
        t.state[slot] = SlotState::Free;
        t.identity[slot] = platform::FileIdentity{};
    }
    t.settled.notify_all();
}

void resetclaims() {
    ClaimTable &t = claims();
    std::lock_guard lock(t.mutex);
    for (int s = 0; s < kSlots; ++s) {
        t.state[s] = SlotState::Free;
        t.identity[s] = platform::FileIdentity{};
    }
}

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
