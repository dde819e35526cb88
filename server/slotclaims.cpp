#include "slotclaims.h"

#include <algorithm>
#include <condition_variable>

#include "filetable.h"
#include "mutex.h"

namespace vorn::server {

namespace {

enum class SlotState { Free, Opening, Open };

struct ClaimTable {
    Mutex mutex;
    std::condition_variable settled;  // an Opening slot became Open or Free
    SlotState state[kSlots] GUARDED_BY(mutex) = {};
    platform::FileIdentity identity[kSlots] GUARDED_BY(mutex);
};

ClaimTable &claims() {
    static ClaimTable table;
    return table;
}

}  // namespace

Claim findorclaim(const platform::FileIdentity &id) {
    ClaimTable &t = claims();
    MutexLock lock(t.mutex);
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
        lock.wait(t.settled);
    }
}

bool hasfreeslot() {
    ClaimTable &t = claims();
    MutexLock lock(t.mutex);
    return std::find(std::begin(t.state), std::end(t.state), SlotState::Free) != std::end(t.state);
}

void publishslot(int slot) {
    ClaimTable &t = claims();
    {
        MutexLock lock(t.mutex);
        t.state[slot] = SlotState::Open;
    }
    t.settled.notify_all();
}

void releaseslot(int slot) {
    ClaimTable &t = claims();
    {
        MutexLock lock(t.mutex);
        t.state[slot] = SlotState::Free;
        t.identity[slot] = platform::FileIdentity{};
    }
    t.settled.notify_all();
}

void resetclaims() {
    ClaimTable &t = claims();
    MutexLock lock(t.mutex);
    for (int s = 0; s < kSlots; ++s) {
        t.state[s] = SlotState::Free;
        t.identity[s] = platform::FileIdentity{};
    }
}

}  // namespace vorn::server
