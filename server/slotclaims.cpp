#include "slotclaims.h"

#include <algorithm>

namespace vorn::server {

Claim SlotClaims::findorclaim(const platform::FileIdentity &id) {
    MutexLock lock(mutex_);
    for (;;) {
        int freeslot = -1;
        bool opening = false;
        for (int s = 0; s < kSlots; ++s) {
            if (state_[s] == SlotState::Free) {
                if (freeslot < 0) freeslot = s;
            } else if (identity_[s] == id) {
                if (state_[s] == SlotState::Open) return Claim{s, true};
                opening = true;
            }
        }
        if (!opening) {
            if (freeslot < 0) return Claim{};
            state_[freeslot] = SlotState::Opening;
            identity_[freeslot] = id;
            return Claim{freeslot, false};
        }
        lock.wait(settled_);
    }
}

bool SlotClaims::hasfreeslot() {
    MutexLock lock(mutex_);
    return std::find(std::begin(state_), std::end(state_), SlotState::Free) != std::end(state_);
}

void SlotClaims::publishslot(int slot) {
    {
        MutexLock lock(mutex_);
        state_[slot] = SlotState::Open;
    }
    settled_.notify_all();
}

void SlotClaims::releaseslot(int slot) {
    {
        MutexLock lock(mutex_);
        state_[slot] = SlotState::Free;
        identity_[slot] = platform::FileIdentity{};
    }
    settled_.notify_all();
}

void SlotClaims::resetclaims() {
    MutexLock lock(mutex_);
    for (int s = 0; s < kSlots; ++s) {
        state_[s] = SlotState::Free;
        identity_[s] = platform::FileIdentity{};
    }
}

}  // namespace vorn::server
