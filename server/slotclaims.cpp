#include "slotclaims.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>

#include "filetable.h"

namespace vorn::server {

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

}  // namespace vorn::server
